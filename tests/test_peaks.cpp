// The peak search: the neighbourhood test against the plain definition, the
// limits and the listing, the merging by symmetry and the site multiplicity
// (orbit-stabiliser: distinct images x order of the site group = order of
// the space group), and synthetic maps of real structures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "crystal_groups.hpp"
#include "e2e_support.hpp"
#include "inprocess.hpp"
#include "tools/sfmodel.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "maps/peaks.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

using namespace trovan;
using namespace trovan::testing;
namespace ex = trovan::examples;

namespace {

template <class F>
std::string stop_message(F f) {
  try {
    f();
  } catch (const Stop& s) {
    return s.what();
  }
  return "(no stop)";
}

// Generators of three groups of 3-D crystals: the cubic group m-3m (with the
// inversion), P2_1 (a screw axis along b) and triclinic P1, where only lattice
// translations relate peaks.
const std::vector<std::string> kM3m = {"-y,x,z,t,u,v", "y,x,-z,t,u,v", "z,x,y,t,u,v"}, kP21 = {"-x,y+1/2,-z,t,u,v"},
                               kP1 = {};

// A 3-D crystal in the general setting, its group closed from `ops`, on grid
// n, searched as a map of kind iplot; idm 6 with one grid point along t, u, v
// is how a run of a 3-D crystal looks.
void crystal3(Crystal& cr, RunState& rs, WorkGrid& w, const std::vector<std::string>& ops, int icent,
              std::vector<int> n, int iplot = 2, int idm = 3) {
  setting(cr, 0, 'p', 0, icent);
  cr.group.idm = cr.grid.idm = idm;
  close_text(cr, ops);
  grid(cr, idm, n);
  sizeworkgrid(w, getnt(cr.grid));
  rs.iplot = iplot;
}

// The icosahedral rotation group (60 operators from four generators) in the
// 6-D setting of lattice `brv`, on an n^6 grid.
void icosahedral(Crystal& cr, char brv, int n) {
  const std::vector<IMat> gens = icosahedral_generators(signed_permutation_rotations(icosahedral_basis()));
  EXPECT_EQ(gens.size(), 4u);
  setting(cr, 2, brv, 0, 1);
  cr.group.idm = cr.grid.idm = 6;
  close_rotations(cr, gens);
  grid(cr, 6, {n, n, n, n, n, n});
}

// The plain definition: a point above the threshold that no neighbour of
// its 3^idm block (wrapped) exceeds is a candidate; candidates of one value
// joined through their blocks are one plateau, an extremum when some point
// of it has a neighbour below it, found at its smallest grid index.
std::vector<int> naive_extrema(const std::vector<float>& map, const std::vector<int>& n, float thr,
                               PeakHeight kind) {
  const int idm = static_cast<int>(n.size());
  const int nt = static_cast<int>(map.size());
  int nblock = 1;
  for (int d = 0; d < idm; ++d) nblock *= 3;
  auto neighbours = [&](int j) {
    std::vector<int> c(idm), out;
    int r = j;
    for (int d = 0; d < idm; ++d) {
      c[d] = r % n[d];
      r /= n[d];
    }
    for (int b = 0; b < nblock; ++b) {
      int q = b, k = 0, stride = 1;
      for (int d = 0; d < idm; ++d) {
        const int step = q % 3 - 1;
        q /= 3;
        k += ((c[d] + step + n[d]) % n[d]) * stride;
        stride *= n[d];
      }
      if (k != j) out.push_back(k);
    }
    return out;
  };
  std::vector<char> candidate(nt, 0);
  for (int j = 0; j < nt; ++j) {
    const float v = map[j];
    const float h = kind == PeakHeight::value ? v : kind == PeakHeight::absolute ? std::fabs(v) : 0;
    if (!(h > thr)) continue;
    bool peak = true;
    for (int k : neighbours(j)) {
      const float w = map[k];
      if ((v > 0 && v < w) || (v < 0 && v > w)) peak = false;
    }
    candidate[j] = peak;
  }
  std::vector<int> found;
  std::vector<char> done(nt, 0);
  for (int j = 0; j < nt; ++j) {
    if (!candidate[j] || done[j]) continue;
    const float v = map[j];
    bool below = false;
    std::vector<int> todo = {j};
    done[j] = 1;
    while (!todo.empty()) {
      const int i = todo.back();
      todo.pop_back();
      for (int k : neighbours(i)) {
        const float w = map[k];
        if ((v > 0 && w < v) || (v < 0 && w > v)) below = true;
        if (w == v && candidate[k] && !done[k]) {
          done[k] = 1;
          todo.push_back(k);
        }
      }
    }
    if (below) found.push_back(j);
  }
  return found;
}

std::vector<int> fast_extrema(const std::vector<float>& map, const std::vector<int>& n, float thr,
                              PeakHeight kind) {
  std::vector<int> js;
  const int num = findextrema(map.data(), n.data(), static_cast<int>(n.size()), thr, kind, js);
  EXPECT_EQ(num, static_cast<int>(js.size()));
  return js;
}

int flat(const std::vector<int>& c, const std::vector<int>& n) {
  int j = 0, s = 1;
  for (std::size_t d = 0; d < n.size(); ++d) {
    j += c[d] * s;
    s *= n[d];
  }
  return j;
}

// Distance modulo whole numbers of two positions over the first idm axes.
bool same_site(const float* a, const float* b, int idm, double tol = 1e-4) {
  for (int d = 0; d < idm; ++d) {
    const double e = double(a[d]) - double(b[d]);
    if (std::fabs(e - std::nearbyint(e)) > tol) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The neighbourhood test

TEST(NeighbourhoodSearch, EqualsThePlainDefinitionOnRandomMaps) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> size(1, 5), level(-3, 3);
  std::normal_distribution<float> noise(0, 1);
  for (int trial = 0; trial < 300; ++trial) {
    const int idm = 1 + trial % 6;
    std::vector<int> n(idm);
    int nt = 1;
    for (int d = 0; d < idm; ++d) {
      n[d] = size(rng);
      if (nt * n[d] > 4000) n[d] = 1;
      nt *= n[d];
    }
    std::vector<float> map(nt);
    // Alternate smooth-ish noise with coarse levels, which makes ties,
    // plateaus and zeros common.
    for (float& v : map) v = (trial % 2) ? noise(rng) : static_cast<float>(level(rng));
    for (PeakHeight kind : {PeakHeight::value, PeakHeight::absolute, PeakHeight::none}) {
      for (float thr : {-1.0f, 0.0f, 0.5f}) {
        EXPECT_EQ(fast_extrema(map, n, thr, kind), naive_extrema(map, n, thr, kind))
            << "trial " << trial << " idm " << idm;
      }
    }
  }
}

// Maps with flat regions on a small periodic grid: top-hats (a box of one
// value above a lower ground), each one peak at its first grid point, a
// flat map none, whatever the number of its points.
struct PlateauCase {
  const char* name;
  std::vector<int> n;
  float ground;  // value of the map outside the boxes
  // Boxes: lowest corner, extent per axis (wrapping across the faces), value.
  struct Box {
    std::vector<int> corner, extent;
    float value;
  };
  std::vector<Box> boxes;
  PeakHeight kind = PeakHeight::value;
};

class Plateaus : public ::testing::TestWithParam<PlateauCase> {};

TEST_P(Plateaus, APlateauIsOnePeakAtItsFirstPointAndAFlatMapNone) {
  const PlateauCase& pc = GetParam();
  int nt = 1;
  for (int v : pc.n) nt *= v;
  std::vector<float> map(nt, pc.ground);
  std::vector<int> want;
  for (const PlateauCase::Box& b : pc.boxes) {
    const std::size_t idm = pc.n.size();
    int cells = 1;
    for (int e : b.extent) cells *= e;
    int first = nt;
    for (int i = 0; i < cells; ++i) {
      std::vector<int> c(idm);
      int r = i;
      for (std::size_t d = 0; d < idm; ++d) {
        c[d] = (b.corner[d] + r % b.extent[d]) % pc.n[d];
        r /= b.extent[d];
      }
      map[flat(c, pc.n)] = b.value;
      first = std::min(first, flat(c, pc.n));
    }
    want.push_back(first);
  }
  std::sort(want.begin(), want.end());
  const std::vector<int> got = fast_extrema(map, pc.n, 0.0f, pc.kind);
  EXPECT_EQ(got, want);
  EXPECT_EQ(got, naive_extrema(map, pc.n, 0.0f, pc.kind));
}

INSTANTIATE_TEST_SUITE_P(
    Maps, Plateaus,
    ::testing::Values(
        PlateauCase{"flat", {5, 4, 3}, 1.0f, {}},
        PlateauCase{"flat_6d", {3, 3, 3, 3, 3, 3}, 2.5f, {}},
        PlateauCase{"flat_large", {64, 64, 64}, 1.0f, {}},
        // One point raised: it alone is a peak; the rest, a plateau with
        // something above it, is none.
        PlateauCase{"one_point_on_a_large_flat_map", {64, 64, 64}, 1.0f, {{{57, 0, 3}, {1, 1, 1}, 1.5f}}},
        PlateauCase{"flat_difference_map", {4, 4, 4}, -1.0f, {}, PeakHeight::absolute},
        PlateauCase{"one_point", {6, 6, 6}, 0.1f, {{{2, 2, 4}, {1, 1, 1}, 2.0f}}},
        PlateauCase{"top_hat", {6, 6, 6}, 0.1f, {{{2, 2, 4}, {2, 2, 1}, 2.0f}}},
        PlateauCase{"top_hat_across_the_faces", {7, 6, 5}, 0.1f, {{{5, 4, 3}, {3, 3, 3}, 2.0f}}},
        PlateauCase{"two_top_hats", {9, 4, 4}, 0.1f, {{{0, 0, 0}, {2, 2, 2}, 2.0f}, {{5, 1, 1}, {2, 1, 2}, 3.0f}}},
        // Two equal grid points either side of a mirror halfway between them.
        PlateauCase{"tie_across_a_mirror", {8, 5, 5}, 0.2f, {{{3, 2, 2}, {2, 1, 1}, 1.5f}}},
        // Large enough for the search to be shared among threads, the top
        // across the parts' boundary.
        PlateauCase{"top_hat_across_parts", {40, 40, 40}, 0.1f, {{{10, 10, 18}, {5, 5, 5}, 2.0f}}},
        PlateauCase{"top_hat_4d", {4, 5, 4, 3}, 0.0f, {{{1, 1, 1, 0}, {2, 3, 1, 2}, 1.0f}}},
        PlateauCase{"flat_well_of_a_difference_map", {6, 6, 5}, 0.0f, {{{1, 3, 2}, {3, 2, 2}, -4.0f}},
                    PeakHeight::absolute}),
    [](const ::testing::TestParamInfo<PlateauCase>& i) { return std::string(i.param.name); });

// A peak on a special position has equal neighbours by symmetry (images of
// one another, below it): it stays one peak.
TEST(NeighbourhoodSearch, EqualNeighboursBelowAPeakLeaveItAPeak) {
  std::vector<int> n = {7, 7, 7};
  std::vector<float> map(343);
  for (int c = 0; c < 7; ++c)
    for (int b = 0; b < 7; ++b)
      for (int a = 0; a < 7; ++a) {
        const int da = std::min(std::abs(a - 3), 7 - std::abs(a - 3));
        const int db = std::min(std::abs(b - 3), 7 - std::abs(b - 3));
        const int dc = std::min(std::abs(c - 3), 7 - std::abs(c - 3));
        map[flat({a, b, c}, n)] = std::exp(-0.5f * float(da * da + db * db + dc * dc));
      }
  EXPECT_EQ(fast_extrema(map, n, 0.1f, PeakHeight::value), std::vector<int>{flat({3, 3, 3}, n)});
}

TEST(NeighbourhoodSearch, MaximumOnACellFaceIsFoundThroughWrappedNeighbours) {
  std::vector<int> n = {8, 7, 5};
  std::vector<float> map(8 * 7 * 5);
  // A smooth periodic bump centred on the cell corner: its top is at grid
  // point 0, its neighbours lie across all three faces.
  for (int c = 0; c < 5; ++c)
    for (int b = 0; b < 7; ++b)
      for (int a = 0; a < 8; ++a)
        map[flat({a, b, c}, n)] = static_cast<float>(
            3 + std::cos(kTwoPi * a / 8) + std::cos(kTwoPi * b / 7) + std::cos(kTwoPi * c / 5));
  EXPECT_EQ(fast_extrema(map, n, 1.0f, PeakHeight::value), std::vector<int>{0});
  // The same top moved to the far face: a higher value just across the
  // face (grid coordinate N-1, the wrapped neighbour of 0) takes over.
  map[flat({7, 6, 4}, n)] = 10;
  EXPECT_EQ(fast_extrema(map, n, 1.0f, PeakHeight::value), std::vector<int>{flat({7, 6, 4}, n)});
}

// ---------------------------------------------------------------------------
// Refinement between grid points

// A Gaussian exp(-d.A.d/2), A anisotropic with cross terms, centred between
// grid points, in one to six dimensions: the logarithm is a quadratic, so the
// fit gives back the centre and the height to round-off, whatever the
// metric that chooses the neighbours. With A null along the last axis (a
// ridge) the fit says nothing along it: the grid point stays there.
// ---------------------------------------------------------------------------
// The metric of the grid steps

// A point group given by generators (acting on setting coordinates), a setting M (rows of the 3x3 block; the other axes unit)
// and grid sizes.
struct StepCase {
  const char* name;
  std::vector<std::string> gens;
  std::array<double, 9> m;
  std::array<int, 3> n;
  std::array<double, 9> want;  // the metric expected
  std::array<double, 3> reach;
};

std::ostream& operator<<(std::ostream& o, const StepCase& c) { return o << c.name; }

// The closure of the generators as 6x6 rotations (column by column).
std::vector<std::array<int, 36>> close3(const std::vector<std::string>& gens) {
  std::vector<std::array<int, 36>> group;
  for (const ex::IMat6& r : ex::point_group(gens, false)) {
    std::array<int, 36> a{};
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) a[at(i, j)] = r[i][j];
    group.push_back(a);
  }
  return group;
}

class StepMetric : public ::testing::TestWithParam<StepCase> {};

// The metric is the one the symmetry keeps: every rotation, written in
// steps along the grid axes (S = D M^-1 R M D^-1), carries it onto itself,
// so that a displacement and its images have one length; unit along the
// grid axes; and the reach of an axis is sqrt((Q^-1)_aa).
TEST_P(StepMetric, IsKeptByEveryRotationOfThePointGroup) {
  const StepCase& c = GetParam();
  const std::vector<std::array<int, 36>> rots = close3(c.gens);
  double m[36] = {}, minv[36] = {};
  for (int i = 0; i < 6; ++i) m[at(i, i)] = 1;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[at(i, j)] = c.m[3 * i + j];
  std::copy(m, m + 36, minv);
  double det = 0;
  ASSERT_TRUE(matinvd(minv, 6, det));
  const int hmax[6] = {c.n[0], c.n[1], c.n[2], 0, 1, 1};
  const GridSteps st = gridsteps(m, minv, hmax, 3, rots);
  EXPECT_EQ(st.ng[3], 1);  // a size below 1 counts as 1
  for (int a = 0; a < 3; ++a) {
    EXPECT_NEAR(st.q[at(a, a)], 1.0, 1e-12);
    EXPECT_NEAR(st.reach[a], c.reach[a], 1e-9) << a;
    for (int b = 0; b < 3; ++b) EXPECT_NEAR(st.q[at(a, b)], c.want[3 * a + b], 1e-12) << a << b;
  }
  for (const auto& r : rots) {
    double s[3][3];
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) {
        double v = 0;
        for (int i = 0; i < 3; ++i)
          for (int k = 0; k < 3; ++k) v += minv[at(a, i)] * r[at(i, k)] * m[at(k, b)];
        s[a][b] = v * c.n[a] / c.n[b];
      }
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) {
        double v = 0;
        for (int i = 0; i < 3; ++i)
          for (int k = 0; k < 3; ++k) v += s[i][a] * st.q[at(i, k)] * s[k][b];
        ASSERT_NEAR(v, st.q[at(a, b)], 1e-12) << c.name << " element " << a << b;
      }
  }
}

