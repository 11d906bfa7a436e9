// Symmetry operators: parsing, closure into real superspace groups, the
// group checks and the listing.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>

#include "crystal/symmetry.hpp"
#include "crystal_groups.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

using namespace trovan;
using namespace trovan::testing;

namespace {

std::string stop_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Stop& s) {
    return s.what();
  }
  return "";
}

}  // namespace

TEST(Decode, FourthFieldIsMinusTheSumOfTheFirstFour) {
  int r[36];
  double t[6];
  decode("y,z,t,-x-y-z-t,u,v", r, t, 6);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r[at(3, i)], -1) << i;
  EXPECT_EQ(r[at(3, 4)], 0);
  EXPECT_EQ(r[at(0, 1)], 1);
  EXPECT_EQ(r[at(0, 0)], 0);
  EXPECT_EQ(r[at(4, 4)], 1);
  for (int e = 0; e < 6; ++e) EXPECT_EQ(t[e], 0.0);
}

TEST(Decode, TranslationsSignsAndBlanks) {
  int r[36];
  double t[6];
  decode("x, -y, z+1/2, t-1/4, 1/3+u, -v", r, t, 6);
  EXPECT_EQ(r[at(0, 0)], 1);
  EXPECT_EQ(r[at(1, 1)], -1);
  EXPECT_EQ(r[at(2, 2)], 1);
  EXPECT_EQ(r[at(3, 3)], 1);
  EXPECT_EQ(r[at(4, 4)], 1);
  EXPECT_EQ(r[at(5, 5)], -1);
  EXPECT_DOUBLE_EQ(t[2], 0.5);
  EXPECT_DOUBLE_EQ(t[3], -0.25);
  EXPECT_DOUBLE_EQ(t[4], 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(t[0], 0.0);
}

// The superspace tables' notation x1 ... x6, mixed with letters, blanks
// after commas and between the terms: the sign of a coordinate is the one
// written before it.
TEST(Decode, NumberedCoordinatesAndBlanks) {
  int r[36], q[36];
  double t[6], u[6];
  decode("-x2, x1 , x3+1/2, x4 - x1 + 1/4, x5, -x6", r, t, 6);
  decode("-y,x,z+1/2,t-x+1/4,u,-v", q, u, 6);
  EXPECT_EQ(std::vector<int>(r, r + 36), std::vector<int>(q, q + 36));
  for (int e = 0; e < 6; ++e) EXPECT_DOUBLE_EQ(t[e], u[e]);
  EXPECT_EQ(r[at(3, 0)], -1);
  EXPECT_EQ(r[at(3, 3)], 1);
  Quiet quiet;
  EXPECT_EQ(stop_message([&] { decode("x7,y,z,t,u,v", r, t, 6); }), "incorrect symmetry operation");
  EXPECT_NE(quiet.text().find("x7 is no coordinate"), std::string::npos) << quiet.text();
  EXPECT_EQ(stop_message([&] { decode("x1+x,y,z,t,u,v", r, t, 6); }), "incorrect symmetry operation");
  EXPECT_NE(quiet.text().find("stands twice"), std::string::npos) << quiet.text();
}

TEST(Decode, MissingCommaStops) {
  Quiet q;
  int r[36];
  double t[6];
  EXPECT_EQ(stop_message([&] { decode("x,y,z,t,u v", r, t, 6); }), "incorrect symmetry operation");
}

TEST(Decode, ListingTextReadsBackAsTheSameRotation) {
  Mat d = icosahedral_basis();
  for (const IMat& g : icosahedral_generators(signed_permutation_rotations(d))) {
    int r[36];
    double t[6];
    decode(smoptext(g.data(), 6), r, t, 6);
    EXPECT_EQ(IMat(r, r + 36), g) << smoptext(g.data(), 6);
  }
}

TEST(Listing, TranslationFractions) {
  EXPECT_EQ(trntext(1.0), "0  ");
  EXPECT_EQ(trntext(-1.0e-6), "0  ");
  EXPECT_EQ(trntext(0.5), "1/2");
  EXPECT_EQ(trntext(-0.25), "3/4");
  EXPECT_EQ(trntext(3.0 + 2.0 / 3.0), "2/3");
  EXPECT_EQ(trntext(-1.0 / 6.0), "5/6");
  EXPECT_EQ(trntext(0.2), "0.2000");
}

TEST(Closure, NoGeneratorsLeavesTheIdentity) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, 0);
  gensymo(cr, 0, nullptr, nullptr);
  EXPECT_EQ(cr.group.nsymo(), 1);
  int r[36];
  getsymrot(cr.group, 1, r);
  EXPECT_TRUE(isunitmtrx(r, 6));
}

