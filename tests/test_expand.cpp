// The symmetry expansion of the reflection list into the coefficient grid:
// every image h.R carries F(h) exp(+2 pi i h.tau), every coefficient has its
// Friedel mate, the map kinds store what they need, projections leave
// reflections out, and the expansion's stops.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <sstream>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "crystal_groups.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "reflections/expand.hpp"
#include "reflections/hklread.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

using namespace trovan;
using namespace trovan::testing;

namespace {

using cplx = std::complex<double>;

// A 3-D crystal of lattice `brv` with the group of `gens` (and the
// inversion when `icent` is 1) in the 6-D setting of a run, on a grid of
// `sizes`.
void crystal3(Crystal& cr, char brv, int icent, const std::vector<std::string>& gens, std::vector<int> sizes) {
  setting(cr, 0, brv, 0, icent);
  cr.group.idm = cr.grid.idm = 6;
  close_text(cr, gens);
  grid(cr, 6, std::move(sizes));
}

struct SymmetryExpansion : ::testing::Test {
  std::ostringstream listing;
  Crystal cr;
  RunState rs;
  WorkGrid w;
  void TearDown() override { set_out_stream(nullptr); }
  void SetUp() override {
    set_out_stream(&listing);
    crystal3(cr, 'p', 0, {"-y,x,z+1/4,t,u,v"}, {16, 16, 16});  // 4_1 along z
    Tofofc t;
    t.f000 = 50;
    t.fmag = 1;
    rs.tofofc = t;
  }
  // Three reflections of different orbits, with their phases in degrees.
  // The hk0 projection of 4_1 is centrosymmetric (the two-fold maps hk0 on
  // its Friedel mate without a phase shift), so F(3,1,0) must be real.
  struct Ref {
    int h[6];
    float fo, fc, phase;
  };
  std::vector<Ref> refs = {{{1, 2, 3, 0, 0, 0}, 20, 18, 30},
                           {{2, 0, 1, 0, 0, 0}, 15, 16, -100},
                           {{3, 1, 0, 0, 0, 0}, 10, 9, 180}};
  // The reflections and what the expansion makes of them.
  Reflections refl;
  Observations obs;
  void add(const std::vector<Ref>& list) {
    for (const Ref& r : list) {
      double c, s;
      cossind(r.phase, c, s);
      refl.add(r.h, r.fo, r.fc, static_cast<float>(c), static_cast<float>(s), 1.0f);
    }
  }
  void symstf() {
    sizeworkgrid(w, getnt(cr.grid));
    obs = trovan::symstf(cr, rs, w, refl);
  }
  cplx stored(const int* hgrid) {
    int j = getxyztoj(cr.grid, hgrid);
    return {getabcdr(w)[j], getabcdi(w)[j]};
  }
  long long count(const std::string& label) {
    std::size_t p = listing.str().find(label);
    return p == std::string::npos ? -1 : std::stoll(listing.str().substr(p + label.size()));
  }
};

TEST_F(SymmetryExpansion, ImagesCarryThePhaseShiftAndFriedelMatesAreConjugate) {
  rs.iplot = 2;
  add(refs);
  symstf();
  EXPECT_FLOAT_EQ(getabcdr(w)[0], 50.0f);
  for (const Ref& r : refs) {
    const cplx f = std::polar(double(r.fo), torad(r.phase));
    for (int i = 1; i <= cr.group.nsymo(); ++i) {
      int hr[6], hg[6], mg[6];
      gethr(cr.group, r.h, hr, i, 0);
      double tau[6];
      getsymtrn(cr.group, i, tau);
      double htau = 0;
      for (int e = 0; e < 6; ++e) htau += r.h[e] * tau[e];
      const cplx want = f * std::exp(cplx(0, kTwoPi * htau));
      htoph(cr.setting, hr, hg);
      const cplx got = stored(hg);
      EXPECT_NEAR(std::abs(got - want), 0.0, 1e-4) << "operator " << i << " h " << r.h[0] << r.h[1] << r.h[2] << " got " << got << " want " << want;
      for (int e = 0; e < 6; ++e) mg[e] = -hg[e];
      EXPECT_NEAR(std::abs(stored(mg) - std::conj(want)), 0.0, 1e-4) << "Friedel mate, operator " << i;
    }
  }
  // 3 reflections x 4 operators x 2 (each with its Friedel mate).
  EXPECT_EQ(count("number of reflections used   ="), 24);
  EXPECT_EQ(count("number of skipped reflections="), 0);
  EXPECT_EQ(obs.size(), 3);
  // Strongest first (by Fc for a Fourier map).
  EXPECT_NEAR(std::hypot(obs.a[0], obs.b[0]), 20.0f, 1e-4);
}

TEST_F(SymmetryExpansion, PattersonStoresSquaredAmplitudesOnly) {
  rs.iplot = 1;
  add(refs);
  symstf();
  for (const Ref& r : refs)
    for (int i = 1; i <= cr.group.nsymo(); ++i) {
      int hr[6], hg[6];
      gethr(cr.group, r.h, hr, i, 0);
      htoph(cr.setting, hr, hg);
      EXPECT_FLOAT_EQ(stored(hg).real(), r.fo * r.fo);
      EXPECT_EQ(stored(hg).imag(), 0.0);
    }
  for (long long j = 0; j < getnt(cr.grid); ++j) ASSERT_EQ(getabcdi(w)[j], 0.0f);
}

TEST_F(SymmetryExpansion, DifferenceMapStoresFoMinusFcWithThePhaseAndNoF000) {
  rs.iplot = 3;
  add(refs);
  symstf();
  EXPECT_EQ(getabcdr(w)[0], 0.0f);
  for (const Ref& r : refs) {
    int hg[6];
    htoph(cr.setting, r.h, hg);
    const cplx want = std::polar(double(r.fo - r.fc), torad(r.phase));
    EXPECT_NEAR(std::abs(stored(hg) - want), 0.0, 1e-5);
  }
}

TEST_F(SymmetryExpansion, ProjectionLeavesOutReflectionsOffThePlaneWithoutCountingThem) {
  rs.iplot = 2;
  const int p[1][6] = {{0, 0, 1, 0, 0, 0}};
  setprj(rs, 1, p);
  add(refs);
  symstf();
  // Only (3,1,0) has h.p = 0; its four images and their mates remain.
  EXPECT_EQ(count("number of reflections used   ="), 8);
  EXPECT_EQ(count("number of skipped reflections="), 0);
  int hg[6];
  htoph(cr.setting, refs[0].h, hg);
  EXPECT_EQ(stored(hg), cplx(0, 0));
  htoph(cr.setting, refs[2].h, hg);
  EXPECT_NE(stored(hg), cplx(0, 0));
}

TEST_F(SymmetryExpansion, ReflectionsOutsideTheGridAreSkipped) {
  rs.iplot = 2;
  add({{{8, 0, 0, 0, 0, 0}, 5, 5, 0}, {{1, 0, 0, 0, 0, 0}, 5, 5, 0}});
  symstf();
  EXPECT_EQ(count("number of skipped reflections="), 4);  // (8,0,0) under each operator
  EXPECT_EQ(count("number of reflections used   ="), 8);
}

TEST_F(SymmetryExpansion, Stops) {
  rs.iplot = 2;
  // A zero index vector: a blank line in the reflection file.
  add({{{0, 0, 0, 0, 0, 0}, 5, 5, 0}});
  try {
    symstf();
    FAIL();
  } catch (const Stop& s) {
    EXPECT_EQ(s.status, kExitError);
  }
  const std::string text = listing.str();
  EXPECT_NE(text.find("hr="), std::string::npos);
  EXPECT_NE(text.find("if hr=0 0 0 0 0 0 note that blank line\nin flnm1 is inhibited\n index=0 in symstf"),
            std::string::npos)
      << text;

  refl = Reflections{};
  EXPECT_THROW(symstf(), Stop);
  EXPECT_NE(listing.str().find(" is =0 in symstf"), std::string::npos);

  refl = Reflections{};
  add({{{8, 0, 0, 0, 0, 0}, 5, 5, 0}});
  EXPECT_THROW(symstf(), Stop);
  EXPECT_NE(listing.str().find(" nref=0"), std::string::npos);
}

// A reflection the centring forbids is a systematic absence: left out and
// listed; with nothing else left the run stops.
TEST_F(SymmetryExpansion, ReflectionsTheCentringForbidsAreLeftOut) {
  rs.iplot = 2;
  rs.isys = cr.lattice.isys = cr.setting.isys = 2;
  setsmh(cr.setting, 2);
  cr.setting.brv = 'f';
  cr.group.icent = 0;
  close_text(cr, {});
  grid(cr, 6, {4, 4, 4, 4, 4, 4});
  add({{{1, 0, 0, 0, 0, 0}, 5, 5, 0}});
  EXPECT_THROW(symstf(), Stop);
  EXPECT_NE(listing.str().find("1 systematically absent reflections left out"), std::string::npos) << listing.str();
  EXPECT_NE(listing.str().find("\n   1   0   0   0   0   0      5.00\n"), std::string::npos) << listing.str();
  EXPECT_NE(listing.str().find(" nref=0"), std::string::npos) << listing.str();
}

TEST_F(SymmetryExpansion, MemRefusesReflectionsWithoutSigma) {
  rs.iplot = 4;
  add(refs);
  refl = Reflections{};
  refl.add(refs[0].h, 5, 5, 1, 0, 0.0f);
  EXPECT_THROW(symstf(), Stop);
  EXPECT_NE(listing.str().find("sigma should be positive"), std::string::npos);
}

}  // namespace