const std::string kFour = "-y,x,z,t,u,v", kDiag = "y,x,-z,t,u,v", kThree = "z,x,y,t,u,v", kSix = "x-y,x,z,t,u,v",
                  kMirror = "y,x,z,t,u,v";
const std::array<double, 9> kUnit = {1, 0, 0, 0, 1, 0, 0, 0, 1};

INSTANTIATE_TEST_SUITE_P(
    Groups, StepMetric,
    ::testing::Values(
        // Signed permutations of the axes: the identity.
        StepCase{"cubic", {kFour, kDiag, kThree}, kUnit, {8, 8, 8}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}},
        // A hexagonal net: steps along a and b at 120 degrees.
        StepCase{"hexagonal", {kSix, kMirror}, kUnit, {12, 12, 8},
                 {1, -0.5, 0, -0.5, 1, 0, 0, 0, 1}, {std::sqrt(4.0 / 3), std::sqrt(4.0 / 3), 1}},
        // The primitive grid of a face-centred cubic cell: columns of M are
        // the centring vectors, steps along them at 60 degrees.
        StepCase{"cubic_f", {kFour, kDiag, kThree}, {0, 0.5, 0.5, 0.5, 0, 0.5, 0.5, 0.5, 0}, {10, 10, 10},
                 {1, 0.5, 0.5, 0.5, 1, 0.5, 0.5, 0.5, 1}, {std::sqrt(1.5), std::sqrt(1.5), std::sqrt(1.5)}},
        // Triclinic on an unequal grid: the identity alone keeps any metric;
        // the sum over the group is then the identity.
        StepCase{"triclinic", {}, kUnit, {6, 10, 4}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}},
        // A four-fold axis along c, on a grid finer along a and b than along
        // c: a and b are equivalent steps at right angles, c orthogonal to
        // both.
        StepCase{"tetragonal", {kFour}, kUnit, {8, 8, 5}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}}),
    [](const ::testing::TestParamInfo<StepCase>& i) { return std::string(i.param.name); });

