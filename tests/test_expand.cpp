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

struct SymmetryExpansion : ::testing::Test {
  std::ostringstream listing;
  void SetUp() override {
    set_out_stream(&listing);
    setting(0, 'p', 0, 0);
    setidm(6);
    close_text({"-y,x,z+1/4,t,u,v"});  // 4_1 along z
    grid(6, {16, 16, 16});
    Tofofc t;
    t.f000 = 50;
    t.fmag = 1;
    settofofc(t);
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
  void add(const std::vector<Ref>& rs) {
    for (const Ref& r : rs) {
      double c, s;
      cossind(r.phase, c, s);
      addhkl(r.h, r.fo, r.fc, static_cast<float>(c), static_cast<float>(s), 1.0f);
    }
  }
  cplx stored(const int* hgrid) {
    int j = gethkltoj(hgrid);
    return {getabcdr()[j], getabcdi()[j]};
  }
  long long count(const std::string& label) {
    std::size_t p = listing.str().find(label);
    return p == std::string::npos ? -1 : std::stoll(listing.str().substr(p + label.size()));
  }
};

TEST_F(SymmetryExpansion, ImagesCarryThePhaseShiftAndFriedelMatesAreConjugate) {
  setiplt(2);
  add(refs);
  symstf();
  EXPECT_FLOAT_EQ(getabcdr()[0], 50.0f);
  for (const Ref& r : refs) {
    const cplx f = std::polar(double(r.fo), torad(r.phase));
    for (int i = 1; i <= getnsymo(); ++i) {
      int hr[6], hg[6], mg[6];
      gethr(r.h, hr, i, 0);
      double tau[6];
      getsymtrn(i, tau);
      double htau = 0;
      for (int e = 0; e < 6; ++e) htau += r.h[e] * tau[e];
      const cplx want = f * std::exp(cplx(0, kTwoPi * htau));
      htoph(hr, hg);
      const cplx got = stored(hg);
      EXPECT_NEAR(std::abs(got - want), 0.0, 1e-4) << "operator " << i << " h " << r.h[0] << r.h[1] << r.h[2] << " got " << got << " want " << want;
      for (int e = 0; e < 6; ++e) mg[e] = -hg[e];
      EXPECT_NEAR(std::abs(stored(mg) - std::conj(want)), 0.0, 1e-4) << "Friedel mate, operator " << i;
    }
  }
  // 3 reflections x 4 operators x 2 (each with its Friedel mate).
  EXPECT_EQ(count("number of reflections used   ="), 24);
  EXPECT_EQ(count("number of skipped reflections="), 0);
  EXPECT_EQ(getnind(), 3);
  // Strongest first (by Fc for a Fourier map).
  int j;
  float a, b, s;
  getfobs(0, j, a, b, s);
  EXPECT_NEAR(std::hypot(a, b), 20.0f, 1e-4);
}

TEST_F(SymmetryExpansion, PattersonStoresSquaredAmplitudesOnly) {
  setiplt(1);
  add(refs);
  symstf();
  for (const Ref& r : refs)
    for (int i = 1; i <= getnsymo(); ++i) {
      int hr[6], hg[6];
      gethr(r.h, hr, i, 0);
      htoph(hr, hg);
      EXPECT_FLOAT_EQ(stored(hg).real(), r.fo * r.fo);
      EXPECT_EQ(stored(hg).imag(), 0.0);
    }
  for (long long j = 0; j < getnt(); ++j) ASSERT_EQ(getabcdi()[j], 0.0f);
}

TEST_F(SymmetryExpansion, DifferenceMapStoresFoMinusFcWithThePhaseAndNoF000) {
  setiplt(3);
  add(refs);
  symstf();
  EXPECT_EQ(getabcdr()[0], 0.0f);
  for (const Ref& r : refs) {
    int hg[6];
    htoph(r.h, hg);
    const cplx want = std::polar(double(r.fo - r.fc), torad(r.phase));
    EXPECT_NEAR(std::abs(stored(hg) - want), 0.0, 1e-5);
  }
}

TEST_F(SymmetryExpansion, ProjectionLeavesOutReflectionsOffThePlaneWithoutCountingThem) {
  setiplt(2);
  const int p[1][6] = {{0, 0, 1, 0, 0, 0}};
  setprj(1, p);
  add(refs);
  symstf();
  // Only (3,1,0) has h.p = 0; its four images and their mates remain.
  EXPECT_EQ(count("number of reflections used   ="), 8);
  EXPECT_EQ(count("number of skipped reflections="), 0);
  int hg[6];
  htoph(refs[0].h, hg);
  EXPECT_EQ(stored(hg), cplx(0, 0));
  htoph(refs[2].h, hg);
  EXPECT_NE(stored(hg), cplx(0, 0));
}

TEST_F(SymmetryExpansion, ReflectionsOutsideTheGridAreSkipped) {
  setiplt(2);
  add({{{8, 0, 0, 0, 0, 0}, 5, 5, 0}, {{1, 0, 0, 0, 0, 0}, 5, 5, 0}});
  symstf();
  EXPECT_EQ(count("number of skipped reflections="), 4);  // (8,0,0) under each operator
  EXPECT_EQ(count("number of reflections used   ="), 8);
}

TEST_F(SymmetryExpansion, Stops) {
  setiplt(2);
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

  clrhkl();
  EXPECT_THROW(symstf(), Stop);
  EXPECT_NE(listing.str().find(" is =0 in symstf"), std::string::npos);

  clrhkl();
  add({{{8, 0, 0, 0, 0, 0}, 5, 5, 0}});
  EXPECT_THROW(symstf(), Stop);
  EXPECT_NE(listing.str().find(" nref=0"), std::string::npos);
}

TEST_F(SymmetryExpansion, FaceCentredIndicesMustBeAllowed) {
  setiplt(2);
  setsys(2);
  setsmh(2);
  setbrv('f');
  seticent(0);
  close_text({});
  add({{{1, 0, 0, 0, 0, 0}, 5, 5, 0}});
  EXPECT_THROW(symstf(), Stop);
  EXPECT_NE(listing.str().find("nonallowd reflections"), std::string::npos) << listing.str();
}

TEST_F(SymmetryExpansion, MemRefusesReflectionsWithoutSigma) {
  setiplt(4);
  add(refs);
  clrhkl();
  addhkl(refs[0].h, 5, 5, 1, 0, 0.0f);
  EXPECT_THROW(symstf(), Stop);
  EXPECT_NE(listing.str().find("sigma should be positive"), std::string::npos);
}

}  // namespace

