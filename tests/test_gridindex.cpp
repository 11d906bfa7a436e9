// The grid index tables: index maps and folding, the grid-basis operators,
// the orbits of the independent lists, and the symmetry of a map built from
// the expanded coefficients.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <sstream>
#include <vector>

#include "crystal/gridindex.hpp"
#include "reflections/expand.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "crystal_groups.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

using namespace trovan;
using namespace trovan::testing;

namespace {

// Every grid index lies in exactly one orbit of the independent list, and
// each listed index is the smallest of its orbit.
template <class Image>
void expect_partition(Crystal& cr, int nlist, const int* list, Image image) {
  const int nt = static_cast<int>(getnt(cr.grid));
  std::vector<int> owner(nt, -1);
  long long covered = 0;
  for (int m = 0; m < nlist; ++m) {
    const int j = list[m];
    if (m > 0) {
      EXPECT_LT(list[m - 1], j);
    }
    for (int i = 1; i <= cr.group.nsymo(); ++i)
      for (int k = 0; k <= cr.group.ncent(); ++k) {
        const int jr = image(j, i, k);
        ASSERT_GE(jr, 0);
        ASSERT_LT(jr, nt);
        EXPECT_GE(jr, j) << "listed index is not the smallest of its orbit";
        if (owner[jr] == m) {
          continue;
        }
        ASSERT_EQ(owner[jr], -1) << "index " << jr << " lies in two orbits";
        owner[jr] = m;
        ++covered;
      }
  }
  EXPECT_EQ(covered, nt);
}

void expect_orbits_partition_grid(Crystal& cr) {
  setsmopprm(cr.grid, cr.group, cr.setting);
  setindfindx(cr.grid);
  setindxindx(cr.grid);
  expect_partition(cr, cr.grid.nfindx, getfindx(cr.grid), [&](int j, int i, int k) {
    int h[6], hr[6];
    getitohkl(cr.grid, j, h);
    gethrg(cr.grid, h, hr, i, k);
    return getxyztoj(cr.grid, hr);
  });
  expect_partition(cr, cr.grid.nxindx, cr.grid.xindx.data(), [&](int j, int i, int k) {
    int x[6], xr[6];
    getitoxyz(cr.grid, j, x);
    getrxi(cr.grid, x, xr, i, k);
    return getxyztoj(cr.grid, xr);
  });
  // The orbit map gives every grid point the position of its orbit's
  // listed point.
  {
    const int nt = static_cast<int>(getnt(cr.grid));
    std::vector<int> rep(nt, -1), want(nt, -1);
    for (int m = 0; m < cr.grid.nxindx; ++m) {
      int x[6], xr[6];
      getitoxyz(cr.grid, cr.grid.xindx[m], x);
      for (int i = 1; i <= cr.group.nsymo(); ++i)
        for (int k = 0; k <= cr.group.ncent(); ++k) {
          getrxi(cr.grid, x, xr, i, k);
          want[getxyztoj(cr.grid, xr)] = m;
        }
    }
    EXPECT_EQ(getxindxorbits(cr.grid, rep.data()), nt);
    EXPECT_EQ(rep, want);
  }
  // The fast image used by the walks over the whole grid is the same point.
  for (int j = 0; j < static_cast<int>(getnt(cr.grid)); ++j) {
    int x[6], xr[6];
    getitoxyz(cr.grid, j, x);
    for (int i = 1; i <= cr.group.nsymo(); ++i)
      for (int k = 0; k <= cr.group.ncent(); ++k) {
        getrxi(cr.grid, x, xr, i, k);
        ASSERT_EQ(getrxij(cr.grid, x, i, k), getxyztoj(cr.grid, xr)) << "j " << j << " operator " << i << " k " << k;
      }
  }
}

// x_grid image from getrxi, carried to the setting, equals the setting
// image of the carried point modulo lattice translations. The difference is
// compared in the grid basis, where the centring vectors of an 'f' or 'i'
// setting are whole lattice vectors.
void expect_grid_action_matches_setting(Crystal& cr, int samples) {
  std::mt19937 rng(17);
  int n[6];
  std::copy(cr.grid.n, cr.grid.n + 6, n);
  const int idm = cr.group.idm;
  double mi[36];
  getsetmtrxinv(cr.setting, mi);
  for (int s = 0; s < samples; ++s) {
    int p[6] = {0, 0, 0, 0, 0, 0};
    for (int e = 0; e < idm; ++e) p[e] = std::uniform_int_distribution<int>(0, n[e] - 1)(rng);
    float xg[6] = {0, 0, 0, 0, 0, 0}, x[6];
    for (int e = 0; e < idm; ++e) xg[e] = float(p[e]) / n[e];
    xgtox(cr.setting, xg, x);
    for (int i = 1; i <= cr.group.nsymo(); ++i)
      for (int k = 0; k <= cr.group.ncent(); ++k) {
        int pr[6];
        getrxi(cr.grid, p, pr, i, k);
        float xr[6], xgr[6] = {0, 0, 0, 0, 0, 0}, xrr[6];
        getrx(cr.group, x, xr, i, k);
        for (int e = 0; e < idm; ++e) {
          ASSERT_GE(pr[e], 0);
          ASSERT_LT(pr[e], n[e]);
          xgr[e] = float(pr[e]) / n[e];
        }
        xgtox(cr.setting, xgr, xrr);
        for (int e = 0; e < 6; ++e) {
          double d = 0;
          for (int c = 0; c < 6; ++c) d += mi[at(e, c)] * (double(xrr[c]) - xr[c]);
          ASSERT_LT(std::fabs(d - std::nearbyint(d)), 1e-4) << "operator " << i << " k " << k;
        }
      }
  }
}

void expect_integral_grid_rotations(Crystal& cr) {
  double m[36];
  getsetmtrx(cr.setting, m);
  for (int i = 1; i <= cr.group.nsymo(); ++i) {
    int r[36], rg[36];
    getsymrot(cr.group, i, r);
    for (int q = 0; q < 36; ++q) rg[q] = cr.grid.ops[i - 1].rot[q];
    // M R_grid = R M, with R_grid an integer matrix.
    for (int a = 0; a < 6; ++a)
      for (int b = 0; b < 6; ++b) {
        double lhs = 0, rhs = 0;
        for (int c = 0; c < 6; ++c) {
          lhs += m[at(a, c)] * rg[at(c, b)];
          rhs += r[at(a, c)] * m[at(c, b)];
        }
        ASSERT_NEAR(lhs, rhs, 1e-9);
      }
  }
}

std::vector<IMat> icosahedral() {
  static std::vector<IMat> gens = icosahedral_generators(signed_permutation_rotations(icosahedral_basis()));
  return gens;
}

}  // namespace

