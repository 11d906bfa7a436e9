// The program's transform and maximum-entropy cycle against a reference FFT.
//
// The reference is FFTW 3 in single precision, planned with FFTW_MEASURE for
// exactly the transform cft1 does: in place, split real/imaginary arrays,
// first axis fastest, exponent exp(-2 pi i j.k/n) (cft1 with isn = -1, the
// direction of maphkl). The reference is used here only; the program itself
// needs nothing beyond the standard library.
//
// The machine is shared, so every measurement alternates the two codes in
// one process (ours, reference, ours, reference, ...), times the processor
// time of the thread and reports medians; a ratio is taken between medians
// measured under the same load.
//
// 1. cft1 / FFTW per grid: 32^4, 20^5, 12^6, 16^6, 64x64x64x16, with the
//    largest relative deviation of cft1 from the reference on random data.
// 2. One maximum-entropy cycle (denmodmem: difference map, update, extrema,
//    structure factors) of a 12^6 run / one reference transform of 12^6.
// 3. The peak search of the 12^6 map (the density after the run, peaks
//    above 0.3 of the maximum) / one reference transform.
// 4. The peak resident memory of a whole 16^6 maximum-entropy run (the
//    program run as a child process on a generated input) against the bytes
//    of the tables such a run holds.
//
// Usage: bench_fftw [repetitions] [sections]   (default 7 and "1234")
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

// A reference plan on the aligned arrays re, im for the grid n (n[0]
// fastest): FFTW's dims are listed slowest first with their strides.
struct Reference {
  fftwf_plan plan = nullptr;
  float* re = nullptr;
  float* im = nullptr;
  std::size_t nt = 0;
  double plan_seconds = 0;

  explicit Reference(const std::vector<int>& n) : nt(points(n)) {
    re = static_cast<float*>(fftwf_malloc(nt * sizeof(float)));
    im = static_cast<float*>(fftwf_malloc(nt * sizeof(float)));
    std::vector<fftwf_iodim> dims(n.size());
    long stride = 1;
    for (std::size_t i = 0; i < n.size(); ++i) {
      fftwf_iodim& d = dims[n.size() - 1 - i];
      d.n = n[i];
      d.is = d.os = static_cast<int>(stride);
      stride *= n[i];
    }
    plan_seconds = seconds([&] {
      plan = fftwf_plan_guru_split_dft(static_cast<int>(dims.size()), dims.data(), 0, nullptr, re,
                                       im, re, im, FFTW_MEASURE);
    });
    if (!plan) {
      std::fprintf(stderr, "FFTW could not plan the grid\n");
      std::exit(1);
    }
    fftwf_export_wisdom_to_filename(kWisdom);
  }
  ~Reference() {
    fftwf_destroy_plan(plan);
    fftwf_free(re);
    fftwf_free(im);
  }
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;
  void run() { fftwf_execute(plan); }
};

// A transform multiplies the norm by sqrt(nt): undo it untimed so that the
// data keep their size from one repetition to the next.
void renormalise(float* a, float* b, std::size_t nt) {
  const float s = 1.0f / std::sqrt(static_cast<float>(nt));
  for (std::size_t i = 0; i < nt; ++i) {
    a[i] *= s;
    b[i] *= s;
  }
}

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

struct Row {
  std::string what;
  double ours, ref, target;
};
std::vector<Row> g_rows;

