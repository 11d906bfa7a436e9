// Maximum entropy judged as a crystallographer would, on crystals whose
// structure is known: a (3+1)-D displacive wave must come out as one atom
// on a single-valued atomic surface near its true amplitude, with the main
// reflections and the satellites each fitted to their noise (and the
// listing must say so, or warn); centred crystals, a face-centred cubic
// salt and an F-icosahedral quasicrystal, must keep every site, with the
// multiplicities of the centred cell and a map invariant under the
// centring translations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/setting.hpp"
#include "e2e_support.hpp"
#include "inprocess.hpp"
#include "maps/densityfile.hpp"
#include "tools/domains.hpp"
#include "tools/sfmodel.hpp"
#include "tools/wavemodel.hpp"
#include "util/workgrid.hpp"

using namespace trovan_test;
namespace ex = trovan::examples;

namespace {

// ---- the displacive wave ------------------------------------------------

struct WaveCase {
  const char* name;
  const char* keys;  // after nex2= on the step line
  bool classes;      // main reflections and satellites each fitted within [0.7, 1.3], no warning
  bool surface;      // the atomic surface single-valued, near the wave
  double amp;        // the relative error of the wave's amplitude allowed
};

class MemWave : public ::testing::TestWithParam<WaveCase> {};

// Fitted with c2 (fn=2, even with the class weights) the weak satellites
// go far below their noise and the strong main reflections stay above it,
// and the atom splits where it crosses x = 0: the listing must warn. The default for data with
// satellites lets the worst-fitted reflections lead the steps: every class
// fitted, the surface right. The map of maximum entropy with each class at
// c2 = 1 (exact=1) is single-valued with every class fitted, but the
// entropy, drawing the map towards the flat prior, leaves the wave about a
// fifth smaller than it is.
TEST_P(MemWave, EachClassIsFittedToItsNoiseAndTheAtomicSurfaceIsSingleValued) {
  const WaveCase& wc = GetParam();
  const ex::Example e = ex::wave();
  const fs::path d = scratch_dir(std::string("memwave_") + wc.name);
  write_file(d / "wave_mem.hkl", ex::first_order_only(ex::reflection_file(e, true, 7)));
  std::string inp = point_into(ex::keyword_input(e, true, "ng=0\n"), d);
  inp.insert(inp.find('\n', inp.find("nex2=")), wc.keys);
  const InProcess r = run_inprocess(inp);
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(r.has("cycles: c2 <= c2min")) << r.out.substr(r.out.size() - 2000);
  const double mains = ex::class_c2(r.out, "main reflections"), sats = ex::class_c2(r.out, "satellites of order 1");
  ASSERT_GT(mains, 0) << r.out.substr(r.out.size() - 2000);
  ASSERT_GT(sats, 0);
  const bool warned = r.has("warning: c2 of the classes differs by a factor");
  EXPECT_EQ(warned, !wc.classes) << mains << " " << sats;
  if (wc.classes) {
    EXPECT_GE(mains, 0.7);
    EXPECT_LE(mains, 1.3);
    EXPECT_GE(sats, 0.7);
    EXPECT_LE(sats, 1.3);
  }
  const ex::Surface s = ex::surface(trovan::getabcdr(r.job.map), e);
  const double amp = s.amp, rms = s.rms;
  if (!wc.surface) {
    // Split, and the amplitude wrong (with one c2 the wave came out 36 %
    // too large; with the class weights 27 % too small): the failure the
    // default mends.
    EXPECT_EQ(s.most_maxima, 2) << amp << " " << rms;
    EXPECT_GT(std::fabs(amp - e.amp[0]), 0.15 * e.amp[0]) << amp;
    return;
  }
  EXPECT_EQ(s.most_maxima, 1);
  EXPECT_NEAR(amp, e.amp[0], wc.amp * e.amp[0]);
  EXPECT_LE(rms, 0.06);
}

INSTANTIATE_TEST_SUITE_P(Orders, MemWave,
                         ::testing::Values(WaveCase{"default", "", true, true, 0.15},
                                           WaveCase{"c2alone", " fn=2", false, false, 0},
                                           WaveCase{"exact", " fn=2 exact=1", true, true, 0.25}),
                         [](const auto& info) { return std::string(info.param.name); });

// The wave model's true density, made in real space, is the crystal its
// structure factors describe: its transform over the grid gives the
// model's F for the main reflections and the satellites of the first two
// orders, and the surface reader finds the true wave on it (so the study
// of the MEM map's amplitude in tools/memwave measures the map, not the
// reader).
struct WaveModelCase {
  double amp, width;  // fractions of a; the atom's sigma in A
};

class WaveModel : public ::testing::TestWithParam<WaveModelCase> {};

TEST_P(WaveModel, TheRealSpaceDensityHasTheModelsStructureFactorsAndItsWave) {
  ex::Example e = ex::wave(GetParam().amp);
  e.sites[0].b = 8 * ex::kPi * ex::kPi * GetParam().width * GetParam().width;
  // Steps of 0.21 A along b and c, so that the density sampled on the grid
  // aliases nothing above a thousandth of F(000) onto the data's indices.
  e.hmax[1] = 24;
  e.hmax[2] = 30;
  const std::vector<double> rho = ex::wave_density(e);
  const std::vector<ex::cplx> f = ex::grid_coefficients(rho.data(), e);
  int checked = 0;
  for (const auto& cls : ex::index_classes(e))
    for (const auto& h : cls) {
      if (std::abs(h[3]) > 2) continue;
      long long j = 0, stride = 1;
      for (int i = 0; i < 6; ++i) j += ((h[i] + e.hmax[i]) % e.hmax[i]) * stride, stride *= e.hmax[i];
      EXPECT_LT(std::abs(f[j] - e.F(h.data())), 2e-3 * e.f000()) << h[0] << " " << h[1] << " " << h[2] << " " << h[3];
      ++checked;
    }
  EXPECT_GT(checked, 1000);
  EXPECT_NEAR(ex::order_ratio(rho.data(), e, 2), 1.0, 0.01);
  const ex::Surface s = ex::surface(rho.data(), e);
  EXPECT_EQ(s.most_maxima, 1);
  EXPECT_NEAR(s.amp, e.amp[0], 0.01 * e.amp[0]);
  EXPECT_LT(s.rms, 0.005);
}

INSTANTIATE_TEST_SUITE_P(Waves, WaveModel, ::testing::Values(WaveModelCase{0.06, 0.25}, WaveModelCase{0.10, 0.30}),
                         [](const auto& info) { return "amp" + std::to_string(std::lround(100 * info.param.amp)); });

// ---- centred crystals -----------------------------------------------------

struct CentredJob {
  std::string hkl, inp;
  int idm;
  std::vector<std::vector<double>> sites;  // setting coordinates
  int multiplicity;                        // of every site in the centred cell
  double spread = 0;                       // largest ratio of the classes' c2 at the stop (0: one class)
  // A quasicrystal: its model, whose every domain must hold its electrons
  // (Z) within `electrons` (relative) in its neighbourhood (tools/domains.hpp).
  std::vector<ex::Example> model;
  double electrons = 0;
};

// Rock salt, Fm-3m (a = 5.64 A): Na at 4a, Cl at 4b, Gaussian atoms.
CentredJob salt() {
  ex::AtomCrystal c = ex::fm3m("salt", "NaCl Fm-3m", 5.64);
  c.atoms = {{"Na", {0, 0, 0}, 11, 2.0, 4}, {"Cl", {0.5, 0.5, 0.5}, 17, 2.0, 4}};
  c.hmax[0] = c.hmax[1] = c.hmax[2] = 12;
  c.qimax = 1.2;
  c.close();
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 1.0);
  CentredJob j;
  char buf[128];
  for (const auto& cl : c.classes()) {
    const ex::cplx f = c.F(cl[0].data());
    const double sig = 0.03 * std::abs(f) + 0.1;
    std::snprintf(buf, sizeof buf, "%4d%4d%4d%4d%4d%4d%12.4f%12.4f%12.4f%12.4f\n", cl[0][0], cl[0][1], cl[0][2], 0,
                  0, 0, std::max(0.0, std::abs(f) + sig * noise(rng)), std::abs(f), ex::phase_degrees(f), sig);
    j.hkl += buf;
  }
  j.inp = c.keyword_input("salt_mem.hkl", "salt_mem.den", 4);
  j.inp.insert(j.inp.find("\nicont="), "\nex1=0.1 ex2=0.1 nex1=20 nex2=980");
  j.inp.replace(j.inp.find("(6i4,3f12.4)"), 12, "(6i4,4f12.4)");
  j.idm = 3;
  j.sites = {{0, 0, 0}, {0.5, 0.5, 0.5}};
  j.multiplicity = 4;
  return j;
}