// Groups closed from their generators: the order, the group axioms, and
// how many operators carry a translation of 1/2 along all of `half_axes`.
TEST(Closure, GroupsReachTheirOrder) {
  struct Case {
    const char* name;
    int isys, idm;  // idm 0: as the setting leaves it
    std::vector<std::string> generators;
    int order;
    std::vector<int> half_axes;
    int halves;
  };
  const Case cases[] = {
      // Superspace groups are closed in a six-dimensional setting (isys 1):
      // in the general setting without wave vectors the internal axes are
      // placeholders, and operators that differ only there are one element.
      {"pure translation doubles the group", 1, 0, {"-x,-y,z,t,u,v", "x,y,z,t+1/2,u+1/2,v"}, 4, {3, 4}, 2},
      // The rhombohedral centring as a generating element of a primitive
      // setting: a translation of order three, not two.
      {"translation of order three", 0, 0, {"x+2/3,y+1/3,z+1/3,t,u,v", "-y,x-y,z,t,u,v"}, 9, {}, 0},
      // 432 from a four-fold, a two-fold and a three-fold, in two orders: the
      // products of powers repeat in the second, the group does not.
      {"432", 0, 0, {"-y,x,z,t,u,v", "y,x,-z,t,u,v", "z,x,y,t,u,v"}, 24, {}, 0},
      {"432 in another order", 0, 0, {"-y,x,z,t,u,v", "z,x,y,t,u,v", "y,x,-z,t,u,v"}, 24, {}, 0},
      // (3+1)-D with an internal translation.
      {"modulated", 1, 4, {"-x,-y,z,-t,u,v", "x,y,-z,t+1/2,u,v"}, 4, {3}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Crystal cr;
    Quiet q;
    setting(cr, c.isys, 'p', 0, 0);
    if (c.idm > 0) cr.group.idm = cr.grid.idm = c.idm;
    close_text(cr, c.generators);
    EXPECT_EQ(cr.group.nsymo(), c.order);
    EXPECT_TRUE(list_is_group(cr));
    int halves = 0;
    for (int n = 1; n <= cr.group.nsymo(); ++n) {
      double t[6];
      getsymtrn(cr.group, n, t);
      bool all = !c.half_axes.empty();
      for (int e : c.half_axes) all = all && t[e] == 0.5;
      halves += all;
    }
    EXPECT_EQ(halves, c.halves);
  }
}

TEST(Closure, IcosahedralRotationGroupInSixDimensions) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, 0);
  Mat d = icosahedral_basis();
  std::vector<IMat> rot = signed_permutation_rotations(d);
  // The signed permutations that are rotations of this basis are exactly
  // the icosahedral rotation group.
  ASSERT_EQ(rot.size(), 60u);
  std::vector<IMat> gens = icosahedral_generators(rot);
  ASSERT_EQ(gens.size(), 4u);
  for (char brv : {'p', 'f'}) {
    setting(cr, 2, brv, 0, 1);
    close_rotations(cr, gens);
    ASSERT_EQ(cr.group.nsymo(), 60);
    EXPECT_TRUE(list_is_group(cr));
    std::set<IMat> got, want(rot.begin(), rot.end());
    for (int i = 1; i <= 60; ++i) {
      IMat r(36);
      getsymrot(cr.group, i, r.data());
      got.insert(r);
    }
    EXPECT_EQ(got, want);
  }
}

TEST(Closure, DecagonalGroupInFiveDimensionsWithScrew) {
  Crystal cr;
  Quiet q;
  setting(cr, 3, 'p', 0, 0);
  // 10_5 screw along the period axis and a two-fold in the plane.
  close_text(cr, {"-y,-z,-t,x+y+z+t,u+1/2,v", "t,z,y,x,-u,v"});
  ASSERT_EQ(cr.group.nsymo(), 20);
  EXPECT_TRUE(list_is_group(cr));
  Mat d = decagonal_basis();
  Mat dinv = inverse(d);
  int proper = 0;
  for (int i = 1; i <= 20; ++i) {
    IMat r(36);
    getsymrot(cr.group, i, r.data());
    int kind = lattice_rotation(r, d, dinv);
    EXPECT_NE(kind, 0) << "operator " << i << " is no rotation of the decagonal lattice";
    proper += kind == 1;
  }
  EXPECT_EQ(proper, 20);
  setting(cr, 0, 'p', 0, 0);
}