namespace {

// A three-fold axis along c of a hexagonal cell takes (h, k) to
// (k, -h-k): on a grid of 16 x 16 x 8 the images of (5, 3, 2) fall outside
// (|-8| > 7) while the reflection itself fits.
TEST(SymmetryExpansionClasses, AClassPartlyOutsideTheGridIsLeftOutWhole) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  std::ostringstream listing;
  const ListingTo listing_to(&listing);
  crystal3(cr, 'p', 0, {"-y,x-y,z,t,u,v"}, {16, 16, 8});
  sizeworkgrid(w, getnt(cr.grid));
  Tofofc t;
  t.f000 = 10;
  t.fmag = 1;
  rs.tofofc = t;
  rs.iplot = 2;
  const int inside[6] = {1, 1, 1, 0, 0, 0}, partial[6] = {5, 3, 2, 0, 0, 0};
  Reflections refl;
  refl.add(inside, 5, 5, 1, 0, 1);
  refl.add(partial, 4, 4, 1, 0, 1);  // (3, -8, 2) and (-8, 5, 2) do not fit
  sizeworkgrid(w, getnt(cr.grid));
  symstf(cr, rs, w, refl);
  const std::string text = listing.str();
  EXPECT_NE(text.find("number of reflections used   =           6"), std::string::npos) << text;
  EXPECT_NE(text.find("number of skipped reflections=           3"), std::string::npos) << text;
  EXPECT_NE(text.find("partly outside the grid=           1"), std::string::npos) << text;
  int hg[6] = {5, 3, 2, 0, 0, 0};
  EXPECT_EQ(getabcdr(w)[getxyztoj(cr.grid, hg)], 0.0f);
}

}  // namespace

