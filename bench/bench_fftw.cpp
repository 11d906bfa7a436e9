// The program's transform, maximum-entropy cycle, peak search and whole run
// against a reference FFT.
//
// The reference is FFTW 3 in single precision, planned with FFTW_MEASURE,
// one thread, in place, first axis fastest, exponent exp(-2 pi i j.k/n)
// (cft1 with isn = -1, the direction of maphkl), in the layout a user would
// pick for speed: interleaved complex numbers. FFTW's plan for split real
// and imaginary arrays, the layout of the program's work grid, is timed
// beside it. The reference is used here only; the program itself needs
// nothing beyond the standard library.
//
// The machine is shared, so every measurement alternates the codes in one
// process (ours, reference, ours, reference, ...) and reports medians; a
// ratio is taken between medians measured under the same load. Single-
// thread comparisons use the processor time of the thread (on a loaded
// machine the wall clock mostly measures the others); the thread speed-up
// and the whole run use the wall clock.
//
// 1. cft1 on one thread / FFTW per grid: 32^4, 20^5, 12^6, 16^6,
//    64x64x64x16 and the (3+1)-D example's 32x12x12x12 (a grid that fits
//    in a core's cache), with the largest relative deviation of cft1 from
//    the reference on random data.
// 2. One maximum-entropy cycle (denmodmem: difference map, update, extrema,
//    structure factors) of a 12^6 run / one reference transform of 12^6.
// 3. The peak search of the 12^6 map (the density after the run, peaks
//    above 0.3 of the maximum) / one reference transform.
// 4. The peak resident memory of a whole 16^6 maximum-entropy run (the
//    program run as a child process on a generated input) against the bytes
//    of the tables such a run holds.
// 5. cft1 of 16^6 and a MEM cycle of 12^6 on all threads against one
//    thread (wall clock): the speed-up.
// 6. A whole Fourier run of 16^6 (set-up, synthesis, peaks, density file),
//    in this process, / one reference transform of 16^6: the job in P-1
//    and the same reflections in P1.
//
// 7. One MEM cycle of the P1 12^6 job whose reflections fill the grid (one
//    thread, and its speed-up on all threads), of the shipped centred
//    icosahedral example and of the (3+1)-D example, each / one reference
//    transform of the job's grid.
//
// Usage: bench_fftw [repetitions] [sections]   (default 7 and "1234567")
// FFTW wisdom is kept in fftw_wisdom.dat in the current directory so that
// the slow FFTW_MEASURE planning is paid once.
#include <fftw3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/gridindex.hpp"
#include "density/fft.hpp"
#include "density/mem.hpp"
#include "density/synthesis.hpp"
#include "util/workgrid.hpp"
#include "util/input.hpp"
#include "driver/trovan.hpp"
#include "maps/peaks.hpp"
#include "util/stop.hpp"
#include "util/threads.hpp"
#include "bench_jobs.hpp"

namespace fs = std::filesystem;

namespace {

using bench::run_here;
using bench::scratch;
using bench::write_job;

const char* kWisdom = "fftw_wisdom.dat";

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

// Processor time of this thread: on a machine shared by several users the
// wall clock mostly measures the others' load; the processor time still
// includes what they cost us through the shared caches and memory.
double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <class F>
double seconds(F&& f) {
  const double t0 = cpu_now();
  f();
  return cpu_now() - t0;
}

std::size_t points(const std::vector<int>& n) {
  std::size_t nt = 1;
  for (int v : n) nt *= static_cast<std::size_t>(v);
  return nt;
}

// A transform multiplies the norm by sqrt(nt): undo it untimed so that the
// data keep their size from one repetition to the next (count floats of a
// grid of nt points).
void renormalise(float* a, std::size_t count, std::size_t nt) {
  const float s = 1.0f / std::sqrt(static_cast<float>(nt));
  for (std::size_t i = 0; i < count; ++i) a[i] *= s;
}

double wall_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <class F>
double wall_seconds(F&& f) {
  const double t0 = wall_now();
  f();
  return wall_now() - t0;
}

// Reference plans for the grid n (n[0] fastest; FFTW lists the dimensions
// slowest first): interleaved on `z`, split on the aligned arrays re, im.
struct Reference {
  fftwf_plan plan = nullptr;        // interleaved, in place
  fftwf_plan split_plan = nullptr;  // split, in place
  fftwf_complex* z = nullptr;
  float* re = nullptr;
  float* im = nullptr;
  std::size_t nt = 0;
  double plan_seconds = 0;