TEST(IndexMaps, OriginFoldingAndRoundTrip) {
  Crystal cr;
  grid(cr, 3, {8, 7, 4});
  int x[6];
  getitoxyz(cr.grid, 0, x);
  for (int e = 0; e < 6; ++e) EXPECT_EQ(x[e], 0);
  for (int j = 0; j < getnt(cr.grid); ++j) {
    getitoxyz(cr.grid, j, x);
    EXPECT_EQ(getxyztoj(cr.grid, x), j);
    for (int e = 3; e < 6; ++e) EXPECT_EQ(x[e], 0);
    int h[6];
    getitohkl(cr.grid, j, h);
    EXPECT_EQ(getxyztoj(cr.grid, h), j);
  }
  int m1[6] = {-1, -1, -1, 0, 0, 0};
  int y[6];
  getitoxyz(cr.grid, getxyztoj(cr.grid, m1), y);
  EXPECT_EQ(y[0], 7);
  EXPECT_EQ(y[1], 6);
  EXPECT_EQ(y[2], 3);
}

TEST(IndexMaps, BrillouinZoneAndSkipAtEvenAndOddSizes) {
  Crystal cr;
  grid(cr, 2, {8, 7});
  int h[6] = {4, 3, 0, 0, 0, 0};
  tobrillzone(cr.grid, h);
  EXPECT_EQ(h[0], 4);
  EXPECT_EQ(h[1], 3);
  EXPECT_EQ(iskip(cr.grid, h), 1);  // the edge of the even axis
  int g[6] = {5, 4, 0, 0, 0, 0};
  tobrillzone(cr.grid, g);
  EXPECT_EQ(g[0], -3);
  EXPECT_EQ(g[1], -3);
  EXPECT_EQ(iskip(cr.grid, g), 0);  // -m..m all kept on the odd axis
  int f[6] = {3, -3, 0, 0, 0, 0};
  EXPECT_EQ(iskip(cr.grid, f), 0);
  int big[6] = {-13, 0, 0, 0, 0, 0};  // folded first
  tobrillzone(cr.grid, big);
  EXPECT_EQ(big[0], 3);
  // Every folded index lies in -m+1..m (even) or -m..m (odd).
  for (int j = 0; j < getnt(cr.grid); ++j) {
    getitohkl(cr.grid, j, h);
    EXPECT_GE(h[0], -3);
    EXPECT_LE(h[0], 4);
    EXPECT_GE(h[1], -3);
    EXPECT_LE(h[1], 3);
  }
}