namespace {

// Reflection lists that the group forbids or that repeat themselves: what
// is left out, merged or refused, with the listing's words. Phases are given
// as the file gives them (phsign=1); the stored coefficients are in the
// program's convention, F_internal = conj F_file.
struct Record {
  int h[3];
  float fo, phase, sigma;
};
struct Stored {
  int h[3];
  double re, im;  // expected coefficient at h (grid basis = setting basis here)
};
struct InconsistentCase {
  const char* name;
  int iplot;
  char brv;
  int icent;
  std::vector<std::string> gens;
  std::vector<Record> records;
  std::string stop;                // the stop message; "" when the run goes on
  std::vector<std::string> lines;  // listing text that must appear
  std::vector<Stored> stored;
};

class InconsistentData : public ::testing::TestWithParam<InconsistentCase> {};

TEST_P(InconsistentData, AreLeftOutMergedOrRefused) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  const InconsistentCase& c = GetParam();
  std::ostringstream listing;
  const ListingTo listing_to(&listing);
  crystal3(cr, c.brv, c.icent, c.gens, {16, 16, 16});
  sizeworkgrid(w, getnt(cr.grid));
  Tofofc t;
  t.f000 = 84;
  t.fmag = 1;
  rs.tofofc = t;
  setprj(rs, 0, nullptr);
  rs.iplot = c.iplot;
  Reflections refl;
  for (const Record& r : c.records) {
    double cs, sn;
    cossind(r.phase, cs, sn);
    const int h[6] = {r.h[0], r.h[1], r.h[2], 0, 0, 0};
    refl.add(h, r.fo, r.fo, static_cast<float>(cs), static_cast<float>(-sn), r.sigma);
  }
  std::string stop;
  try {
    sizeworkgrid(w, getnt(cr.grid));
    symstf(cr, rs, w, refl);
  } catch (const Stop& s) {
    stop = s.what();
    EXPECT_EQ(s.status, kExitError);
  }
  set_out_stream(nullptr);
  const std::string text = listing.str();
  EXPECT_EQ(stop, c.stop) << text;
  for (const std::string& l : c.lines) EXPECT_NE(text.find(l), std::string::npos) << l << "\n" << text;
  if (c.stop.empty()) {
    EXPECT_EQ(getabcdr(w)[0], 84.0f) << "F(000) changed";
  }
  for (const Stored& s : c.stored) {
    const int h[6] = {s.h[0], s.h[1], s.h[2], 0, 0, 0};
    const int j = getxyztoj(cr.grid, h);
    EXPECT_NEAR(getabcdr(w)[j], s.re, 1e-4) << s.h[0] << s.h[1] << s.h[2];
    EXPECT_NEAR(getabcdi(w)[j], s.im, 1e-4) << s.h[0] << s.h[1] << s.h[2];
  }
  rs.iplot = 0;
  setting(cr, 0, 'p', 0, 0);
}