TEST(PeakRefinement, AGaussianPeakIsFoundBetweenGridPointsInOneToSixDimensions) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  for (int idm = 1; idm <= 6; ++idm)
    for (int ridge = 0; ridge <= (idm > 1 ? 1 : 0); ++ridge) {
      const int n1 = idm <= 3 ? 12 : 8 - (idm - 4);
      const std::vector<int> n(idm, n1);
      double a[6][6] = {}, c[6];
      for (int i = 0; i < idm; ++i) {
        a[i][i] = 1.0 / (1.2 + 0.2 * i);
        for (int k = 0; k < i; ++k) a[i][k] = a[k][i] = 0.1 * u(rng);
        c[i] = n1 / 2 + u(rng);
      }
      if (ridge)
        for (int k = 0; k < idm; ++k) a[idm - 1][k] = a[k][idm - 1] = 0;
      int nt = 1;
      for (int d = 0; d < idm; ++d) nt *= n1;
      std::vector<float> map(nt);
      int jmax = 0;
      for (int j = 0; j < nt; ++j) {
        double d[6];
        for (int i = 0, r = j; i < idm; ++i, r /= n1) {
          d[i] = r % n1 - c[i];
          d[i] -= n1 * std::nearbyint(d[i] / n1);
        }
        double q = 0;
        for (int i = 0; i < idm; ++i)
          for (int k = 0; k < idm; ++k) q += d[i] * a[i][k] * d[k];
        map[j] = static_cast<float>(5 * std::exp(-0.5 * q));
        if (map[j] > map[jmax]) jmax = j;
      }
      // Orthonormal steps, or those of a hexagonal net in the first two axes.
      double metric[36] = {};
      for (int e = 0; e < 6; ++e) metric[at(e, e)] = 1;
      if (idm % 2) metric[at(0, 1)] = metric[at(1, 0)] = idm > 1 ? -0.5 : 0;
      const PeakFit fit = peakfit(n.data(), idm, metric);
      double delta[6];
      float h = 0;
      refinepeak(fit, map.data(), n.data(), idm, jmax, delta, h);
      for (int i = 0, r = jmax; i < idm; ++i, r /= n1) {
        if (ridge && i == idm - 1) {
          EXPECT_NEAR(delta[i], 0.0, 1e-6) << idm;
        } else {
          EXPECT_NEAR(r % n1 + delta[i], c[i], 1e-3) << "idm " << idm << " axis " << i;
        }
      }
      EXPECT_NEAR(h, 5.0f, 1e-3f) << idm;
    }
}

// A spike on a floor (a sharp maximum-entropy peak, neighbours a billion
// times lower and unequal): the logarithm's quadratic would fit the floor
// and throw the peak far up; the grid point and its value stay.
TEST(PeakRefinement, APeakAboveAFloorKeepsItsGridPointAndValue) {
  const int n[3] = {8, 8, 8};
  std::vector<float> map(512, 1e-9f);
  const int j = 4 + 8 * (4 + 8 * 4);
  map[j] = 1.2f;
  map[j + 1] = 0.9f;        // one neighbour high, the opposite one at the floor
  map[j + 8] = 2e-9f;
  double metric[36] = {};
  for (int e = 0; e < 6; ++e) metric[at(e, e)] = 1;
  const PeakFit fit = peakfit(n, 3, metric);
  double delta[6];
  float h = 0;
  refinepeak(fit, map.data(), n, 3, j, delta, h);
  EXPECT_EQ(h, 1.2f);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(delta[i], 0.0) << i;
}

// ---------------------------------------------------------------------------
// pksearchnd, its listing and its stops

// The count of extrema as the search prints it.
std::string num_text(int n) {
  const std::string d = std::to_string(n);
  return "num=" + std::string(d.size() < 8 ? 8 - d.size() : 0, ' ') + d;
}

// The work grid `ground` everywhere but at the spikes (grid coordinates, value).
using Spikes = std::vector<std::pair<std::vector<int>, float>>;
float* spiked(const Crystal& cr, WorkGrid& w, const std::vector<int>& n, float ground, const Spikes& spikes) {
  float* map = getabcdr(w);
  std::fill(map, map + getnt(cr.grid), ground);
  for (const auto& [at, v] : spikes) map[flat(at, n)] = v;
  return map;
}

// Spikes on a flat ground searched as a map of kind `iplot` (1 Patterson,
// 2 Fourier, 3 difference): the independent peaks listed in order of height
// with their multiplicities, each at one of the spikes of its height, and
// the number of extrema printed (-1: nothing printed at all).
struct SpikeCase {
  const char* name;
  std::vector<std::string> ops;
  int icent;
  std::vector<int> n;
  int iplot;
  float ground;
  Spikes spikes;
  float pkmin;
  int num;
  std::vector<std::pair<float, int>> peaks;  // height and multiplicity
};

std::ostream& operator<<(std::ostream& o, const SpikeCase& c) { return o << c.name; }

class SpikeMaps : public ::testing::TestWithParam<SpikeCase> {};

TEST_P(SpikeMaps, EachIndependentPeakIsListedWithItsHeightMultiplicityAndSite) {
  const SpikeCase& c = GetParam();
  Crystal cr;
  RunState rs;
  WorkGrid w;
  crystal3(cr, rs, w, c.ops, c.icent, c.n, c.iplot);
  float* map = spiked(cr, w, c.n, c.ground, c.spikes);
  Quiet q;
  const Peaks pk = pksearchnd(cr, rs, map, c.pkmin);
  const std::string t = q.text();
  if (c.num < 0) {
    EXPECT_EQ(t, "");
  } else {
    EXPECT_NE(t.find("nt in pksearchnd"), std::string::npos) << t;
    EXPECT_NE(t.find(num_text(c.num)), std::string::npos) << t;
    EXPECT_EQ(t.find("number of peaks") != std::string::npos, c.num > 0) << t;
  }
  ASSERT_EQ(pk.list.size(), c.peaks.size()) << t;
  for (std::size_t i = 0; i < c.peaks.size(); ++i) {
    const Peak& p = pk.list[i];
    EXPECT_EQ(p.pr, c.peaks[i].first) << i;
    EXPECT_EQ(p.mult, c.peaks[i].second) << i;
    bool at_spike = false;
    for (const auto& [at, v] : c.spikes) {
      const float x[3] = {float(at[0]) / c.n[0], float(at[1]) / c.n[1], float(at[2]) / c.n[2]};
      at_spike = at_spike || (v == p.pr && same_site(p.xr, x, 3, 1e-6));
    }
    EXPECT_TRUE(at_spike) << "peak " << i << " at " << p.xr[0] << " " << p.xr[1] << " " << p.xr[2];
  }
}

// A difference map: the deep minimum is a peak, listed negative after the
// positive ones; |-1| is below 0.5 of the highest. Read as a Fourier map,
// minima are no peaks.
const Spikes kTwoUpTwoDown = {{{2, 2, 2}, 4.0f}, {{7, 3, 5}, 3.0f}, {{5, 8, 1}, -5.0f}, {{1, 6, 8}, -1.0f}};