  explicit Reference(const std::vector<int>& n, bool split = true) : nt(points(n)) {
    z = static_cast<fftwf_complex*>(fftwf_malloc(nt * sizeof(fftwf_complex)));
    re = static_cast<float*>(fftwf_malloc(nt * sizeof(float)));
    im = static_cast<float*>(fftwf_malloc(nt * sizeof(float)));
    std::vector<int> dims(n.rbegin(), n.rend());
    std::vector<fftwf_iodim> guru(n.size());
    long stride = 1;
    for (std::size_t i = 0; i < n.size(); ++i) {
      fftwf_iodim& d = guru[n.size() - 1 - i];
      d.n = n[i];
      d.is = d.os = static_cast<int>(stride);
      stride *= n[i];
    }
    plan_seconds = seconds([&] {
      plan = fftwf_plan_dft(static_cast<int>(dims.size()), dims.data(), z, z, FFTW_FORWARD,
                            FFTW_MEASURE);
      if (split)
        split_plan = fftwf_plan_guru_split_dft(static_cast<int>(guru.size()), guru.data(), 0,
                                               nullptr, re, im, re, im, FFTW_MEASURE);
    });
    if (!plan || (split && !split_plan)) {
      std::fprintf(stderr, "FFTW could not plan the grid\n");
      std::exit(1);
    }
    fftwf_export_wisdom_to_filename(kWisdom);
  }
  ~Reference() {
    fftwf_destroy_plan(plan);
    if (split_plan) fftwf_destroy_plan(split_plan);
    fftwf_free(z);
    fftwf_free(re);
    fftwf_free(im);
  }
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;
  void run() { fftwf_execute(plan); }
  void run_split() { fftwf_execute(split_plan); }
  // One interleaved transform, the data renormalised afterwards (untimed).
  double timed() {
    const double t = seconds([&] { run(); });
    renormalise(reinterpret_cast<float*>(z), 2 * nt, nt);
    return t;
  }
};

void fill_random(float* a, float* b, std::size_t nt, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (std::size_t i = 0; i < nt; ++i) {
    a[i] = u(rng);
    b[i] = u(rng);
  }
}

void cft1_or_die(float* a, float* b, const std::vector<int>& n, int isn) {
  int icon = 0;
  trovan::cft1(a, b, n.data(), static_cast<int>(n.size()), isn, icon);
  if (icon != 0) {
    std::fprintf(stderr, "cft1 returned icon = %d\n", icon);
    std::exit(1);
  }
}

// A row of the table: ours against the reference (FFTW interleaved), with
// FFTW's split plan beside it when timed; a ratio ours/ref at most `target`
// is met (for a speed-up, one thread's time against all threads', `higher`
// asks for at least `target`).
struct Row {
  std::string what;
  double ours, ref, split, target;
  bool higher = false;
  double points = 0;  // grid points of a transform row: also given per point
  const char* unit = "ms";
};

// Every row, for the summary table at the end.
std::vector<Row> g_rows;

void print_header() {
  std::printf("%-30s %10s %10s %10s %7s %7s\n", "", "ours ms", "FFTW ms", "split ms", "ratio",
              "target");
}

void print_row(const Row& r) {
  const double ratio = r.ours / r.ref;
  const bool met = r.higher ? ratio >= r.target : ratio <= r.target;
  char split[32] = "";
  if (r.split > 0) std::snprintf(split, sizeof split, "%10.2f", r.split * 1e3);
  std::printf("%-30s %10.2f %10.2f %10s %7.2f %7.2f  %s\n", r.what.c_str(), r.ours * 1e3,
              r.ref * 1e3, split, ratio, r.target, met ? "met" : "NOT met");
  std::fflush(stdout);
  g_rows.push_back(r);
}

// The rows again as a Markdown table: a transform per grid point, the
// others in milliseconds (a ratio against one FFTW transform is a number
// of transforms; a speed-up is one thread's time over all threads').
void print_summary() {
  std::printf("\n| measurement | trovan | FFTW | ratio | target | |\n|---|---:|---:|---:|---:|---|\n");
  for (const Row& r : g_rows) {
    const double ratio = r.ours / r.ref;
    const bool met = r.higher ? ratio >= r.target : ratio <= r.target;
    char ours[48], ref[48];
    if (r.points > 0) {
      std::snprintf(ours, sizeof ours, "%.2f ns/pt", r.ours * 1e9 / r.points);
      std::snprintf(ref, sizeof ref, "%.2f ns/pt", r.ref * 1e9 / r.points);
    } else if (std::string(r.unit) == "MiB") {
      std::snprintf(ours, sizeof ours, "%.1f MiB", r.ours);
      std::snprintf(ref, sizeof ref, "%.1f MiB", r.ref);
    } else {
      std::snprintf(ours, sizeof ours, "%.1f ms", r.ours * 1e3);
      std::snprintf(ref, sizeof ref, "%.1f ms", r.ref * 1e3);
    }
    std::printf("| %s | %s | %s | %.2f | %s %.2f | %s |\n", r.what.c_str(), ours, ref, ratio,
                r.higher ? ">=" : "<=", r.target, met ? "met" : "not met");
  }
}

// ---------------------------------------------------------------------------
// 1. The transform, on one thread.
void bench_transforms(int reps) {
  trovan::setnthreads(1);
  for (const bench::GridCase& c : bench::transform_grids()) {
    Reference ref(c.n);
    const std::size_t nt = ref.nt;
    // Accuracy: the same random data through both.
    fill_random(ref.re, ref.im, nt, 7);
    for (std::size_t i = 0; i < nt; ++i) {
      ref.z[i][0] = ref.re[i];
      ref.z[i][1] = ref.im[i];
    }
    ref.run();
    cft1_or_die(ref.re, ref.im, c.n, -1);
    double err = 0, norm = 0;
    for (std::size_t i = 0; i < nt; ++i) {
      err = std::max(err, std::hypot(double(ref.re[i]) - ref.z[i][0], double(ref.im[i]) - ref.z[i][1]));
      norm = std::max(norm, std::hypot(double(ref.z[i][0]), double(ref.z[i][1])));
    }
    renormalise(ref.re, nt, nt);
    renormalise(ref.im, nt, nt);
    renormalise(reinterpret_cast<float*>(ref.z), 2 * nt, nt);
    std::vector<double> ours, theirs, split;
    for (int r = -1; r < reps; ++r) {  // r = -1 warms caches and pages
      const double to = seconds([&] { cft1_or_die(ref.re, ref.im, c.n, -1); });
      renormalise(ref.re, nt, nt);
      renormalise(ref.im, nt, nt);
      const double tf = ref.timed();
      const double ts = seconds([&] { ref.run_split(); });
      renormalise(ref.re, nt, nt);
      renormalise(ref.im, nt, nt);
      if (r < 0) continue;
      ours.push_back(to);
      theirs.push_back(tf);
      split.push_back(ts);
    }
    std::printf("  %-12s %9zu points, plan %.1f s, max |cft1 - FFTW| / max |FFTW| = %.2e,"
                " ns/pt %.2f vs %.2f\n",
                c.name.c_str(), nt, ref.plan_seconds, err / norm, median(ours) * 1e9 / nt,
                median(theirs) * 1e9 / nt);
    Row row{"cft1 " + c.name, median(ours), median(theirs), median(split), 1.25};
    row.points = static_cast<double>(nt);
    print_row(row);
  }
  trovan::setnthreads(0);
}

// ---------------------------------------------------------------------------
// 2. and 3. The cycle and the peak search of a 12^6 run, run in this process
// so that the same load is seen by both codes. The cycle runs on one thread
// here (section 5 gives its speed-up on all).
void bench_cycle(int reps, bool cycle, bool peaks) {
  const std::vector<int> n(6, 12);
  const fs::path dir = scratch("cycle");
  const int h12[6] = {12, 12, 12, 12, 12, 12};
  write_job(dir, h12, 0, cycle ? 4 : 2);
  Reference ref(n, false);  // planned before leaving the wisdom's directory
  std::ostringstream listing;
  trovan::JobResult run = run_here(dir, listing);
  trovan::MemState st;
  trovan::RunState rs;
  rs.iplot = cycle ? 4 : 2;
  fill_random(reinterpret_cast<float*>(ref.z), reinterpret_cast<float*>(ref.z) + ref.nt, ref.nt, 11);
  trovan::setnthreads(1);
  if (cycle) {
    std::vector<double> ours, theirs;
    float f0 = trovan::maphkl(run.crystal, run.map, run.density, run.obs);
    for (int r = -1; r < reps; ++r) {
      float f0new = 0;
      // a small step: the density barely moves from one repetition to the next
      bench::accept_trial(st);
      const double to = seconds([&] { trovan::denmodmem(run.crystal, rs, run.map, st, run.density, run.obs, 1e-6f, f0, 1, f0new); });
      const double tf = ref.timed();
      if (r < 0) continue;
      ours.push_back(to);
      theirs.push_back(tf);
    }
    print_row({"MEM cycle 12^6 / FFTW 12^6", median(ours), median(theirs), 0, 1.5});
  }
  if (peaks) {
    // The peaks of a map with peaks: the Fourier map of the same data (a
    // maximum-entropy density a few cycles from its uniform start is nearly
    // flat everywhere).
    if (cycle) {
      write_job(dir, h12, 0, 2);
      run = run_here(dir, listing);
      rs.iplot = 2;
    }
    trovan::set_out_stream(&listing);
    std::vector<double> ours, theirs;
    for (int r = -1; r < reps; ++r) {
      listing.str("");
      const double to = seconds([&] {
        const trovan::Peaks found = trovan::pksearchnd(run.crystal, rs, trovan::getabcdr(run.map), 0.3f);
        listing << found.list.size() << " peaks above 0.3 of the maximum\n";
      });
      const double tf = ref.timed();
      if (r < 0) continue;
      ours.push_back(to);
      theirs.push_back(tf);
    }
    const std::string found = listing.str();
    const std::size_t eol = found.find('\n');
    std::printf("  peak search: %s\n", found.substr(0, eol).c_str());
    print_row({"peak search 12^6 / FFTW", median(ours), median(theirs), 0, 1.0});
  }
  trovan::setnthreads(0);
  trovan::set_out_stream(nullptr);
  fs::remove_all(dir);
}

// ---------------------------------------------------------------------------
// 4. Memory of a whole 16^6 run in a child process: the peak resident set
// (the kernel's VmHWM, reported by wait4 as ru_maxrss) against the tables
// the run needs: the complex work grid (two halves of nt floats), the
// density list and the grid index of each of its points, the orbit map of
// the grid (one int per point, to expand the list over the grid), and the
// independent reflections with their observed and calculated values.
// Everything else the process holds counts against the ratio, among it the
// second density list into which a trial step is written (the accepted one
// must survive the trial: a rejected step goes back to it).
long long listed(const std::string& text, const std::string& label) {
  const std::size_t p = text.find(label);
  if (p == std::string::npos) return -1;
  return std::atoll(text.c_str() + p + label.size());
}

void bench_memory(const fs::path& exe) {
  const fs::path dir = scratch("memory");
  const int h16[6] = {16, 16, 16, 16, 16, 16};
  write_job(dir, h16, 2);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (!freopen("job.inp", "r", stdin) || !freopen("job.out", "w", stdout)) _exit(127);
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  const auto t0 = std::chrono::steady_clock::now();
  wait4(pid, &status, 0, &ru);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::ifstream f(dir / "job.out");
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string out = ss.str();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.find("ic=  2") == std::string::npos) {
    std::fprintf(stderr, "the 16^6 run failed (status %d):\n%s\n", status, out.c_str());
    std::exit(1);
  }
  const long long nt = 1LL << 24;
  const long long nx = listed(out, "number of independent grid points  =");
  const long long nind = listed(out, "number of reflections used  =");
  const double mib = 1048576.0;
  const double grid = 8.0 * nt, lists = 8.0 * nx, orbit = 4.0 * nt, refl = 24.0 * nind;
  const double tables = grid + lists + orbit + refl;
  const double rss = static_cast<double>(ru.ru_maxrss) * 1024.0;
  std::printf("  16^6 run, 2 cycles: %.1f s; nt = %lld, independent points %lld, reflections %lld\n",
              wall, nt, nx, nind);
  std::printf("  tables: work grid %.1f MiB, density list and its grid indices %.1f, orbit map"
              " %.1f, reflections %.1f; besides them the trial density list %.1f\n",
              grid / mib, lists / mib, orbit / mib, refl / mib, 4.0 * nx / mib);
  std::printf("%-30s %10.1f %10.1f %10s %7.2f %7.2f  %s\n", "memory 16^6 (MiB) / tables",
              rss / mib, tables / mib, "", rss / tables, 1.25,
              rss / tables <= 1.25 ? "met" : "NOT met");
  Row row{"peak memory of a 16^6 MEM run / its tables", rss / mib, tables / mib, 0, 1.25};
  row.unit = "MiB";
  g_rows.push_back(row);
  fs::remove_all(dir);
}

