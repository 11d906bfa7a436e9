// Maximum-entropy runs end to end on noisy data of a known structure: the
// agreement improves, no accepted step worsens all three measures, the
// density stays positive, a continuation from the density file starts where
// the first run ended; and the pieces of one cycle: a trial step beside the
// accepted density, the map and the structure factors of real data made on
// half grids of paired points.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <regex>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
#include "density/fft.hpp"
#include "density/mem.hpp"
#include "density/synthesis.hpp"
#include "util/workgrid.hpp"
#include "e2e_support.hpp"
#include "inprocess.hpp"
#include "reflections/expand.hpp"
#include "util/linalg.hpp"

using namespace trovan;
using namespace trovan_test;

namespace {

using cplx = std::complex<double>;

// Two atoms in P2_1 2_1 2_1 (a = 5, b = 6, c = 7 Angstrom), Gaussian atoms so
// that the grid resolves them; F(h) = sum f exp(-2 pi i h.x).
cplx model_f(int h, int k, int l) {
  const double at[2][4] = {{12, 0.12, 0.21, 0.33}, {8, 0.37, 0.06, 0.71}};
  const double s2 = (h * h / 25.0 + k * k / 36.0 + l * l / 49.0);
  cplx s = 0;
  for (const auto& a : at) {
    const double x = a[1], y = a[2], z = a[3];
    const double im[4][3] = {{x, y, z}, {-x + 0.5, -y, z + 0.5}, {-x, y + 0.5, -z + 0.5},
                             {x + 0.5, -y + 0.5, -z}};
    for (const auto& r : im)
      s += a[0] * std::exp(-2.0 * s2) *
           std::exp(cplx(0, -kTwoPi * (h * r[0] + k * r[1] + l * r[2])));
  }
  return s;
}

std::string data(unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::string s;
  char line[160];
  for (int h = 0; h <= 5; ++h)
    for (int k = 0; k <= 5; ++k)
      for (int l = 0; l <= 5; ++l) {
        if (h + k + l == 0) continue;
        cplx f = model_f(h, k, l);
        const double sig = 0.03 * std::abs(f) + 0.3;
        const double fo = std::max(0.0, std::abs(f) + sig * noise(rng));
        std::snprintf(line, sizeof line, "%4d%4d%4d%4d%4d%4d%10.3f%10.3f%10.3f%10.3f\n", h, k, l, 0,
                      0, 0, fo, std::abs(f), todeg(std::arg(f)), sig);
        s += line;
      }
  return s;
}

std::string job(const fs::path& d, const std::string& cycles, int icont = 0) {
  std::string s;
  s += "file1='" + (d / "m.hkl").string() + "'\nfile2='" + (d / "m.den").string() + "'\n";
  s += "title='MEM test'\nisys=0\na=5 b=6 c=7 cosa=0 cosb=0 cosc=0\nndm=0\n";
  s += "nsymo=2 icent=0 brv='p'\nsymmetry operator\n-x+1/2,-y,z+1/2,t,u,v\n-x,y+1/2,-z+1/2,t,u,v\n";
  s += "f000=80 sg00=0 sg0=0 sg1=0 fmag=1\njbc=0\n";
  s += "isetting=3\niseging=0\nv= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1\n";
  s += "iplot=4 hmax=12 12 12 1 1 1 pkmin=1\n" + cycles + "\n";
  s += "icont=" + std::to_string(icont) + "\nqimax=100 frmt='(6i4,4f10.3)'\n";
  s += "ldev=0 iwhkl=0 iprj=0\nng=0\n";
  return s;
}

// A number as edited in the listing; asterisks (no room) read as infinity.
double num(const std::string& s) {
  try {
    return std::stod(s);
  } catch (...) {
    return INFINITY;
  }
}

struct Cycle {
  int ic;
  double c2, r, rw;
  std::string stage;
  double ex;
};

std::vector<Cycle> cycles(const std::string& out) {
  std::vector<Cycle> v;
  std::regex re(R"(ic=\s*(\d+) c2=\s*(\S+) rfact=\s*(\S+) rwfact=\s*(\S+) f0=.* (ex[12])=\s*(\S+))");
  for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it)
    v.push_back({std::stoi((*it)[1]), num((*it)[2]), num((*it)[3]), num((*it)[4]), (*it)[5],
                 num((*it)[6])});
  return v;
}

std::string final_line(const std::string& out) {
  std::size_t p = out.rfind("\nc2=");
  return p == std::string::npos ? "" : out.substr(p + 1, out.find('\n', p + 1) - p - 1);
}

