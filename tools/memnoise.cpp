// memnoise: how close the maximum-entropy map of noisy data comes to the
// true density, over many noise draws and random removals of reflections.
// The crystal is the Gaussian-atom perovskite of the tests (24^3 grid, data
// to |q| = 1.3 1/A); each case draws the noise of every amplitude
// (sigma = rel |F| + 0.1), keeps each reflection with the given chance, and
// runs the job as a user would (its own keys, plus any given). One line a
// case: reflections kept, R_rho = sum |rho - rho_true| / sum rho_true, the
// Sr, Ti and O heights at their sites over the true ones, the cycles and the
// stop, R_rho of the Fourier map of the same data (with F(000)/V added, so
// that both maps have the true mean), and, for scale, what the data allow a
// model that knows everything but the atoms' widths: the three Gaussian b
// fitted to the kept amplitudes by weighted least squares, its R_rho and
// heights. Then a summary over the cases. A stop marked * is that of a run
// whose steps went over from the moment of the residuals to c2.
//
// Usage: memnoise [keep=0.7] [draws=8] [removals=8] [seed=100] [rel=0.05] [keys] [qmax=1.3]
//   draws noise seeds seed, seed+1, ...; removal seeds seed+50, seed+51, ...
//   (keep=1: all data, one run a draw); keys go after nex2= (e.g. "fn=2");
//   qmax the data's limit |q| in 1/A (the grid stays 24^3).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "driver/trovan.hpp"
#include "tools/residuals.hpp"
#include "tools/sfmodel.hpp"
#include "util/stop.hpp"
#include "util/workgrid.hpp"

namespace fs = std::filesystem;
namespace ex = trovan::examples;

namespace {

struct Run {
  std::string out;
  std::vector<float> map;
  std::vector<ex::ClassResidual> residuals;
};

// The job run inside this process, its listing kept.
Run run(const std::string& input) {
  std::istringstream in(input);
  std::ostringstream listing, warnings;
  trovan::set_out_stream(&listing);
  trovan::set_warn_stream(&warnings);
  Run r;
  try {
    const trovan::JobResult j = trovan::run(in);
    const float* m = trovan::getabcdr(j.map);
    r.map.assign(m, m + trovan::getnt(j.crystal.grid));
    r.residuals = ex::radial_residuals(j);
  } catch (const trovan::Stop&) {
  }
  trovan::set_out_stream(nullptr);
  trovan::set_warn_stream(nullptr);
  r.out = listing.str();
  return r;
}

template <class V>
double rrho(const V& rho, const std::vector<double>& truth, double shift = 0) {
  double num = 0, den = 0;
  for (std::size_t j = 0; j < truth.size(); ++j) {
    num += std::fabs(rho[j] + shift - truth[j]);
    den += std::fabs(truth[j]);
  }
  return num / den;
}

// The perovskite's amplitude with widths b (Sr, Ti, O) and its derivatives
// with respect to them: F = sum_a Z_a g_a exp(-b_a s^2/4), g the sum of the
// site's phase factors (+-1 for this centrosymmetric cubic cell).
double model(const int* h, double a, const double* b, double* d) {
  const double s2 = double(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]) / (a * a);
  const auto sgn = [](int n) { return n % 2 == 0 ? 1.0 : -1.0; };
  const double g[3] = {1, sgn(h[0] + h[1] + h[2]), sgn(h[0] + h[1]) + sgn(h[1] + h[2]) + sgn(h[0] + h[2])};
  const double z[3] = {38, 22, 8};
  double f = 0;
  for (int k = 0; k < 3; ++k) {
    const double t = z[k] * g[k] * std::exp(-b[k] * s2 / 4);
    f += t;
    d[k] = -s2 / 4 * t;
  }
  return f;
}