// ---------------------------------------------------------------------------
// 5. All threads against one, by the wall clock: the 16^6 transform and a
// MEM cycle of 12^6. Printed as one thread's time, all threads' time, and
// the speed-up (the target is a least speed-up). On a machine busy with
// other work the threads wait for processors, and the speed-up says more
// about the load than about the program.
void bench_threads(int reps) {
  const int all = trovan::getnthreads();
  std::printf("  threads: %d (TROVAN_THREADS or the processors of this process); below: one"
              " thread's time, all threads' time, the speed-up\n", all);
  {
    const std::vector<int> n(6, 16);
    const std::size_t nt = points(n);
    std::vector<float> a(nt), b(nt);
    fill_random(a.data(), b.data(), nt, 5);
    std::vector<double> one, many;
    for (int r = -1; r < reps; ++r) {
      trovan::setnthreads(1);
      const double t1 = wall_seconds([&] { cft1_or_die(a.data(), b.data(), n, -1); });
      renormalise(a.data(), nt, nt);
      renormalise(b.data(), nt, nt);
      trovan::setnthreads(all);
      const double tn = wall_seconds([&] { cft1_or_die(a.data(), b.data(), n, -1); });
      renormalise(a.data(), nt, nt);
      renormalise(b.data(), nt, nt);
      if (r < 0) continue;
      one.push_back(t1);
      many.push_back(tn);
    }
    print_row({"cft1 16^6 speed-up, wall", median(one), median(many), 0, 1.6, true});
  }
  {
    const fs::path dir = scratch("threads");
    const int h12[6] = {12, 12, 12, 12, 12, 12};
    write_job(dir, h12, 0, 4);
    std::ostringstream listing;
    trovan::JobResult run = run_here(dir, listing);
    trovan::MemState st;
    trovan::RunState rs;
    rs.iplot = 4;
    float f0 = trovan::maphkl(run.crystal, run.map, run.density, run.obs);
    std::vector<double> one, many;
    for (int r = -1; r < reps; ++r) {
      float f0new = 0;
      trovan::setnthreads(1);
      bench::accept_trial(st);
      const double t1 = wall_seconds([&] { trovan::denmodmem(run.crystal, rs, run.map, st, run.density, run.obs, 1e-6f, f0, 1, f0new); });
      trovan::setnthreads(all);
      bench::accept_trial(st);
      const double tn = wall_seconds([&] { trovan::denmodmem(run.crystal, rs, run.map, st, run.density, run.obs, 1e-6f, f0, 1, f0new); });
      if (r < 0) continue;
      one.push_back(t1);
      many.push_back(tn);
    }
    print_row({"MEM cycle 12^6 speed-up, wall", median(one), median(many), 0, 1.6, true});
    fs::remove_all(dir);
  }
  trovan::setnthreads(0);
}