INSTANTIATE_TEST_SUITE_P(
    PeakSearch, SpikeMaps,
    ::testing::Values(
        SpikeCase{"zero_pkmin_prints_nothing", kM3m, 1, {8, 8, 8}, 2, 0.0f, {{{0, 0, 0}, 5.0f}}, 0.0f, -1, {}},
        // Flat: the height equals the maximum, never strictly above it.
        SpikeCase{"nothing_above_the_threshold_prints_only_the_count", kP1, 0, {6, 6, 6}, 2, 1.0f, {}, 1.0f, 0, {}},
        SpikeCase{"difference_map_lists_the_deep_minimum_last", kP1, 0, {10, 10, 10}, 3, 0.0f, kTwoUpTwoDown, 0.5f,
                  3, {{4.0f, 1}, {3.0f, 1}, {-5.0f, 1}}},
        SpikeCase{"fourier_map_has_no_minima", kP1, 0, {10, 10, 10}, 2, 0.0f, kTwoUpTwoDown, 0.5f, 2,
                  {{4.0f, 1}, {3.0f, 1}}},
        // P2_1: a vector u and its images under 2/m (no screw translation)
        // are one Patterson peak of multiplicity 4, the origin one of
        // multiplicity 1.
        SpikeCase{"patterson_peaks_follow_the_patterson_symmetry", kP21, 0, {12, 12, 12}, 1, 0.0f,
                  {{{0, 0, 0}, 10.0f}, {{3, 2, 5}, 4.0f}, {{9, 2, 7}, 4.0f}, {{9, 10, 7}, 4.0f}, {{3, 10, 5}, 4.0f}},
                  0.1f, 5, {{10.0f, 1}, {4.0f, 4}}}),
    [](const ::testing::TestParamInfo<SpikeCase>& i) { return std::string(i.param.name); });

// The search reads the map it is handed, not the work grid: a map of its
// own, with the work grid holding another one, gives its own peaks and
// extrema.
TEST(PeakSearch, ReadsTheMapOfItsViewNotTheWorkGrid) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  crystal3(cr, rs, w, kP1, 0, {10, 10, 10}, 2);
  std::vector<float> own(1000, 0.0f);
  own[flat({7, 3, 5}, {10, 10, 10})] = 3.0f;
  own[flat({5, 8, 1}, {10, 10, 10})] = -2.0f;
  spiked(cr, w, {10, 10, 10}, 0.0f, {{{2, 2, 2}, 9.0f}});
  Quiet q;
  const Peaks pk = pksearchnd(setsym(cr, rs), gridview(cr.grid, own.data()), 0.5f);
  ASSERT_EQ(pk.list.size(), 1u);
  float dmin, dmax, xmn[6], xmx[6];
  EXPECT_EQ(pk.list[0].pr, 3.0f);
  EXPECT_NEAR(pk.list[0].xr[0], 0.7, 1e-6);
  getpeakcrd(cr.setting, gridview(cr.grid, own.data()), dmin, xmn, dmax, xmx);
  EXPECT_EQ(dmin, -2.0f);
  EXPECT_EQ(dmax, 3.0f);
  EXPECT_NEAR(xmn[1], 0.8, 1e-6);
}

TEST(PeakSearch, ListingHasTheHeaderAndOneLinePerIndependentPeak) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  crystal3(cr, rs, w, kP1, 0, {10, 10, 10});
  Quiet q;
  const Peaks pk = pksearchnd(cr, rs, spiked(cr, w, {10, 10, 10}, 0.0f, {{{3, 0, 9}, 2.5f}}), 0.1f);
  // The header, then one line to the end: number 1, multiplicity 1, the
  // grid value and point, then the refined position and height, which for a
  // lone spike are where it is. The list returned is the list printed.
  const std::string t = q.text(), head = "  no  multpl. peak     coordinates\n";
  ASSERT_NE(t.find(head), std::string::npos) << t;
  EXPECT_EQ(t.find('\n', t.find(head) + head.size()), t.size() - 1) << t;
  const std::vector<Peak> listed = trovan_test::listedpeaks(t);
  ASSERT_EQ(listed.size(), 1u);
  ASSERT_EQ(pk.list.size(), 1u);
  const float x[3] = {0.3f, 0.0f, 0.9f};
  for (const Peak& p : {listed[0], pk.list[0]}) {
    EXPECT_EQ(p.mult, 1);
    EXPECT_EQ(p.pr, 2.5f);
    for (int d = 0; d < 3; ++d) EXPECT_NEAR(p.xr[d], x[d], 5e-5);
  }
  EXPECT_FLOAT_EQ(listed[0].p, 2.5f);
  for (int d = 0; d < 3; ++d) {
    EXPECT_FLOAT_EQ(listed[0].x[d], x[d]) << d;
    EXPECT_FLOAT_EQ(listed[0].xr[d], x[d]) << d;
  }
}

TEST(PeakSearch, PeaksAreSizedByWhatTheSearchFinds) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  // Ones on the points with all coordinates even, each with only lower
  // neighbours: nt / 8 = 32768 peaks; in m-3m they fall into the orbits of
  // those points under the 48 signed permutations.
  crystal3(cr, rs, w, kM3m, 1, {64, 64, 64});
  float* map = getabcdr(w);
  const std::vector<int> n = {64, 64, 64};
  std::set<std::array<int, 3>> orbits;
  for (int c = 0; c < 64; ++c)
    for (int b = 0; b < 64; ++b)
      for (int a = 0; a < 64; ++a) {
        const bool even = a % 2 == 0 && b % 2 == 0 && c % 2 == 0;
        map[flat({a, b, c}, n)] = even ? 1.0f : 0.0f;
        if (!even) continue;
        // The orbit's smallest member: coordinates folded to 0..32 (a sign
        // change), sorted (a permutation).
        std::array<int, 3> k = {std::min(a, 64 - a), std::min(b, 64 - b), std::min(c, 64 - c)};
        std::sort(k.begin(), k.end());
        orbits.insert(k);
      }
  {
    Quiet q;
    const Peaks pk = pksearchnd(cr, rs, getabcdr(w), 0.5f);
    EXPECT_NE(q.text().find(num_text(32768)), std::string::npos);
    EXPECT_EQ(pk.list.size(), orbits.size());
  }

  // Isolated ones on the points with all coordinates even: 12^3 = 1728
  // independent peaks in P1.
  crystal3(cr, rs, w, kP1, 0, {24, 24, 24});
  map = getabcdr(w);  // the work grid of the new grid
  for (int c = 0; c < 24; ++c)
    for (int b = 0; b < 24; ++b)
      for (int a = 0; a < 24; ++a)
        map[flat({a, b, c}, {24, 24, 24})] = (a % 2 == 0 && b % 2 == 0 && c % 2 == 0) ? 1.0f : 0.0f;
  Quiet q;
  EXPECT_EQ(pksearchnd(cr, rs, getabcdr(w), 0.5f).list.size(), 1728u);
  EXPECT_EQ(trovan_test::count_of(q.text(), "order of site group   1"), 1728);
}

TEST(PeakSearch, UnknownCentringStops) {
  RunState rs;
  WorkGrid w;
  Crystal cr;
  crystal3(cr, rs, w, kP1, 0, {4, 4, 4});
  cr.setting.brv = 'q';
  float x[6];
  Quiet q;
  EXPECT_EQ(stop_message([&] { gridtox(setsym(cr, rs), 5, x); }), "invalid brv");
}

TEST(PeakSearch, CoordinatesLieInTheSettingCell) {
  Crystal cr;
  // Setting coordinates of grid points, for a primitive, a face- and a
  // body-centred 6-D cell and superstructures, on dyadic and on other grid
  // sizes: all in [-0.001, 1), in fact in [0, 1) since no grid fraction
  // lies just below a whole number, and equal to M x_grid mod 1.
  for (int n : {4, 12})
    for (char brv : {'p', 'f', 'i'})
      for (int ismtr : {0, 3, -3}) {
        setting(cr, 2, brv, ismtr, 0);
        gensymo(cr, 0, nullptr, nullptr);
        grid(cr, 6, {n, n, n, n, n, n});
        const PeakSymmetry ps = setsym(cr, RunState{});
        double m[36];
        getsetmtrx(cr.setting, m);
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> pick(0, static_cast<int>(getnt(cr.grid)) - 1);
        for (int trial = 0; trial < 300; ++trial) {
          const int j = pick(rng);
          float x[6];
          gridtox(ps, j, x);
          int g[6];
          getitoxyz(cr.grid, j, g);
          for (int e = 0; e < 6; ++e) {
            EXPECT_GE(x[e], 0.0f) << n << brv << ismtr;
            EXPECT_LT(x[e], 1.0f);
            double s = 0;
            for (int c = 0; c < 6; ++c) s += m[at(e, c)] * g[c] / n;
            const double dd = s - x[e];
            EXPECT_NEAR(dd, std::nearbyint(dd), 1e-5) << n << brv << ismtr;
          }
        }
      }
}