// The F-icosahedral example's crystal (domains at the vertex and the odd
// vertex) on a grid of 8^6 points: on the example's 10^6 grid each flat
// domain is sampled at several points as close to physical space as its
// centre, and which of them the map makes highest is decided by the noise
// (README, Maximum entropy); on this grid the centres stand out.
CentredJob quasicrystal() {
  ex::Example e = ex::icosahedral(true);
  for (int& n : e.hmax) n = 8;
  CentredJob j;
  j.hkl = ex::reflection_file(e, true, 3);
  j.inp = ex::keyword_input(e, true, "ng=0\n");
  j.idm = 6;
  j.sites = {{0, 0, 0, 0, 0, 0}, {0.5, 0, 0, 0, 0, 0}};
  j.multiplicity = 32;
  // Its strong reflections of small |q_perp| fitted at c2 1.8 and the rest
  // at 0.2 (a factor 9) with one c2; the class weights pull them together.
  j.spread = 6;
  // Each domain's electrons, not only its centre (an emptied domain holds
  // none): here 90 % of the vertex's Z and 80 % of the odd vertex's (the
  // rest lies outside the neighbourhood at the data's resolution); on the
  // example's 10^6 grid the odd vertex's centre point is emptied while its
  // domain keeps 87 % (bench_memexamples).
  j.model = {e};
  j.electrons = 0.25;
  return j;
}

