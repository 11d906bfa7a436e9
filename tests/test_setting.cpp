// The setting and grid bases: reflection conditions of the centred cells,
// and the invariance of phases, h.x = h_grid.x_grid, between the index and
// the coordinate forms of the transformation.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

#include "crystal/setting.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"
#include "values.hpp"

using trovan::testing::ListingTo;

using namespace trovan;

namespace {

Setting configure(int isys, char brv, int ismtr) {
  Setting s;
  s.isys = isys;
  s.brv = brv;
  s.ismtr = ismtr;
  setsmh(s, isys);
  setsmx(s, isys);
  return s;
}

double frac_dist(double v) { return std::fabs(v - std::nearbyint(v)); }

struct Case {
  int isys;
  char brv;
  int ismtr;
};

}  // namespace

TEST(Centring, ReflectionConditionsOfFaceAndBodyCentredCells) {
  Setting st;
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pick(-5, 5);
  int nf = 0, ni = 0;
  for (int n = 0; n < 2000; ++n) {
    int h[6], hg[6];
    int odd = 0, sum = 0;
    for (int i = 0; i < 6; ++i) {
      h[i] = pick(rng);
      odd += (h[i] & 1);
      sum += h[i];
    }
    st = configure(2, 'f', 0);
    // Face centring: all indices of the same parity.
    const bool fok = htophstatus(st, h, hg) == 0;
    EXPECT_EQ(fok, odd == 0 || odd == 6);
    nf += fok;
    st = configure(2, 'i', 0);
    // Body centring: even index sum.
    const bool iok = htophstatus(st, h, hg) == 0;
    EXPECT_EQ(iok, sum % 2 == 0);
    ni += iok;
  }
  EXPECT_GT(nf, 0);
  EXPECT_GT(ni, 0);
}

// The centring letters of the general setting act on h, k, l as the
// International Tables' reflection conditions say, and leave the internal
// indices alone.
TEST(Centring, ReflectionConditionsOfTheGeneralSetting) {
  Setting st;
  struct Letter {
    char brv;
    bool (*allowed)(int h, int k, int l);
  } letters[] = {
      {'a', [](int, int k, int l) { return (k + l) % 2 == 0; }},
      {'b', [](int h, int, int l) { return (h + l) % 2 == 0; }},
      {'c', [](int h, int k, int) { return (h + k) % 2 == 0; }},
      {'i', [](int h, int k, int l) { return (h + k + l) % 2 == 0; }},
      {'f', [](int h, int k, int l) { return (h + k) % 2 == 0 && (k + l) % 2 == 0; }},
      {'r', [](int h, int k, int l) { return ((-h + k + l) % 3 + 3) % 3 == 0; }},
  };
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> pick(-6, 6);
  for (const Letter& L : letters) {
    st = configure(0, L.brv, 0);
    EXPECT_TRUE(brvknown(st));
    int allowed = 0;
    for (int n = 0; n < 500; ++n) {
      int h[6], hg[6];
      for (int i = 0; i < 6; ++i) h[i] = pick(rng);
      const bool ok = htophstatus(st, h, hg) == 0;
      EXPECT_EQ(ok, L.allowed(h[0], h[1], h[2])) << L.brv << " " << h[0] << h[1] << h[2];
      allowed += ok;
      if (!ok) continue;
      for (int i = 3; i < 6; ++i) EXPECT_EQ(hg[i], h[i]);
    }
    EXPECT_GT(allowed, 50) << L.brv;
  }
  st = configure(0, 's', 0);
  EXPECT_FALSE(brvknown(st));
  st = configure(2, 'c', 0);
  EXPECT_FALSE(brvknown(st));
  st = configure(0, 'p', 0);
}

TEST(Centring, StopsOnForbiddenReflectionAndUnknownLetter) {
  Setting st;
  std::ostringstream listing;
  const ListingTo listing_to(&listing);
  int h[6] = {1, 0, 0, 0, 0, 0}, hg[6];
  st = configure(2, 'f', 0);
  try {
    htoph(st, h, hg);
    ADD_FAILURE() << "no stop";
  } catch (const Stop& s) {
    EXPECT_EQ(std::string(s.what()), "nonallowd reflections");
  }
  st = configure(2, 's', 0);
  try {
    ctoph(st, h);
    ADD_FAILURE() << "no stop";
  } catch (const Stop& s) {
    EXPECT_EQ(std::string(s.what()), "invalid brv");
  }
}

