// Fourier, difference and Patterson syntheses of a whole run, checked
// against the model they come from: the map of a non-symmorphic structure
// given only a quarter of its reflections equals the direct Fourier sum over
// all of them, structure factors computed back from the map are the input
// coefficients, a difference map of Fo = Fc vanishes, and a Patterson map is
// centrosymmetric with its largest value at the origin.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
#include "density/synthesis.hpp"
#include "util/workgrid.hpp"
#include "e2e_support.hpp"
#include "inprocess.hpp"
#include "reflections/expand.hpp"
#include "util/linalg.hpp"
#include "tools/sfmodel.hpp"

using namespace trovan;
using namespace trovan_test;

namespace {

using cplx = std::complex<double>;

// P4_1, a = b = 5, c = 8 Angstrom: two atoms in general positions. The
// screw's quarter translation tells exp(+2 pi i h.tau) from its conjugate.
// Structure factors follow the convention of reflection files,
// F(h) = sum f exp(+2 pi i h.x), through tools/sfmodel.hpp; the density is
// rho(x) = (1/V) sum F(h) exp(-2 pi i h.x).
struct Model {
  struct Atom {
    double f, x, y, z;
  };
  std::vector<Atom> atoms = {{10, 0.1, 0.2, 0.05}, {6, 0.3, 0.35, 0.4}};
  // (R x + tau) of the four operators of 4_1 along z.
  static void image(int s, double x, double y, double z, double* r) {
    switch (s) {
      case 0: r[0] = x; r[1] = y; r[2] = z; break;
      case 1: r[0] = -y; r[1] = x; r[2] = z + 0.25; break;
      case 2: r[0] = -x; r[1] = -y; r[2] = z + 0.5; break;
      default: r[0] = y; r[1] = -x; r[2] = z + 0.75; break;
    }
  }
  cplx F(int h, int k, int l) const {
    cplx s = 0;
    for (const Atom& a : atoms)
      for (int op = 0; op < 4; ++op) {
        double r[3];
        image(op, a.x, a.y, a.z, r);
        s += a.f * trovan::examples::phase_factor(h * r[0] + k * r[1] + l * r[2]);
      }
    return s;
  }
  double f000() const { return 4 * (10 + 6); }
};

constexpr int kN = 16;    // grid points per axis
constexpr int kH = 7;     // largest index the grid holds, (16 - 1) / 2
constexpr double kV = 5.0 * 5.0 * 8.0;

// Reflections with h, k, l >= 0 only: the rest come from symmetry and
// Friedel's law. Six decimals so that rounding does not blur the check.
std::string reflection_file(const Model& m) {
  std::string s;
  char line[128];
  for (int h = 0; h <= kH; ++h)
    for (int k = 0; k <= kH; ++k)
      for (int l = 0; l <= kH; ++l) {
        if (h == 0 && k == 0 && l == 0) continue;
        cplx f = m.F(h, k, l);
        double ph = std::abs(f) > 1e-9 ? todeg(std::arg(f)) : 0.0;
        std::snprintf(line, sizeof line, "%4d%4d%4d%4d%4d%4d%14.6f%14.6f%14.6f%14.6f\n", h, k, l,
                      0, 0, 0, std::abs(f), std::abs(f), ph, 0.05 * std::abs(f) + 0.5);
        s += line;
      }
  return s;
}

std::string job(const fs::path& dir, int iplot, const std::string& mem = "") {
  std::string s;
  s += "file1='" + (dir / "p41.hkl").string() + "'\n";
  s += "file2='" + (dir / "p41.den").string() + "'\n";
  s += "title='P4_1 test'\nisys=0\n";
  s += "a=5 b=5 c=8 cosa=0 cosb=0 cosc=0\nndm=0\n";
  s += "nsymo=1 icent=0 brv='p'\nsymmetry operator\n-y,x,z+1/4,t,u,v\n";
  s += "f000=64 sg00=0 sg0=0 sg1=0 fmag=1\njbc=0\n";
  s += "isetting=3\niseging=0\nv= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1\n";
  s += "iplot=" + std::to_string(iplot) + " hmax=16 16 16 1 1 1 pkmin=1\n";
  s += mem;
  s += "icont=0\n";
  s += std::string("qimax=100 frmt='") + (std::abs(iplot) >= 4 ? "(6i4,4f14.6)" : "(6i4,3f14.6)") +
       "'\n";
  s += "ldev=0 iwhkl=0 iprj=0\nng=0\n";
  return s;
}

fs::path setup(const std::string& name, const Model& m) {
  fs::path d = scratch_dir(name);
  write_file(d / "p41.hkl", reflection_file(m));
  return d;
}

// The direct Fourier sum of the model over every reflection the grid holds.
std::vector<double> model_map(const Model& m, bool difference) {
  std::vector<cplx> F(kN * kN * kN);
  for (int h = -kH; h <= kH; ++h)
    for (int k = -kH; k <= kH; ++k)
      for (int l = -kH; l <= kH; ++l)
        F[((h + kN) % kN) + kN * ((k + kN) % kN) + kN * kN * ((l + kN) % kN)] =
            (h == 0 && k == 0 && l == 0) ? cplx(m.f000()) : m.F(h, k, l);
  std::vector<double> rho(kN * kN * kN, 0.0);
  if (difference) return rho;
  // Separable sums along each axis keep this quick.
  std::vector<cplx> a(F), b(F.size());
  for (int axis = 0; axis < 3; ++axis) {
    const int stride = axis == 0 ? 1 : (axis == 1 ? kN : kN * kN);
    for (int j = 0; j < kN * kN * kN; ++j) {
      const int xi = (j / stride) % kN;
      const int base = j - xi * stride;
      cplx s = 0;
      for (int h = 0; h < kN; ++h)
        s += a[base + h * stride] * std::conj(trovan::examples::phase_factor(double(h) * xi / kN));
      b[j] = s;
    }
    a.swap(b);
  }
  for (int j = 0; j < kN * kN * kN; ++j) rho[j] = a[j].real() / kV;
  return rho;
}

TEST(Synthesis, FourierMapOfAQuarterOfTheDataEqualsTheModelsFullSum) {
  Model m;
  fs::path d = setup("fourier", m);
  InProcess r = run_inprocess(job(d, 2));
  ASSERT_EQ(r.status, 0) << r.out;
  WorkGrid& w = r.job.map;
  std::vector<double> want = model_map(m, false);
  const float* rho = getabcdr(w);
  double maxabs = 0, maxerr = 0;
  for (int j = 0; j < kN * kN * kN; ++j) {
    maxabs = std::max(maxabs, std::fabs(want[j]));
    maxerr = std::max(maxerr, std::fabs(rho[j] - want[j]));
  }
  EXPECT_GT(maxabs, 0.5);
  EXPECT_LT(maxerr, 1e-4 * maxabs) << "largest deviation from the direct sum";
  EXPECT_TRUE(r.has("number of skipped reflections=           0")) << r.out;
}

TEST(Synthesis, MapIsInvariantUnderEveryOperatorOnTheGrid) {
  Model m;
  fs::path d = setup("invariant", m);
  InProcess r = run_inprocess(job(d, 2));
  ASSERT_EQ(r.status, 0) << r.out;
  const Crystal& cr = r.job.crystal;
  WorkGrid& w = r.job.map;
  const float* rho = getabcdr(w);
  ASSERT_EQ(cr.group.nsymo(), 4);
  double worst = 0, maxabs = 0;
  for (int j = 0; j < kN * kN * kN; ++j) {
    int x[6], xr[6];
    getitoxyz(cr.grid, j, x);
    maxabs = std::max(maxabs, double(std::fabs(rho[j])));
    for (int s = 1; s <= 4; ++s) {
      getrxi(cr.grid, x, xr, s, 0);
      worst = std::max(worst, double(std::fabs(rho[getxyztoj(cr.grid, xr)] - rho[j])));
    }
  }
  EXPECT_LT(worst, 1e-5 * maxabs);
  // The map is not trivially symmetric: a general position is no special one.
  int x[6] = {2, 3, 1, 0, 0, 0}, xr[6];
  getrxi(cr.grid, x, xr, 2, 0);
  EXPECT_NE(getxyztoj(cr.grid, xr), getxyztoj(cr.grid, x));
}

TEST(Synthesis, StructureFactorsOfTheMapAreTheInputCoefficients) {
  Model m;
  fs::path d = setup("maphkl", m);
  InProcess r = run_inprocess(job(d, 2));
  ASSERT_EQ(r.status, 0) << r.out;
  Density& dens = r.job.density;
  const Observations& obs = r.job.obs;
  RunState rs;
  rs.iplot = 2;
  setxr0(r.job.crystal.grid, rs, r.job.map, dens);
  const float f000 = maphkl(r.job.crystal, r.job.map, dens, obs);
  EXPECT_NEAR(f000, m.f000(), 1e-3 * m.f000());
  const int n = obs.size();
  ASSERT_GT(n, 100);
  double worst = 0;
  for (int k = 0; k < n; ++k)
    worst = std::max(worst, std::hypot(double(dens.fcr[k]) - obs.a[k], double(dens.fci[k]) - obs.b[k]));
  EXPECT_LT(worst, 2e-3) << "on structure factors of size up to " << m.f000();
}

TEST(Synthesis, DifferenceMapOfFoEqualToFcVanishes) {
  Model m;
  fs::path d = setup("difference", m);
  InProcess r = run_inprocess(job(d, 3));
  ASSERT_EQ(r.status, 0) << r.out;
  WorkGrid& w = r.job.map;
  const float* rho = getabcdr(w);
  for (int j = 0; j < kN * kN * kN; ++j) ASSERT_EQ(rho[j], 0.0f) << j;
  EXPECT_TRUE(r.has("f000 used in the calculation =               0")) << r.out;
}

TEST(Synthesis, PattersonMapIsCentrosymmetricWithItsMaximumAtTheOrigin) {
  Model m;
  fs::path d = setup("patterson", m);
  InProcess r = run_inprocess(job(d, 1));
  ASSERT_EQ(r.status, 0) << r.out;
  const Crystal& cr = r.job.crystal;
  WorkGrid& w = r.job.map;
  const float* p = getabcdr(w);
  float pmax = p[0];
  for (int j = 0; j < kN * kN * kN; ++j) {
    int x[6];
    getitoxyz(cr.grid, j, x);
    for (int i = 0; i < 3; ++i) x[i] = -x[i];
    EXPECT_NEAR(p[getxyztoj(cr.grid, x)], p[j], 1e-4f * std::fabs(p[0])) << j;
    EXPECT_LE(p[j], pmax * (1 + 1e-6f)) << j;
  }
  EXPECT_GT(p[0], 0.0f);
}

}  // namespace

namespace {

TEST(Synthesis, EveryMapKindIsWrittenAndReadBackByAContinuationRun) {
  Model m;
  for (int iplot : {1, 2, 3}) {
    fs::path d = setup("continue" + std::to_string(iplot), m);
    InProcess first = run_inprocess(job(d, iplot));
    ASSERT_EQ(first.status, 0) << first.out;
    std::vector<float> map1(getabcdr(first.job.map), getabcdr(first.job.map) + kN * kN * kN);
    ASSERT_TRUE(fs::exists(d / "p41.den"));
    EXPECT_EQ(fs::file_size(d / "p41.den"), 8u + 4u * kN * kN * kN);
    std::string again = job(d, iplot);
    again.replace(again.find("icont=0"), 7, "icont=1");
    InProcess second = run_inprocess(again);
    ASSERT_EQ(second.status, 0) << second.out;
    for (int j = 0; j < kN * kN * kN; ++j) ASSERT_EQ(getabcdr(second.job.map)[j], map1[j]) << iplot << " " << j;
    EXPECT_NE(second.out.find("dmax="), std::string::npos);
  }
}

}  // namespace
