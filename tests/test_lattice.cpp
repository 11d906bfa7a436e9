// The superspace lattice: bases and their inverses, the metric, the cell
// volume, the general (cell + wave vector) setting, the strain matrices,
// the q-system transformation and the stops on degenerate input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>
#include <cmath>
#include <random>
#include <sstream>
#include <string>

#include "crystal/lattice.hpp"
#include "driver/crystalkeys.hpp"
#include "keyinput.hpp"
#include "util/input.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

using namespace trovan;

namespace {

constexpr double kTau = 1.6180339887;

using Cell = std::array<float, 6>;  // a, b, c, cos alpha, cos beta, cos gamma
using Wave = std::array<float, 3>;  // on a*, b*, c*
using Perp = std::array<float, 18>;  // v=: perpendicular components
const Perp kPerp = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1};
const Cell kCubic = {4, 4, 4, 0, 0, 0};
// Monoclinic, unique axis b, beta = 100 degrees.
const Cell kMono = {5, 6, 7, 0, -0.1736482f, 0};

// Each test builds the lattices it needs as values; the helpers below read
// the one in `L`.
struct LatticeTest : trovan_test::KeyInputTest {
  Lattice L;
  // A built-in setting as the driver sets it up.
  void builtin(int isys, float a = 5.0f, float c = 8.0f) {
    L = Lattice{};
    L.isys = isys;
    setac(L, a, c);
    setd(L);
    trovan::setdei(L);
    intskp(L);
    mtrtns(L);
    setdr(L);
    setvol(L);
  }
  // A general setting in the driver's order: cell and wave vectors, the
  // first (incomplete) setd, then isetting, v=, the second inversion, the
  // strain and metric again on the complete basis, and the volume.
  void general(const Cell& cell, const std::vector<Wave>& waves, int isetting, const Perp& v = kPerp) {
    L = Lattice{};
    setlc(L, cell.data());
    float k[3][3] = {};
    for (std::size_t m = 0; m < waves.size(); ++m)
      for (int i = 0; i < 3; ++i) k[m][i] = waves[m][i];
    setkvctr(L, static_cast<int>(waves.size()), k);
    calltcs(L);
    setd(L);
    trovan::setdei(L);
    intskp(L);
    mtrtns(L);
    setumtrx(L, isetting);
    setvmtrx(L, 0, v.data());
    setdqmtrx(L);
    setdr(L);
    trovan::setdei(L);
    mtrtns(L);
    setvol(L);
  }
  // The lattice's matrices and conversions.
  void getdq(float* a) const { mcpy(L.dq, a); }
  void getdr(float* a) const { mcpy(L.dr, a); }
  void getde(float* a) const { mcpy(L.de, a); }
  void getdi(float* a) const { mcpy(L.di, a); }
  void getmtrt(float* a) const { mcpy(L.mtrt, a); }
  void getqi0(const int* h, float* q) const { trovan::getqi0(L, h, q); }
  void getqi(const int* h, float* q) const { trovan::getqi(L, h, q); }
  void getqe0(const float* x, float* e) const { trovan::getqe0(L, x, e); }
  void getqe(const float* x, float* e) const { trovan::getqe(L, x, e); }
  void rltscale(float* v) const { trovan::rltscale(L, v); }
  void ltscale(float* v) const { trovan::ltscale(L, v); }
  int getndir(int family) const { return trovan::getndir(L, family); }
  void getdir(int family, int k, float* v) const { trovan::getdir(L, family, k, v); }
  void getskp(int k, float* v) const { trovan::getskp(L, k, v); }
  void seteps(float a, float b, float c, float d) { trovan::seteps(L, a, b, c, d); }
  void setdei() { trovan::setdei(L); }
  // dr.dq and dq.dr both identity.
  void expect_inverse_pair() const;
};

double el(const float* a, int i, int j) { return a[at(i, j)]; }