namespace {

// A three-fold axis along [111] permutes h, k, l: on a grid of 16 x 16 x 8
// the image (8, 1, 1) -> (1, 1, 8) of a reflection inside falls outside.
TEST(SymmetryExpansionClasses, AClassPartlyOutsideTheGridIsLeftOutWhole) {
  std::ostringstream listing;
  set_out_stream(&listing);
  setting(0, 'p', 0, 0);
  setidm(6);
  close_text({"z,x,y,t,u,v"});
  grid(6, {16, 16, 8});
  Tofofc t;
  t.f000 = 10;
  t.fmag = 1;
  settofofc(t);
  setiplt(2);
  const int inside[6] = {1, 1, 1, 0, 0, 0}, partial[6] = {5, 1, 2, 0, 0, 0};
  addhkl(inside, 5, 5, 1, 0, 1);
  addhkl(partial, 4, 4, 1, 0, 1);  // (2, 5, 1) fits, (1, 2, 5) does not: 5 > (8 - 1)/2
  symstf();
  const std::string text = listing.str();
  EXPECT_NE(text.find("number of reflections used   =           6"), std::string::npos) << text;
  EXPECT_NE(text.find("number of skipped reflections=           3"), std::string::npos) << text;
  EXPECT_NE(text.find("partly outside the grid=           1"), std::string::npos) << text;
  int hg[6] = {2, 5, 1, 0, 0, 0};
  EXPECT_EQ(getabcdr()[gethkltoj(hg)], 0.0f);
}

}  // namespace