// The phase shift of an operator with an internal translation.
TEST(Closure, ModulatedGroupWithInternalTranslationShiftsThePhase) {
  Crystal cr;
  Quiet q;
  setting(cr, 1, 'p', 0, 0);
  cr.group.idm = cr.grid.idm = 4;
  close_text(cr, {"-x,-y,z,-t,u,v", "x,y,-z,t+1/2,u,v"});
  ASSERT_EQ(cr.group.nsymo(), 4);
  // The phase shift of a (3+1)-D reflection under x,y,-z,t+1/2 is m/2.
  int h[6] = {1, 2, 3, 1, 0, 0}, hr[6];
  for (int i = 1; i <= 4; ++i) {
    double t[6];
    getsymtrn(cr.group, i, t);
    if (t[3] != 0.5) continue;
    EXPECT_DOUBLE_EQ(getyt(cr.group, h, i, 0), 0.5);
    EXPECT_DOUBLE_EQ(getyt(cr.group, h, i, 1), -0.5);
    gethr(cr.group, h, hr, i, 1);
    int r[36];
    getsymrot(cr.group, i, r);
    for (int j = 0; j < 6; ++j) {
      int s = 0;
      for (int e = 0; e < 6; ++e) s += h[e] * r[at(e, j)];
      EXPECT_EQ(hr[j], -s);
    }
  }
}

TEST(Closure, RedundantGeneratorIsLeftOutWithANote) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, 0);
  // P4_2/mnm as the International Tables list it: 2z, then 4_2 whose square
  // it is, 2 along y; the identity and a whole cell translation on top.
  close_text(cr, {"x,y,z,t,u,v", "-x,-y,z,t,u,v", "-y+1/2,x+1/2,z+1/2,t,u,v", "x+1/2,-y+1/2,-z+1/2,t,u,v",
              "-y+1/2,x+1/2,z+3/2,t,u,v"});
  EXPECT_EQ(cr.group.nsymo(), 8);
  EXPECT_TRUE(list_is_group(cr));
  const std::string s = q.text();
  EXPECT_NE(s.find("generating element  1"), std::string::npos) << s;
  EXPECT_NE(s.find("generating element  5"), std::string::npos) << s;
  EXPECT_EQ(s.find("generating element  2"), std::string::npos) << s;
}

TEST(Closure, LimitsAreNamed) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, 0);
  std::vector<std::string> many(kMaxGenerators + 1, "-x,-y,z,t,u,v");
  EXPECT_EQ(stop_message([&] { close_text(cr, many); }),
            "more than " + std::to_string(kMaxGenerators) + " generating elements");
  // m-3m times two internal mirrors: 192 operators.
  setting(cr, 1, 'p', 0, 0);
  EXPECT_EQ(stop_message([&] {
              close_text(cr, {"-y,x,z,t,u,v", "z,x,y,t,u,v", "x,y,-z,t,u,v", "x,y,z,-t,u,v", "x,y,z,t,-u,v"});
            }),
            "more than 60 symmetry operators");
  setting(cr, 0, 'p', 0, 0);
}

TEST(Closure, BadOrderIsReported) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, 0);
  // A shear has no finite order.
  EXPECT_NE(stop_message([&] { close_text(cr, {"x+y,y,z,t,u,v"}); }), "");
  EXPECT_NE(q.listing.str().find("error in symmetry operator ?"), std::string::npos);
}

TEST(ReadSymmetry, KeywordLinesAndListing) {
  Crystal cr;
  std::ostringstream listing;
  setting(cr, 3, 'p', 0, 0);
  read_symmetry(cr,
      "nsymo=2 icent=-1 brv='f'\n"
      "generators: symmetry operator\n"
      "-y,-z,-t,x+y+z+t,u+1/2,v\n"
      "t,z,y,x,-u,v\n",
      listing, true);
  EXPECT_EQ(cr.group.nsymo(), 20);
  EXPECT_EQ(cr.group.icent, -1);
  EXPECT_EQ(cr.group.ncent(), 1);
  EXPECT_EQ(cr.setting.brv, 'f');
  const std::string s = listing.str();
  EXPECT_NE(s.find(" centrosymmetric symmetry operation"), std::string::npos);
  EXPECT_NE(s.find("generating elements"), std::string::npos);
  EXPECT_NE(s.find("symmetry operators generated by generating elements"), std::string::npos);
  EXPECT_NE(s.find("1/2"), std::string::npos);
}

