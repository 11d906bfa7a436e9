// memwave: how near the maximum-entropy map of a displacive wave comes to
// the true wave, over noise draws (tools/wavemodel.hpp: one atom, main
// reflections and first-order satellites, sigma = 3 % |F| + 0.1). One line
// a draw: the surface's amplitude against the true one (relative error),
// its rms position error, the most maxima at one t (1: single-valued), c2
// of the main reflections and of the satellites at the end, the mean radial
// residual of each in units of its noise 1/sqrt(N) (tools/residuals.hpp),
// the cycles and the stop (" w": the listing warns that the classes' c2
// differ); then the amplitude of the Fourier map of the
// same data, and how much of the true main reflections, first-,
// second- and third-order satellites (m0, m1, m2, m3) the MEM map holds (1:
// all; the higher orders are not in the data), the second order also for
// |h| <= 3 and |h| >= 4 along a apart; then the amplitude of the MEM map
// made again from its coefficients (resynth, the check), of that map with
// the data's coefficients (|m| <= 1 within qimax) replaced by the true ones
// (free: the error the map's own higher orders and resolution make), and
// with every other coefficient replaced by the true one (data: the error
// the misfit to the data makes), and the free part itself in three: the
// map's own coefficients only at |m| <= 1 beyond qimax, only at |m| = 2,
// only at |m| >= 3, the truth elsewhere); then the range of the amplitude errors.
// First, what the same reader makes of the true density and of the true
// series cut to the data's reflections, to other orders or resolutions.
//
// Usage: memwave [amp=0.08] [draws=3] [seed=7] [keys] [--sigma=1] [--noise=1] [--nx=32] [--nex2=980] [--width=0.25] [--axis=0]
//   draws noise seeds seed, seed+1, ...; keys go after nex2= (e.g. "fn=2");
//   --sigma scales every sigma, --noise the noise drawn (0: Fo = Fc);
//   --nx is the grid along the displacement, --nex2 the cycles of the
//   second stage, --width the atom's Gaussian sigma in A, --axis 2 a
//   longitudinal wave (along c) in place of the transverse one along a.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "driver/trovan.hpp"
#include "tools/residuals.hpp"
#include "tools/wavemodel.hpp"
#include "util/stop.hpp"
#include "util/workgrid.hpp"

namespace fs = std::filesystem;
namespace ex = trovan::examples;