TEST(IndexMaps, HugeGridReachesTheSizeCheckUntouched) {
  Crystal cr;
  Quiet q;
  grid(cr, 6, {1000, 1000, 1000, 1000, 1000, 1000});
  EXPECT_GT(getnt(cr.grid), kGridMax);
  try {
    setindfindx(cr.grid);
    ADD_FAILURE() << "no stop";
  } catch (const Stop& s) {
    EXPECT_EQ(std::string(s.what()), "nt > nts in setindfindx");
  }
  grid(cr, 6, {256, 256, 256, 1, 1, 2});
  EXPECT_EQ(getnt(cr.grid), 1LL << 25);
}

TEST(GridOperators, CubicGroupOrbitsPartitionTheGrid) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, 1);
  close_text(cr, {"-y,x,z,t,u,v", "y,x,-z,t,u,v", "z,x,y,t,u,v"});
  grid(cr, 3, {6, 6, 6});
  expect_orbits_partition_grid(cr);
  // m-3m on a 6x6x6 grid: a coordinate mod 6 falls in one of the classes
  // {0}, {1,5}, {2,4}, {3} under the sign changes, and the permutations
  // leave the multiset of three classes: C(4+2, 3) = 20 orbits.
  EXPECT_EQ(cr.grid.nfindx, 20);
  EXPECT_EQ(cr.grid.nxindx, 20);
  expect_grid_action_matches_setting(cr, 5);
}

TEST(GridOperators, CentrosymmetricMinusOneVisitsTheInversion) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, -1);
  gensymo(cr, 0, nullptr, nullptr);
  grid(cr, 3, {4, 4, 4});
  expect_orbits_partition_grid(cr);
  // Pairs x, -x plus the 8 points fixed by the inversion.
  EXPECT_EQ(cr.grid.nxindx, (64 - 8) / 2 + 8);
}

// Groups whose orbits on the grid may be single points: the identity, the
// inversion on axes of one or two points (-x = x there), a mirror across an
// axis of one point. The lists are then made without a walk; the flag must
// say exactly when every operator fixes every grid point and reflection,
// and the lists must still partition the grid.
struct TrivialCase {
  const char* name;
  int icent;
  std::vector<std::string> ops;
  std::vector<int> n;
  bool single;  // every orbit a single point
};

class TrivialOrbits : public ::testing::TestWithParam<TrivialCase> {};