struct Peak {
  int mult;
  std::vector<double> x;
};

// The peak table of the listing, highest first.
std::vector<Peak> peaks(const std::string& out, int idm) {
  std::vector<Peak> v;
  std::size_t p = out.find("no  multpl. peak     coordinates");
  if (p == std::string::npos) return v;
  std::istringstream in(out.substr(out.find('\n', p) + 1));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    int no;
    Peak k;
    double height;
    if (!(f >> no >> k.mult >> height)) break;
    k.x.resize(6);
    for (double& c : k.x) f >> c;
    k.x.resize(idm);
    v.push_back(k);
  }
  return v;
}

class MemCentred : public ::testing::TestWithParam<CentredJob (*)()> {};

TEST_P(MemCentred, KeepsEverySiteAndIsInvariantUnderTheCentringTranslations) {
  const CentredJob job = GetParam()();
  const fs::path d = scratch_dir("memcentred_" + std::to_string(job.idm));
  const std::string name = job.idm == 3 ? "salt_mem.hkl" : "icosahedral_f_mem.hkl";
  write_file(d / name, job.hkl);
  const InProcess r = run_inprocess(point_into(job.inp, d));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.has("cycles: c2 <= c2min")) << r.out.substr(r.out.size() - 2000);
  if (job.spread > 0) {
    // c2 of the classes in the final table.
    const std::string table = r.out.substr(r.out.rfind("c2 per class of reflections:"));
    const std::regex re(R"(reflections c2=\s*(\S+))");
    double lo = 1e30, hi = 0;
    for (std::sregex_iterator m(table.begin(), table.end(), re), end; m != end; ++m) {
      lo = std::min(lo, std::stod((*m)[1]));
      hi = std::max(hi, std::stod((*m)[1]));
    }
    ASSERT_GT(hi, 0) << table;
    EXPECT_LE(hi / lo, job.spread) << table;
  }
  for (const ex::Example& e : job.model)
    for (const ex::Site& site : e.sites) {
      const ex::DomainCount c = ex::domain_electrons(e, site, r.job.crystal, trovan::getabcdr(r.job.map));
      EXPECT_NEAR(c.electrons, site.z, job.electrons * site.z) << site.label << " on " << c.points << " points";
    }
  // The two sites among the three highest peaks, with the multiplicity of
  // the centred cell.
  const std::vector<Peak> pk = peaks(r.out, job.idm);
  ASSERT_GE(pk.size(), 2u) << r.out.substr(r.out.size() - 3000);
  for (const auto& site : job.sites) {
    int found = -1;
    for (int k = 0; k < std::min<int>(3, pk.size()) && found < 0; ++k) {
      std::vector<double> dx(6, 0.0);  // the unused axes: no offset
      for (int i = 0; i < job.idm; ++i) dx[i] = pk[k].x[i] - site[i];
      if (ex::lattice_translation('f', dx.data())) found = k;
    }
    ASSERT_GE(found, 0) << "site " << site[0] << " " << site[1] << "\n" << r.out.substr(r.out.size() - 3000);
    EXPECT_EQ(pk[found].mult, job.multiplicity);
  }
  // rho(x + t) = rho(x) for the translations with two halves (they generate
  // the others), at grid points taken across the cell: setting coordinates
  // x = M x_grid, and back.
  const trovan::Crystal& cr = r.job.crystal;
  const float* rho = trovan::getabcdr(r.job.map);
  double m[36], mi[36];
  trovan::getsetmtrx(cr.setting, m);
  trovan::getsetmtrxinv(cr.setting, mi);
  const int* n = cr.grid.n;
  const long long nt = trovan::getnt(cr.grid);
  float top = 0, worst = 0;
  for (long long j = 0; j < nt; ++j) top = std::max(top, rho[j]);
  for (long long j = 0; j < nt; j += 97) {
    int g[6];
    trovan::getitoxyz(cr.grid, static_cast<int>(j), g);
    double x[6] = {};
    for (int i = 0; i < job.idm; ++i)
      for (int k = 0; k < job.idm; ++k) x[i] += m[k * 6 + i] * g[k] / n[k];
    for (int a = 0; a < job.idm; ++a)
      for (int b = a + 1; b < job.idm; ++b) {
        double y[6];
        std::copy(x, x + 6, y);
        y[a] += 0.5;
        y[b] += 0.5;
        int gy[6] = {};
        for (int i = 0; i < job.idm; ++i) {
          double v = 0;
          for (int k = 0; k < job.idm; ++k) v += mi[k * 6 + i] * y[k];
          gy[i] = static_cast<int>(std::lround(v * n[i]));
        }
        worst = std::max(worst, std::fabs(rho[trovan::getxyztoj(cr.grid, gy)] - rho[j]));
      }
  }
  EXPECT_LE(worst, 1e-6f * top);
}

