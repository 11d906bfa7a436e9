// Real maps on half grids of paired points against the full complex
// transform: the synthesis of Hermitian coefficients (given on the grid or
// as a list) is the real part of the full synthesis, and the coefficients
// recovered from the paired transform of a real map are those of its full
// transform, on grids of one to six axes with odd and even lengths (the
// first even axis anywhere, or none at all), with any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "density/fft.hpp"
#include "density/halfgrid.hpp"
#include "density/memupdate.hpp"
#include "util/threads.hpp"

namespace trovan {
namespace {

long long points(const std::vector<int>& n) {
  return std::accumulate(n.begin(), n.end(), 1LL, std::multiplies<long long>());
}

// Index of the point -k (every axis negated modulo its length).
long long mirror(long long j, const std::vector<int>& n) {
  long long r = 0, st = 1;
  for (int len : n) {
    const long long k = j % len;
    r += ((len - k) % len) * st;
    st *= len;
    j /= len;
  }
  return r;
}

// Random coefficients obeying Friedel's law X(-k) = conj X(k).
void hermitian(const std::vector<int>& n, unsigned seed, std::vector<float>& a,
               std::vector<float>& b) {
  const long long nt = points(n);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> ra(nt), rb(nt);
  for (long long j = 0; j < nt; ++j) ra[j] = u(rng), rb[j] = u(rng);
  a.resize(nt);
  b.resize(nt);
  for (long long j = 0; j < nt; ++j) {
    const long long m = mirror(j, n);
    a[j] = 0.5f * (ra[j] + ra[m]);
    b[j] = 0.5f * (rb[j] - rb[m]);
  }
}

const std::vector<std::vector<int>> kShapes = {
    {8},          {7},          {2},          {30},        {5, 4},          {4, 5},
    {9, 15},      {3, 5, 2},    {6, 1, 10},   {7, 3, 9},   {3, 3, 3, 8},    {2, 3, 4, 5},
    {5, 2, 3, 3, 4}, {3, 5, 7, 3, 3}, {4, 4, 3, 2, 3, 5}, {3, 3, 5, 3, 2, 2}, {5, 3, 3, 3, 3, 3},
    {2640},       {2640, 3}};

double largest(const std::vector<float>& v) {
  double m = 0;
  for (float x : v) m = std::max(m, double(std::fabs(x)));
  return m;
}

TEST(HalfGrid, PairingAxisIsTheFirstEvenOneWhoseHalfTransforms) {
  const int a[] = {5, 4, 6}, b[] = {3, 7, 9}, c[] = {2640, 4};
  EXPECT_EQ(getpairaxis(a, 3), 1);
  EXPECT_EQ(getpairaxis(b, 3), -1);
  // 1320 has the square-free part 2*3*5*11 = 330 > 210: the next even axis.
  EXPECT_FALSE(isfftlen(1320));
  EXPECT_EQ(getpairaxis(c, 2), 1);
}

TEST(HalfGrid, SynthesisIsTheRealPartOfTheFullSynthesis) {
  unsigned seed = 1;
  for (const auto& n : kShapes) {
    SCOPED_TRACE(::testing::PrintToString(n));
    std::vector<float> a, b;
    hermitian(n, seed++, a, b);
    std::vector<float> fa = a, fb = b;
    int icon = 0;
    const int m = static_cast<int>(n.size());
    cft1(fa.data(), fb.data(), n.data(), m, +1, icon);
    const float scale = 0.37f;
    // The coefficients of low indices (|k_i| <= n_i/4 on every axis, a
    // Friedel-closed set, as reflections fill a grid) as a list, and the grid
    // holding rubbish: the synthesis from the list clears what it uses and
    // transforms only the lines through its coefficients.
    auto low = [&](long long j) {
      for (int len : n) {
        const long long k = j % len;
        if (std::min(k, len - k) > len / 4) return false;
        j /= len;
      }
      return true;
    };
    std::vector<FCoef> list;
    for (long long j = 0; j < points(n); ++j)
      if (low(j)) list.push_back({static_cast<int>(j), a[j], b[j]});
    std::vector<float> sa = a, sb = b, la(a.size(), 7.0f), lb(b.size(), -3.0f);
    for (long long j = 0; j < points(n); ++j)
      if (!low(j)) sa[j] = sb[j] = 0;
    // The map left on the half grid, read in runs from every start and at
    // points in any order, is the same map.
    std::vector<float> ha(a.size(), 5.0f), hb(b.size(), 5.0f), run(a.size()), at(a.size());
    const HalfMap h = synthhalffrom(ha.data(), hb.data(), n.data(), m, scale, list.data(), list.size());
    std::vector<int> order(points(n));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    halfmapat(h, order.data(), points(n), at.data());
    for (long long p0 = 0, len = 1; p0 < points(n); p0 += len, len = len % 7 + 1)
      halfmaprun(h, p0, std::min(len, points(n) - p0), run.data() + p0);
    // The map weighed in runs where it lies (the maximum-entropy update's
    // first pass) reads back, also at shuffled points, as the map read in
    // order and then weighed: the same bits and the same largest value.
    std::vector<float> x(a.size()), want = run, back(a.size());
    for (long long j = 0; j < points(n); ++j) x[j] = 0.25f + static_cast<float>(j % 17);
    const float wantmax = weigh(want.data(), x.data(), points(n), 3.0f, 1);
    float gotmax = 0;
    for (long long p0 = 0, len = 1; p0 < points(n); p0 += len, len = len % 5 + 1)
      gotmax = std::max(gotmax, weighrun(ha.data(), hb.data(), h.B, p0, std::min(len, points(n) - p0),
                                         x.data() + p0, 3.0f, 1));
    ASSERT_EQ(gotmax, wantmax);
    halfmapat(h, order.data(), points(n), back.data());
    for (long long j = 0; j < points(n); ++j) ASSERT_EQ(back[j], want[order[j]]) << j;
    synthreal(a.data(), b.data(), n.data(), m, scale);
    synthrealfrom(la.data(), lb.data(), n.data(), m, scale, list.data(), list.size());
    synthreal(sa.data(), sb.data(), n.data(), m, scale);
    const double big = largest(fa) * scale;
    ASSERT_GT(big, 0);
    for (long long j = 0; j < points(n); ++j) {
      ASSERT_NEAR(a[j], fa[j] * scale, 2e-6 * big) << j;
      ASSERT_EQ(b[j], 0.0f) << j;
      ASSERT_NEAR(la[j], sa[j], 2e-6 * big) << j;
      ASSERT_EQ(lb[j], 0.0f) << j;
      ASSERT_EQ(run[j], la[j]) << j;
      ASSERT_EQ(at[j], la[order[j]]) << j;
    }
  }
}

TEST(HalfGrid, CoefficientsOfARealMapFromItsPairedTransform) {
  unsigned seed = 100;
  for (const auto& n : kShapes) {
    const int m = static_cast<int>(n.size());
    int nn[6] = {1, 1, 1, 1, 1, 1};
    std::copy(n.begin(), n.end(), nn);
    const int e = getpairaxis(nn, m);
    if (e < 0) continue;
    SCOPED_TRACE(::testing::PrintToString(n));
    const long long nt = points(n);
    std::mt19937 rng(seed++);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(nt);
    for (float& v : x) v = u(rng);
    // Half point q holds p = q + B floor(q/B) and p + B.
    long long B = 1;
    for (int i = 0; i < e; ++i) B *= n[i];
    std::vector<float> za(nt / 2), zb(nt / 2);
    for (long long q = 0; q < nt / 2; ++q) {
      const long long p = q + B * (q / B);
      za[q] = x[p];
      zb[q] = x[p + B];
    }
    int half[6], icon = 0;
    gethalfgrid(nn, m, e, half);
    cft1(za.data(), zb.data(), half, m, -1, icon);
    std::vector<float> fa = x, fb(nt, 0.0f);
    cft1(fa.data(), fb.data(), n.data(), m, -1, icon);
    const double big = std::max(largest(fa), largest(fb));
    for (long long j = 0; j < nt; ++j) {
      int k[6] = {0, 0, 0, 0, 0, 0};
      long long r = j;
      for (int i = 0; i < m; ++i) {
        k[i] = static_cast<int>(r % n[i]);
        r /= n[i];
      }
      double xr, xi;
      pairedcoef(za.data(), zb.data(), nn, m, e, k, xr, xi);
      ASSERT_NEAR(xr, fa[j], 2e-6 * big) << j;
      ASSERT_NEAR(xi, fb[j], 2e-6 * big) << j;
    }
  }
}

// The in-place pairing moves run in waves shared among threads: the map
// must come out the same bit for bit with any number of them.
TEST(HalfGrid, SynthesisIsTheSameWithAnyNumberOfThreads) {
  for (const auto& n : {std::vector<int>{32, 16, 16, 8, 2, 4}, std::vector<int>{9, 16, 12, 10, 6}}) {
    std::vector<float> a0, b0;
    hermitian(n, 7, a0, b0);
    std::vector<std::vector<float>> maps;
    for (int threads : {1, 2, 3}) {
      setnthreads(threads);
      std::vector<float> a = a0, b = b0;
      synthreal(a.data(), b.data(), n.data(), static_cast<int>(n.size()), 1.0f);
      maps.push_back(a);
    }
    setnthreads(0);
    EXPECT_EQ(maps[1], maps[0]);
    EXPECT_EQ(maps[2], maps[0]);
  }
}

}  // namespace
}  // namespace trovan