TEST_P(TrivialOrbits, FlaggedExactlyWhenEveryOperatorFixesTheGrid) {
  const TrivialCase& tc = GetParam();
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, tc.icent);
  if (tc.ops.empty())
    gensymo(cr, 0, nullptr, nullptr);
  else
    close_text(cr, tc.ops);
  grid(cr, 3, tc.n);
  expect_orbits_partition_grid(cr);
  const int nt = static_cast<int>(getnt(cr.grid));
  bool fixes = true;
  for (int j = 0; j < nt; ++j) {
    int x[6], xr[6], h[6], hr[6];
    getitoxyz(cr.grid, j, x);
    getitohkl(cr.grid, j, h);
    for (int i = 1; i <= cr.group.nsymo(); ++i)
      for (int k = 0; k <= cr.group.ncent(); ++k) {
        getrxi(cr.grid, x, xr, i, k);
        gethrg(cr.grid, h, hr, i, k);
        fixes = fixes && getxyztoj(cr.grid, xr) == j && getxyztoj(cr.grid, hr) == j;
      }
  }
  EXPECT_EQ(fixes, tc.single);
  EXPECT_EQ(cr.grid.trivial, fixes);
  if (fixes) {
    EXPECT_EQ(cr.grid.nxindx, nt);
    EXPECT_EQ(cr.grid.nfindx, nt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Groups, TrivialOrbits,
    ::testing::Values(TrivialCase{"p1", 0, {}, {6, 5, 4}, true}, TrivialCase{"p1_one_point", 0, {}, {1, 1, 1}, true},
                      TrivialCase{"inversion_on_two_points", -1, {}, {2, 2, 1}, true},
                      TrivialCase{"inversion_on_four_points", -1, {}, {4, 2, 1}, false},
                      TrivialCase{"mirror_across_one_point", 0, {"x,y,-z,t,u,v"}, {5, 4, 1}, true},
                      TrivialCase{"mirror_across_three_points", 0, {"x,y,-z,t,u,v"}, {5, 4, 3}, false},
                      TrivialCase{"twofold_screw", 0, {"-x,-y,z+1/2,t,u,v"}, {1, 1, 4}, false}),
    [](const ::testing::TestParamInfo<TrivialCase>& i) { return std::string(i.param.name); });

TEST(GridOperators, ModulatedGroupNeedsAnEvenGridAlongT) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, 0, 1);
  cr.group.idm = cr.grid.idm = 4;
  close_text(cr, {"-x,-y,z,-t,u,v", "x,y,-z,t+1/2,u,v"});
  grid(cr, 4, {4, 4, 6, 6});
  expect_orbits_partition_grid(cr);
  expect_grid_action_matches_setting(cr, 10);
  grid(cr, 4, {4, 4, 6, 5});
  try {
    setsmopprm(cr.grid, cr.group, cr.setting);
    ADD_FAILURE() << "no stop";
  } catch (const Stop& s) {
    const std::string m = s.what();
    EXPECT_NE(m.find("along t"), std::string::npos) << m;
    EXPECT_NE(m.find("operator"), std::string::npos) << m;
  }
}

TEST(GridOperators, DecagonalScrewGroup) {
  Crystal cr;
  Quiet q;
  setting(cr, 3, 'p', 0, 1);
  close_text(cr, {"-y,-z,-t,x+y+z+t,u+1/2,v", "t,z,y,x,-u,v"});
  grid(cr, 5, {5, 5, 5, 5, 4});
  expect_orbits_partition_grid(cr);
  expect_grid_action_matches_setting(cr, 5);
  // The five-fold couples the four star axes: unequal sizes cannot carry it.
  grid(cr, 5, {5, 5, 5, 4, 4});
  EXPECT_THROW(setsmopprm(cr.grid, cr.group, cr.setting), Stop);
}