// The benchmark's job with its group declared P1: the same reflections
// (a centrosymmetric structure is a P1 structure too), no operator but the
// identity and no inversion, so that the run keeps every grid point.
void declare_p1(const fs::path& dir) {
  std::ifstream in(dir / "job.inp");
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  std::string job = text.str();
  const std::string centric = "icent=1";
  const std::size_t at = job.find(centric);
  if (at == std::string::npos) {
    std::fprintf(stderr, "the benchmark's job has no %s\n", centric.c_str());
    std::exit(1);
  }
  job.replace(at, centric.size(), "icent=0");
  std::ofstream(dir / "job.inp") << job;
}

// ---------------------------------------------------------------------------
// 6. A whole Fourier run of 16^6 in this process, by the wall clock, on all
// threads: reading the input and the reflections, the symmetry expansion,
// the tables of independent reflections and points, the synthesis, the
// peak search and the density file; against one reference transform of
// 16^6 (one thread). The job in P-1, and the same reflections in P1 (no
// symmetry: every grid point its own orbit).
void bench_run(int reps, const char* label, bool p1) {
  const std::vector<int> n(6, 16);
  const fs::path dir = scratch("run");
  const int h16[6] = {16, 16, 16, 16, 16, 16};
  write_job(dir, h16, 0, 2);
  if (p1) declare_p1(dir);
  Reference ref(n, false);
  fill_random(reinterpret_cast<float*>(ref.z), reinterpret_cast<float*>(ref.z) + ref.nt, ref.nt, 13);
  std::ostringstream listing;
  std::vector<double> ours, theirs;
  for (int r = -1; r < reps; ++r) {
    listing.str("");
    const double to = wall_seconds([&] { run_here(dir, listing); });
    const double tf = wall_seconds([&] { ref.run(); });
    renormalise(reinterpret_cast<float*>(ref.z), 2 * ref.nt, ref.nt);
    if (r < 0) continue;
    ours.push_back(to);
    theirs.push_back(tf);
  }
  print_row({label, median(ours), median(theirs), 0, 5.0});
  fs::remove_all(dir);
}