// The scan is shared among threads on a large grid: the first of equal
// extremes must still win across the parts and the vector lanes, and a value
// that is not a number is passed over.
TEST(Extrema, FirstLowestAndFirstHighestInGridOrder) {
  for (const std::vector<int>& n : {std::vector<int>{5, 4, 2}, std::vector<int>{100, 100, 64}}) {
    Crystal cr;
    RunState rs;
    WorkGrid w;
    crystal3(cr, rs, w, kP1, 0, n);
    const int nt = n[0] * n[1] * n[2];
    const std::vector<int> top = {n[0] - 1, 1, 0}, low = {0, 2, 1};
    // The later equal extremes are not taken.
    const float* map = spiked(cr, w, n, 1.0f,
                              {{top, 7.0f}, {{2, n[1] - 1, 1}, 7.0f}, {{n[0] - 1, n[1] - 1, n[2] - 1}, 7.0f},
                               {low, -2.0f}, {{3, n[1] - 1, 1}, -2.0f}, {{1, n[1] - 1, n[2] - 1}, -2.0f},
                               {{1, 0, 0}, std::nanf("")}});
    float dmin, dmax, xmn[6], xmx[6];
    getpeakcrd(cr.setting, gridview(cr.grid, map), dmin, xmn, dmax, xmx);
    EXPECT_EQ(dmin, -2.0f);
    EXPECT_EQ(dmax, 7.0f);
    for (int e = 0; e < 3; ++e) {
      EXPECT_FLOAT_EQ(xmn[e], float(low[e]) / n[e]) << "grid " << nt << " axis " << e;
      EXPECT_FLOAT_EQ(xmx[e], float(top[e]) / n[e]) << "grid " << nt << " axis " << e;
    }
  }
}

// ---------------------------------------------------------------------------
// Equivalence and site symmetry

TEST(Equivalence, TranslationEquivalentPositionsMatchThroughTheIdentity) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  crystal3(cr, rs, w, kP1, 0, {4, 4, 4});
  const PeakSymmetry ps = setsym(cr, rs);
  const float a[6] = {0.25f, 0.5f, 0.125f, 0, 0, 0};
  const float b[6] = {1.25f, -0.5f, 3.125f, 0, 0, 0};
  const float c[6] = {0.25f, 0.5f, 0.126f, 0, 0, 0};
  EXPECT_EQ(iequiv0(ps, b, a), 1);
  EXPECT_EQ(iequiv0(ps, c, a), 0);
  EXPECT_EQ(rcpmp1(ps.idm, a, b), 1);
  const float near0[6] = {0.999996f, 0.0f, 0.0f, 0, 0, 0}, zero[6] = {0, 0, 0, 0, 0, 0};
  EXPECT_EQ(rcpmp1(ps.idm, near0, zero), 1);

  // Two peaks one whole cell apart merge into one independent peak.
  const float x[12] = {0.25f, 0.5f, 0.125f, 0, 0, 0, 1.25f, 0.5f, -0.875f, 0, 0, 0};
  const float p[2] = {1.0f, 2.0f};
  Quiet q;
  const Peaks pk = indatm(ps, 2, x, p);
  ASSERT_EQ(pk.list.size(), 1u);
  EXPECT_EQ(pk.list[0].pr, 1.0f);  // the first in stored order represents the class
}

// The merging as plainly defined: each peak in stored order not yet
// classified starts a class, and takes every unclassified peak that some
// element of the group carries onto it.
std::set<int> plain_representatives(const PeakSymmetry& ps, int na, const std::vector<float>& x) {
  std::vector<int> flag(na, 0);
  std::set<int> reps;
  for (int i = 0; i < na; ++i) {
    if (flag[i] != 0) continue;
    reps.insert(i);
    flag[i] = 1;
    for (int j = 0; j < na; ++j)
      if (flag[j] == 0 && iequiv0(ps, &x[6 * j], &x[6 * i])) flag[j] = 2;
  }
  return reps;
}

void expect_merging_as_defined(Crystal& cr, RunState& rs, int na, const std::string& what) {
  std::mt19937 rng(23);
  std::uniform_int_distribution<int> pick(0, static_cast<int>(getnt(cr.grid)) - 1);
  std::vector<float> x(6 * na), p(na);
  const PeakSymmetry ps = setsym(cr, rs);
  for (int i = 0; i < na; ++i) {
    gridtox(ps, pick(rng), &x[6 * i]);
    p[i] = static_cast<float>(i + 1);  // the height names the peak
  }
  const std::set<int> want = plain_representatives(ps, na, x);
  Quiet q;
  const Peaks pk = indatm(ps, na, x.data(), p.data());
  std::set<int> got;
  for (std::size_t i = 0; i < pk.list.size(); ++i) {
    got.insert(static_cast<int>(pk.list[i].pr) - 1);
    if (i > 0) {
      EXPECT_GT(pk.list[i - 1].pr, pk.list[i].pr);  // sorted by decreasing height
    }
  }
  EXPECT_EQ(got, want) << what;
  EXPECT_LT(want.size(), static_cast<std::size_t>(na)) << what << ": nothing merged";
}

TEST(Equivalence, MergingEqualsThePlainDefinitionInTheCubicGroup) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  crystal3(cr, rs, w, kM3m, 1, {6, 6, 6});  // a coarse grid: many peaks share coordinates
  expect_merging_as_defined(cr, rs, 400, "m-3m");
}

TEST(Equivalence, MergingEqualsThePlainDefinitionOnAFaceCentredIcosahedralCell) {
  RunState rs;
  Crystal cr;
  icosahedral(cr, 'f', 4);
  expect_merging_as_defined(cr, rs, 100, "icosahedral f");
}

// Adds y to the set unless a member equals it modulo whole numbers over the
// first dim components.
void add_new(std::vector<std::vector<double>>& set, const std::vector<double>& y, int dim, double tol) {
  for (const auto& u : set) {
    bool same = true;
    for (int e = 0; e < dim; ++e) same = same && std::fabs(u[e] - y[e] - std::nearbyint(u[e] - y[e])) < tol;
    if (same) return;
  }
  set.push_back(y);
}

// The centring translations found independently: sums of up to three of
// each column of M, modulo whole numbers.
std::vector<std::vector<double>> centring_translations(Crystal& cr, int idm) {
  double m[36];
  getsetmtrx(cr.setting, m);
  std::vector<std::vector<double>> t;
  int combos = 1;
  for (int d = 0; d < idm; ++d) combos *= 4;
  for (int k = 0; k < combos; ++k) {
    std::vector<double> v(6, 0.0);
    int r = k;
    for (int c = 0; c < idm; ++c) {
      const int f = r % 4;
      r /= 4;
      for (int e = 0; e < idm; ++e) v[e] += f * m[at(e, c)];
    }
    for (double& e : v) e -= std::floor(e + 1e-9);
    add_new(t, v, 6, 1e-6);
  }
  return t;
}

// Distinct images of x in the setting cell, by brute force over operators,
// inversion and centring translations.
int distinct_images(Crystal& cr, const float* x, int idm, const std::vector<std::vector<double>>& ctr) {
  std::vector<std::vector<double>> img;
  const int nsym = cr.group.nsymo(), ic = cr.group.icent != 0 ? 1 : 0;
  for (int s = 1; s <= nsym; ++s)
    for (int k = 0; k <= ic; ++k)
      for (const auto& c : ctr) {
        int r[36];
        double t[6];
        getsymrot(cr.group, s, r);
        getsymtrn(cr.group, s, t);
        std::vector<double> y(6, 0.0);
        for (int e = 0; e < idm; ++e) {
          double v = t[e];
          for (int i = 0; i < idm; ++i) v += r[at(e, i)] * double(x[i]);
          if (k) v = -v;
          v += c[e];
          y[e] = v - std::floor(v);
        }
        add_new(img, y, idm, 1e-5);
      }
  return static_cast<int>(img.size());
}

// Positions with site symmetry: the centroid of the orbit of a random
// position under the cyclic group of one element is fixed by it.
std::vector<std::vector<float>> test_positions(Crystal& cr, int idm, std::mt19937& rng) {
  std::vector<std::vector<float>> xs;
  std::uniform_real_distribution<double> u(0, 1);
  std::uniform_int_distribution<int> pick(1, cr.group.nsymo());
  xs.push_back(std::vector<float>(6, 0.0f));  // origin
  std::vector<float> half(6, 0.0f);
  for (int e = 0; e < idm; ++e) half[e] = 0.5f;
  xs.push_back(half);
  for (int trial = 0; trial < 12; ++trial) {
    std::vector<double> x(6, 0.0);
    for (int e = 0; e < idm; ++e) x[e] = u(rng);
    std::vector<float> p(6, 0.0f);
    if (trial < 2) {
      for (int e = 0; e < idm; ++e) p[e] = static_cast<float>(x[e]);  // general
    } else {
      const int s = pick(rng);
      const int k = (cr.group.icent != 0 && trial % 3 == 0) ? 1 : 0;
      int r[36];
      double t[6];
      getsymrot(cr.group, s, r);
      getsymtrn(cr.group, s, t);
      std::vector<double> sum(6, 0.0), cur = x;
      int n = 0;
      do {
        for (int e = 0; e < 6; ++e) sum[e] += cur[e];
        std::vector<double> nx(6, 0.0);
        for (int e = 0; e < idm; ++e) {
          double v = t[e];
          for (int i = 0; i < idm; ++i) v += r[at(e, i)] * cur[i];
          nx[e] = k ? -v : v;
        }
        cur = nx;
        ++n;
      } while (n < 24 && [&] {
        for (int e = 0; e < idm; ++e)
          if (std::fabs(cur[e] - x[e]) > 1e-9) return true;
        return false;
      }());
      for (int e = 0; e < idm; ++e) {
        const double v = sum[e] / n;
        p[e] = static_cast<float>(v - std::floor(v));
      }
    }
    xs.push_back(p);
  }
  return xs;
}