TEST(GridOperators, IcosahedralGroupInEveryBasis) {
  Crystal cr;
  Quiet q;
  struct Case {
    char brv;
    int ismtr;
  };
  for (Case c : {Case{'p', 0}, Case{'f', 0}, Case{'i', 0}, Case{'p', 3}, Case{'p', -3}, Case{'f', 1}}) {
    SCOPED_TRACE(std::string("brv ") + c.brv + " ismtr " + std::to_string(c.ismtr));
    setting(cr, 2, c.brv, c.ismtr, 1);
    close_rotations(cr, icosahedral());
    ASSERT_EQ(cr.group.nsymo(), 60);
    grid(cr, 6, {4, 4, 4, 4, 4, 4});
    setsmopprm(cr.grid, cr.group, cr.setting);
    expect_integral_grid_rotations(cr);
    expect_orbits_partition_grid(cr);
    expect_grid_action_matches_setting(cr, 3);
  }
  setting(cr, 0, 'p', 0, 0);
}

namespace {

// rho at grid point p by direct summation over the stored coefficients,
// with the synthesis sign exp(+2 pi i h.x).
std::complex<double> density_at(Crystal& cr, WorkGrid& w, const int* p) {
  const float* a = getabcdr(w);
  const float* b = getabcdi(w);
  int n[6];
  std::copy(cr.grid.n, cr.grid.n + 6, n);
  std::complex<double> rho = 0;
  for (int j = 0; j < getnt(cr.grid); ++j) {
    if (a[j] == 0 && b[j] == 0) continue;
    int h[6];
    getitohkl(cr.grid, j, h);
    double phase = 0;
    for (int e = 0; e < cr.group.idm; ++e) phase += double(h[e]) * p[e] / n[e];
    rho += std::complex<double>(a[j], b[j]) * std::polar(1.0, kTwoPi * phase);
  }
  return rho;
}

// Reflections for a test structure, one per orbit from the independent
// list so that no two of them are related: all images inside the grid
// range, none systematically absent (an operator that fixes h must give it
// an integral phase shift h.tau). When an operator maps h onto -h, Friedel's
// law fixes the phase: conj F = F exp(2 pi i h.tau), so F = a exp(-i pi h.tau)
// with a real; `shift` returns that h.tau (NaN when h is free).
std::vector<int> test_reflections(Crystal& cr, int nref, std::vector<double>& shift) {
  setindfindx(cr.grid);
  std::vector<int> out;
  shift.clear();
  for (int m = 0; m < cr.grid.nfindx && static_cast<int>(out.size()) < nref; ++m) {
    const int j = getfindx(cr.grid)[m];
    int h[6];
    getitohkl(cr.grid, j, h);
    bool ok = j != 0 && !iskip(cr.grid, h);
    double anti = std::nan("");
    for (int i = 1; ok && i <= cr.group.nsymo(); ++i)
      for (int k = 0; ok && k <= cr.group.ncent(); ++k) {
        int hr[6];
        gethrg(cr.grid, h, hr, i, k);
        bool same = true, opposite = true;
        for (int e = 0; e < 6; ++e) {
          same = same && hr[e] == h[e];
          opposite = opposite && hr[e] == -h[e];
        }
        const double t = getytg(cr.grid, h, i, k);
        if (iskip(cr.grid, hr)) ok = false;
        if (same && std::fabs(t - std::nearbyint(t)) > 1e-6) ok = false;
        if (opposite) anti = t;
      }
    if (!ok) continue;
    out.push_back(j);
    shift.push_back(anti);
  }
  return out;
}

void expect_symmetric_map(Crystal& cr, WorkGrid& w, bool real_f, int nref) {
  std::mt19937 rng(23);
  std::uniform_real_distribution<float> amp(-1.f, 1.f);
  int n[6];
  std::copy(cr.grid.n, cr.grid.n + 6, n);
  std::vector<double> shift;
  std::vector<int> js = test_reflections(cr, nref, shift);
  ASSERT_EQ(static_cast<int>(js.size()), nref);
  std::vector<float> fr, fi;
  for (int m = 0; m < nref; ++m) {
    std::complex<double> f(amp(rng), real_f ? 0.f : amp(rng));
    if (!std::isnan(shift[m])) f = std::polar(double(amp(rng)), -kPi * shift[m]);
    fr.push_back(static_cast<float>(f.real()));
    fi.push_back(static_cast<float>(f.imag()));
  }
  // The list form holds exactly the non-zero entries of the grid, in order:
  // made afresh, and again for new values of the same reflections (which a
  // maximum-entropy cycle spreads by the plan kept from the first time).
  SpreadPlan plan;
  const RunState rs;  // no projection
  sizeworkgrid(w, getnt(cr.grid));
  for (float f000 : {7.f, 10.f}) {
    for (float& v : fr) v = -v;
    setffromf0(cr, rs, w, nref, js.data(), fr.data(), fi.data(), f000);
    EXPECT_EQ(getabcdr(w)[0], f000);
    std::vector<FCoef> list;
    getffromf0(cr, rs, nref, js.data(), fr.data(), fi.data(), f000, plan, list);
    std::size_t t = 0;
    for (long long j = 0; j < getnt(cr.grid); ++j) {
      const bool set = t < list.size() && list[t].j == j;
      EXPECT_EQ(set ? list[t].re : 0.f, getabcdr(w)[j]) << j;
      EXPECT_EQ(set ? list[t].im : 0.f, getabcdi(w)[j]) << j;
      if (set) ++t;
    }
    EXPECT_EQ(t, list.size());
  }
  for (int s = 0; s < 4; ++s) {
    int p[6] = {0, 0, 0, 0, 0, 0};
    for (int e = 0; e < cr.group.idm; ++e) p[e] = std::uniform_int_distribution<int>(0, n[e] - 1)(rng);
    const std::complex<double> rho = density_at(cr, w, p);
    EXPECT_NEAR(rho.imag(), 0.0, 1e-4);
    for (int i = 1; i <= cr.group.nsymo(); ++i)
      for (int k = 0; k <= cr.group.ncent(); ++k) {
        int pr[6];
        getrxi(cr.grid, p, pr, i, k);
        EXPECT_NEAR(density_at(cr, w, pr).real(), rho.real(), 1e-3) << "operator " << i << " k " << k;
      }
  }
}

}  // namespace

