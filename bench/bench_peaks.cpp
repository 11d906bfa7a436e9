// Timing of the peak search on a 6-D map of 12^6 = 2985984 points, where the
// neighbourhood of a point holds 728 others.
//
//   smooth  a periodic map with a few broad maxima (a typical density)
//   noise   independent random values in [-1, 1], the worst case for the
//           early rejections (every positive point is tested)
//   flat    one value everywhere (the uniform start of a maximum-entropy
//           run): one plateau with nothing below it, no peak
//   tophat  the smooth map cut off at half its maximum: each maximum a
//           flat top of many equal points, one peak each
//
// For each map the table gives the median wall time and processor time of
// the neighbourhood search (findextrema, threshold 0 and 0.3 of the maximum)
// and once the plain test of all 728 neighbours of every point above the
// threshold, for comparison (the peak counts must agree; the plain test
// knows no plateaus and is left out for the flat maps), then of the whole
// pksearchnd on the work grid (every map, P1, with the refinement of every
// peak, the merging and the listing). The flat map's search walks its one
// plateau once: time and memory of the order of the grid's.
//
// Usage: bench_peaks [repetitions]   (default 5)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <vector>

#include "crystal/crystal.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "maps/peaks.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace {

constexpr int kN = 12;
constexpr int kIdm = 6;
constexpr int kNt = kN * kN * kN * kN * kN * kN;

struct Times {
  double wall, cpu;
};

template <class F>
Times time_of(F f) {
  const std::clock_t c0 = std::clock();
  const auto t0 = std::chrono::steady_clock::now();
  f();
  const auto t1 = std::chrono::steady_clock::now();
  const std::clock_t c1 = std::clock();
  return {std::chrono::duration<double>(t1 - t0).count(), double(c1 - c0) / CLOCKS_PER_SEC};
}

Times median(std::vector<Times> v) {
  std::vector<double> w, c;
  for (const Times& t : v) {
    w.push_back(t.wall);
    c.push_back(t.cpu);
  }
  std::sort(w.begin(), w.end());
  std::sort(c.begin(), c.end());
  return {w[w.size() / 2], c[c.size() / 2]};
}

// Every point tested against all 3^6 - 1 neighbours.
int plain_search(const float* map, float thr) {
  int found = 0;
  for (int j = 0; j < kNt; ++j) {
    const float v = map[j];
    if (!(v > thr)) continue;
    int c[kIdm], r = j;
    for (int d = 0; d < kIdm; ++d) {
      c[d] = r % kN;
      r /= kN;
    }
    bool peak = true;
    for (int b = 0; b < 729 && peak; ++b) {
      int q = b, k = 0, s = 1;
      for (int d = 0; d < kIdm; ++d) {
        k += ((c[d] + q % 3 - 1 + kN) % kN) * s;
        q /= 3;
        s *= kN;
      }
      const float w = map[k];
      if ((v > 0 && v < w) || (v < 0 && v > w)) peak = false;
    }
    found += peak;
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace trovan;
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

  // P1 in a 6-D general setting on a 12^6 grid, a Fourier map.
  Crystal cr;
  setsmh(cr.setting, 0);
  setsmx(cr.setting, 0);
  cr.group.idm = cr.grid.idm = kIdm;
  gensymo(cr.group, {}, cr.setting, kIdm);
  int ng[6] = {kN, kN, kN, kN, kN, kN};
  setng(cr.grid, ng);
  calmm(cr.grid);
  setitt(cr.grid);
  RunState rs;
  rs.iplot = 2;
  WorkGrid w;
  sizeworkgrid(w, getnt(cr.grid));

  std::vector<float> smooth(kNt), noise(kNt), flat(kNt, 1.0f), tophat(kNt);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1, 1);
  for (int j = 0; j < kNt; ++j) {
    int r = j;
    double v = 0;
    for (int d = 0; d < kIdm; ++d) {
      v += std::cos(kTwoPi * 2 * (r % kN) / kN + d);
      r /= kN;
    }
    smooth[j] = static_cast<float>(v);
    noise[j] = u(rng);
  }
  const float top = *std::max_element(smooth.begin(), smooth.end());
  for (int j = 0; j < kNt; ++j) tophat[j] = std::min(smooth[j], 0.5f * top);
  const std::vector<float>* maps[] = {&smooth, &noise, &flat, &tophat};
  const char* names[] = {"smooth", "noise", "flat", "tophat"};
  std::vector<int> js;
  js.reserve(kNt);
  std::printf("peak search on a 12^6 grid (%d points), median of %d\n", kNt, reps);
  std::printf("%-8s %-28s %8s %10s %10s\n", "map", "stage", "peaks", "wall s", "cpu s");

  for (int m = 0; m < 4; ++m) {
    const std::vector<float>& map = *maps[m];
    const char* name = names[m];
    const float mx = *std::max_element(map.begin(), map.end());
    for (float frac : {0.0f, 0.3f}) {
      int num = 0;
      std::vector<Times> t;
      for (int r = 0; r < reps; ++r)
        t.push_back(time_of([&] {
          js.clear();
          num = findextrema(map.data(), ng, kIdm, mx * frac, PeakHeight::value, js);
        }));
      const Times md = median(t);
      char stage[40];
      std::snprintf(stage, sizeof stage, "findextrema pkmin %.1f", frac);
      std::printf("%-8s %-28s %8d %10.3f %10.3f\n", name, stage, num, md.wall, md.cpu);
      if (m >= 2) continue;
      int plain = 0;
      const Times tp = time_of([&] { plain = plain_search(map.data(), mx * frac); });
      std::printf("%-8s %-28s %8d %10.3f %10.3f%s\n", name, "  all 728 neighbours", plain, tp.wall,
                  tp.cpu, plain == num ? "" : "   MISMATCH");
    }
  }

  // The whole search on the work grid, with the refinement of every peak,
  // the merging and the listing.
  for (int m = 0; m < 4; ++m) {
    const std::vector<float>& map = *maps[m];
    std::copy(map.begin(), map.end(), getabcdr(w));
    std::vector<Times> t;
    std::ostringstream listing;
    set_out_stream(&listing);
    std::size_t found = 0;
    for (int r = 0; r < reps; ++r) t.push_back(time_of([&] { found = pksearchnd(cr, rs, getabcdr(w), 0.3f).list.size(); }));
    set_out_stream(nullptr);
    const Times md = median(t);
    std::printf("%-8s %-28s %8d %10.3f %10.3f\n", names[m], "pksearchnd 0.3 (P1)",
                static_cast<int>(found), md.wall, md.cpu);
  }
  return 0;
}