TEST(MemRun, AgreementImprovesAndAcceptedStepsNeverWorsenAllThree) {
  fs::path d = scratch_dir("memrun");
  write_file(d / "m.hkl", data(11));
  write_file(d / "job.inp", job(d, "ex1=0.02 ex2=0.01 nex1=15 nex2=10"));  // to rerun by hand
  InProcess r = run_inprocess(job(d, "ex1=0.02 ex2=0.01 nex1=15 nex2=10"));
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<Cycle> c = cycles(r.out);
  ASSERT_GE(c.size(), 25u) << r.out;
  // The accepted step of a cycle is its last line; earlier ones were taken back.
  std::vector<Cycle> acc;
  for (std::size_t i = 0; i < c.size(); ++i)
    if (i + 1 == c.size() || c[i + 1].ic != c[i].ic) acc.push_back(c[i]);
  ASSERT_EQ(acc.size(), 25u);
  for (std::size_t i = 1; i < acc.size(); ++i) {
    EXPECT_FALSE(acc[i].c2 > acc[i - 1].c2 && acc[i].r > acc[i - 1].r && acc[i].rw > acc[i - 1].rw)
        << "cycle " << acc[i].ic;
    EXPECT_LE(acc[i].r, 1.0);
    EXPECT_LE(acc[i].rw, 1.0);
  }
  EXPECT_LT(acc.back().r, 0.5 * acc.front().r) << r.out;
  EXPECT_LT(acc.back().c2, acc.front().c2);
  EXPECT_EQ(acc.front().stage, "ex1");
  EXPECT_EQ(acc.back().stage, "ex2");
  // The density stays positive everywhere.
  const float* rho = getabcdr();
  for (long long j = 0; j < getnt(); ++j) ASSERT_GT(rho[j], 0.0f) << j;
  EXPECT_FALSE(final_line(r.out).empty());
}

TEST(MemRun, NoCyclesComputeOnlyTheStart) {
  fs::path d = scratch_dir("memzero");
  write_file(d / "m.hkl", data(12));
  InProcess r = run_inprocess(job(d, "ex1=0.02 ex2=0.01 nex1=0 nex2=0"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(cycles(r.out).empty());
  // The uniform start: only F(000) is calculated, so R = 1.
  EXPECT_NE(final_line(r.out).find("rfact= 1.00000"), std::string::npos) << r.out;
}

TEST(MemRun, WithoutAFirstStageEveryCycleIsSecondStage) {
  fs::path d = scratch_dir("memstage2");
  write_file(d / "m.hkl", data(13));
  InProcess r = run_inprocess(job(d, "ex1=0.5 ex2=0.01 nex1=0 nex2=4"));
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<Cycle> c = cycles(r.out);
  ASSERT_FALSE(c.empty());
  for (const Cycle& x : c) EXPECT_EQ(x.stage, "ex2");
  EXPECT_NEAR(c.front().ex, 0.01, 1e-6);
}

TEST(MemRun, ContinuationStartsWhereTheFirstRunEnded) {
  fs::path d = scratch_dir("memcont");
  write_file(d / "m.hkl", data(14));
  InProcess first = run_inprocess(job(d, "ex1=0.02 ex2=0.01 nex1=6 nex2=2"));
  ASSERT_EQ(first.status, 0) << first.out;
  ASSERT_TRUE(fs::exists(d / "m.den"));
  InProcess again = run_inprocess(job(d, "ex1=0.02 ex2=0.01 nex1=0 nex2=0", 1));
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(final_line(again.out), final_line(first.out));
  // A continuation of another grid is refused.
  std::string other = job(d, "ex1=0.02 ex2=0.01 nex1=0 nex2=0", 1);
  other.replace(other.find("hmax=12 12 12"), 13, "hmax=12 12 16");
  InProcess bad = run_inprocess(other);
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(bad.has("does not hold this grid")) << bad.out;
}

// A trial step writes the new density beside the accepted one: the
// accepted list must come out bit for bit unchanged (it is what a rejected
// step goes back to), the trial must be the update of every point by its
// own difference-map value, and the structure factors must be those of the
// trial.
TEST(MemRun, TrialStepKeepsTheAcceptedDensityAndUpdatesEveryPoint) {
  for (int imode = 1; imode <= 2; ++imode) {
    SCOPED_TRACE(imode);
    fs::path d = scratch_dir("memtrial");
    write_file(d / "m.hkl", data(15));
    InProcess r = run_inprocess(job(d, "ex1=0.02 ex2=0.01 nex1=3 nex2=0"));
    ASSERT_EQ(r.status, 0) << r.out;
    const int n = getnxr0();
    ASSERT_GT(n, 100);
    const std::vector<float> accepted(getxr0(), getxr0() + n);
    getdmx();
    const float dmax = getdmaxcur(), vol = getvol(), f000 = 80, ex = 0.01f;
    difxyz();
    const int* jx = getxr0grid();
    std::vector<float> dmap(n);
    for (int i = 0; i < n; ++i) dmap[i] = getabcdr()[jx[i]];
    float f0new = 0;
    ASSERT_TRUE(denmodmem(ex, f000, imode, f0new));
    const float* kept = getxr0spare();
    const float* trial = getxr0();
    int moved = 0;
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(kept[i], accepted[i]) << i;
      const float want = expand1(accepted[i], dmap[i], vol, f000, dmax, ex, imode);
      ASSERT_NEAR(trial[i], want, 1e-5f * want) << i;
      moved += trial[i] != accepted[i];
    }
    EXPECT_GT(moved, n / 2);
    // The structure factors belong to the trial density.
    const std::vector<float> fcr(getfcr(), getfcr() + getnind());
    EXPECT_EQ(maphkl(), f0new);
    for (int k = 0; k < getnind(); ++k) ASSERT_EQ(getfcr()[k], fcr[k]) << k;
  }
}

// The update uses the difference map times V straight from the synthesis
// (made on a half grid of paired real values, handed over at every point).
TEST(MemRun, UnscaledDifferenceMapIsTheMapTimesTheVolume) {
  fs::path d = scratch_dir("memdifv");
  write_file(d / "m.hkl", data(16));
  InProcess r = run_inprocess(job(d, "ex1=0.02 ex2=0.01 nex1=2 nex2=0"));
  ASSERT_EQ(r.status, 0) << r.out;
  const long long nt = getnt();
  difxyz();
  const std::vector<float> map(getabcdr(), getabcdr() + nt);
  difxyzv();
  const float* a = getabcdr();
  const float* b = getabcdi();
  const bool packed = difxyzvpacked();
  auto v = [&](long long j) {
    const long long h = j >> 1;  // not (j & 1 ? b : a)[j >> 1]: see difxyzv
    return packed ? (j & 1 ? b[h] : a[h]) : a[j];
  };
  double big = 0;
  for (long long j = 0; j < nt; ++j) big = std::max(big, std::fabs(double(v(j))));
  ASSERT_GT(big, 0);
  for (long long j = 0; j < nt; ++j) ASSERT_NEAR(v(j), getvol() * map[j], 1e-6 * big) << j;
}

// The structure factors made from the half grid of paired points are those
// of the full complex transform of the density, real and imaginary parts
// (the group has no centre, so the phases are general).
TEST(MemRun, StructureFactorsFromPairedPointsEqualTheFullTransform) {
  fs::path d = scratch_dir("mempair");
  write_file(d / "m.hkl", data(17));
  InProcess r = run_inprocess(job(d, "ex1=0.02 ex2=0.01 nex1=4 nex2=0"));
  ASSERT_EQ(r.status, 0) << r.out;
  const int nind = getnind();
  const float f000 = maphkl();
  const std::vector<float> fcr(getfcr(), getfcr() + nind), fci(getfci(), getfci() + nind);
  getbrfromxr0();
  int n[6], icon = 0;
  gethmax(n);
  cft1(getabcdr(), getabcdi(), n, getidm(), -1, icon);
  ASSERT_EQ(icon, 0);
  const double f = getvol() / static_cast<double>(getnt());
  const int* jj = getfobsj();
  EXPECT_NEAR(f000, getabcdr()[0] * f, 1e-5 * f000);
  int general = 0;
  for (int k = 0; k < nind; ++k) {
    const double ar = getabcdr()[jj[k]] * f, ai = getabcdi()[jj[k]] * f;
    ASSERT_NEAR(fcr[k], ar, 1e-5 * f000) << k;
    ASSERT_NEAR(fci[k], ai, 1e-5 * f000) << k;
    general += std::fabs(ai) > 1e-3 * f000;
  }
  EXPECT_GT(general, nind / 4);
}

}  // namespace