void expect_identity(const float* a, double tol) {
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) EXPECT_NEAR(el(a, i, j), i == j ? 1.0 : 0.0, tol) << i << "," << j;
}

}  // namespace

void LatticeTest::expect_inverse_pair() const {
  float dq[36], dr[36], p[36];
  getdq(dq);
  getdr(dr);
  mtmpl(dr, dq, p);
  expect_identity(p, 2e-5);
  mtmpl(dq, dr, p);
  expect_identity(p, 2e-5);
}

namespace {

// Cholesky factorisation succeeds only for a symmetric positive definite matrix.
void expect_spd(const float* g) {
  double l[6][6] = {};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) EXPECT_NEAR(el(g, i, j), el(g, j, i), 1e-4 * (1 + std::fabs(el(g, i, j))));
  for (int j = 0; j < 6; ++j) {
    double s = el(g, j, j);
    for (int k = 0; k < j; ++k) s -= l[j][k] * l[j][k];
    ASSERT_GT(s, 1e-8) << "pivot " << j;
    l[j][j] = std::sqrt(s);
    for (int i = j + 1; i < 6; ++i) {
      double t = el(g, i, j);
      for (int k = 0; k < j; ++k) t -= l[i][k] * l[j][k];
      l[i][j] = t / l[j][j];
    }
  }
}

double angle_deg(const float* u, const float* v) {
  double d = 0, nu = 0, nv = 0;
  for (int i = 0; i < 3; ++i) {
    d += double(u[i]) * v[i];
    nu += double(u[i]) * u[i];
    nv += double(v[i]) * v[i];
  }
  return todeg(std::acos(std::clamp(d / std::sqrt(nu * nv), -1.0, 1.0)));
}


}  // namespace

TEST_F(LatticeTest, InverseBasisForEveryBuiltinSetting) {
  for (int isys = 1; isys <= 5; ++isys) {
    SCOPED_TRACE(isys);
    builtin(isys);
    expect_inverse_pair();
    EXPECT_NE(L.det, 0.0f);
  }
}

TEST_F(LatticeTest, InverseBasisForGeneralSettings) {
  general(kMono, {}, 3);
  expect_inverse_pair();
  general(kMono, {{0.1f, 0.2f, 0.3f}}, 2);
  expect_inverse_pair();
  general(kCubic, {{0.3f, 0, 0}, {0, 0.3f, 0}, {0, 0, 0.3f}}, 3);
  expect_inverse_pair();
}

TEST_F(LatticeTest, MetricIsSymmetricPositiveDefiniteAndGivesCartesianLengths) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1, 1);
  auto check = [&] {
    float g[36];
    getmtrt(g);
    expect_spd(g);
    // x.g.x is the squared length of the Cartesian position of x.
    for (int t = 0; t < 10; ++t) {
      float x[6], e[6];
      for (float& c : x) c = u(rng);
      getqe0(x, e);
      double len2 = 0, xgx = 0;
      for (int i = 0; i < 6; ++i) {
        len2 += double(e[i]) * e[i];
        for (int j = 0; j < 6; ++j) xgx += x[i] * el(g, i, j) * x[j];
      }
      EXPECT_NEAR(xgx, len2, 1e-4 * len2);
    }
  };
  for (int isys = 1; isys <= 5; ++isys) {
    SCOPED_TRACE(isys);
    builtin(isys, 4.5f, 7.0f);
    check();
  }
  general(kMono, {{0.1f, 0.2f, 0.3f}}, 3);
  check();
}

TEST_F(LatticeTest, MetricOfDecagonalCarriesCAlongThePeriodicAxis) {
  builtin(3, 4.0f, 9.0f);
  float g[36];
  getmtrt(g);
  EXPECT_NEAR(el(g, 4, 4), 81.0, 1e-3);
  for (int m = 0; m < 4; ++m) EXPECT_NEAR(el(g, 4, m), 0.0, 1e-5);
}

