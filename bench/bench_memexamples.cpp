// The shipped maximum-entropy examples, run as they stand (drawing left
// out): for each, the cycles the run took and why it stopped, the final
// c2, the seconds per cycle and the whole run's time (wall clock, one
// thread). Prints a Markdown table, the one in the README.
//
//   bench_memexamples [source root] [example name ...]
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "bench_jobs.hpp"
#include "tools/sfmodel.hpp"
#include "util/threads.hpp"

namespace {

std::string slurp(const bench::fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

int main(int argc, char** argv) {
  const bench::fs::path root = argc > 1 ? argv[1] : ".";
  const std::vector<std::string> only(argv + std::min(argc, 2), argv + argc);
  trovan::setnthreads(1);
  std::printf("| example | grid points | reflections | cycles | stop | c2 | s/cycle | total s |\n");
  std::printf("|---|---:|---:|---:|---|---:|---:|---:|\n");
  for (const trovan::examples::Example& e : trovan::examples::all_examples()) {
    if (!only.empty() && std::find(only.begin(), only.end(), e.name) == only.end()) continue;
    const bench::fs::path src = root / "examples" / e.dir;
    const std::string stem = e.name + "_mem";
    std::string inp = slurp(src / (stem + ".inp"));
    if (inp.empty()) {
      std::fprintf(stderr, "no %s.inp under %s\n", stem.c_str(), src.c_str());
      return 1;
    }
    inp = inp.substr(0, inp.find("\nng=") + 1) + "ng=0\n";
    const bench::fs::path dir = bench::scratch("memex_" + e.name);
    bench::fs::copy_file(src / (stem + ".hkl"), dir / (stem + ".hkl"),
                         bench::fs::copy_options::overwrite_existing);
    std::ofstream(dir / "job.inp") << inp;
    std::ostringstream listing;
    const auto t0 = std::chrono::steady_clock::now();
    bench::run_here(dir, listing);
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string out = listing.str();
    std::smatch stop, fin, nref;
    std::regex_search(out, stop, std::regex(R"(mem stopped after\s+(\d+) cycles: ([^\n]*))"));
    std::regex_search(out, fin, std::regex(R"(\nc2=\s*(\S+) rfact=)"));
    std::regex_search(out, nref, std::regex(R"(number of reflections used\s*=\s*(\d+))"));
    long long nt = 1;
    for (int n : e.hmax) nt *= n;
    const int cycles = stop.empty() ? 0 : std::stoi(stop[1]);
    std::printf("| %s | %lld | %s | %d | %s | %s | %.3f | %.1f |\n", e.name.c_str(), nt,
                nref.empty() ? "?" : nref[1].str().c_str(), cycles,
                stop.empty() ? "?" : stop[2].str().c_str(), fin.empty() ? "?" : fin[1].str().c_str(),
                cycles > 0 ? t / cycles : 0.0, t);
    std::fflush(stdout);
    bench::fs::remove_all(dir);
  }
  return 0;
}