int main(int argc, char** argv) {
  std::vector<std::string> pos;
  double sigma = 1, noise = 1, width = 0.25;
  int nx = 0, nex2 = 0, axis = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--sigma=", 0) == 0)
      sigma = std::atof(a.c_str() + 8);
    else if (a.rfind("--noise=", 0) == 0)
      noise = std::atof(a.c_str() + 8);
    else if (a.rfind("--nx=", 0) == 0)
      nx = std::atoi(a.c_str() + 5);
    else if (a.rfind("--axis=", 0) == 0)
      axis = std::atoi(a.c_str() + 7);
    else if (a.rfind("--width=", 0) == 0)
      width = std::atof(a.c_str() + 8);
    else if (a.rfind("--nex2=", 0) == 0)
      nex2 = std::atoi(a.c_str() + 7);
    else
      pos.push_back(a);
  }
  const double amp = pos.size() > 0 ? std::atof(pos[0].c_str()) : 0.08;
  const int draws = pos.size() > 1 ? std::atoi(pos[1].c_str()) : 3;
  const unsigned seed = pos.size() > 2 ? std::atoi(pos[2].c_str()) : 7;
  const std::string keys = pos.size() > 3 ? pos[3] : "";
  const fs::path dir = fs::temp_directory_path() / ("trovan_memwave_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ex::Example e = ex::wave(amp, axis);
  if (nx > 0) e.hmax[axis] = nx;
  nx = e.hmax[axis];
  e.sites[0].b = 8 * ex::kPi * ex::kPi * width * width;
  if (nex2 > 0) e.nex2 = nex2;
  e.sigma_rel *= sigma;
  e.sigma_abs *= sigma;
  std::string inp = ex::keyword_input(e, true, "ng=0\n");
  for (const std::string key : {"file1='", "file2='"}) inp.insert(inp.find(key) + key.size(), dir.string() + "/");
  if (!keys.empty()) inp.insert(inp.find('\n', inp.find("nex2=")), " " + keys);

  // The reader on densities whose wave is known: the true density, and the
  // true series cut to orders |m| <= mmax and to |q| <= qmax.
  std::printf("grid %d along %c (%.3f A, %.2f of the amplitude), %d along t\n", nx, "abc"[axis], e.abc[axis] / nx,
              1 / (amp * nx), e.hmax[3]);
  auto read = [&](const char* what, const std::vector<double>& rho) {
    const ex::Surface s = ex::surface(rho.data(), e);
    std::printf("  %-44s amplitude %+6.1f %%  rms %.3f A  maxima %d  m0 %.3f m1 %.3f m2 %.3f\n", what,
                100 * (s.amp / amp - 1), s.rms, s.most_maxima, ex::order_ratio(rho.data(), e, 0),
                ex::order_ratio(rho.data(), e, 1), ex::order_ratio(rho.data(), e, 2));
  };
  read("true density", ex::wave_density(e));
  for (const auto& [mmax, qmax] : std::vector<std::pair<int, double>>{{1, e.qimax}, {2, e.qimax}, {3, e.qimax},
                                                                       {1, 99}, {5, 99}}) {
    ex::Example t = e;
    t.qimax = qmax;
    char what[64];
    std::snprintf(what, sizeof what, "true series |m| <= %d, |q| <= %s", mmax,
                  qmax > 50 ? "grid" : ex::fmt_real(qmax).c_str());
    read(what, ex::direct_map(t, [&](const int* h) { return std::abs(h[3]) <= mmax ? t.F(h) : ex::cplx(0); }));
  }
  for (const auto& [hlo, hhi] : std::vector<std::pair<int, int>>{{0, 3}, {4, 99}}) {
    char what[64];
    std::snprintf(what, sizeof what, "true series |m| <= 1, m = 2 at %d <= |h| <= %d", hlo, hhi);
    read(what, ex::direct_map(e, [&](const int* h) {
           const int m = std::abs(h[3]), a = std::abs(h[0]);
           return m <= 1 || (m == 2 && a >= hlo && a <= hhi) ? e.F(h) : ex::cplx(0);
         }));
  }

  std::printf("noise  amplitude   rms/A maxima  c2 mains  sats  r sqrt(N) mains  sats  cycles stop"
              "            Fourier    m0    m1    m2    m3  m2:h<=3 h>=4  resynth  free  data  m<=1,q>qimax m=2 m>=3\n");
  double lo = 9, hi = -9;
  for (int i = 0; i < draws; ++i) {
    const std::string records = ex::first_order_only(ex::reflection_file(e, true, seed + i, noise));
    std::ofstream(dir / "wave_mem.hkl", std::ios::binary) << records;
    std::istringstream in(inp);
    std::ostringstream listing, warnings;
    trovan::set_out_stream(&listing);
    trovan::set_warn_stream(&warnings);
    std::vector<float> map;
    std::vector<ex::ClassResidual> res;
    try {
      const trovan::JobResult j = trovan::run(in);
      const float* m = trovan::getabcdr(j.map);
      map.assign(m, m + trovan::getnt(j.crystal.grid));
      res = ex::radial_residuals(j);
    } catch (const trovan::Stop&) {
    }
    trovan::set_out_stream(nullptr);
    trovan::set_warn_stream(nullptr);
    const std::string out = listing.str();
    if (map.empty()) {
      std::printf("%5u the run stopped:\n%s\n", seed + i, out.c_str());
      continue;
    }
    const ex::Surface s = ex::surface(map.data(), e);
    int cycles = -1;
    std::string stop;
    const std::size_t p = out.find("mem stopped after");
    if (p != std::string::npos) {
      cycles = std::atoi(out.c_str() + p + 17);
      const std::size_t c = out.find("cycles: ", p) + 8;
      stop = out.substr(c, std::min<std::size_t>(13, out.find('\n', c) - c));
    }
    const double rel = s.amp / amp - 1;
    lo = std::min(lo, rel);
    hi = std::max(hi, rel);
    // The Fourier map of the same data: Fo of each class with the model's
    // phases (the program's records, read back).
    std::map<std::array<int, 6>, double> fo;
    std::istringstream rin(records);
    for (std::string line; std::getline(rin, line);) {
      std::istringstream f(line);
      std::array<int, 6> h{};
      for (int& v : h) f >> v;
      f >> fo[h];
    }
    std::map<std::array<int, 6>, double> scale;  // Fo / |Fc| of every member of a class
    for (const auto& cls : ex::index_classes(e)) {
      const auto it = fo.find(cls[0]);
      const double fc = std::abs(e.F(cls[0].data()));
      for (const auto& h : cls) scale[h] = it == fo.end() || fc == 0 ? 0.0 : it->second / fc;
    }
    const std::vector<double> fourier = ex::direct_map(e, [&](const int* h) {
      const auto it = scale.find({h[0], h[1], h[2], h[3], h[4], h[5]});
      return it == scale.end() ? ex::cplx(0) : it->second * e.F(h);
    });
    const double frel = ex::surface(fourier.data(), e).amp / amp - 1;
    // The MEM map's coefficients split in two: those of the data (|m| <= 1
    // within qimax) and the free ones the map adds (the rest of the grid).
    // Each part in turn is replaced by the truth: what is left of the
    // amplitude's error belongs to the other part.
    const std::vector<ex::cplx> fm = ex::grid_coefficients(map.data(), e);
    ex::Example all = e;
    all.qimax = 99;
    // mem(h, data): whether the map's own coefficient stands at h.
    auto mixed = [&](auto mem) {
      const std::vector<double> rho = ex::direct_map(all, [&](const int* h) {
        long long j = 0, st = 1;
        for (int i = 0; i < 6; ++i) j += ((h[i] + e.hmax[i]) % e.hmax[i]) * st, st *= e.hmax[i];
        return mem(h, std::abs(h[3]) <= 1 && ex::kept(e, h)) ? fm[j] : e.F(h);
      });
      return ex::surface(rho.data(), e).amp / amp - 1;
    };
    const double own = mixed([](const int*, bool) { return true; });
    const double free_only = mixed([](const int*, bool data) { return !data; });
    const double data_only = mixed([](const int*, bool data) { return data; });
    const double beyond = mixed([](const int* h, bool data) { return !data && std::abs(h[3]) <= 1; });
    const double second = mixed([](const int* h, bool) { return std::abs(h[3]) == 2; });
    const double higher = mixed([](const int* h, bool) { return std::abs(h[3]) >= 3; });
    std::printf("%5u %+9.1f %% %7.3f %6d %9.3f %5.3f %10s %6d  %-15s %+6.1f %% %5.3f %5.3f %5.3f %5.3f %5.3f %5.3f %+6.1f %+5.1f %+5.1f %+6.1f %+6.1f %+6.1f\n", seed + i,
                100 * rel, s.rms, s.most_maxima, ex::class_c2(out, "main reflections"),
                ex::class_c2(out, "satellites of order 1"), ex::residual_columns(res).c_str(), cycles,
                (stop + (out.find("warning: c2 of the classes differs") != std::string::npos ? " w" : "")).c_str(),
                100 * frel, ex::order_ratio(map.data(), e, 0), ex::order_ratio(map.data(), e, 1),
                ex::order_ratio(map.data(), e, 2), ex::order_ratio(map.data(), e, 3),
                ex::order_ratio(map.data(), e, 2, 0, 3), ex::order_ratio(map.data(), e, 2, 4), 100 * own,
                100 * free_only, 100 * data_only, 100 * beyond, 100 * second, 100 * higher);
  }
  fs::remove_all(dir);
  std::printf("amplitude %+.1f to %+.1f %% of %.3f\n", 100 * lo, 100 * hi, amp);
  return 0;
}