void expect_orbit_stabiliser(Crystal& cr, RunState& rs, int idm, const std::string& what, std::size_t kinds = 3) {
  std::mt19937 rng(11);
  const auto ctr = centring_translations(cr, idm);
  const PeakSymmetry ps = setsym(cr, rs);
  int nsym = 0, icent = 0, ncent = 0;
  getsym(ps, nsym, icent, ncent);
  EXPECT_EQ(nsym, cr.group.nsymo()) << what;
  EXPECT_EQ(ncent, static_cast<int>(ctr.size())) << what;
  const int order_g = nsym * (1 + icent) * ncent;
  EXPECT_EQ(getnspgop(ps), order_g) << what;
  std::set<int> orders;
  for (const auto& x : test_positions(cr, idm, rng)) {
    int mult = 0, order = 0;
    Quiet q;
    sitesy1(ps, 1, x.data(), &mult, &order);
    const int images = distinct_images(cr, x.data(), idm, ctr);
    EXPECT_EQ(mult, images) << what;
    EXPECT_EQ(images * order, order_g) << what;
    orders.insert(order);
    // The order is the number of group elements that fix the position.
    int fixing = 0;
    for (int g = 0; g < getnspgop(ps); ++g) {
      int r[36];
      double t[6];
      getspgop(ps, g, r, t);
      bool fixes = true;
      for (int e = 0; e < idm; ++e) {
        double v = t[e] - double(x[e]);
        for (int i = 0; i < idm; ++i) v += r[at(e, i)] * double(x[i]);
        fixes = fixes && std::fabs(v - std::nearbyint(v)) < 1e-5;
      }
      fixing += fixes;
    }
    EXPECT_EQ(fixing, order) << what;
  }
  EXPECT_GE(orders.size(), kinds) << what << ": too few kinds of site";
}