void print_row(const Row& r) {
  const double ratio = r.ours / r.ref;
  std::printf("%-28s %10.2f %10.2f %7.2f %7.2f  %s\n", r.what.c_str(), r.ours * 1e3, r.ref * 1e3,
              ratio, r.target, ratio <= r.target ? "met" : "NOT met");
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// 1. The transform.
void bench_transforms(int reps) {
  struct Case {
    std::string name;
    std::vector<int> n;
  };
  const std::vector<Case> cases = {{"32^4", {32, 32, 32, 32}},
                                   {"20^5", {20, 20, 20, 20, 20}},
                                   {"12^6", {12, 12, 12, 12, 12, 12}},
                                   {"16^6", {16, 16, 16, 16, 16, 16}},
                                   {"64x64x64x16", {64, 64, 64, 16}}};
  for (const Case& c : cases) {
    Reference ref(c.n);
    const std::size_t nt = ref.nt;
    // Accuracy: the same random data through both.
    fill_random(ref.re, ref.im, nt, 7);
    ref.run();
    std::vector<float> wr(ref.re, ref.re + nt), wi(ref.im, ref.im + nt);
    fill_random(ref.re, ref.im, nt, 7);
    cft1_or_die(ref.re, ref.im, c.n, -1);
    double err = 0, norm = 0;
    for (std::size_t i = 0; i < nt; ++i) {
      err = std::max(err, std::hypot(double(ref.re[i]) - wr[i], double(ref.im[i]) - wi[i]));
      norm = std::max(norm, std::hypot(double(wr[i]), double(wi[i])));
    }
    std::vector<double> ours, theirs;
    for (int r = -1; r < reps; ++r) {  // r = -1 warms caches and pages
      const double to = seconds([&] { cft1_or_die(ref.re, ref.im, c.n, -1); });
      renormalise(ref.re, ref.im, nt);
      const double tf = seconds([&] { ref.run(); });
      renormalise(ref.re, ref.im, nt);
      if (r < 0) continue;
      ours.push_back(to);
      theirs.push_back(tf);
    }
    std::printf("  %-12s %9zu points, plan %.1f s, max |cft1 - FFTW| / max |FFTW| = %.2e,"
                " ns/pt %.2f vs %.2f\n",
                c.name.c_str(), nt, ref.plan_seconds, err / norm, median(ours) * 1e9 / nt,
                median(theirs) * 1e9 / nt);
    g_rows.push_back({"cft1 " + c.name, median(ours), median(theirs), 1.5});
    print_row(g_rows.back());
  }
}

// ---------------------------------------------------------------------------
// 2. and 3. The cycle and the peak search of a 12^6 run, run in this process
// so that the same load is seen by both codes.
void bench_cycle(int reps, bool cycle, bool peaks) {
  const std::vector<int> n(6, 12);
  const fs::path dir = scratch("cycle");
  const int h12[6] = {12, 12, 12, 12, 12, 12};
  write_job(dir, h12, 0, cycle ? 4 : 2);
  Reference ref(n);  // planned before leaving the wisdom's directory
  std::ostringstream listing;
  run_here(dir, listing);
  fill_random(ref.re, ref.im, ref.nt, 11);
  if (cycle) {
    std::vector<double> ours, theirs;
    float f0 = trovan::maphkl();
    for (int r = -1; r < reps; ++r) {
      float f0new = 0;
      // a small step: the density barely moves from one repetition to the next
      const double to = seconds([&] { trovan::denmodmem(1e-6f, f0, 1, f0new); });
      const double tf = seconds([&] { ref.run(); });
      renormalise(ref.re, ref.im, ref.nt);
      if (r < 0) continue;
      ours.push_back(to);
      theirs.push_back(tf);
    }
    g_rows.push_back({"MEM cycle 12^6 / FFTW 12^6", median(ours), median(theirs), 2.5});
    print_row(g_rows.back());
  }
  if (peaks) {
    // The peaks of a map with peaks: the Fourier map of the same data (a
    // maximum-entropy density a few cycles from its uniform start is nearly
    // flat everywhere).
    if (cycle) {
      write_job(dir, h12, 0, 2);
      run_here(dir, listing);
    }
    trovan::set_out_stream(&listing);
    std::vector<double> ours, theirs;
    for (int r = -1; r < reps; ++r) {
      listing.str("");
      const double to = seconds([&] { trovan::pksearchnd(0.3f); });
      const double tf = seconds([&] { ref.run(); });
      renormalise(ref.re, ref.im, ref.nt);
      if (r < 0) continue;
      ours.push_back(to);
      theirs.push_back(tf);
    }
    const std::string found = listing.str();
    const std::size_t eol = found.find('\n');
    std::printf("  peak search: %s\n", found.substr(0, eol).c_str());
    g_rows.push_back({"peak search 12^6 / FFTW", median(ours), median(theirs), 1.0});
    print_row(g_rows.back());
  }
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
  std::printf("%-28s %10.1f %10.1f %7.2f %7.2f  %s\n", "memory 16^6 (MiB) / tables",
              rss / mib, tables / mib, rss / tables, 1.25,
              rss / tables <= 1.25 ? "met" : "NOT met");
  fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const std::string what = argc > 2 ? argv[2] : "1234";
  fftwf_import_wisdom_from_filename(kWisdom);
  std::printf("cft1 and the MEM cycle against FFTW %s (FFTW_MEASURE, split, in place),"
              " medians of %d\n",
              fftwf_version, reps);
  std::printf("%-28s %10s %10s %7s %7s\n", "", "ours ms", "FFTW ms", "ratio", "target");
  if (what.find('1') != std::string::npos) bench_transforms(reps);
  const bool c = what.find('2') != std::string::npos, p = what.find('3') != std::string::npos;
  if (c || p) bench_cycle(reps, c, p);
  if (what.find('4') != std::string::npos)
    bench_memory(fs::canonical("/proc/self/exe").parent_path() / "trovan");
  return 0;
}