TEST(ReadSymmetry, TooManyGeneratorsStopsBeforeReadingThem) {
  Crystal cr;
  std::ostringstream listing;
  try {
    read_symmetry(cr, "nsymo=13 icent=0 brv='p'\n", listing);
    FAIL() << "no stop";
  } catch (const Stop& s) {
    EXPECT_EQ(std::string(s.what()), "more than 12 generating elements");
  }
}

TEST(SettingHelpers, CoordinateImageAgreesWithIndexImage) {
  Crystal cr;
  Quiet q;
  setting(cr, 0, 'p', 0, 0);
  close_text(cr, {"-y,-z,-t,x+y+z+t,u+1/2,v", "t,z,y,x,-u,v"});
  // h.(R x + tau) = (h.R).x + h.tau for every operator and both k.
  const int h[6] = {2, -1, 3, 0, 1, 0};
  const float x[6] = {0.11f, 0.27f, 0.53f, 0.71f, 0.05f, 0.f};
  for (int i = 1; i <= cr.group.nsymo(); ++i)
    for (int k = 0; k <= 1; ++k) {
      float xr[6];
      int hr[6];
      getrx(cr.group, x, xr, i, k);
      gethr(cr.group, h, hr, i, k);
      double lhs = 0, rhs = getyt(cr.group, h, i, k);
      for (int e = 0; e < 6; ++e) {
        lhs += h[e] * double(xr[e]);
        rhs += hr[e] * double(x[e]);
      }
      EXPECT_NEAR(lhs, rhs, 1e-5) << i << ' ' << k;
    }
}

namespace {

class TablesGenerators : public ::testing::TestWithParam<TablesGroup> {};

// Every product of two operators is an operator of the list (or the
// inversion image of one when icent is set), modulo the centred lattice.
bool closed_modulo_centring(const Crystal& cr) {
  const int n = cr.group.nsymo();
  for (int a = 1; a <= n; ++a)
    for (int b = 1; b <= n; ++b) {
      int ra[36], rb[36], rc[36];
      double ta[6], tb[6], tc[6];
      getsymrot(cr.group, a, ra);
      getsymrot(cr.group, b, rb);
      getsymtrn(cr.group, a, ta);
      getsymtrn(cr.group, b, tb);
      mtmpli6(ra, rb, rc);
      for (int e = 0; e < 6; ++e) {
        tc[e] = ta[e];
        for (int i = 0; i < 6; ++i) tc[e] += ra[at(e, i)] * tb[i];
      }
      bool found = false;
      for (int c = 1; c <= n && !found; ++c) {
        int r[36];
        double t[6];
        getsymrot(cr.group, c, r);
        getsymtrn(cr.group, c, t);
        for (int sgn : {1, -1}) {
          if (sgn < 0 && cr.group.icent == 0) continue;
          bool same = true;
          double d[6];
          for (int i = 0; i < 36; ++i) same = same && sgn * r[i] == rc[i];
          for (int e = 0; e < 6; ++e) d[e] = sgn * t[e] - tc[e];
          found = found || (same && iscentringvector(cr.setting, d));
        }
      }
      if (!found) return false;
    }
  return true;
}

TEST_P(TablesGenerators, CloseToTheKnownOrder) {
  Crystal cr;
  const TablesGroup& g = GetParam();
  Quiet q;
  setting(cr, 0, g.brv, 0, g.icent);
  std::vector<std::string> lines;
  for (const std::string& s : g.gens) lines.push_back(s);
  close_text(cr, lines);
  EXPECT_EQ(cr.group.nsymo(), g.order) << q.text();
  EXPECT_TRUE(closed_modulo_centring(cr));
  int dropped = 0;
  for (std::size_t p = q.text().find("left out"); p != std::string::npos; p = q.text().find("left out", p + 1))
    ++dropped;
  EXPECT_EQ(dropped, g.dropped) << q.text();
  setting(cr, 0, 'p', 0, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Groups, TablesGenerators,
    ::testing::ValuesIn(tables_groups()),
    [](const ::testing::TestParamInfo<TablesGroup>& i) { return std::string(i.param.name); });

}  // namespace