const double kC30 = std::cos(kPi / 6), kS30 = 0.5;
// The phase of the mean of 10 exp(27 i) and 12 exp(33 i) (degrees).
const double kMerged = std::arg(std::polar(10.0, torad(27)) + std::polar(12.0, torad(33)));

INSTANTIATE_TEST_SUITE_P(
    Cases, InconsistentData,
    ::testing::Values(
        // Under 2_1 along z, 00l with l odd is absent: F(001) is left out and
        // creates neither F(002) nor a change of F(000).
        InconsistentCase{"screw_absence", 2, 'p', 0, {"-x,-y,z+1/2,t,u,v"},
                         {{{0, 0, 1}, 20, 0, 0}, {{1, 1, 1}, 10, 0, 0}},
                         "",
                         {" warning:        1 systematically absent reflections left out (the first ten):\n"
                          "   0   0   1   0   0   0     20.00\n"},
                         {{{0, 0, 1}, 0, 0}, {{0, 0, -1}, 0, 0}, {{0, 0, 2}, 0, 0}, {{1, 1, 1}, 10, 0}}},
        // Body centring: h+k+l odd is absent.
        InconsistentCase{"centring_absence", 2, 'i', 0, {}, {{{1, 0, 0}, 7, 0, 0}, {{1, 1, 0}, 5, 0, 0}},
                         "",
                         {"1 systematically absent reflections left out", "   1   0   0   0   0   0      7.00\n"},
                         {}},
        // In P-1 every phase is 0 or 180 degrees.
        InconsistentCase{"centric_phase", 2, 'p', 1, {}, {{{1, 2, 3}, 10, 90, 0}},
                         "reflection   1   2   3   0   0   0 has the phase 90.00, which its symmetry forbids:"
                         " allowed are 0.00 and 180.00 degrees (phsign=1)",
                         {},
                         {}},
        // In P2_1 2_1 2_1 the hk0 reflections with h odd have the phase 90 or
        // 270 degrees; 90.4 (written to one decimal) is taken as 90.
        InconsistentCase{"screw_restricted_phase", 2, 'p', 0, {"-x+1/2,-y,z+1/2,t,u,v", "-x,y+1/2,-z+1/2,t,u,v"},
                         {{{1, 2, 0}, 10, 0, 0}},
                         "reflection   1   2   0   0   0   0 has the phase 0.00, which its symmetry forbids:"
                         " allowed are 90.00 and 270.00 degrees (phsign=1)",
                         {},
                         {}},
        InconsistentCase{"phase_within_tolerance", 2, 'p', 0, {"-x+1/2,-y,z+1/2,t,u,v", "-x,y+1/2,-z+1/2,t,u,v"},
                         {{{1, 2, 0}, 10, 90.4f, 0}},
                         "",
                         {},
                         {{{1, 2, 0}, 0, -10}, {{-1, -2, 0}, 0, 10}}},
        // Two records of one reflection: the mean of Fo, the phase of the mean
        // structure factor, one warning line.
        InconsistentCase{"duplicates_merged", 2, 'p', 0, {}, {{{1, 0, 0}, 10, 27, 0}, {{1, 0, 0}, 12, 33, 0}},
                         "",
                         {" warning:        2 symmetry-equivalent records merged into        1 reflections;"
                          " largest disagreement       2.00 in Fo at   1   0   0   0   0   0,    3.3 degrees in phase\n"},
                         {{{1, 0, 0}, 11 * std::cos(kMerged), -11 * std::sin(kMerged)}}},
        // Equivalents under a two-fold and a Friedel mate, weighted by
        // 1/sigma^2: (10/1 + 20/4 + 10/1) / (1 + 1/4 + 1).
        InconsistentCase{"equivalents_weighted", 4, 'p', 0, {"-x,-y,z,t,u,v"},
                         {{{1, 2, 3}, 10, 30, 1}, {{-1, -2, 3}, 20, 30, 2}, {{-1, -2, -3}, 10, -30, 1}},
                         "",
                         {"3 symmetry-equivalent records merged into        1 reflections"},
                         {{{1, 2, 3}, 25 / 2.25 * kC30, -25 / 2.25 * kS30},
                          {{-1, -2, 3}, 25 / 2.25 * kC30, -25 / 2.25 * kS30}}}),
    [](const ::testing::TestParamInfo<InconsistentCase>& i) { return std::string(i.param.name); });

// The merged sigma of the maximum-entropy fit: (sum 1/sigma^2)^-1/2.
TEST(InconsistentDataSigma, MergedSigmaIsTheWeightedOne) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  std::ostringstream listing;
  const ListingTo listing_to(&listing);
  crystal3(cr, 'p', 0, {}, {8, 8, 8});
  Tofofc t;
  t.f000 = 10;
  t.fmag = 1;
  rs.tofofc = t;
  setprj(rs, 0, nullptr);
  rs.iplot = 4;
  Reflections refl;
  const int h[6] = {1, 1, 0, 0, 0, 0};
  refl.add(h, 4, 4, 1, 0, 1);
  refl.add(h, 6, 6, 1, 0, 2);
  sizeworkgrid(w, getnt(cr.grid));
  const Observations obs = symstf(cr, rs, w, refl);
  set_out_stream(nullptr);
  ASSERT_EQ(obs.size(), 1);
  EXPECT_FLOAT_EQ(obs.sigma[0], static_cast<float>(1 / std::sqrt(1.25)));
  EXPECT_FLOAT_EQ(obs.a[0], static_cast<float>((4 + 6 / 4.0) / 1.25));
  rs.iplot = 0;
}

}  // namespace
