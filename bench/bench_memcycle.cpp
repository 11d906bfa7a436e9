// One maximum-entropy cycle against one transform of its grid.
//
// A cycle is a difference synthesis, the update of every stored density
// value, the extrema and the structure factors of the new density: two
// pruned half-grid transforms and a few passes over the grid. This prints, for
// a 12^6 grid (the benchmark's P-1 job and a P1 job whose reflections fill
// 11 of 12 places per axis) and a 32^4 grid, the median processor time of one cycle (denmodmem)
// and of one cft1 transform of the same grid, and their ratio, both on one
// thread (the processor time of the thread measures nothing else).
//
//   bench_memcycle [repetitions] [p1|pbar1]   (the P1 or the P-1 12^6 job alone)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_jobs.hpp"
#include "density/fft.hpp"
#include "density/mem.hpp"
#include "density/synthesis.hpp"
#include "util/threads.hpp"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + 1e-9 * t.tv_nsec;
}

template <class F>
double seconds(F f) {
  const double t0 = cpu_seconds();
  f();
  return cpu_seconds() - t0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void measure(const char* what, const int* hmax, int idm, int reps, bench::JobKind kind = bench::JobKind::pbar1) {
  const bench::fs::path dir = bench::scratch("memcycle");
  bench::write_job(dir, hmax, 0, 4, kind);
  std::ostringstream listing;
  trovan::JobResult run = bench::run_here(dir, listing);
  trovan::MemState st;

  long long nt = 1;
  for (int i = 0; i < idm; ++i) nt *= hmax[i];
  std::vector<float> a(nt), b(nt);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1, 1);
  for (long long j = 0; j < nt; ++j) a[j] = u(rng), b[j] = u(rng);

  std::vector<double> cycle, transform, diff, sf;
  trovan::RunState rs;
  rs.iplot = 4;
  float f0 = trovan::maphkl(run.crystal, run.map, run.density, run.obs);
  for (int r = -1; r < reps; ++r) {
    float f0new = 0;
    // A tiny step: the density hardly changes between repetitions.
    bench::accept_trial(st);
    const double tc = seconds([&] { trovan::denmodmem(run.crystal, rs, run.map, st, run.density, run.obs, 1e-6f, f0, 1, f0new); });
    int icon = 0;
    const double tf = seconds([&] { trovan::cft1(a.data(), b.data(), hmax, idm, r % 2 ? 1 : -1, icon); });
    for (long long j = 0; j < nt; ++j) a[j] *= 1.0f / nt, b[j] *= 1.0f / nt;  // keep the data finite
    // Two of the cycle's phases alone: the difference synthesis (placing
    // and transform) and the structure factors of the density (pairing,
    // transform and the read at the reflections).
    const double td = seconds([&] { trovan::difxyzv(run.crystal, rs, run.map, run.density, run.obs, nullptr); });
    const double ts = seconds([&] { trovan::maphkl(run.crystal, run.map, run.density, run.obs); });
    if (r < 0) continue;
    cycle.push_back(tc);
    transform.push_back(tf);
    diff.push_back(td);
    sf.push_back(ts);
  }
  const double c = median(cycle), f = median(transform);
  std::printf("%-8s %10lld points  cycle %8.1f ms  cft1 %8.1f ms  cycle/cft1 %5.2f"
              "  (difference map %.1f ms, structure factors %.1f ms)\n",
              what, nt, c * 1e3, f * 1e3, c / f, median(diff) * 1e3, median(sf) * 1e3);
  bench::fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  trovan::setnthreads(1);
  const int g12[6] = {12, 12, 12, 12, 12, 12};
  const int g32[6] = {32, 32, 32, 32, 1, 1};
  const std::string only = argc > 2 ? argv[2] : "";
  if (only.empty() || only == "p1") measure("12^6 P1", g12, 6, reps, bench::JobKind::p1_filled);
  if (only.empty() || only == "pbar1") measure("12^6", g12, 6, reps);
  if (only.empty()) measure("32^4", g32, 4, reps);
  return 0;
}