// ---------------------------------------------------------------------------
// 7. The cycle on the jobs users run besides the benchmark's: the P1 job
// whose reflections fill 11 of 12 places per axis of 12^6 (one thread, and
// all threads against one by the wall clock), and a shipped centred
// quasicrystal and (3+1)-D maximum-entropy example, each cycle against one
// reference transform of that job's own grid.

// A shipped example job, its cycles cut to one, run in a scratch folder
// (the example's folder under examples/ of the source tree).
trovan::JobResult run_example(const fs::path& src, const std::string& job, const fs::path& dir) {
  for (const auto& f : fs::directory_iterator(src))
    if (f.path().extension() == ".hkl") fs::copy_file(f.path(), dir / f.path().filename());
  std::ifstream in(src / (job + ".inp"));
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  const std::size_t at = s.find("nex1=");
  if (at != std::string::npos) s.replace(at, s.find('\n', at) - at, "nex1=1 nex2=0");
  std::ofstream(dir / "job.inp") << s;
  std::ostringstream listing;
  return run_here(dir, listing);
}

// One cycle of the run against one reference transform of its grid, on one
// thread, without and with the agreement sums (c2, R, Rw) that judge every
// trial of a run; with `speedup` also all threads against one.
void cycle_rows(const std::string& name, trovan::JobResult& run, int reps, bool speedup) {
  const trovan::Grid& g = run.crystal.grid;
  const std::vector<int> n(g.n, g.n + g.idm);
  Reference ref(n, false);
  fill_random(reinterpret_cast<float*>(ref.z), reinterpret_cast<float*>(ref.z) + ref.nt, ref.nt, 17);
  trovan::MemState st;
  trovan::RunState rs;
  rs.iplot = 4;
  // The reflections in the order a run holds them (a large list in the
  // half grid's order).
  const std::vector<int> order = trovan::memorder(g, run.obs);
  if (!order.empty()) run.obs = trovan::reordered(run.obs, order);
  const float f0 = trovan::maphkl(run.crystal, run.map, run.density, run.obs);
  auto cycle = [&] {
    float f0new = 0;
    bench::accept_trial(st);
    // a small step: the density barely moves from one repetition to the next
    trovan::denmodmem(run.crystal, rs, run.map, st, run.density, run.obs, 1e-6f, f0, 1, f0new);
  };
  const int all = trovan::getnthreads();
  auto sums = [&] {
    float c2 = 0, rfact = 0, rwfact = 0;
    trovan::rfct(run.density, run.obs, c2, rfact, rwfact, 0);
  };
  std::vector<double> ours, theirs, agree, one, many;
  for (int r = -1; r < reps; ++r) {
    trovan::setnthreads(1);
    const double to = seconds(cycle);
    const double ta = seconds(sums);
    const double tf = ref.timed();
    if (speedup) {
      one.push_back(wall_seconds(cycle));
      trovan::setnthreads(all);
      many.push_back(wall_seconds(cycle));
    }
    if (r < 0) {
      one.clear(), many.clear();
      continue;
    }
    ours.push_back(to);
    agree.push_back(to + ta);
    theirs.push_back(tf);
  }
  trovan::setnthreads(0);
  std::string grid;
  for (int v : n) {
    if (!grid.empty()) grid += 'x';
    grid += std::to_string(v);
  }
  // cft1 of the same grid beside it (a check on the reference).
  std::vector<float> ca(ref.nt), cb(ref.nt);
  fill_random(ca.data(), cb.data(), ref.nt, 19);
  std::vector<double> own;
  trovan::setnthreads(1);
  for (int r = 0; r < 3; ++r) {
    own.push_back(seconds([&] { cft1_or_die(ca.data(), cb.data(), n, -1); }));
    renormalise(ca.data(), ref.nt, ref.nt);
    renormalise(cb.data(), ref.nt, ref.nt);
  }
  trovan::setnthreads(0);
  std::printf("  %s: grid %s, %d stored points, %d reflections; cycle %.2f ms, cft1 %.2f ms, FFTW %.2f ms\n",
              name.c_str(), grid.c_str(), run.density.nxr0, run.obs.size(), median(ours) * 1e3,
              median(own) * 1e3, median(theirs) * 1e3);
  print_row({"MEM cycle " + name + " / FFTW", median(ours), median(theirs), 0, 1.5});
  print_row({"  with agreement sums / FFTW", median(agree), median(theirs), 0, 1.5});
  if (speedup) print_row({"MEM cycle " + name + " speed-up, wall", median(one), median(many), 0, 1.6, true});
}

