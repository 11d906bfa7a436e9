// Timing of the multi-dimensional FFT on the grid shapes of superspace runs:
// a 4-D, 5-D and two 6-D grids, the largest 2^24 points (the work-grid
// limit). Each repetition transforms forward (isn = +1) and back (isn = -1);
// the table gives the median over the repetitions in nanoseconds per grid
// point for one transform, and the pair; the last column is the processor
// time of the pair, less disturbed than the wall clock on a shared machine.
//
// Usage: bench_fft [repetitions]   (default 7; the run takes about a minute)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "density/fft.hpp"
#include "bench_jobs.hpp"

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

struct Times {
  double wall, cpu;
};

Times seconds_of(float* a, float* b, const std::vector<int>& n, int isn) {
  int icon = 0;
  const std::clock_t c0 = std::clock();
  const auto t0 = std::chrono::steady_clock::now();
  trovan::cft1(a, b, n.data(), static_cast<int>(n.size()), isn, icon);
  const auto t1 = std::chrono::steady_clock::now();
  const std::clock_t c1 = std::clock();
  if (icon != 0) {
    std::fprintf(stderr, "cft1 returned icon = %d\n", icon);
    std::exit(1);
  }
  return {std::chrono::duration<double>(t1 - t0).count(),
          static_cast<double>(c1 - c0) / CLOCKS_PER_SEC};
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::printf("cft1, single precision, in place, split real/imaginary; median of %d\n", reps);
  std::printf("%-11s %10s %12s %12s %12s %12s\n", "grid", "points", "fwd ns/pt", "back ns/pt",
              "pair ns/pt", "pair cpu");
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (const bench::GridCase& c : bench::transform_grids()) {
    std::size_t nt = 1;
    for (int v : c.n) nt *= static_cast<std::size_t>(v);
    std::vector<float> a(nt), b(nt);
    for (std::size_t i = 0; i < nt; ++i) {
      a[i] = u(rng);
      b[i] = u(rng);
    }
    const float scale = 1.0f / static_cast<float>(nt);
    std::vector<double> fwd, back, pair, cpu;
    for (int r = -1; r < reps; ++r) {  // r = -1 warms the caches and pages up
      const Times tf = seconds_of(a.data(), b.data(), c.n, +1);
      const Times tb = seconds_of(a.data(), b.data(), c.n, -1);
      // forward then back multiplies by nt: undo it (untimed) so that the
      // data stay the same from one repetition to the next.
      for (std::size_t i = 0; i < nt; ++i) {
        a[i] *= scale;
        b[i] *= scale;
      }
      if (r < 0) continue;
      fwd.push_back(tf.wall);
      back.push_back(tb.wall);
      pair.push_back(tf.wall + tb.wall);
      cpu.push_back(tf.cpu + tb.cpu);
    }
    const double ns = 1e9 / static_cast<double>(nt);
    std::printf("%-11s %10zu %12.2f %12.2f %12.2f %12.2f\n", c.name.c_str(), nt,
                median(fwd) * ns, median(back) * ns, median(pair) * ns, median(cpu) * ns);
    std::fflush(stdout);
  }
  return 0;
}
