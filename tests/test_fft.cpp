// The multi-dimensional FFT against the definition of the discrete Fourier
// transform, X(k) = sum_j x(j) exp(sign 2 pi i j.k/n), evaluated directly in
// double precision, and the limits of the mixed-radix algorithm.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>
#include <vector>

#include "density/fft.hpp"
#include "util/stop.hpp"
#include "values.hpp"
#include "util/threads.hpp"

using trovan::testing::ListingTo;

namespace trovan {
namespace {

using cd = std::complex<double>;
constexpr double kTau = 6.283185307179586476925;

struct Grid {
  std::vector<int> n;
  std::vector<float> a, b;
  long long nt() const {
    return std::accumulate(n.begin(), n.end(), 1LL, std::multiplies<long long>());
  }
};

Grid random_grid(std::vector<int> n, unsigned seed) {
  Grid g;
  g.n = std::move(n);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  g.a.resize(g.nt());
  g.b.resize(g.nt());
  for (auto& v : g.a) v = u(rng);
  for (auto& v : g.b) v = u(rng);
  return g;
}

// Multi-index of grid point j, first axis fastest.
std::vector<int> digits(long long j, const std::vector<int>& n) {
  std::vector<int> d(n.size());
  for (std::size_t i = 0; i < n.size(); ++i) {
    d[i] = static_cast<int>(j % n[i]);
    j /= n[i];
  }
  return d;
}

// Root table per axis: e[i][t] = exp(sign 2 pi i t / n_i).
std::vector<std::vector<cd>> roots(const std::vector<int>& n, int sign) {
  std::vector<std::vector<cd>> e(n.size());
  for (std::size_t i = 0; i < n.size(); ++i)
    for (int t = 0; t < n[i]; ++t)
      e[i].push_back(std::polar(1.0, sign * kTau * t / n[i]));
  return e;
}

// The full multi-dimensional sum, O(nt^2): independent of any factorisation.
std::vector<cd> direct_dft(const Grid& g, int sign) {
  const long long nt = g.nt();
  const auto e = roots(g.n, sign);
  std::vector<std::vector<int>> idx(nt);
  for (long long j = 0; j < nt; ++j) idx[j] = digits(j, g.n);
  std::vector<cd> out(nt);
  for (long long k = 0; k < nt; ++k) {
    cd s = 0;
    for (long long j = 0; j < nt; ++j) {
      cd w = 1;
      for (std::size_t i = 0; i < g.n.size(); ++i)
        w *= e[i][(static_cast<long long>(idx[k][i]) * idx[j][i]) % g.n[i]];
      s += cd(g.a[j], g.b[j]) * w;
    }
    out[k] = s;
  }
  return out;
}

// One output bin by the full sum, O(nt): for grids too large for all bins.
cd direct_bin(const Grid& g, long long k, int sign) {
  const auto e = roots(g.n, sign);
  const auto dk = digits(k, g.n);
  cd s = 0;
  for (long long j = 0; j < g.nt(); ++j) {
    const auto dj = digits(j, g.n);
    cd w = 1;
    for (std::size_t i = 0; i < g.n.size(); ++i)
      w *= e[i][(static_cast<long long>(dk[i]) * dj[i]) % g.n[i]];
    s += cd(g.a[j], g.b[j]) * w;
  }
  return s;
}

double norm2(const Grid& g) {
  double s = 0;
  for (long long j = 0; j < g.nt(); ++j) s += double(g.a[j]) * g.a[j] + double(g.b[j]) * g.b[j];
  return std::sqrt(s);
}

// Round-off bound of a single-precision FFT: each output is a sum of nt
// terms formed in about log2(nt) rounded stages, so its error is a few
// float epsilons times log2(nt) times the norm of the input.
double tolerance(const Grid& g) {
  return 4.0 * 6.0e-8 * (1.0 + std::log2(double(g.nt()))) * norm2(g);
}

void transform(Grid& g, int isn) {
  int icon = -1;
  cft1(g.a.data(), g.b.data(), g.n.data(), static_cast<int>(g.n.size()), isn, icon);
  EXPECT_EQ(icon, 0);
}

// The kernels exist for several instruction sets (scalar, 4-lane, AVX2,
// AVX-512): every set this processor has must pass the same checks.
template <class F>
void for_each_isa(F f) {
  const int best = setfftisa(3);
  for (int level = 0; level <= best; ++level) {
    if (setfftisa(level) != level) continue;
    SCOPED_TRACE("instruction set " + std::to_string(level));
    f();
  }
  setfftisa(3);
}

// The direct sum once, the transform with every instruction set.
void check_against_direct(const std::vector<int>& n, int isn, unsigned seed) {
  const Grid orig = random_grid(n, seed);
  const auto ref = direct_dft(orig, isn);
  const double tol = tolerance(orig);
  for_each_isa([&] {
    Grid g = orig;
    transform(g, isn);
    double worst = 0;
    for (long long k = 0; k < g.nt(); ++k)
      worst = std::max(worst, std::abs(cd(g.a[k], g.b[k]) - ref[k]));
    EXPECT_LE(worst, tol) << "shape of " << n.size() << " axes, first " << n[0] << ", isn "
                          << isn;
  });
}

// Every factor the transform knows, alone and combined; then lengths with
// square and square-free parts: 64 = 4^3 (a lone 4 in the middle), 48 =
// 4*3*4, 81 = 3*3*3*3, 529 = 23^2, 840 = 2*210*2, 360 = 2*3*2*5*2*3, 400
// = 20*20 (the 20-point codelet in a pass with twiddles; a last factor 20
// is done as 4 and 5)... all within the limits.
TEST(Fft, OneDimensionalLengthsMatchDirectSum) {
  const std::vector<int> lengths[] = {
      {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 15, 16, 18, 20, 23, 25, 27, 32, 46, 154, 210},
      {11, 13, 17, 19, 24, 36, 48, 50, 64, 72, 81, 100, 128, 360, 400, 529, 840}};
  for (unsigned set = 0; set < 2; ++set) {
    unsigned seed = set == 0 ? 1 : 100;
    for (int len : lengths[set])
      for (int isn : {+1, -1}) {
        SCOPED_TRACE(len);
        check_against_direct({len}, isn, seed++);
      }
  }
}

TEST(Fft, MultiDimensionalShapesMatchDirectSum) {
  const std::vector<std::vector<int>> shapes = {
      {4, 3},          {3, 4},          {16, 9},        {23, 2},
      {5, 6, 2},       {7, 1, 11},      {2, 3, 4, 5},   {3, 2, 1, 4, 5},
      {2, 3, 2, 5, 2, 3}, {3, 4, 2, 5, 2, 3}, {2, 2, 2, 2, 2, 2}, {4, 4, 4, 4, 4, 4},
      {12, 10, 7},     {1, 1, 6},       {210, 3},       {6, 25, 18},
      {27, 2, 25},     {1, 46, 1, 2},
  };
  unsigned seed = 200;
  for (const auto& n : shapes)
    for (int isn : {+1, -1}) check_against_direct(n, isn, seed++);
}

// Grids with more transforms per axis than one scratch block holds, so that
// the blocks split across the outer index, and a long stride.
TEST(Fft, LargerGridsMatchDirectSumAtSampledBins) {
  const std::vector<std::vector<int>> shapes = {
      {20, 24, 64}, {12, 12, 12, 12}, {2, 1500}, {16, 16, 16, 5}, {3, 7, 1024}, {9, 5, 2, 700}};
  unsigned seed = 300;
  for (const auto& n : shapes)
    for (int isn : {+1, -1}) {
      const Grid orig = random_grid(n, seed++);
      const double tol = tolerance(orig);
      std::mt19937 rng(seed);
      std::uniform_int_distribution<long long> pick(0, orig.nt() - 1);
      std::vector<long long> bins;
      std::vector<cd> want;
      for (int t = 0; t < 12; ++t) {
        bins.push_back(t == 0 ? 0 : t == 1 ? orig.nt() - 1 : pick(rng));
        want.push_back(direct_bin(orig, bins.back(), isn));
      }
      for_each_isa([&] {
        Grid g = orig;
        transform(g, isn);
        for (std::size_t t = 0; t < bins.size(); ++t)
          EXPECT_LE(std::abs(cd(g.a[bins[t]], g.b[bins[t]]) - want[t]), tol) << "bin " << bins[t];
      });
    }
}

// The work of a transform is shared among threads by a fixed split, and
// every lane is computed alike in any share: the result is the same bit for
// bit with any number of threads.
TEST(Fft, ThreadCountDoesNotChangeTheResult) {
  for (const auto& n : {std::vector<int>{8, 8, 8, 8, 8, 8}, std::vector<int>{5, 12, 7, 20, 9},
                        std::vector<int>{3, 100000}}) {
    const Grid orig = random_grid(n, 350);
    std::vector<Grid> out;
    for (int threads : {1, 2, 3}) {
      setnthreads(threads);
      Grid g = orig;
      transform(g, -1);
      out.push_back(std::move(g));
    }
    setnthreads(0);
    for (std::size_t t = 1; t < out.size(); ++t) {
      EXPECT_EQ(out[t].a, out[0].a) << t + 1 << " threads";
      EXPECT_EQ(out[t].b, out[0].b) << t + 1 << " threads";
    }
  }
}

TEST(Fft, ForwardThenBackwardGivesNtTimesInput) {
  const std::vector<std::vector<int>> shapes = {
      {210}, {7, 154}, {32, 20, 12}, {12, 12, 12, 12}, {5, 4, 3, 2, 9, 7}, {6, 6, 6, 6, 6, 6}};
  unsigned seed = 400;
  for (const auto& n : shapes) {
    Grid g = random_grid(n, seed++);
    const Grid orig = g;
    transform(g, +1);
    transform(g, -1);
    const double nt = static_cast<double>(g.nt());
    const double tol = tolerance(orig) * std::sqrt(nt);
    double worst = 0;
    for (long long j = 0; j < g.nt(); ++j)
      worst = std::max(worst, std::abs(cd(g.a[j], g.b[j]) - nt * cd(orig.a[j], orig.b[j])));
    EXPECT_LE(worst, tol);
  }
}

// The one-dimensional entry transforms a single axis of a larger array:
// ntot points, this axis of length n, nspan = n times the faster axes.
TEST(Fft, SingleAxisOfAGrid) {
  Grid g = random_grid({3, 5, 4}, 500);
  const Grid orig = g;
  fft(g.a.data(), g.b.data(), g.nt(), 5, 15, -1);
  for (int i0 = 0; i0 < 3; ++i0)
    for (int i2 = 0; i2 < 4; ++i2) {
      Grid line;
      line.n = {5};
      for (int j = 0; j < 5; ++j) {
        line.a.push_back(orig.a[i0 + 3 * j + 15 * i2]);
        line.b.push_back(orig.b[i0 + 3 * j + 15 * i2]);
      }
      const auto ref = direct_dft(line, -1);
      for (int k = 0; k < 5; ++k) {
        const long long at = i0 + 3 * k + 15 * i2;
        EXPECT_LE(std::abs(cd(g.a[at], g.b[at]) - ref[k]), tolerance(line));
      }
    }
}

// Axes longer than the tabulated range are transformed in place in the grid.
TEST(Fft, VeryLongAxis) {
  for (const auto& n :
       {std::vector<int>{131072}, std::vector<int>{3, 73728}, std::vector<int>{73728, 2}}) {
    Grid g = random_grid(n, 600);
    const Grid orig = g;
    const double tol = tolerance(g);
    transform(g, +1);
    for (long long k : {0LL, 1LL, 77777LL, g.nt() - 1})
      EXPECT_LE(std::abs(cd(g.a[k], g.b[k]) - direct_bin(orig, k, +1)), tol) << k;
    transform(g, -1);
    const double nt = static_cast<double>(g.nt());
    double worst = 0;
    for (long long j = 0; j < g.nt(); ++j)
      worst = std::max(worst, std::abs(cd(g.a[j], g.b[j]) - nt * cd(orig.a[j], orig.b[j])));
    EXPECT_LE(worst, tol * std::sqrt(nt));
  }
}

TEST(Fft, PointsAtKnownPlaces) {
  // A delta at grid point j0 transforms to exp(sign 2 pi i j0.k/n): the
  // sign convention of the synthesis.
  std::vector<int> n = {4, 6};
  std::vector<float> a(24, 0.0f), b(24, 0.0f);
  a[1 + 4 * 2] = 1.0f;  // j0 = (1, 2)
  int icon = -1;
  cft1(a.data(), b.data(), n.data(), 2, +1, icon);
  for (int k1 = 0; k1 < 6; ++k1)
    for (int k0 = 0; k0 < 4; ++k0) {
      const double ph = kTau * (k0 * 1.0 / 4 + k1 * 2.0 / 6);
      EXPECT_NEAR(a[k0 + 4 * k1], std::cos(ph), 1e-6);
      EXPECT_NEAR(b[k0 + 4 * k1], std::sin(ph), 1e-6);
    }
}

void expect_stop(std::vector<int> n) {
  Grid g = random_grid(n, 700);
  const Grid orig = g;
  std::ostringstream listing;
  const ListingTo listing_to(&listing);
  int icon = -1;
  bool stopped = false;
  try {
    cft1(g.a.data(), g.b.data(), g.n.data(), static_cast<int>(g.n.size()), +1, icon);
  } catch (const Stop& s) {
    stopped = true;
    EXPECT_EQ(s.status, kExitError);
  }
  set_out_stream(nullptr);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(listing.str(), " array bounds exceeded within subroutine fft\n");
  EXPECT_EQ(g.a, orig.a);  // nothing transformed before the stop
  EXPECT_EQ(g.b, orig.b);
}

TEST(Fft, LengthsBeyondTheLimitsStop) {
  expect_stop({29});
  expect_stop({58});
  expect_stop({841});       // 29^2: a square factor beyond 23
  expect_stop({2310});      // square-free part 2*3*5*7*11
  expect_stop({4 * 2310});  // the same with a square factor
  expect_stop({330});       // 2*3*5*11 > 210
  expect_stop({4, 5, 29});  // a bad last axis leaves the first ones alone
}

TEST(Fft, OneDimensionalEntryStopsToo) {
  std::vector<float> a(31, 1.0f), b(31, 0.0f);
  std::ostringstream listing;
  const ListingTo listing_to(&listing);
  EXPECT_THROW(fft(a.data(), b.data(), 29, 29, 29, -1), Stop);
  set_out_stream(nullptr);
  EXPECT_EQ(listing.str(), " array bounds exceeded within subroutine fft\n");
}

TEST(Fft, ZeroDirectionIsRefused) {
  Grid g = random_grid({4, 3}, 750);
  const Grid orig = g;
  std::ostringstream listing;
  const ListingTo listing_to(&listing);
  int icon = -1;
  EXPECT_THROW(cft1(g.a.data(), g.b.data(), g.n.data(), 2, 0, icon), Stop);
  set_out_stream(nullptr);
  EXPECT_EQ(listing.str(), " isn =0 in fft\n");
  EXPECT_EQ(g.a, orig.a);
}

TEST(Fft, NoDimensionsReturns30000Untouched) {
  for (int m : {0, -1}) {
    Grid g = random_grid({4, 4}, 800);
    const Grid orig = g;
    int icon = 0;
    cft1(g.a.data(), g.b.data(), g.n.data(), m, +1, icon);
    EXPECT_EQ(icon, 30000);
    EXPECT_EQ(g.a, orig.a);
    EXPECT_EQ(g.b, orig.b);
  }
}

// A pruned transform skips the lines of the grid that hold only zeros or
// feed only unwanted outputs: what it gives at the wanted points must be
// the whole transform's, bit for bit, whatever the masks (some axes
// unmarked, some wholly marked, some empty), on grids whose axes are
// grouped into sweeps of every kind, one with an axis too long for a sweep.
TEST(Fft, PrunedTransformGivesTheWantedOutputsOfTheWholeOne) {
  std::mt19937 rng(77);
  unsigned seed = 950;
  for (const auto& n : {std::vector<int>{20}, std::vector<int>{12, 1, 12}, std::vector<int>{5, 12, 7, 20, 9},
                        std::vector<int>{16, 16, 16, 16}, std::vector<int>{6, 8, 8, 8, 8, 8},
                        std::vector<int>{3, 64, 64}, std::vector<int>{2, 70000}})
    for (int mode = 0; mode < 3; ++mode)  // pruned input, pruned output, both
      for (int isn : {+1, -1}) {
        FftPrune pr;
        for (std::size_t e = 0; e < n.size(); ++e) {
          auto mask = [&] {
            std::vector<unsigned char> m;
            if (rng() % 4 == 0) return m;  // the whole axis
            for (int c = 0; c < n[e]; ++c) m.push_back(rng() % 3 != 0);
            return m;
          };
          if (mode != 1) pr.in[e] = mask();
          if (mode != 0) pr.out[e] = mask();
        }
        auto marked = [&](const std::vector<unsigned char>* m, long long j) {
          const std::vector<int> d = digits(j, n);
          for (std::size_t e = 0; e < n.size(); ++e)
            if (!m[e].empty() && !m[e][d[e]]) return false;
          return true;
        };
        // Outside the input marks the whole transform sees zeros and the
        // pruned one rubbish, which it must not read.
        Grid whole = random_grid(n, seed++);
        Grid pruned = whole;
        for (long long j = 0; j < whole.nt(); ++j)
          if (!marked(pr.in, j)) {
            whole.a[j] = whole.b[j] = 0;
            pruned.a[j] = pruned.b[j] = std::numeric_limits<float>::quiet_NaN();
          }
        transform(whole, isn);
        int icon = 0;
        cft1(pruned.a.data(), pruned.b.data(), pruned.n.data(), static_cast<int>(n.size()), isn, icon, &pr);
        long long wanted = 0, differ = 0;
        for (long long j = 0; j < whole.nt(); ++j)
          if (marked(pr.out, j)) {
            ++wanted;
            differ += whole.a[j] != pruned.a[j] || whole.b[j] != pruned.b[j];
          }
        EXPECT_EQ(differ, 0) << "of " << wanted << " wanted outputs, mode " << mode << " isn " << isn
                             << " grid of " << whole.nt();
      }
  // No input at all: the only coordinate of an axis of length 1 unmarked.
  Grid g = random_grid({12, 1, 12}, seed);
  std::fill(g.a.begin(), g.a.end(), std::numeric_limits<float>::quiet_NaN());
  FftPrune none;
  none.in[1] = {0};
  int icon = 0;
  cft1(g.a.data(), g.b.data(), g.n.data(), 3, -1, icon, &none);
  EXPECT_EQ(g.a, std::vector<float>(g.a.size(), 0.0f));
  EXPECT_EQ(g.b, std::vector<float>(g.b.size(), 0.0f));
}

TEST(Fft, AxesOfLengthOneAreSkipped) {
  Grid g = random_grid({1, 7, 1}, 900);
  Grid line = g;
  line.n = {7};
  transform(g, -1);
  transform(line, -1);
  EXPECT_EQ(g.a, line.a);
  EXPECT_EQ(g.b, line.b);
}

}  // namespace
}  // namespace trovan
