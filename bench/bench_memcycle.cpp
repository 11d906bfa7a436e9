// One maximum-entropy cycle against one transform of its grid.
//
// A cycle is a difference synthesis, the update of every stored density
// value, the extrema and the structure factors of the new density: two
// pruned half-grid transforms and a few passes over the grid. This prints, for
// a 12^6 grid (the benchmark's P-1 job and a P1 job whose reflections fill
// 11 of 12 places per axis) and a 32^4 grid, the median processor time of one cycle (denmodmem)
// and of one cft1 transform of the same grid, and their ratio, both on one
// thread (the processor time of the thread measures nothing else). A job
// whose run holds its reflections in the half grid's order (memorder) is
// timed so and, alternately, with the list in the order of the file.
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

// One cycle's phases of one job, its reflections in one order.
struct Timed {
  std::vector<double> cycle, diff, sf;
};

// The cycle of `run` (denmodmem with a tiny step, so that the density hardly
// changes between repetitions) and two of its phases alone: the difference
// synthesis (placing and transform) and the structure factors of the
// density (pairing, transform and the read at the reflections).
void repetition(trovan::JobResult& run, trovan::MemState& st, float f0, Timed* t) {
  trovan::RunState rs;
  rs.iplot = 4;
  // The structure factors of this job's density in the order of its list.
  trovan::maphkl(run.crystal, run.map, run.density, run.obs);
  float f0new = 0;
  bench::accept_trial(st);
  const double tc = seconds([&] { trovan::denmodmem(run.crystal, rs, run.map, st, run.density, run.obs, 1e-6f, f0, 1, f0new); });
  const double td = seconds([&] { trovan::difxyzv(run.crystal, rs, run.map, run.density, run.obs, nullptr); });
  const double ts = seconds([&] { trovan::maphkl(run.crystal, run.map, run.density, run.obs); });
  if (!t) return;
  t->cycle.push_back(tc);
  t->diff.push_back(td);
  t->sf.push_back(ts);
}

void measure(const char* what, const int* hmax, int idm, int reps, bench::JobKind kind = bench::JobKind::pbar1) {
  const bench::fs::path dir = bench::scratch("memcycle");
  bench::write_job(dir, hmax, 0, 4, kind);
  std::ostringstream listing;
  // The job as a run holds its reflections (memorder: a large list in the
  // half grid's order) and, when that is another order, a second copy in
  // the order of the file: the two are timed alternately.
  trovan::JobResult run = bench::run_here(dir, listing);
  const std::vector<int> order = trovan::memorder(run.crystal.grid, run.obs);
  trovan::JobResult file;
  if (!order.empty()) {
    file = bench::run_here(dir, listing);
    run.obs = trovan::reordered(run.obs, order);
  }
  trovan::MemState st, stfile;

  long long nt = 1;
  for (int i = 0; i < idm; ++i) nt *= hmax[i];
  std::vector<float> a(nt), b(nt);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1, 1);
  for (long long j = 0; j < nt; ++j) a[j] = u(rng), b[j] = u(rng);

  std::vector<double> transform;
  Timed ran, filed;
  const float f0 = trovan::maphkl(run.crystal, run.map, run.density, run.obs);
  for (int r = -1; r < reps; ++r) {
    repetition(run, st, f0, r < 0 ? nullptr : &ran);
    if (!order.empty()) repetition(file, stfile, f0, r < 0 ? nullptr : &filed);
    int icon = 0;
    const double tf = seconds([&] { trovan::cft1(a.data(), b.data(), hmax, idm, r % 2 ? 1 : -1, icon); });
    for (long long j = 0; j < nt; ++j) a[j] *= 1.0f / nt, b[j] *= 1.0f / nt;  // keep the data finite
    if (r >= 0) transform.push_back(tf);
  }
  const double f = median(transform);
  auto line = [&](const std::string& name, const Timed& t) {
    const double c = median(t.cycle);
    std::printf("%-22s %10lld points  cycle %8.1f ms  cft1 %8.1f ms  cycle/cft1 %5.2f"
                "  (difference map %.1f ms, structure factors %.1f ms)\n",
                name.c_str(), nt, c * 1e3, f * 1e3, c / f, median(t.diff) * 1e3, median(t.sf) * 1e3);
  };
  line(order.empty() ? what : std::string(what) + " (grid order)", ran);
  if (!order.empty()) line(std::string(what) + " (file order)", filed);
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
