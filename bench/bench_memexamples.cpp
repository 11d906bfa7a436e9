// The shipped maximum-entropy examples, run as they stand (drawing left
// out): for each, the cycles the run took and why it stopped, the final
// c2, the seconds per cycle and the whole run's time (wall clock, one
// thread). Prints a Markdown table, the one in the README. After the table,
// the icosahedral examples' occupation domains on the examples' own 10^6
// grids: the density at each domain centre, where the centre stands in
// the listing's peak table, and the electrons within the domain's
// neighbourhood against its Z (too slow for a test; the tests check the
// F-icosahedral domains on an 8^6 grid).
//
//   bench_memexamples [source root] [--grid=N] [example name ...]
//
// --grid=N runs the examples whose grid is the same along all six axes
// (the icosahedral ones) on an N^6 grid instead: what a map's domain
// centres do is a matter of the iteration only if it holds on more than
// one grid.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "bench_jobs.hpp"
#include "tools/domains.hpp"
#include "tools/sfmodel.hpp"
#include "util/workgrid.hpp"
#include "util/threads.hpp"

namespace {

std::string slurp(const bench::fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The peak table of a listing, highest first: coordinates of each peak.
std::vector<std::vector<double>> peak_table(const std::string& out) {
  std::vector<std::vector<double>> v;
  const std::size_t p = out.find("no  multpl. peak     coordinates");
  if (p == std::string::npos) return v;
  std::istringstream in(out.substr(out.find('\n', p) + 1));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    int no, mult;
    double height;
    if (!(f >> no >> mult >> height)) break;
    std::vector<double> x(6);
    for (double& c : x) f >> c;
    v.push_back(x);
  }
  return v;
}

std::string domains(const trovan::examples::Example& e, const trovan::JobResult& r, const std::string& out) {
  std::string text;
  char buf[256];
  const float* rho = trovan::getabcdr(r.map);
  const long long nt = trovan::getnt(r.crystal.grid);
  const std::vector<std::vector<double>> peaks = peak_table(out);
  float top = 0;
  for (long long j = 0; j < nt; ++j) top = std::max(top, rho[j]);
  std::snprintf(buf, sizeof buf, "\n%s, %d^6 grid, map maximum %.4g:\n", e.name.c_str(), r.crystal.grid.n[0],
                double(top));
  text += buf;
  for (const auto& site : e.sites) {
    int rank = 0;
    for (std::size_t k = 0; k < peaks.size() && rank == 0; ++k) {
      std::vector<double> d(6);
      for (int i = 0; i < 6; ++i) d[i] = peaks[k][i] - site.x[i];
      if (trovan::examples::lattice_translation(e.brv, d.data())) rank = static_cast<int>(k) + 1;
    }
    const trovan::examples::DomainCount c = trovan::examples::domain_electrons(e, site, r.crystal, rho);
    const std::string where = rank > 0 ? "peak " + std::to_string(rank) + " of the listing" : "not in the peak table";
    std::snprintf(buf, sizeof buf, "  %-12s centre %.4g, %s; %.2f electrons on %lld points (Z = %g)\n",
                  site.label.c_str(), double(rho[c.centre]), where.c_str(), c.electrons, c.points, site.z);
    text += buf;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::fs::path root = argc > 1 ? argv[1] : ".";
  std::vector<std::string> only(argv + std::min(argc, 2), argv + argc);
  int grid = 0;
  for (auto it = only.begin(); it != only.end();) {
    if (it->rfind("--grid=", 0) == 0) {
      grid = std::atoi(it->c_str() + 7);
      if (grid < 2) {
        std::fprintf(stderr, "--grid= wants a number of points per axis above 1: %s\n", it->c_str());
        return 1;
      }
      it = only.erase(it);
    } else {
      ++it;
    }
  }
  trovan::setnthreads(1);
  std::printf("| example | grid points | reflections | cycles | stop | c2 | s/cycle | total s |\n");
  std::printf("|---|---:|---:|---:|---|---:|---:|---:|\n");
  std::string checks;
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
    const bool cubic = std::all_of(std::begin(e.hmax), std::end(e.hmax), [&](int n) { return n == e.hmax[0]; });
    if (grid > 0 && cubic) {
      const std::string n = std::to_string(grid);
      inp = std::regex_replace(inp, std::regex(R"(hmax=\s*\d+(\s+\d+){5})"),
                               "hmax=" + n + ' ' + n + ' ' + n + ' ' + n + ' ' + n + ' ' + n);
    }
    const bench::fs::path dir = bench::scratch("memex_" + e.name);
    bench::fs::copy_file(src / (stem + ".hkl"), dir / (stem + ".hkl"),
                         bench::fs::copy_options::overwrite_existing);
    std::ofstream(dir / "job.inp") << inp;
    std::ostringstream listing;
    const auto t0 = std::chrono::steady_clock::now();
    const trovan::JobResult result = bench::run_here(dir, listing);
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string out = listing.str();
    std::smatch stop, fin, nref;
    std::regex_search(out, stop, std::regex(R"(mem stopped after\s+(\d+) cycles: ([^\n]*))"));
    std::regex_search(out, fin, std::regex(R"(\nc2=\s*(\S+) rfact=)"));
    std::regex_search(out, nref, std::regex(R"(number of reflections used\s*=\s*(\d+))"));
    const long long nt = trovan::getnt(result.crystal.grid);
    const int cycles = stop.empty() ? 0 : std::stoi(stop[1]);
    std::printf("| %s | %lld | %s | %d | %s | %s | %.3f | %.1f |\n", e.name.c_str(), nt,
                nref.empty() ? "?" : nref[1].str().c_str(), cycles,
                stop.empty() ? "?" : stop[2].str().c_str(), fin.empty() ? "?" : fin[1].str().c_str(),
                cycles > 0 ? t / cycles : 0.0, t);
    if (e.kind == trovan::examples::Kind::icosahedral) checks += domains(e, result, out);
    std::fflush(stdout);
    bench::fs::remove_all(dir);
  }
  std::fputs(checks.c_str(), stdout);
  return 0;
}