TEST(Bases, PhaseIsTheSameInSettingAndGridBasis) {
  Setting st;
  const Case cases[] = {{2, 'p', 0}, {2, 'p', 3}, {2, 'p', -3}, {1, 'p', 6},  {2, 'f', 0},
                        {2, 'f', 1}, {2, 'f', -1}, {2, 'i', 0}, {2, 'i', 3}, {3, 'p', 1},
                        {3, 'p', -2}, {4, 'p', 1}, {4, 'p', -1}, {5, 'p', 2}, {5, 'p', -1},
                        {0, 'a', 0}, {0, 'b', 0}, {0, 'c', 0}, {0, 'i', 0}, {0, 'f', 0}, {0, 'r', 0}};
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pick(-4, 4);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  for (const Case& c : cases) {
    st = configure(c.isys, c.brv, c.ismtr);
    int allowed = 0;
    for (int n = 0; n < 400; ++n) {
      int h[6], hg[6];
      for (int i = 0; i < 6; ++i) h[i] = pick(rng);
      if (htophstatus(st, h, hg) != 0) continue;
      ++allowed;
      float xg[6], x[6];
      for (int i = 0; i < 6; ++i) xg[i] = unit(rng);
      xgtox(st, xg, x);
      double hx = 0, hgxg = 0;
      for (int i = 0; i < 6; ++i) {
        hx += h[i] * double(x[i]);
        hgxg += hg[i] * double(xg[i]);
      }
      ASSERT_LT(frac_dist(hx - hgxg), 2e-3)
          << "isys " << c.isys << " brv " << c.brv << " ismtr " << c.ismtr;
    }
    EXPECT_GT(allowed, 10) << "isys " << c.isys << " brv " << c.brv << " ismtr " << c.ismtr;
  }
}

TEST(Bases, MatrixAndItsInverseMatchTheIndexForm) {
  Setting st;
  const Case cases[] = {{2, 'p', 3}, {2, 'f', 0}, {2, 'i', -3}, {3, 'p', 2}, {5, 'p', -1},
                        {0, 'c', 0}, {0, 'f', 0}, {0, 'i', 0}, {0, 'r', 0}};
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> pick(-3, 3);
  for (const Case& c : cases) {
    st = configure(c.isys, c.brv, c.ismtr);
    double m[36], mi[36];
    getsetmtrx(st, m);
    getsetmtrxinv(st, mi);
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) {
        double s = 0;
        for (int k = 0; k < 6; ++k) s += m[at(i, k)] * mi[at(k, j)];
        EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-9);
        // Every grid-basis index is a reflection of the setting.
        EXPECT_EQ(mi[at(i, j)], std::nearbyint(mi[at(i, j)]));
      }
    // Grid-basis indices map back to setting indices that the index form
    // carries to the same grid-basis indices.
    for (int n = 0; n < 50; ++n) {
      int hg[6], h[6], back[6];
      for (int i = 0; i < 6; ++i) hg[i] = pick(rng);
      for (int j = 0; j < 6; ++j) {
        double s = 0;
        for (int k = 0; k < 6; ++k) s += hg[k] * mi[at(k, j)];
        h[j] = static_cast<int>(std::nearbyint(s));
      }
      ASSERT_TRUE(htophstatus(st, h, back) == 0);
      for (int i = 0; i < 6; ++i) EXPECT_EQ(back[i], hg[i]);
    }
  }
}

TEST(Superstructure, InverseUndoesForward) {
  Setting st;
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> pick(-4, 4);
  for (int isys : {3, 4, 5}) {
    st = configure(isys, 'p', 0);
    for (int n = 0; n < 50; ++n) {
      int h[6], a[6], b[6];
      for (int i = 0; i < 6; ++i) h[i] = pick(rng);
      smtrh(st, h, a, 2);
      smtrh(st, a, b, -2);
      for (int i = 0; i < 6; ++i) EXPECT_EQ(b[i], h[i]);
    }
  }
  st = configure(1, 'p', 0);
  // (S0/2)^3 is integral: every index has a threefold superstructure image.
  for (int n = 0; n < 50; ++n) {
    int h[6], a[6], b[6];
    for (int i = 0; i < 6; ++i) h[i] = pick(rng);
    smtrh(st, h, a, 3);
    smtrh(st, a, b, -3);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(b[i], h[i]);
  }
}

TEST(Coordinates, ReducKeepsSmallNegativesAndFoldsTheRest) {
  float x[6] = {1.25f, -0.0005f, -0.25f, 2.0f, -3.5f, 0.999f};
  reduc(x);
  EXPECT_FLOAT_EQ(x[0], 0.25f);
  EXPECT_FLOAT_EQ(x[1], -0.0005f);
  EXPECT_FLOAT_EQ(x[2], 0.75f);
  EXPECT_FLOAT_EQ(x[3], 0.0f);
  EXPECT_FLOAT_EQ(x[4], 0.5f);
  EXPECT_FLOAT_EQ(x[5], 0.999f);
}