TEST_F(LatticeTest, BuiltinBasesReproduceTabulatedRowsAfterScaling) {
  struct Row {
    int isys, k;
    double v[6];
    double f;
  };
  const double t = kTau;
  const Row rows[] = {
      {1, 1, {-0.72361, 0.52573, 0.44721, -0.27639, 0.85065, -0.44721}, 0.5},
      {1, 4, {0.89443, 0, 0.44721, -0.89443, 0, -0.44721}, 0.5},
      {2, 3, {0, 1, -t, 0, t, 1}, 0.5 / 1.9021131},
      {2, 0, {1, t, 0, t, -1, 0}, 0.5 / 1.9021131},
      {3, 0, {0.30902, 0.95106, 0, -0.80902, 0.58779, 0}, 1 / 2.236068},
      {3, 4, {0, 0, 1, 0, 0, 0}, 1},
      {3, 5, {0, 0, 0, 0, 0, 1}, 1},
      {4, 1, {0.70711, 0.70711, 0, -0.70711, 0.70711, 0}, 0.5},
      {4, 4, {0, 0, 1, 0, 0, 0}, 1},
      {5, 2, {0.5, 0.86603, 0, 0.5, -0.86603, 0}, 1 / 1.4142135},
      {5, 3, {0, 1, 0, 0, 1, 0}, 1 / 1.4142135},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.isys * 10 + r.k);
    builtin(r.isys);
    float dq[36];
    getdq(dq);
    for (int j = 0; j < 6; ++j) EXPECT_NEAR(el(dq, r.k, j), r.v[j] * r.f, 2e-5);
  }
}

TEST_F(LatticeTest, IcosahedralBasesAreHypercubic) {
  // Both icosahedral settings describe the same primitive hypercubic
  // lattice: every b*_k has parallel and perpendicular length 1/2 (1/a) and
  // the six are mutually orthogonal in six dimensions.
  for (int isys = 1; isys <= 2; ++isys) {
    builtin(isys);
    float dq[36];
    getdq(dq);
    for (int k = 0; k < 6; ++k) {
      double par = 0, perp = 0;
      for (int j = 0; j < 3; ++j) {
        par += el(dq, k, j) * el(dq, k, j);
        perp += el(dq, k, j + 3) * el(dq, k, j + 3);
      }
      EXPECT_NEAR(std::sqrt(par), 0.5, 2e-5);
      EXPECT_NEAR(std::sqrt(perp), 0.5, 2e-5);
      for (int l = k + 1; l < 6; ++l) {
        double d = 0;
        for (int j = 0; j < 6; ++j) d += el(dq, k, j) * el(dq, l, j);
        EXPECT_NEAR(d, 0.0, 2e-5);
      }
    }
    // Parallel parts of distinct five-fold axes meet at 63.43 or 116.57 deg.
    for (int l = 1; l < 6; ++l) {
      float r0[3] = {float(el(dq, 0, 0)), float(el(dq, 0, 1)), float(el(dq, 0, 2))};
      float rl[3] = {float(el(dq, l, 0)), float(el(dq, l, 1)), float(el(dq, l, 2))};
      double ang = angle_deg(r0, rl);
      EXPECT_NEAR(std::min(ang, 180 - ang), 63.435, 0.01);
    }
  }
}

TEST_F(LatticeTest, SecondSetdDoesNotRescale) {
  L.isys = 4;
  setac(L, 5, 8);
  setd(L);
  float first[36], second[36];
  getdq(first);
  setd(L);
  setd(L);
  getdq(second);
  for (int i = 0; i < 36; ++i) EXPECT_EQ(first[i], second[i]);
  EXPECT_NEAR(el(second, 0, 0), 0.5, 1e-6);  // scaled exactly once
}

