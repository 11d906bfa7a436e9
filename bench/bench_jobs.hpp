// Benchmark jobs: a 6-D maximum-entropy job written to a scratch folder and
// run inside the benchmark's process, so that its tables can be timed.
#pragma once
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "density/mem.hpp"
#include "util/input.hpp"
#include "driver/trovan.hpp"
#include "util/stop.hpp"

namespace bench {

namespace fs = std::filesystem;

// The grids the transform is timed on, by both transform benchmarks.
struct GridCase {
  std::string name;
  std::vector<int> n;
};
inline std::vector<GridCase> transform_grids() {
  return {{"32^4", {32, 32, 32, 32}},
          {"20^5", {20, 20, 20, 20, 20}},
          {"12^6", {12, 12, 12, 12, 12, 12}},
          {"16^6", {16, 16, 16, 16, 16, 16}},
          {"64x64x64x16", {64, 64, 64, 16}},
          {"32x12x12x12", {32, 12, 12, 12}}};
}

// ---------------------------------------------------------------------------
// A 6-D maximum-entropy job on a grid of n^6 points: a general setting with
// three modulation vectors and the reflections of four Gaussian atoms at
// random superspace positions, observed with 3 % noise. The benchmark's job
// is P-1 (the atoms and their inversion images, F real) with |h_i| <= 2
// (7812 unique reflections); the job without symmetry (JobKind::p1_filled)
// is P1 (F complex) with |h_i| <= 5, which fills 11 of 12 places per axis
// of a 12^6 grid (885780 unique reflections): the pruned transforms cannot
// leave anything out and the orbits are single points.
// iplot = 4 makes it a maximum-entropy run of nex1 first-stage cycles,
// iplot = 2 a Fourier map of the same reflections.
enum class JobKind { pbar1, p1_filled };

inline void write_job(const fs::path& dir, const int* hmax, int nex1, int iplot = 4,
                      JobKind kind = JobKind::pbar1) {
  const bool p1 = kind == JobKind::p1_filled;
  const int lim = p1 ? 5 : 2, side = 2 * lim + 1;
  int ncode = 1;
  for (int i = 0; i < 6; ++i) ncode *= side;
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 1.0);
  double atom[4][6];
  for (auto& a : atom)
    for (double& x : a) x = u(rng);
  std::ofstream hkl(dir / "m.hkl");
  char line[160];
  int h[6];
  for (int code = 0; code < ncode; ++code) {
    int c = code;
    bool zero = true;
    for (int& x : h) {
      x = c % side - lim;
      c /= side;
      zero = zero && x == 0;
    }
    if (zero) continue;
    // one of each Friedel pair: the first non-zero index positive
    int first = 0;
    for (int x : h)
      if (x != 0) {
        first = x;
        break;
      }
    if (first < 0) continue;
    double s2 = 0;
    for (int x : h) s2 += x * x / 25.0;
    // In P-1 every atom has its image at -x, and F is real.
    double re = 0, im = 0;
    for (const auto& a : atom) {
      double ph = 0;
      for (int i = 0; i < 6; ++i) ph += h[i] * a[i];
      ph *= 6.283185307179586;
      const double g = 10 * std::exp(-2 * s2);
      if (p1) {
        re += g * std::cos(ph);
        im += g * std::sin(ph);
      } else {
        re += 2 * g * std::cos(ph);
      }
    }
    const double f = std::hypot(re, im), sig = 0.03 * f + 0.3;
    const double fo = std::max(0.0, f + sig * noise(rng));
    // A Fourier job reads amplitude, its model value and phase; a MEM job
    // the sigma besides.
    const int n = std::snprintf(line, sizeof line, "%4d%4d%4d%4d%4d%4d%10.3f%10.3f%10.3f", h[0], h[1], h[2],
                                h[3], h[4], h[5], fo, f, std::atan2(im, re) * 57.29577951308232);
    if (iplot >= 4)
      std::snprintf(line + n, sizeof line - n, "%10.3f\n", sig);
    else
      std::snprintf(line + n, sizeof line - n, "\n");
    hkl << line;
  }
  std::ofstream job(dir / "job.inp");
  job << "file1='m.hkl'\nfile2='m.den'\ntitle='6-D maximum-entropy benchmark'\nisys=0\n"
         "a=5 b=6 c=7 cosa=0 cosb=0 cosc=0\nndm=3\nk=0.31 0 0\nk=0 0.27 0\nk=0 0 0.23\n"
         "nsymo=0 icent=" << (p1 ? 0 : 1) << " brv='p'\nsymmetry operator\n"
         "f000=" << (p1 ? 40 : 80) << " sg00=0 sg0=0 sg1=0 fmag=1\njbc=0\nisetting=3\niseging=0\n"
         "v= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1\n";
  job << "iplot=" << iplot << " hmax=";
  for (int i = 0; i < 6; ++i) job << hmax[i] << ' ';
  job << "pkmin=1\n";
  if (iplot >= 4) job << "ex1=0.0002 ex2=0.0001 nex1=" << nex1 << " nex2=0\n";
  job << "icont=0\nqimax=100 frmt='" << (iplot >= 4 ? "(6i4,4f10.3)" : "(6i4,3f10.3)")
      << "'\nldev=0 iwhkl=0 iprj=0\nng=0\n";
}

// Makes the next cycle continue the last trial as after an accepted step
// (the spare list holding the density before it, the step going on along
// the last one): the cycles of a run mostly do.
inline void accept_trial(trovan::MemState& st) {
  if (st.trial) {
    st.trial = false;
    st.spare.prev = true;
  }
}

inline fs::path scratch(const std::string& name) {
  fs::path d = fs::temp_directory_path() / ("trovan_bench_" + name + "_" + std::to_string(getpid()));
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

// Runs the job in dir in this process; the listing goes to `listing`.
// Returns what the run leaves (its observations and density).
inline trovan::JobResult run_here(const fs::path& dir, std::ostringstream& listing) {
  const fs::path here = fs::current_path();
  fs::current_path(dir);
  std::ifstream in("job.inp");
  trovan::set_out_stream(&listing);
  trovan::JobResult result;
  try {
    result = trovan::run(in);
  } catch (const trovan::Stop& s) {
    std::fprintf(stderr, "the run in %s stopped (status %d):\n%s\n", dir.c_str(), s.status,
                 listing.str().c_str());
    std::exit(1);
  }
  fs::current_path(here);
  return result;
}

}  // namespace bench
