// Crystals as users bring them from other programs: phases in the sign of
// the International Tables (F = sum f exp(+2 pi i h.x)), the centring
// letters of the general setting, generating elements as the tables print
// them. Each structure of tools/sfmodel.hpp is run end to end; its map must
// equal the direct Fourier sum of the model at every grid point (taken to
// the setting cell by x = M x_grid), be invariant under every operator of
// the group, and show the atoms where they are, not at their inverted
// positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/crystal.hpp"
#include "e2e_support.hpp"
#include "inprocess.hpp"
#include "tools/sfmodel.hpp"
#include "util/workgrid.hpp"

using namespace trovan_test;
using trovan::Crystal;
namespace ex = trovan::examples;

namespace {

using Classes = std::vector<std::vector<std::array<int, 3>>>;

struct CrystalRun {
  InProcess r;
  std::vector<float> map;
};

// Runs the crystal's Fourier map (file phases in the sign `phsign`).
CrystalRun run_crystal(const ex::AtomCrystal& c, const std::string& tag, int phsign = 1) {
  const fs::path d = scratch_dir("cryst_" + c.name + tag);
  write_file(d / "c.hkl", c.reflection_file(phsign));
  const std::string extra = phsign == 1 ? "" : "phsign=-1";
  CrystalRun run;
  run.r = run_inprocess(c.keyword_input((d / "c.hkl").string(), (d / "c.den").string(), 2, extra));
  if (run.r.status == 0) {
    const float* rho = trovan::getabcdr(run.r.job.map);
    run.map.assign(rho, rho + trovan::getnt(run.r.job.crystal.grid));
  }
  return run;
}

// Setting coordinates of grid point j: x = M x_grid.
void setting_coordinates(const Crystal& cr, int j, double* x) {
  int g[6], n[6];
  trovan::getitoxyz(cr.grid, j, g);
  std::copy(cr.grid.n, cr.grid.n + 6, n);
  double m[36];
  trovan::getsetmtrx(cr.setting, m);
  for (int i = 0; i < 3; ++i) {
    x[i] = 0;
    for (int k = 0; k < 3; ++k) x[i] += m[k * 6 + i] * g[k] / n[k];
  }
}

// The grid point nearest to setting coordinates x.
int nearest_grid_point(const Crystal& cr, const double* x) {
  double mi[36];
  trovan::getsetmtrxinv(cr.setting, mi);
  int n[6], g[6] = {0, 0, 0, 0, 0, 0};
  std::copy(cr.grid.n, cr.grid.n + 6, n);
  for (int i = 0; i < 3; ++i) {
    double v = 0;
    for (int k = 0; k < 3; ++k) v += mi[k * 6 + i] * x[k];
    g[i] = static_cast<int>(std::lround(v * n[i]));
  }
  return trovan::getxyztoj(cr.grid, g);
}

// Distance in Angstrom between two positions of the cell, over the nearest
// lattice translation.
double distance(const ex::AtomCrystal& c, const double* a, const double* b) {
  double best = 1e300;
  for (int o = 0; o < 27; ++o) {
    double d[3];
    for (int i = 0; i < 3; ++i) {
      double v = a[i] - b[i];
      v -= std::nearbyint(v);
      d[i] = v + (o / (i == 0 ? 1 : i == 1 ? 3 : 9)) % 3 - 1;
    }
    double s = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        s += d[i] * d[j] * c.abc[i] * c.abc[j] * (i == j ? 1.0 : c.cosang(3 - i - j));
    best = std::min(best, std::sqrt(s));
  }
  return best;
}

int count_after(const std::string& out, const std::string& label) {
  const std::size_t p = out.find(label);
  return p == std::string::npos ? -1 : std::stoi(out.substr(p + label.size()));
}

class Crystals : public ::testing::TestWithParam<int> {
 protected:
  static std::vector<ex::AtomCrystal> all() {
    return {ex::quartz(),        ex::zincite(),          ex::iron(),    ex::copper(),
            ex::cc_monoclinic(), ex::lithium_niobate(), ex::p212121()};
  }
  ex::AtomCrystal crystal() const { return all().at(GetParam()); }
};

std::string crystal_name(const ::testing::TestParamInfo<int>& info) {
  return std::vector<std::string>{"quartz", "zincite", "iron", "copper", "monoclinic_c", "linbo3",
                                  "p212121"}
      .at(info.param);
}

// The map is the model's density: every coefficient in its place with its
// phase, the centring's primitive cell and reflection conditions right.
TEST_P(Crystals, FourierMapEqualsTheDirectSumOfTheModel) {
  const ex::AtomCrystal c = crystal();
  const CrystalRun run = run_crystal(c, "sum");
  ASSERT_EQ(run.r.status, 0) << run.r.out;
  const Crystal& cr = run.r.job.crystal;
  EXPECT_EQ(count_after(run.r.out, "number of skiped reflections="), 0) << "qimax cut a reflection";
  EXPECT_EQ(count_after(run.r.out, "number of skipped reflections="), 0) << "hmax too small";
  EXPECT_FALSE(run.r.has("systematically absent")) << run.r.out;
  // One operator per coset of the centring translations, the inversion
  // implied when icent is set.
  const int ncentring = static_cast<int>(c.centring.size()) + 1;
  EXPECT_EQ(cr.group.nsymo() * ncentring * (c.icent != 0 ? 2 : 1), static_cast<int>(c.ops.size()));
  if (c.name == "copper") {
    EXPECT_EQ(cr.group.nsymo(), 48);
  }

  const Classes cls = c.classes();
  std::vector<std::vector<ex::cplx>> f(cls.size());
  for (std::size_t k = 0; k < cls.size(); ++k)
    for (const auto& h : cls[k]) f[k].push_back(c.F(h.data()));
  double maxabs = 0, maxerr = 0;
  for (std::size_t j = 0; j < run.map.size(); ++j) {
    double x[3];
    setting_coordinates(cr, static_cast<int>(j), x);
    const double want = c.density(x, cls, f);
    maxabs = std::max(maxabs, std::fabs(want));
    maxerr = std::max(maxerr, std::fabs(run.map[j] - want));
  }
  EXPECT_GT(maxabs, 1.0);
  EXPECT_LT(maxerr, 2e-5 * maxabs) << "largest deviation " << maxerr << " of " << maxabs;
}

TEST_P(Crystals, MapIsInvariantUnderEveryOperator) {
  const ex::AtomCrystal c = crystal();
  const CrystalRun run = run_crystal(c, "inv");
  ASSERT_EQ(run.r.status, 0) << run.r.out;
  const Crystal& cr = run.r.job.crystal;
  double maxabs = 0, worst = 0;
  for (float v : run.map) maxabs = std::max(maxabs, double(std::fabs(v)));
  for (std::size_t j = 0; j < run.map.size(); ++j) {
    int x[6];
    trovan::getitoxyz(cr.grid, static_cast<int>(j), x);
    for (int s = 1; s <= cr.group.nsymo(); ++s)
      for (int k = 0; k <= cr.group.ncent(); ++k)
        worst = std::max(worst, double(std::fabs(run.map[trovan::getrxij(cr.grid, x, s, k)] - run.map[j])));
  }
  EXPECT_LT(worst, 1e-5 * maxabs);
}

INSTANTIATE_TEST_SUITE_P(All, Crystals, ::testing::Range(0, 7), crystal_name);

// Non-centrosymmetric structures come out as they are, not inverted:
// quartz's 3_2 screws and the three 2_1 screws of P2_1 2_1 2_1 turn the
// phases of equivalent reflections against each other, so a wrong sign
// scrambles the map; a right one shows every atom, and nothing at the
// inverted positions that lie away from the atoms.
TEST(CrystalPhases, NonCentrosymmetricStructuresAreNotInverted) {
  for (const ex::AtomCrystal& c : {ex::quartz(), ex::p212121()}) {
    const CrystalRun run = run_crystal(c, "inverted");
    ASSERT_EQ(run.r.status, 0) << run.r.out;
    const float rmax = *std::max_element(run.map.begin(), run.map.end());
    double zmax = 0;
    for (const ex::Atom& a : c.atoms) zmax = std::max(zmax, a.z);
    std::vector<std::array<double, 3>> sites;
    for (const ex::Atom& a : c.atoms)
      for (const auto& y : c.images(a)) {
        sites.push_back(y);
        EXPECT_GT(run.map[nearest_grid_point(run.r.job.crystal, y.data())], 0.3 * rmax * a.z / zmax) << c.name << " " << a.label;
      }
    int away = 0;
    for (const auto& y : sites) {
      const double inv[3] = {-y[0], -y[1], -y[2]};
      double dmin = 1e300;
      for (const auto& s : sites) dmin = std::min(dmin, distance(c, inv, s.data()));
      if (dmin < 1.0) continue;
      ++away;
      EXPECT_LT(run.map[nearest_grid_point(run.r.job.crystal, inv)], 0.15 * rmax) << c.name << " inverted site";
    }
    EXPECT_GT(away, 0) << c.name;
  }
}

// The same structure factors written with the opposite sign and read with
// phsign=-1 give the same map; read with the default sign they are the
// enantiomorph's, whose centric phases (multiples of 60 degrees off the real
// axis under the 3_2 screws) quartz's group forbids: the run stops, naming a
// reflection and the sign it read the phases with.
TEST(CrystalPhases, PhaseSignMinusOneReadsTheConjugatePhases) {
  const ex::AtomCrystal c = ex::quartz();
  const CrystalRun plus = run_crystal(c, "plus", 1);
  const CrystalRun minus = run_crystal(c, "minus", -1);
  ASSERT_EQ(plus.r.status, 0) << plus.r.out;
  ASSERT_EQ(minus.r.status, 0) << minus.r.out;
  EXPECT_TRUE(minus.r.has("phsign= -1")) << minus.r.out;
  ASSERT_EQ(plus.map.size(), minus.map.size());
  double maxabs = 0, maxdiff = 0;
  for (std::size_t j = 0; j < plus.map.size(); ++j) {
    maxabs = std::max(maxabs, double(std::fabs(plus.map[j])));
    maxdiff = std::max(maxdiff, double(std::fabs(plus.map[j] - minus.map[j])));
  }
  EXPECT_LT(maxdiff, 1e-6 * maxabs);

  const fs::path d = scratch_dir("cryst_wrongsign");
  write_file(d / "c.hkl", c.reflection_file(-1));
  InProcess wrong = run_inprocess(c.keyword_input((d / "c.hkl").string(), (d / "c.den").string()));
  EXPECT_EQ(wrong.status, 2);
  EXPECT_TRUE(wrong.has("which its symmetry forbids: allowed are")) << wrong.out.substr(wrong.out.size() - 500);
  EXPECT_TRUE(wrong.has("degrees (phsign=1)\n")) << wrong.out.substr(wrong.out.size() - 500);
}

// The difference map takes the phases as the Fourier map does: with
// Fc = Fo/2 it is half the Fourier map without its origin term.
TEST(CrystalPhases, DifferenceMapIsHalfTheFourierMapForFcHalfFo) {
  const ex::AtomCrystal c = ex::quartz();
  const CrystalRun fourier = run_crystal(c, "dfour");
  ASSERT_EQ(fourier.r.status, 0) << fourier.r.out;
  std::string hkl;
  {
    std::istringstream in(c.reflection_file());
    char buf[96];
    for (std::string l; std::getline(in, l);) {
      const double fo = std::stod(l.substr(24, 12)), ph = std::stod(l.substr(48, 12));
      std::snprintf(buf, sizeof buf, "%s%12.4f%12.4f%12.4f\n", l.substr(0, 24).c_str(), fo, fo / 2, ph);
      hkl += buf;
    }
  }
  const fs::path d = scratch_dir("cryst_diff");
  write_file(d / "c.hkl", hkl);
  InProcess r = run_inprocess(c.keyword_input((d / "c.hkl").string(), (d / "c.den").string(), 3));
  ASSERT_EQ(r.status, 0) << r.out;
  const float* rho = trovan::getabcdr(r.job.map);
  const double v = c.volume(), f000 = c.f000();
  double maxabs = 0, maxerr = 0;
  for (std::size_t j = 0; j < fourier.map.size(); ++j) {
    const double want = 0.5 * (fourier.map[j] - f000 / v);
    maxabs = std::max(maxabs, std::fabs(want));
    maxerr = std::max(maxerr, std::fabs(rho[j] - want));
  }
  EXPECT_GT(maxabs, 1.0);
  EXPECT_LT(maxerr, 1e-4 * maxabs);
}

// A Patterson map's mean over the cell is its origin term F(000)^2 / V:
// the coefficients are |F|^2, F(000) included.
TEST(CrystalPhases, PattersonMeanIsF000SquaredOverTheVolume) {
  const ex::AtomCrystal c = ex::zincite();
  const fs::path d = scratch_dir("cryst_patterson");
  write_file(d / "c.hkl", c.reflection_file());
  InProcess r = run_inprocess(c.keyword_input((d / "c.hkl").string(), (d / "c.den").string(), 1));
  ASSERT_EQ(r.status, 0) << r.out;
  const Crystal& cr = r.job.crystal;
  const float* p = trovan::getabcdr(r.job.map);
  const long long nt = trovan::getnt(cr.grid);
  double mean = 0;
  for (long long j = 0; j < nt; ++j) mean += p[j];
  mean /= static_cast<double>(nt);
  EXPECT_NEAR(mean, c.f000() * c.f000() / c.volume(), 1e-4 * c.f000() * c.f000() / c.volume());
}

// More reflections than the 45000 of old: a P1 crystal of 20 atoms with
// about 60000 unique reflections runs, and its map is the model's.
TEST(CrystalData, ALargeDataSetRuns) {
  ex::AtomCrystal c;
  c.name = "large";
  c.title = "P1, 60000 reflections";
  c.abc[0] = c.abc[1] = 20;
  c.abc[2] = 10;
  for (int k = 0; k < 20; ++k)
    c.atoms.push_back({"A", {0.05 * k, std::fmod(0.37 * k, 1.0), std::fmod(0.61 * k + 0.1, 1.0)}, 6, 1.0});
  c.hmax[0] = c.hmax[1] = 80;
  c.hmax[2] = 40;
  c.qimax = 1.93;
  c.close();
  const Classes cls = c.classes();
  ASSERT_GT(cls.size(), 45000u);
  const fs::path d = scratch_dir("cryst_large");
  write_file(d / "c.hkl", c.reflection_file());
  InProcess r = run_inprocess(c.keyword_input((d / "c.hkl").string(), (d / "c.den").string()));
  ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);
  EXPECT_EQ(count_after(r.out, "number of reflections used   ="), static_cast<int>(2 * cls.size()));
  std::vector<std::vector<ex::cplx>> f(cls.size());
  for (std::size_t k = 0; k < cls.size(); ++k)
    for (const auto& h : cls[k]) f[k].push_back(c.F(h.data()));
  const float* rho = trovan::getabcdr(r.job.map);
  for (int j : {0, 12345, 99999, 200001}) {
    double x[3];
    setting_coordinates(r.job.crystal, j, x);
    EXPECT_NEAR(rho[j], c.density(x, cls, f), 1e-3) << "grid point " << j;
  }
  fs::remove_all(d);
}

}  // namespace