TEST_F(LatticeTest, FiveDimensionalSettingsScaleComponentThreeByCNeverSix) {
  for (int isys = 3; isys <= 5; ++isys) {
    builtin(isys, 3.0f, 7.0f);
    float v[6] = {1, 1, 1, 1, 1, 1};
    rltscale(v);
    const float want[6] = {1 / 3.f, 1 / 3.f, 1 / 7.f, 1 / 3.f, 1 / 3.f, 1};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(v[i], want[i]);
    float w[6] = {1, 1, 1, 1, 1, 1};
    ltscale(w);
    const float wantl[6] = {3, 3, 7, 3, 3, 1};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(w[i], wantl[i]);
    // c* = 1/c along z; the dummy axis keeps unit length.
    int h5[6] = {0, 0, 0, 0, 1, 0}, h6[6] = {0, 0, 0, 0, 0, 1};
    float q[6];
    getqi0(h5, q);
    EXPECT_NEAR(q[2], 1 / 7.0, 1e-6);
    getqi0(h6, q);
    EXPECT_NEAR(q[5], 1.0, 1e-6);
  }
  // Six-dimensional settings: c follows a.
  builtin(1, 3.0f, 7.0f);
  EXPECT_EQ(L.cc, 3.0f);
}

TEST_F(LatticeTest, IndexTimesCoordinateIsKeptByTheConversions) {
  // q.e = h.x: the Cartesian reciprocal vector of h and the Cartesian
  // position of x give back the superspace scalar product, in every setting.
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> hi(-4, 4);
  std::uniform_real_distribution<float> xr(-1, 1);
  auto check = [&](bool deformed) {
    for (int t = 0; t < 20; ++t) {
      int h[6];
      float x[6], q[6], e[6];
      double hx = 0;
      for (int i = 0; i < 6; ++i) {
        h[i] = hi(rng);
        x[i] = xr(rng);
        hx += h[i] * x[i];
      }
      if (deformed) {
        getqi(h, q);
        getqe(x, e);
      } else {
        getqi0(h, q);
        getqe0(x, e);
      }
      double qe = 0;
      for (int i = 0; i < 6; ++i) qe += double(q[i]) * e[i];
      EXPECT_NEAR(qe, hx, 1e-4 * (1 + std::fabs(hx)));
    }
  };
  for (int isys = 1; isys <= 5; ++isys) {
    SCOPED_TRACE(isys);
    builtin(isys, 4.0f, 6.0f);
    check(false);
    seteps(0.01f, -0.02f, 0.015f, 0.03f);
    setdei();
    check(true);
    seteps(0, 0, 0, 0);
    setdei();
  }
  general(kMono, {{0.1f, 0.2f, 0.3f}}, 3);
  check(false);
}

TEST_F(LatticeTest, ZeroStrainGivesIdentityAndEqualConversions) {
  for (int isys = 1; isys <= 5; ++isys) {
    builtin(isys);
    float de[36], di[36];
    getde(de);
    getdi(di);
    expect_identity(de, 0);
    expect_identity(di, 0);
    float x[6] = {0.1f, -0.3f, 0.7f, 0.25f, -0.5f, 0.9f}, e0[6], e[6];
    getqe0(x, e0);
    getqe(x, e);
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(e[i], e0[i]);
    int h[6] = {1, -2, 3, 0, 1, -1};
    float q0[6], q[6];
    getqi0(h, q0);
    getqi(h, q);
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(q[i], q0[i]);
  }
  EXPECT_NE(listing.str().find("deformation matrix de"), std::string::npos);
  EXPECT_NE(listing.str().find("amij1="), std::string::npos);
}