// The three widths fitted to the kept amplitudes (Gauss-Newton, weights
// 1/sigma^2), from the true ones.
void fitwidths(const std::vector<ex::Reflection>& kept, double a, double* b) {
  for (int it = 0; it < 50; ++it) {
    double m[3][4] = {};
    for (const ex::Reflection& r : kept) {
      double d[3];
      const double f = model(r.h, a, b, d);
      const double fo = std::cos(r.phase * ex::kPi / 180) < 0 ? -r.fo : r.fo;
      const double w = 1 / (r.sigma * r.sigma);
      for (int i = 0; i < 3; ++i) {
        m[i][3] += w * d[i] * (fo - f);
        for (int k = 0; k < 3; ++k) m[i][k] += w * d[i] * d[k];
      }
    }
    for (int p = 0; p < 3; ++p)
      for (int r = p + 1; r < 3; ++r) {
        const double f = m[r][p] / m[p][p];
        for (int c = p; c < 4; ++c) m[r][c] -= f * m[p][c];
      }
    double x[3];
    for (int p = 2; p >= 0; --p) {
      x[p] = m[p][3];
      for (int c = p + 1; c < 3; ++c) x[p] -= m[p][c] * x[c];
      x[p] /= m[p][p];
    }
    for (int k = 0; k < 3; ++k) b[k] = std::max(0.3, b[k] + x[k]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double keep = argc > 1 ? std::atof(argv[1]) : 0.7;
  const int draws = argc > 2 ? std::atoi(argv[2]) : 8;
  const int removals = keep < 1 ? (argc > 3 ? std::atoi(argv[3]) : 8) : 1;
  const unsigned seed = argc > 4 ? std::atoi(argv[4]) : 100;
  const double rel = argc > 5 ? std::atof(argv[5]) : 0.05;
  const std::string keys = argc > 6 ? argv[6] : "";
  const double qmax = argc > 7 ? std::atof(argv[7]) : 0;
  const fs::path dir = fs::temp_directory_path() / ("trovan_memnoise_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ex::Example e = ex::perovskite24("noise");
  e.sigma_rel = rel;
  if (qmax > 0) e.qimax = qmax;
  const std::vector<double> truth = ex::gaussian_density(e);
  const int n = e.hmax[0], h = n / 2;
  const long long site[3] = {0, h + n * (h + n * h), h + n * h};
  std::string inp = ex::keyword_input(e, true, "ng=0\n");
  for (const std::string key : {"file1='", "file2='"}) inp.insert(inp.find(key) + key.size(), dir.string() + "/");
  if (!keys.empty()) inp.insert(inp.find('\n', inp.find("nex2=")), " " + keys);
  std::string fou = inp;
  fou.replace(fou.find("iplot=4"), 7, "iplot=2");
  fou.erase(fou.find("ex1="), fou.find('\n', fou.find("ex1=")) - fou.find("ex1=") + 1);
  fou.replace(fou.find("noise_mem.den"), 13, "noise_fou.den");
  std::printf("noise removal kept  R_rho    Sr    Ti     O  cycles stop            Fourier | widths fitted: R_rho  Sr    Ti    O  | "
              "r sqrt(N) by |q|, c2\n");
  std::vector<double> rr, worst;
  double sum[3] = {}, lo[3] = {9, 9, 9}, hi[3] = {};
  int over_r = 0, over_h = 0, over_model = 0;
  for (int i = 0; i < draws; ++i)
    for (int k = 0; k < removals; ++k) {
      const std::vector<ex::Reflection> all = ex::unique_reflections(e, seed + i);
      std::istringstream records(ex::reflection_file(e, true, seed + i));
      std::mt19937 rng(seed + 50 + k);
      std::uniform_real_distribution<double> u(0, 1);
      std::string kept, line;
      std::vector<ex::Reflection> used;
      for (const ex::Reflection& r : all) {
        std::getline(records, line);
        if (u(rng) < keep) {
          kept += line + "\n";
          used.push_back(r);
        }
      }
      std::ofstream(dir / "noise_mem.hkl", std::ios::binary) << kept;
      const Run m = run(inp), f = run(fou);
      if (m.map.size() != truth.size() || f.map.size() != truth.size()) {
        std::printf("%5u %7u  the run stopped:\n%s\n", seed + i, seed + 50 + k, m.out.c_str());
        continue;
      }
      double fmean = 0;
      for (float v : f.map) fmean += v;
      fmean /= f.map.size();
      const double f000 = e.f000() / e.volume();
      int cycles = -1;
      std::string stop;
      const std::size_t p = m.out.find("mem stopped after");
      if (p != std::string::npos) {
        cycles = std::atoi(m.out.c_str() + p + 17);
        const std::size_t c = m.out.find("cycles: ", p) + 8;
        stop = m.out.substr(c, std::min<std::size_t>(13, m.out.find('\n', c) - c));
      }
      // A run whose steps went over from the moment to c2 is marked.
      if (m.out.find("the steps follow c2 from here") != std::string::npos) stop += " *";
      double b[3] = {2.0, 1.8, 2.4};
      fitwidths(used, e.abc[0], b);
      ex::Example fitted = e;
      for (int a = 0; a < 3; ++a) fitted.sites[a].b = b[a];
      const std::vector<double> model_map = ex::gaussian_density(fitted);
      double ht[3], hm[3], wt = 0, wm = 0;
      for (int a = 0; a < 3; ++a) {
        ht[a] = m.map[site[a]] / truth[site[a]];
        hm[a] = model_map[site[a]] / truth[site[a]];
        wt = std::max(wt, std::fabs(ht[a] - 1));
        wm = std::max(wm, std::fabs(hm[a] - 1));
        sum[a] += ht[a];
        lo[a] = std::min(lo[a], ht[a]);
        hi[a] = std::max(hi[a], ht[a]);
      }
      const double r = rrho(m.map, truth);
      rr.push_back(r);
      worst.push_back(wt);
      over_r += r > 0.25;
      over_h += wt > 0.25;
      over_model += wm > 0.25;
      std::string c2s;
      for (const ex::ClassResidual& c : m.residuals) c2s += " " + std::to_string(c.c2).substr(0, 4);
      std::printf("%5u %7u %2zu/%2zu %6.3f %5.2f %5.2f %5.2f %6d  %-15s %6.3f  | %6.3f %5.2f %5.2f %5.2f |%s,%s\n",
                  seed + i, seed + 50 + k, used.size(), all.size(), r, ht[0], ht[1], ht[2], cycles, stop.c_str(),
                  rrho(f.map, truth, f000 - fmean), rrho(model_map, truth), hm[0], hm[1], hm[2],
                  ex::residual_columns(m.residuals).c_str(), c2s.c_str());
    }
  fs::remove_all(dir);
  if (rr.empty()) return 1;
  std::sort(rr.begin(), rr.end());
  std::sort(worst.begin(), worst.end());
  const double cases = static_cast<double>(rr.size());
  std::printf("%zu cases: R_rho %.3f-%.3f (median %.3f), above 0.25 in %d; a height off by more than 25 %% in %d "
              "(the fitted widths: %d)\n",
              rr.size(), rr.front(), rr.back(), rr[rr.size() / 2], over_r, over_h, over_model);
  std::printf("heights over the true ones, mean (range): Sr %.2f (%.2f-%.2f), Ti %.2f (%.2f-%.2f), O %.2f (%.2f-%.2f)\n",
              sum[0] / cases, lo[0], hi[0], sum[1] / cases, lo[1], hi[1], sum[2] / cases, lo[2], hi[2]);
  return 0;
}