namespace {

TEST(MemRun, FinalAgreementListsTheReflectionsWhenAsked) {
  fs::path d = scratch_dir("memlist");
  write_file(d / "m.hkl", data(15));
  std::string in = job(d, "ex1=0.02 ex2=0.01 nex1=2 nex2=0");
  in.replace(in.find("iwhkl=0"), 7, "iwhkl=1");
  InProcess r = run_inprocess(in);
  ASSERT_EQ(r.status, 0) << r.out;
  // One line per independent reflection after the cycles: six "i4" indices
  // and |Fo|, |Fc|, phase, sigma in "e12.4" fields.
  std::regex line(R"(\n(\s*-?\d+){6}(\s+-?0\.\d{4}E[+-]\d\d){4}\n)");
  EXPECT_TRUE(std::regex_search(r.out, line)) << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);

  in.replace(in.find("iwhkl=1"), 7, "iwhkl=-1");
  InProcess refused = run_inprocess(in);
  EXPECT_EQ(refused.status, 2);
  EXPECT_TRUE(refused.has("ip=-1 does not work in this version"));
}

}  // namespace

namespace {

// A first step far too large blows the density up: the step is halved and
// tried again instead of ending the run on an overflow.
// Steps over a wide range: the density overflows single precision, or stays
// finite while its structure factors exceed what the agreement can measure.
TEST(MemRun, AnOverflowingStepIsHalvedNotFatal) {
  fs::path d = scratch_dir("memhuge");
  write_file(d / "m.hkl", data(16));
  for (const char* ex : {"2", "5", "10", "20", "50", "100", "1000", "5000"}) {
    InProcess r = run_inprocess(job(d, std::string("ex1=") + ex + " ex2=0.01 nex1=2 nex2=0"));
    ASSERT_EQ(r.status, 0) << "ex1=" << ex << "\n" << r.out;
    EXPECT_FALSE(r.has("overflow in rfct")) << ex;
    EXPECT_FALSE(final_line(r.out).empty()) << ex;
  }
}

}  // namespace