// Groups with and without translations, in three and four dimensions: the
// group given by its generators on an 8^idm grid, the number of site kinds
// the test positions must show.
TEST(SiteSymmetry, OrbitStabiliserInThreeAndFourDimensions) {
  struct Case {
    const char* name;
    int ndm, icent, idm;
    std::vector<std::string> generators;
    int nsymo;
    std::size_t kinds;
  };
  const Case cases[] = {
      {"m-3m", 0, 1, 3, kM3m, 24, 3},
      // P 4_2/mnm-like: a screw axis and a glide give translations 1/2.
      {"P42/mnm", 0, 1, 3, {"-y+1/2,x+1/2,z+1/2,t,u,v", "x+1/2,-y+1/2,-z+1/2,t,u,v"}, 8, 3},
      // The mirror with t+1/2 fixes no point: sites of order 1 and 2 only.
      {"(3+1)-D", 1, 0, 4, {"x,y,-z,t+1/2,u,v", "-x,-y,z,-t,u,v"}, 4, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunState rs;
    Crystal cr;
    setting(cr, 0, 'p', 0, c.icent, c.ndm);
    cr.group.idm = cr.grid.idm = c.idm;
    close_text(cr, c.generators);
    ASSERT_EQ(cr.group.nsymo(), c.nsymo);
    grid(cr, c.idm, std::vector<int>(c.idm, 8));
    expect_orbit_stabiliser(cr, rs, c.idm, c.name, c.kinds);
  }
}

TEST(SiteSymmetry, OrbitStabiliserInTheIcosahedralGroupForEveryCentring) {
  RunState rs;
  Crystal cr;
  for (char brv : {'p', 'f', 'i'}) {
    icosahedral(cr, brv, 4);
    ASSERT_EQ(cr.group.nsymo(), 60);
    expect_orbit_stabiliser(cr, rs, 6, std::string("icosahedral ") + brv);
    const PeakSymmetry ps = setsym(cr, rs);
    int nsym, icent, ncent;
    getsym(ps, nsym, icent, ncent);
    // 6-D face centring: the 32 vectors of halves with an even number of
    // halves; body centring: 0 and (1/2, ..., 1/2).
    EXPECT_EQ(ncent, brv == 'p' ? 1 : brv == 'f' ? 32 : 2) << brv;
    for (int k = 0; k < ncent; ++k) {
      float c[6];
      getcentring(ps, k, c);
      int halves = 0;
      for (float e : c) {
        EXPECT_TRUE(e == 0.0f || e == 0.5f) << brv;
        halves += e == 0.5f;
      }
      if (brv == 'f') {
        EXPECT_EQ(halves % 2, 0);
      }
      if (brv == 'i') {
        EXPECT_TRUE(halves == 0 || halves == 6);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Synthetic maps of real structures

// Sum of Gaussians (width sigma, fractions of the cell) at the given atoms
// and all their lattice translations, on an n^3 grid of a cubic cell.
void gaussian_map(WorkGrid& w, int n, const std::vector<std::vector<double>>& atoms,
                  const std::vector<double>& z,
                  double sigma) {
  float* map = getabcdr(w);
  for (int c = 0; c < n; ++c)
    for (int b = 0; b < n; ++b)
      for (int a = 0; a < n; ++a) {
        const double p[3] = {double(a) / n, double(b) / n, double(c) / n};
        double v = 0;
        for (std::size_t k = 0; k < atoms.size(); ++k) {
          double r2 = 0;
          for (int e = 0; e < 3; ++e) {
            double dd = p[e] - atoms[k][e];
            dd -= std::nearbyint(dd);
            r2 += dd * dd;
          }
          v += z[k] * std::exp(-r2 / (2 * sigma * sigma));
        }
        map[a + n * (b + n * c)] = static_cast<float>(v);
      }
}

TEST(SyntheticStructure, PerovskiteGivesOnePeakPerSiteWithItsMultiplicity) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  crystal3(cr, rs, w, kM3m, 1, {16, 16, 16}, 2, 6);  // hmax 16 16 16 1 1 1
  // Sr at the origin, Ti at the body centre, O at the face centres; the
  // heights stand for their electron counts.
  gaussian_map(w, 16,
               {{0, 0, 0}, {0.5, 0.5, 0.5}, {0.5, 0.5, 0}, {0.5, 0, 0.5}, {0, 0.5, 0.5}},
               {38, 22, 8, 8, 8}, 0.06);
  Quiet q;
  const Peaks pk = pksearchnd(cr, rs, getabcdr(w), 0.1f);
  ASSERT_EQ(pk.list.size(), 3u) << q.text();
  // Sr, Ti, then O at any one of the three face centres.
  const float sites[3][3][3] = {{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
                                {{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}},
                                {{0.5f, 0.5f, 0}, {0.5f, 0, 0.5f}, {0, 0.5f, 0.5f}}};
  const int mult[3] = {1, 1, 3};
  const float height[3] = {38, 22, 8};
  for (int s = 0; s < 3; ++s) {
    const Peak& e = pk.list[s];
    EXPECT_TRUE(same_site(e.xr, sites[s][0], 3) || same_site(e.xr, sites[s][1], 3) || same_site(e.xr, sites[s][2], 3))
        << s;
    EXPECT_EQ(e.mult, mult[s]) << s;
    EXPECT_NEAR(e.pr, height[s], 0.01) << s;
    for (int d = 0; d < 3; ++d) {
      EXPECT_GE(e.xr[d], -0.001f);
      EXPECT_LT(e.xr[d], 1.0f);
    }
  }
  // Sites of 48, 48 and 16 elements: the origin and body centre keep the
  // whole point group m-3m, a face centre 4/mmm.
  const std::string t = q.text();
  EXPECT_NE(t.find("multiplicity     1 order of site group  48"), std::string::npos);
  EXPECT_NE(t.find("multiplicity     3 order of site group  16"), std::string::npos);
  EXPECT_NE(t.find("number of peaks        5"), std::string::npos);
  EXPECT_NE(t.find("number of independent peaks      3"), std::string::npos);
}

TEST(SyntheticStructure, GeneralPositionInTheCubicGroupHasMultiplicity48) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  crystal3(cr, rs, w, kM3m, 1, {24, 24, 24});
  // One atom in a general position and all its 48 images.
  const float x0[6] = {2.0f / 24, 5.0f / 24, 9.0f / 24, 0, 0, 0};
  std::vector<std::vector<double>> atoms;
  const PeakSymmetry ps = setsym(cr, rs);
  for (int g = 0; g < getnspgop(ps); ++g) {
    int r[36];
    double t[6];
    getspgop(ps, g, r, t);
    std::vector<double> y(3);
    for (int e = 0; e < 3; ++e) {
      double v = t[e];
      for (int i = 0; i < 3; ++i) v += r[at(e, i)] * double(x0[i]);
      y[e] = v;
    }
    atoms.push_back(y);
  }
  ASSERT_EQ(atoms.size(), 48u);
  gaussian_map(w, 24, atoms, std::vector<double>(48, 10.0), 0.02);
  Quiet q;
  const Peaks pk = pksearchnd(cr, rs, getabcdr(w), 0.5f);
  ASSERT_EQ(pk.list.size(), 1u) << q.text();
  EXPECT_EQ(pk.list[0].mult, 48);
  EXPECT_EQ(iequiv0(ps, pk.list[0].xr, x0), 1);
  EXPECT_NE(q.text().find(num_text(48)), std::string::npos);
}

// A 6-D icosahedral model on the F-centred cell: sites at the origin, at
// (1/2,0,0,0,0,0) and at (1/4,0,0,0,0,0) of the setting cell, every image
// under the group (centring translations included) a Gaussian on the
// primitive grid. The search must give back one peak per site, at an image
// of the model's position in the setting cell, with the multiplicity of
// the site there.
TEST(SyntheticStructure, IcosahedralFaceCentredModelComesBackInTheSettingCell) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  const int n = 8;
  icosahedral(cr, 'f', n);
  sizeworkgrid(w, getnt(cr.grid));
  rs.iplot = 2;
  double mi[36];
  getsetmtrxinv(cr.setting, mi);

  const float sites[3][6] = {{0, 0, 0, 0, 0, 0}, {0.5f, 0, 0, 0, 0, 0}, {0.25f, 0, 0, 0, 0, 0}};
  const double height[3] = {10, 6, 3};
  const auto ctr = centring_translations(cr, 6);
  ASSERT_EQ(ctr.size(), 32u);
  // Grid-basis images (grid steps) of each site, without repeats.
  std::vector<std::vector<int>> atoms;
  std::vector<double> zs;
  for (int s = 0; s < 3; ++s) {
    std::set<std::vector<int>> seen;
    for (int op = 1; op <= cr.group.nsymo(); ++op)
      for (int k = 0; k <= 1; ++k) {
        float y[6];
        getrx(cr.group, sites[s], y, op, k);
        std::vector<int> g(6);
        for (int e = 0; e < 6; ++e) {
          double v = 0;
          for (int c = 0; c < 6; ++c) v += mi[at(e, c)] * y[c];
          const double steps = v * n;
          ASSERT_NEAR(steps, std::nearbyint(steps), 1e-6);  // the site lies on the grid
          g[e] = ((static_cast<int>(std::nearbyint(steps)) % n) + n) % n;
        }
        if (seen.insert(g).second) {
          atoms.push_back(g);
          zs.push_back(height[s]);
        }
      }
  }
  float* map = getabcdr(w);
  const int nt = static_cast<int>(getnt(cr.grid));
  for (int j = 0; j < nt; ++j) {
    int g[6];
    getitoxyz(cr.grid, j, g);
    double v = 0;
    for (std::size_t a = 0; a < atoms.size(); ++a) {
      double r2 = 0;
      for (int e = 0; e < 6; ++e) {
        int dd = (g[e] - atoms[a][e]) % n;
        if (dd > n / 2) dd -= n;
        if (dd < -n / 2) dd += n;
        r2 += double(dd) * dd;
      }
      if (r2 < 30) v += zs[a] * std::exp(-r2 / (2 * 0.5 * 0.5));
    }
    map[j] = static_cast<float>(v);
  }

  Quiet q;
  // The Gaussians are round in grid steps: so is the metric of the fit.
  double metric[36] = {};
  for (int e = 0; e < 6; ++e) metric[at(e, e)] = 1;
  const PeakSymmetry ps = setsym(cr, rs);
  const Peaks pk = pksearchnd(ps, gridview(cr.grid, map), 0.1f, metric);
  ASSERT_EQ(pk.list.size(), 3u) << q.text().substr(0, 4000);
  EXPECT_NE(q.text().find(num_text(static_cast<int>(atoms.size()))), std::string::npos);
  for (int s = 0; s < 3; ++s) {
    const float* x = pk.list[s].xr;
    const float h = pk.list[s].pr;
    const int m = pk.list[s].mult;
    EXPECT_NEAR(h, height[s], 0.01);
    EXPECT_EQ(iequiv0(ps, x, sites[s]), 1) << "site " << s;
    EXPECT_EQ(m, distinct_images(cr, sites[s], 6, ctr)) << "site " << s;
    for (int e = 0; e < 6; ++e) {
      EXPECT_GE(x[e], -0.001f);
      EXPECT_LT(x[e], 1.0f);
      // Setting coordinates of this model are multiples of 1/4.
      EXPECT_NEAR(x[e] * 4, std::nearbyint(x[e] * 4), 1e-5);
    }
  }
  // The origin and (1/2,0,...) keep the whole point group; the images
  // of each are the 32 centring translations (shifted).
  EXPECT_EQ(pk.list[0].mult, 32);
  EXPECT_EQ(pk.list[1].mult, 32);
}

// The Fourier map of the bundled perovskite example, as a user runs it:
// one listed peak per site at the model's coordinates, Sr > Ti > O.
TEST(FourierMapRun, PerovskiteExampleListsItsThreeSites) {
  using namespace trovan_test;
  const fs::path dir = scratch_dir("peaks_perovskite");
  const fs::path ex = source_dir() / "examples/perovskite";
  fs::copy_file(ex / "perovskite.hkl", dir / "perovskite.hkl");
  std::string input = slurp(ex / "perovskite.inp");
  const std::size_t at_pkmin = input.find("pkmin=");
  ASSERT_NE(at_pkmin, std::string::npos);
  const std::size_t end = input.find_first_of(" \n", at_pkmin);
  input.replace(at_pkmin, end - at_pkmin, "pkmin=0.05");
  const RunResult r = run_trovan(dir, input, "CLCMPPATH='" + (source_dir() / "plot").string() + "'");
  ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);
  // Numbered 1, 2, 3 and followed by the map's extrema: no fourth peak.
  const std::vector<Peak> list = listedpeaks(r.out);
  ASSERT_EQ(list.size(), 3u) << r.out;
  const std::size_t hdr = r.out.find("  no  multpl. peak     coordinates\n");
  std::istringstream after(r.out.substr(hdr));
  std::string line;
  for (int i = 0; i < 5; ++i) std::getline(after, line);
  EXPECT_EQ(line.rfind("dmin=", 0), 0u) << line;
  // Sr at the origin, Ti at the body centre, O at one of the face centres
  // (two halves), in order of decreasing height.
  const int mult[3] = {1, 1, 3}, halves[3] = {0, 3, 2};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(list[i].mult, mult[i]) << i;
    EXPECT_LT(list[i].p, i > 0 ? list[i - 1].p : 1e30f) << i;
    int h = 0;
    for (int e = 0; e < 3; ++e) {
      h += std::fabs(list[i].x[e] - 0.5) < 1e-4;
      EXPECT_TRUE(std::fabs(list[i].x[e] - 0.5) < 1e-4 || std::fabs(list[i].x[e]) < 1e-4) << i << " " << e;
    }
    EXPECT_EQ(h, halves[i]) << i;
  }
  fs::remove_all(dir);
}

// ---------------------------------------------------------------------------
// Fourier and Patterson maps of model crystals, run as a user runs them: the
// reflections of a model of tools/sfmodel.hpp (phases in the standard
// sign), a grid on which the atoms fall between grid points, the peak
// list compared with the model's atoms.

// A model in a primitive cell, or (`crystal`) one in a centred cell of the
// general setting (brv 'f', 'c', 'r'), whose peaks come in the coordinates of
// the conventional cell with the Wyckoff multiplicities of the International
// Tables, centring translations included.
struct ModelCase {
  const char* name;
  ex::Example (*model)();
  ex::AtomCrystal (*crystal)();
  int n[3];       // grid
  double qimax;   // resolution of the data, 1/Angstrom
  double pkmin;
  bool patterson;
};

std::ostream& operator<<(std::ostream& o, const ModelCase& c) { return o << c.name; }

// A peak the map must show: every image of its position in the setting cell
// and its multiplicity.
struct Expected {
  std::string label;
  std::vector<std::array<double, 3>> images;
  int mult;
};

std::vector<Expected> expected_atoms(const ex::Example& e) {
  std::vector<Expected> want;
  for (const ex::Site& s : e.sites) {
    Expected w{s.label, {}, s.mult};
    for (const ex::Site& a : e.atoms)
      if (a.label == s.label) w.images.push_back({a.x[0], a.x[1], a.x[2]});
    // The model itself: the images of a site are its Wyckoff multiplicity.
    EXPECT_EQ(static_cast<int>(w.images.size()), s.mult) << e.name << " " << s.label;
    want.push_back(w);
  }
  return want;
}

// The Patterson peaks of a model: the interatomic vectors x_j - x_k of the
// cell, grouped into classes under the Patterson symmetry (the rotations of
// the group with the inversion, no translations: the setting cells here are
// primitive).
std::vector<Expected> expected_patterson(const ex::Example& e) {
  const std::vector<ex::IMat6> rots = ex::point_group(e.gens, true);
  auto reduce = [](double v) { return v - std::floor(v + 1e-9); };
  auto same = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
    for (int i = 0; i < 3; ++i)
      if (std::fabs(a[i] - b[i] - std::nearbyint(a[i] - b[i])) > 1e-7) return false;
    return true;
  };
  std::vector<Expected> want;
  for (const ex::Site& a : e.atoms)
    for (const ex::Site& b : e.atoms) {
      const std::array<double, 3> d = {reduce(a.x[0] - b.x[0]), reduce(a.x[1] - b.x[1]),
                                       reduce(a.x[2] - b.x[2])};
      bool known = false;
      for (const Expected& w : want)
        for (const auto& y : w.images) known = known || same(y, d);
      if (known) continue;
      Expected w{a.label + " - " + b.label, {}, 0};
      for (const ex::IMat6& r : rots) {
        std::array<double, 3> y{};
        for (int i = 0; i < 3; ++i)
          y[i] = reduce(r[i][0] * d[0] + r[i][1] * d[1] + r[i][2] * d[2]);
        bool seen = false;
        for (const auto& u : w.images) seen = seen || same(u, y);
        if (!seen) w.images.push_back(y);
      }
      w.mult = static_cast<int>(w.images.size());
      want.push_back(w);
    }
  return want;
}