INSTANTIATE_TEST_SUITE_P(Crystals, MemCentred, ::testing::Values(salt, quasicrystal),
                         [](const auto& info) { return info.index == 0 ? std::string("salt") : std::string("Ficosahedral"); });

// ---- the prior -------------------------------------------------------------

double rrho(const InProcess& r, const std::vector<double>& truth) {
  const float* rho = trovan::getabcdr(r.job.map);
  double num = 0, den = 0;
  for (std::size_t j = 0; j < truth.size(); ++j) {
    num += std::fabs(rho[j] - truth[j]);
    den += std::fabs(truth[j]);
  }
  return num / den;
}

// The entropy is measured from the prior: with the true density as prior
// the map stays close to it (the data ask for little change), and a
// Fourier map of the same data, negative ripples and all, is a prior that
// still ends at the noise level; each beats the flat prior.
TEST(MemPrior, TheMapIsDrawnTowardsThePriorAndStopsAtTheNoiseLevel) {
  const ex::Example e = ex::perovskite24("prior");
  const fs::path d = scratch_dir("memprior");
  write_file(d / "prior_mem.hkl", ex::reflection_file(e, true, 7));
  const std::vector<double> truth = ex::gaussian_density(e);
  const std::string inp = point_into(ex::keyword_input(e, true, "ng=0\n"), d);
  const auto with_prior = [&](const std::string& file) {
    std::string s = inp;
    s.insert(s.find('\n', s.find("nex2=")), " prior='" + (d / file).string() + "'");
    return s;
  };
  // The Fourier map of the data, and the true density, as density files.
  std::string fou = inp;
  fou.replace(fou.find("iplot=4"), 7, "iplot=2");
  fou.erase(fou.find("ex1="), fou.find('\n', fou.find("ex1=")) - fou.find("ex1=") + 1);
  fou.replace(fou.find("prior_mem.den"), 13, "fourier.den");
  const InProcess fr = run_inprocess(fou);
  ASSERT_EQ(fr.status, 0) << fr.out;
  const float* f = trovan::getabcdr(fr.job.map);
  ASSERT_LT(*std::min_element(f, f + truth.size()), 0.0f) << "a Fourier prior with ripples below zero";
  std::vector<float> t(truth.begin(), truth.end());
  trovan::wrtdxyz((d / "truth.den").string(), t.data(), static_cast<long long>(t.size()));

  const InProcess flat = run_inprocess(inp);
  ASSERT_EQ(flat.status, 0) << flat.out;
  const double rflat = rrho(flat, truth);
  const InProcess fp = run_inprocess(with_prior("fourier.den"));
  ASSERT_EQ(fp.status, 0) << fp.out;
  EXPECT_TRUE(fp.has("cycles: c2 <= c2min")) << fp.out.substr(fp.out.size() - 2000);
  const double rfou = rrho(fp, truth);
  const InProcess tp = run_inprocess(with_prior("truth.den"));
  ASSERT_EQ(tp.status, 0) << tp.out;
  EXPECT_TRUE(tp.has("cycles: c2 <= c2min")) << tp.out.substr(tp.out.size() - 2000);
  const double rtrue = rrho(tp, truth);
  EXPECT_LT(rfou, rflat) << "R_rho of the flat prior's map " << rflat;
  EXPECT_LT(rtrue, 0.5 * rflat) << "R_rho of the flat prior's map " << rflat;
}