void bench_job_cycles(int reps, const fs::path& examples) {
  {
    const fs::path dir = scratch("p1cycle");
    const int h12[6] = {12, 12, 12, 12, 12, 12};
    write_job(dir, h12, 0, 4, bench::JobKind::p1_filled);
    std::ostringstream listing;
    trovan::JobResult run = run_here(dir, listing);
    cycle_rows("12^6 P1 filled", run, reps, true);
    fs::remove_all(dir);
  }
  const struct {
    const char* folder;
    const char* job;
    const char* name;
  } jobs[] = {{"icosahedral", "icosahedral_f_mem", "icosahedral F"},
              {"modulated", "modulated_mem", "(3+1)-D"}};
  for (const auto& j : jobs) {
    const fs::path dir = scratch(j.job);
    trovan::JobResult run = run_example(examples / j.folder, j.job, dir);
    cycle_rows(j.name, run, reps, false);
    fs::remove_all(dir);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const std::string what = argc > 2 ? argv[2] : "1234567";
  fftwf_import_wisdom_from_filename(kWisdom);
  std::printf("cft1, the MEM cycle and a whole run against FFTW %s (FFTW_MEASURE, one thread,"
              " in place, interleaved; split beside it), medians of %d\n",
              fftwf_version, reps);
  print_header();
  if (what.find('1') != std::string::npos) bench_transforms(reps);
  const bool c = what.find('2') != std::string::npos, p = what.find('3') != std::string::npos;
  if (c || p) bench_cycle(reps, c, p);
  if (what.find('4') != std::string::npos)
    bench_memory(fs::canonical("/proc/self/exe").parent_path() / "trovan");
  if (what.find('5') != std::string::npos) bench_threads(reps);
  if (what.find('6') != std::string::npos) {
    bench_run(reps, "Fourier run 16^6 / FFTW 16^6", false);
    bench_run(reps, "Fourier run 16^6 P1 / FFTW", true);
  }
  if (what.find('7') != std::string::npos) bench_job_cycles(reps, TROVAN_EXAMPLES);
  print_summary();
  return 0;
}
