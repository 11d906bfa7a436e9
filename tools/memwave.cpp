// memwave: how near the maximum-entropy map of a displacive wave comes to
// the true wave, over noise draws (tools/wavemodel.hpp: one atom, main
// reflections and first-order satellites, sigma = 3 % |F| + 0.1). One line
// a draw: the surface's amplitude against the true one (relative error),
// its rms position error, the most maxima at one t (1: single-valued), c2
// of the main reflections and of the satellites at the end, the mean radial
// residual of each in units of its noise 1/sqrt(N) (tools/residuals.hpp),
// the cycles and the stop; then the range of the amplitude errors.
//
// Usage: memwave [amp=0.08] [draws=3] [seed=7] [keys]
//   draws noise seeds seed, seed+1, ...; keys go after nex2= (e.g. "fn=2").
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
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

namespace {

double class_c2(const std::string& out, const std::string& label) {
  const std::regex re("\n  " + label + R"(\s+\d+ reflections c2=\s*(\S+))");
  std::smatch m;
  return std::regex_search(out, m, re) ? std::stod(m[1]) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const double amp = argc > 1 ? std::atof(argv[1]) : 0.08;
  const int draws = argc > 2 ? std::atoi(argv[2]) : 3;
  const unsigned seed = argc > 3 ? std::atoi(argv[3]) : 7;
  const std::string keys = argc > 4 ? argv[4] : "";
  const fs::path dir = fs::temp_directory_path() / ("trovan_memwave_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const ex::Example e = ex::wave(amp);
  std::string inp = ex::keyword_input(e, true, "ng=0\n");
  for (const std::string key : {"file1='", "file2='"}) inp.insert(inp.find(key) + key.size(), dir.string() + "/");
  if (!keys.empty()) inp.insert(inp.find('\n', inp.find("nex2=")), " " + keys);
  std::printf("noise  amplitude   rms/A maxima  c2 mains  sats  r sqrt(N) mains  sats  cycles stop\n");
  double lo = 9, hi = -9;
  for (int i = 0; i < draws; ++i) {
    std::ofstream(dir / "wave_mem.hkl", std::ios::binary) << ex::first_order_only(ex::reflection_file(e, true, seed + i));
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
    std::printf("%5u %+9.1f %% %7.3f %6d %9.3f %5.3f %10s %6d  %s\n", seed + i, 100 * rel, s.rms, s.most_maxima,
                class_c2(out, "main reflections"), class_c2(out, "satellites of order 1"),
                ex::residual_columns(res).c_str(), cycles, stop.c_str());
  }
  fs::remove_all(dir);
  std::printf("amplitude %+.1f to %+.1f %% of %.3f\n", 100 * lo, 100 * hi, amp);
  return 0;
}