// ---- noisy data ------------------------------------------------------------

// The perovskite's reflections measured to 5 % (sigma = 5 % |F| + 0.1), all
// of them or a random 70 %, run with the keys a user writes: the map is
// judged against the true density, R_rho = sum |rho - rho_true| / sum
// rho_true, and by the heights of the three atoms at their sites (grid
// points of the 24^3 grid) against the true density's there. Fitted by c2
// alone the map has its peaks too high by half or more (R_rho 0.46, O at
// twice its height); the default for an ordinary crystal's data holds every
// reflection nearer its noise. This draw meets R_rho 0.30 and every height
// within 25 %; over other draws O, the lightest atom, comes out up to 1.8
// times its height (tools/memnoise). With 30 % of the data gone the map
// fills in what is missing by its exponential form, too strong for the weak
// reflections, and is looser (here R_rho 0.34 and Ti 40 % high; over 64
// draws and removals R_rho up to 0.49 and O up to 1.9 times): that row
// guards against the old failure (R_rho 0.42, O at 2.0), not the target.
struct NoiseCase {
  const char* name;
  double keep;  // the share of the reflections kept (at random)
  double rrho;  // the largest R_rho allowed
  double peak;  // the largest relative error of a peak height allowed
};

class MemNoise : public ::testing::TestWithParam<NoiseCase> {};

TEST_P(MemNoise, TheMapIsCloseToTheTrueDensityAndTheAtomsHaveTheirHeights) {
  const NoiseCase& nc = GetParam();
  ex::Example e = ex::perovskite24(std::string("noise_") + nc.name);
  e.sigma_rel = 0.05;
  const fs::path d = scratch_dir(std::string("memnoise_") + nc.name);
  std::istringstream all(ex::reflection_file(e, true, 11));
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(0, 1);
  std::string kept, line;
  while (std::getline(all, line))
    if (u(rng) < nc.keep) kept += line + "\n";
  write_file(d / (e.name + "_mem.hkl"), kept);
  const InProcess r = run_inprocess(point_into(ex::keyword_input(e, true, "ng=0\n"), d));
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(r.has("cycles: c2 <= c2min")) << r.out.substr(r.out.size() - 2000);
  const std::vector<double> truth = ex::gaussian_density(e);
  EXPECT_LE(rrho(r, truth), nc.rrho);
  // Sr at the origin, Ti at the body centre, O at a face centre.
  const float* rho = trovan::getabcdr(r.job.map);
  const int n = e.hmax[0], h = n / 2;
  const char* atom[3] = {"Sr", "Ti", "O"};
  const long long at[3] = {0, h + n * (h + n * h), h + n * h};
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(rho[at[k]] / truth[at[k]], 1.0, nc.peak) << atom[k] << " " << rho[at[k]] << " true " << truth[at[k]];
}