TEST_F(LatticeTest, StrainDeformsThePerpendicularBlockOnly) {
  builtin(1);
  seteps(0.1f, 0, 0, 0);
  setdei();
  float de[36], di[36], p[36];
  getde(de);
  getdi(di);
  mtmpl(de, di, p);
  expect_identity(p, 1e-6);
  double perppar = 0;
  for (int i = 3; i < 6; ++i)
    for (int j = 0; j < 3; ++j) perppar += std::fabs(el(de, i, j));
  EXPECT_GT(perppar, 0.01);  // a phason strain couples perp to par
  for (int i = 0; i < 3; ++i)
    for (int j = 3; j < 6; ++j) EXPECT_EQ(el(de, i, j), 0.0);
}

TEST_F(LatticeTest, IcosahedralAuxiliaryVectorsFormAFundamentalTriangle) {
  for (int isys = 1; isys <= 2; ++isys) {
    SCOPED_TRACE(isys);
    builtin(isys);
    ASSERT_EQ(L.nskp, 4);
    float v[4][6];
    for (int k = 0; k < 4; ++k) {
      getskp(k, v[k]);
      EXPECT_NEAR(std::sqrt(v[k][0] * v[k][0] + v[k][1] * v[k][1] + v[k][2] * v[k][2]), 1, 1e-5);
      EXPECT_NEAR(std::sqrt(v[k][3] * v[k][3] + v[k][4] * v[k][4] + v[k][5] * v[k][5]), 1, 1e-5);
    }
    EXPECT_NEAR(angle_deg(v[0], v[1]), 37.377, 0.01);  // 5-fold to 3-fold
    EXPECT_NEAR(angle_deg(v[0], v[2]), 31.717, 0.01);  // 5-fold to 2-fold
    EXPECT_NEAR(angle_deg(v[1], v[2]), 20.905, 0.01);  // 3-fold to 2-fold
    EXPECT_NEAR(angle_deg(v[3], v[0]), 90.0, 0.01);    // mirror normal
    EXPECT_NEAR(angle_deg(v[3], v[2]), 90.0, 0.01);
    EXPECT_EQ(getndir(5), 6);
    EXPECT_EQ(getndir(3), 10);
    EXPECT_EQ(getndir(2), 15);
    // Every three-fold axis lies 37.38 degrees from its nearest five-fold
    // axis, every two-fold 31.72 degrees.
    for (int fam = 3; fam >= 2; --fam)
      for (int k = 0; k < getndir(fam); ++k) {
        float d[6], f[6];
        getdir(fam, k, d);
        double best = 180;
        for (int l = 0; l < 6; ++l) {
          getdir(5, l, f);
          double a = angle_deg(d, f);
          best = std::min({best, a, 180 - a});
        }
        EXPECT_NEAR(best, fam == 3 ? 37.377 : 31.717, 0.01);
      }
  }
  builtin(4);
  EXPECT_EQ(L.nskp, 0);
  EXPECT_EQ(getndir(2), 0);
}

TEST_F(LatticeTest, VolumeOfBuiltinAndGeneralCells) {
  // The icosahedral hypercubic lattice: direct basis vectors of length
  // a*sqrt(2), mutually orthogonal.
  builtin(1, 5.0f);
  EXPECT_NEAR(L.vol, std::pow(std::sqrt(2.0) * 5.0, 6), 1e-4 * L.vol);
  builtin(2, 5.0f);
  EXPECT_NEAR(L.vol, std::pow(std::sqrt(2.0) * 5.0, 6), 1e-4 * L.vol);
  for (int isys = 3; isys <= 5; ++isys) {
    builtin(isys, 4.0f, 6.0f);
    EXPECT_GT(L.vol, 0);
  }
  general(kCubic, {}, 3);
  EXPECT_NEAR(L.vol, 64.0, 1e-3);
  EXPECT_EQ(L.ac, 1.0f);
  EXPECT_EQ(L.cc, 1.0f);
  const double mono = 5.0 * 6.0 * 7.0 * std::sin(torad(100.0));
  general(kMono, {}, 3);
  EXPECT_NEAR(L.vol, mono, 1e-4 * mono);
  general(kMono, {}, 2);
  EXPECT_NEAR(L.vol, mono, 1e-4 * mono);
  EXPECT_NE(listing.str().find("cell volume="), std::string::npos);
}