trovan_test::InProcess run_model(const ex::Example& e, bool patterson) {
  using namespace trovan_test;
  const fs::path d = scratch_dir("model_" + e.name);
  write_file(d / (e.name + ".hkl"), ex::reflection_file(e, false));
  std::string inp = ex::keyword_input(e, false, "ng=0\n");
  for (const std::string key : {"file1='", "file2='"}) inp.insert(inp.find(key) + key.size(), d.string() + "/");
  if (patterson) inp.replace(inp.find("iplot=2"), 7, "iplot=1");
  InProcess r = run_inprocess(inp);
  fs::remove_all(d);
  return r;
}

// Every expected atom (or Patterson vector) is one listed peak within 0.2 of
// a grid step of one of its images, with its multiplicity; no other peaks.
void expect_peaks_at(const std::vector<Expected>& want, const trovan_test::InProcess& r) {
  ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);
  const Crystal& cr = r.job.crystal;
  const std::string listing = r.out.substr(std::min(r.out.size(), r.out.find("number of peaks")));

  // Distances in grid steps: the setting difference, reduced by whole
  // cells, in the grid basis (M^-1), times the grid size, largest component.
  double mi[36];
  getsetmtrxinv(cr.setting, mi);
  int n[6];
  std::copy(cr.grid.n, cr.grid.n + 6, n);
  auto steps = [&](const float* x, const std::array<double, 3>& y) {
    double dl[6] = {};
    for (int i = 0; i < 3; ++i) dl[i] = double(x[i]) - y[i] - std::nearbyint(double(x[i]) - y[i]);
    double worst = 0;
    for (int g = 0; g < 6; ++g) {
      double s = 0;
      for (int i = 0; i < 6; ++i) s += mi[at(g, i)] * dl[i];
      worst = std::max(worst, std::fabs(s * n[g]));
    }
    return worst;
  };
  const std::vector<Peak> peaks = trovan_test::listedpeaks(r.out);
  EXPECT_EQ(peaks.size(), want.size()) << "spurious or missing peaks\n" << listing;
  for (const Expected& w : want) {
    double best = 1e9;
    int mult = 0;
    for (const Peak& pk : peaks)
      for (const auto& y : w.images) {
        const double s = steps(pk.xr, y);
        if (s < best) best = s, mult = pk.mult;
      }
    EXPECT_LE(best, 0.2) << w.label << ": no peak within 0.2 grid step\n" << listing;
    EXPECT_EQ(mult, w.mult) << w.label << "\n" << listing;
  }
}

class ModelPeaks : public ::testing::TestWithParam<ModelCase> {};

// A crystal of a centred cell, run on the grid n^3.
void expect_centred_peaks(ex::AtomCrystal c, int n, double qimax, double pkmin) {
  using namespace trovan_test;
  c.hmax[0] = c.hmax[1] = c.hmax[2] = n;
  c.qimax = qimax;
  std::vector<Expected> want;
  for (const ex::Atom& a : c.atoms) {
    Expected w{a.label, {}, a.mult};
    for (const auto& y : c.images(a)) w.images.push_back({y[0], y[1], y[2]});
    ASSERT_EQ(static_cast<int>(w.images.size()), a.mult) << a.label;
    want.push_back(w);
  }
  const fs::path d = scratch_dir(std::string("centred_") + c.name);
  write_file(d / "c.hkl", c.reflection_file());
  std::string inp = c.keyword_input((d / "c.hkl").string(), (d / "c.den").string());
  inp.replace(inp.find("pkmin=0.3"), 9, "pkmin=" + std::to_string(pkmin));
  const InProcess r = run_inprocess(inp);
  fs::remove_all(d);
  expect_peaks_at(want, r);
}

TEST_P(ModelPeaks, EveryAtomIsOnePeakAtItsPositionWithItsWyckoffMultiplicity) {
  const ModelCase& c = GetParam();
  if (c.crystal) return expect_centred_peaks(c.crystal(), c.n[0], c.qimax, c.pkmin);
  ex::Example e = c.model();
  for (int i = 0; i < 3; ++i) e.hmax[i] = c.n[i];
  e.qimax = c.qimax;
  e.pkmin = c.pkmin;
  const std::vector<Expected> want = c.patterson ? expected_patterson(e) : expected_atoms(e);
  expect_peaks_at(want, run_model(e, c.patterson));
}

// The atoms fall between grid points (6l at 3.77, 7.54 steps on 24^2); the
// spinel sites in its primitive cell at 10.5 (O, 40^3), 12.6 (O, 48^3) and
// 7.5 (Mg, 60^3) steps; quartz's Si at 14.09 steps along a.
INSTANTIATE_TEST_SUITE_P(
    Models, ModelPeaks,
    ::testing::Values(ModelCase{"hexagonal_6l_24", ex::hexagonal_6l, nullptr, {24, 24, 14}, 1.6, 0.3, false},
                      ModelCase{"hexagonal_6l_30", ex::hexagonal_6l, nullptr, {30, 30, 16}, 1.6, 0.3, false},
                      ModelCase{"spinel_p_40", ex::spinel_primitive, nullptr, {40, 40, 40}, 1.6, 0.3, false},
                      ModelCase{"spinel_p_48", ex::spinel_primitive, nullptr, {48, 48, 48}, 1.6, 0.3, false},
                      ModelCase{"spinel_p_60", ex::spinel_primitive, nullptr, {60, 60, 60}, 1.6, 0.3, false},
                      ModelCase{"quartz", [] { return ex::point_atoms(ex::quartz()); }, nullptr, {30, 30, 36}, 1.6, 0.3, false},
                      ModelCase{"wurtzite_patterson", [] { return ex::point_atoms(ex::zincite()); }, nullptr, {18, 18, 30}, 2.5, 0.08, true},
                      ModelCase{"spinel_f", nullptr, ex::spinel, {40, 40, 40}, 1.6, 0.3, false},
                      ModelCase{"monoclinic_c", nullptr, ex::cc_monoclinic, {32, 32, 32}, 1.6, 0.2, false},
                      ModelCase{"linbo3_r", nullptr, ex::lithium_niobate, {36, 36, 36}, 1.6, 0.05, false}),
    [](const ::testing::TestParamInfo<ModelCase>& i) { return std::string(i.param.name); });

}  // namespace