TEST(Expansion, MapFromExpandedCoefficientsHasTheSymmetryOfTheGroup) {
  Crystal cr;
  WorkGrid w;
  Quiet q;
  // Non-centrosymmetric screw group: complex coefficients.
  setting(cr, 3, 'p', 0, 0);
  close_text(cr, {"-y,-z,-t,x+y+z+t,u+1/2,v", "t,z,y,x,-u,v"});
  grid(cr, 5, {5, 5, 5, 5, 4});
  setsmopprm(cr.grid, cr.group, cr.setting);
  expect_symmetric_map(cr, w, false, 4);
  // A 4_1 screw: a quarter translation tells exp(+2 pi i h.tau) from
  // exp(-2 pi i h.tau), which half translations cannot.
  setting(cr, 0, 'p', 0, 0);
  close_text(cr, {"-y,x,z+1/4,t,u,v"});
  grid(cr, 3, {4, 4, 8});
  setsmopprm(cr.grid, cr.group, cr.setting);
  expect_grid_action_matches_setting(cr, 5);
  expect_symmetric_map(cr, w, false, 4);
  // (3+1)-D group with an internal translation.
  setting(cr, 0, 'p', 0, 0, 1);
  close_text(cr, {"-x,-y,z,-t,u,v", "x,y,-z,t+1/2,u,v"});
  grid(cr, 4, {4, 4, 6, 6});
  setsmopprm(cr.grid, cr.group, cr.setting);
  expect_symmetric_map(cr, w, false, 5);
  // Face-centred icosahedral, centrosymmetric: real coefficients, and the
  // inversion images are the Friedel mates.
  setting(cr, 2, 'f', 0, 1);
  close_rotations(cr, icosahedral());
  grid(cr, 6, {4, 4, 4, 4, 4, 4});
  setsmopprm(cr.grid, cr.group, cr.setting);
  expect_symmetric_map(cr, w, true, 2);
}