TEST_F(LatticeTest, GeneralBasisReproducesTheReciprocalCell) {
  // a*, b*, c* from the Cartesian basis: lengths and angles of the
  // reciprocal cell of the monoclinic cell, in both axis settings.
  const double beta = torad(100.0);
  const double as = 1 / (5.0 * std::sin(beta)), bs = 1 / 6.0, cs = 1 / (7.0 * std::sin(beta));
  for (int iset : {2, 3}) {
    general(kMono, {}, iset);
    float q[3][6];
    for (int k = 0; k < 3; ++k) {
      int h[6] = {};
      h[k] = 1;
      getqi0(h, q[k]);
    }
    auto len = [](const float* v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); };
    EXPECT_NEAR(len(q[0]), as, 1e-6);
    EXPECT_NEAR(len(q[1]), bs, 1e-6);
    EXPECT_NEAR(len(q[2]), cs, 1e-6);
    EXPECT_NEAR(angle_deg(q[0], q[2]), 80.0, 1e-3);  // beta* = 180 - beta
    EXPECT_NEAR(angle_deg(q[0], q[1]), 90.0, 1e-3);
    // right-handed: a*.(b* x c*) > 0
    double triple = q[0][0] * (q[1][1] * q[2][2] - q[1][2] * q[2][1]) -
                    q[0][1] * (q[1][0] * q[2][2] - q[1][2] * q[2][0]) +
                    q[0][2] * (q[1][0] * q[2][1] - q[1][1] * q[2][0]);
    EXPECT_GT(triple, 0);
  }
}

TEST_F(LatticeTest, ModulatedSettingAddsTheWaveVector) {
  general(kMono, {{0, 0, 0.3f}}, 3);
  EXPECT_EQ(L.ndm, 1);
  int hc[6] = {0, 0, 1, 0, 0, 0}, hs[6] = {0, 0, 1, 1, 0, 0};
  float c[6], q[6];
  getqi0(hc, c);
  getqi0(hs, q);
  const double cs = 1 / (7.0 * std::sin(torad(100.0)));
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(q[i], 1.3 * c[i], 1e-6);
  EXPECT_NEAR(std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]), 1.3 * cs, 1e-6);
  EXPECT_NEAR(angle_deg(q, c), 0.0, 1e-2);
  // The satellite carries the perpendicular component read with v=.
  EXPECT_NEAR(q[3], 1.0, 1e-6);
}

TEST_F(LatticeTest, NoWaveVectorsMeansNoKLines) {
  feed("ndm=0\niseging=0\nv=0 0 0 1 0 0 0 0 0 0 1 0 0 0 0 0 0 1\n");
  EXPECT_EQ(rdkvctr(rd, L), 0);
  readvmtrx(rd, L);  // the next line is still there to be read
  EXPECT_EQ(listing.str().find("k="), std::string::npos);
}

TEST_F(LatticeTest, TooManyWaveVectorsStop) {
  feed("ndm=4\n");
  expect_stop([&] { rdkvctr(rd, L); });
}

TEST_F(LatticeTest, FirstSetdOfGeneralSettingNeitherPrintsNorInverts) {
  setlc(L, kMono.data());
  setkvctr(L, 0, nullptr);
  calltcs(L);
  setd(L);
  trovan::setdei(L);
  mtrtns(L);
  EXPECT_EQ(listing.str(), "");
  float g[36];
  getmtrt(g);
  for (float x : g) EXPECT_EQ(x, 0.0f);
}

