// The memory of a large map: a Fourier run of the 6-D benchmark job (P-1)
// on a grid of n^6 points (20^6 = 64 million by default), run as a child
// process so that its peak resident memory is the program's own. The
// tables a run must hold for such a grid are the work grid (8 bytes a
// point), the orbit map (4), the list of independent points and the two
// density lists (4 bytes an independent point each) and the orbit marks
// (one bit a point); the peak resident memory should stay within 1.3 times
// their sum, with no table sized for a larger grid than the job's.
//
//   bench_bigmap [n] [path of the trovan program]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/bench_jobs.hpp"

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 20;
  const std::string prog = argc > 2 ? argv[2] : TROVAN_EXE;
  const bench::fs::path dir = bench::scratch("bigmap");
  const int hmax[6] = {n, n, n, n, n, n};
  bench::write_job(dir, hmax, 0, 2);

  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    if (!freopen("job.inp", "r", stdin) || !freopen("job.lst", "w", stdout)) _exit(126);
    execl(prog.c_str(), prog.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the run in %s ended with status %d\n", dir.c_str(), status);
    return 1;
  }
  // The independent grid points, from the listing.
  std::ifstream lst(dir / "job.lst");
  std::stringstream ss;
  ss << lst.rdbuf();
  const std::string text = ss.str();
  const std::string label = "number of independent grid points  =";
  const std::size_t at = text.find(label);
  const double nt = static_cast<double>(hmax[0]) * n * n * n * n * n;
  const double nx = at == std::string::npos ? nt : std::stod(text.substr(at + label.size()));
  const double tables = 8 * nt + 4 * nt + 4 * nx * 3 + nt / 8;
  const double rss = static_cast<double>(ru.ru_maxrss) * 1024;
  std::printf("Fourier map %d^6 (%.0f points, %.0f independent): %.1f s, peak RSS %.0f MiB, tables %.0f MiB, "
              "ratio %.2f (target <= 1.3)\n",
              n, nt, nx, secs, rss / (1 << 20), tables / (1 << 20), rss / tables);
  bench::fs::remove_all(dir);
  return rss <= 1.3 * tables ? 0 : 2;
}