INSTANTIATE_TEST_SUITE_P(Perovskite, MemNoise,
                         ::testing::Values(NoiseCase{"all", 1.0, 0.30, 0.25}, NoiseCase{"seventy", 0.7, 0.35, 0.5}),
                         [](const auto& info) { return std::string(info.param.name); });

// Data measured to a thousandth, far from fitted at the uniform start: the
// 16th moment of residuals of a thousand sigma is beyond single precision,
// yet the steps must follow it from the first cycle, each accepted one
// lowering it, rather than be taken back as if they overflowed.
TEST(MemPrecise, DataFarFromFittedAreFollowedFromTheFirstCycle) {
  ex::Example e = ex::perovskite24("precise");
  e.sigma_rel = 0.001;
  e.sigma_abs = 0.002;
  const fs::path d = scratch_dir("memprecise");
  write_file(d / "precise_mem.hkl", ex::reflection_file(e, true, 11));
  std::string inp = point_into(ex::keyword_input(e, true, "ng=0\n"), d);
  const std::size_t at = inp.find("nex1=");
  inp.replace(at, inp.find('\n', at) - at, "nex1=5 nex2=5");
  const InProcess r = run_inprocess(inp);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(r.has("no step lowers moment")) << r.out.substr(0, 3000);
  const std::size_t first = r.out.find("ic=  1 ");
  ASSERT_NE(first, std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(first, r.out.find('\n', first) - first).find("taken back"), std::string::npos)
      << r.out.substr(first, 600);
}

// ---- one map whatever the path ---------------------------------------------

double listed_c2(const std::string& out) {
  const std::size_t p = out.rfind("\nc2=");
  return p == std::string::npos ? -1 : std::stod(out.substr(p + 4, 12));
}

// Two schedules (stage split, step sizes) stop at c2 = 1 at different maps;
// the map of maximum entropy at c2 = 1 that exact=1 seeks from either end is
// one map, and it fits the data to the noise.
TEST(MemExact, TwoSchedulesGiveOneMapAtTheConstraint) {
  const ex::Example e = ex::perovskite24("prior");
  const fs::path d = scratch_dir("memexact");
  write_file(d / "prior_mem.hkl", ex::reflection_file(e, true, 7));
  const std::string inp = point_into(ex::keyword_input(e, true, "ng=0\n"), d);
  const auto schedule = [&](const std::string& steps, bool exact) {
    std::string s = inp;
    const std::size_t at = s.find("ex1=");
    s.replace(at, s.find('\n', at) - at, steps + (exact ? " exact=1" : ""));
    const InProcess r = run_inprocess(s);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("cycles: c2 <= c2min")) << r.out.substr(r.out.size() - 2000);
    EXPECT_FALSE(r.has("warning: the maximum-entropy map was not reached"))
        << (exact ? r.out.substr(r.out.find("maximum entropy at"), r.out.find("the maximum-entropy map at") - r.out.find("maximum entropy at")) : "");
    if (exact) {
      EXPECT_NEAR(listed_c2(r.out), 1.0, 0.011);
    }
    const float* rho = trovan::getabcdr(r.job.map);
    return std::vector<float>(rho, rho + trovan::getnt(r.job.crystal.grid));
  };
  const auto apart = [](const std::vector<float>& a, const std::vector<float>& b) {
    double num = 0, den = 0;
    for (std::size_t j = 0; j < a.size(); ++j) {
      num += std::fabs(a[j] - b[j]);
      den += std::fabs(a[j]);
    }
    return num / den;
  };
  const std::string one = "ex1=0.1 ex2=0.1 nex1=20 nex2=980", two = "ex1=0.05 ex2=0.2 nex1=5 nex2=995";
  const double paths = apart(schedule(one, false), schedule(two, false));
  const double exact = apart(schedule(one, true), schedule(two, true));
  EXPECT_LE(exact, 0.01) << "the ends of the two paths are " << paths << " apart";
  EXPECT_LT(exact, 0.5 * paths);
}

}  // namespace