TEST_F(LatticeTest, DegenerateCellsStop) {
  feed("a=4 b=4 c=4 cosa=1 cosb=0 cosc=0\n");
  std::string s = expect_stop([&] { readlc(rd, L); });
  EXPECT_NE(s.find("degenerate cell"), std::string::npos);
  listing.str("");
  // Three angles of 154 degrees cannot meet at one corner.
  feed("a=4 b=4 c=4 cosa=-0.9 cosb=-0.9 cosc=-0.9\n");
  s = expect_stop([&] { readlc(rd, L); });
  EXPECT_NE(s.find("do not form a cell"), std::string::npos);
  feed("a=0 b=4 c=4 cosa=0 cosb=0 cosc=0\n");
  expect_stop([&] { readlc(rd, L); });
}

TEST_F(LatticeTest, SingularGeneralBasisStopsNamingItsInputs) {
  std::string s = expect_stop([&] { general(kCubic, {{0.3f, 0, 0}}, 3, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1}); });
  EXPECT_NE(s.find("singular"), std::string::npos);
  EXPECT_NE(s.find("k="), std::string::npos);
  EXPECT_NE(s.find("v="), std::string::npos);
}

TEST_F(LatticeTest, BadSettingsStop) {
  L.isys = 7;
  std::string s = expect_stop([&] { setd(L); });
  EXPECT_NE(s.find("wrong isys"), std::string::npos);
  L = Lattice{};
  setlc(L, kCubic.data());
  setkvctr(L, 0, nullptr);
  calltcs(L);
  s = expect_stop([&] { setumtrx(L, 1); });
  EXPECT_NE(s.find("isetting"), std::string::npos);
  L.isys = 3;
  expect_stop([&] { setac(L, 4, 0); });
}

TEST_F(LatticeTest, BuiltinSetdListsDrAndDq) {
  L.isys = 5;
  setac(L, 5, 8);
  setd(L);
  const std::string l = listing.str();
  EXPECT_EQ(l.rfind("dr\n", 0), 0u);
  EXPECT_NE(l.find("\ndq\n"), std::string::npos);
  // 1 + 6 + 1 + 6 lines, eight-character fields
  EXPECT_EQ(std::count(l.begin(), l.end(), '\n'), 14);
}

TEST_F(LatticeTest, QSystemTransformationBlocksAndInverse) {
  feed(
      "s1=1 0 0 0 1 0 0 0 1\n"
      "s2=0 1 0 -1 0 0 0 0 1\n"
      "s3=0 0.5 0 0 0 0 0 0 0\n"
      "s4=0 0 0 0 0 0 0.25 0 0\n");
  std::string l = expect_stop([&] { readst1234(rd, L, -1); }, kExitOk);
  EXPECT_NE(l.find("transformation matrix for q system"), std::string::npos);
  float sr[36], si[36], p[36];
  mcpy(L.sr, sr);
  mcpy(L.si, si);
  EXPECT_EQ(el(sr, 0, 4), 0.5f);  // S3 row 1 column 2, given row by row
  EXPECT_EQ(el(sr, 3, 4), 1.0f);  // S2 row 1: (0, 1, 0)
  EXPECT_EQ(el(sr, 4, 3), -1.0f);
  EXPECT_EQ(el(sr, 5, 0), 0.25f);  // S4 row 3 column 1
  mtmpl(sr, si, p);
  expect_identity(p, 1e-6);

  listing.str("");
  feed(
      "s1=1 0 0 0 1 0 0 0 1\ns2=1 0 0 0 1 0 0 0 1\ns3=0 0 0 0 0 0 0 0 0\ns4=0 0 0 0 0 0 0 0 0\n"
      "t1=2 0 0 0 2 0 0 0 2\nt2=1 0 0 0 1 0 0 0 1\nt3=0 0 0 0 0 0 0 0 0\nt4=0 0 0 0 0 0 0 0 0\n");
  readst1234(rd, L, -2);
  float ti[36];
  mcpy(L.ti, ti);
  EXPECT_FLOAT_EQ(el(ti, 0, 0), 0.5f);
  EXPECT_NE(listing.str().find("\nti\n"), std::string::npos);
}
