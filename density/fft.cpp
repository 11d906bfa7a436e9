// Singleton's mixed-radix in-place FFT, ordered for the cache.
//
// The arithmetic is that of Singleton's algorithm: the length is factorised
// with square factors at both ends and the square-free rest in the middle,
// every factor is one decimation-in-frequency pass (a radix-p butterfly
// followed by the twiddle rotation), and the result, which comes out in
// digit-reversed order, is put back in natural order by a permutation.
//
// What differs from the textbook loop nest is the order in which the
// butterflies are visited. Along an axis with stride s = nspan/n, the s
// neighbouring transforms undergo exactly the same butterflies with the same
// twiddle factors, and their elements are contiguous. So every butterfly here
// works on "rows" of L lanes (L neighbouring transforms at once) and the lane
// loop is the innermost loop, which the compiler vectorises.
//
// Rows are first gathered into a small scratch block (n rows of L lanes,
// about 128 KiB per half), all passes are done there, and the block is
// written back with the rows in natural order. That turns the log(n) passes
// over the grid into one read and one write, and it avoids the cache-set
// conflicts of power-of-two strides on the large grids (2^24 points) of a
// MEM run. Consecutive short axes (product of lengths up to kMaxGroup) are
// gathered together and transformed one after the other inside the block,
// so that, e.g., a 16^6 grid is swept three times instead of six: on such
// grids the transform waits mostly for memory. Along the first axis
// (stride 1) the gather is a small transpose: L transforms side by side.
// Only for an axis longer than kMaxTabulated (a degenerate grid) does the
// transform work directly in the grid, with the whole stride as the lanes.
//
// The permutation back to natural order is the digit reversal of the mixed-
// radix factorisation (a symmetric exchange on the square factors, a
// reordering of the square-free middle). In the block it is applied as a
// table while the rows are written back; in the in-place case by following
// its cycles with a marker per row.
//
// Twiddle factors are tabulated per pass from double-precision sines and
// cosines, which is at least as accurate as Singleton's single-precision
// recurrence; the data and the butterflies stay single precision.
#include "density/fft.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "util/stop.hpp"

namespace trovan {

namespace {

constexpr int kMaxFactor = 23;       // largest prime factor
constexpr int kMaxSquareFree = 210;  // largest square-free part
constexpr int kMaxTabulated = 65536;  // longer axes are done in place
constexpr std::size_t kScratchFloats = 32768;  // per half of the scratch block
constexpr std::size_t kMaxLanes = 1024;
constexpr long long kMaxGroup = 512;  // largest product of grouped axes
constexpr double kTau = 6.283185307179586476925;

[[noreturn]] void bounds_exceeded() {
  quit("array bounds exceeded within subroutine fft");
}

// ---------------------------------------------------------------------------
// Factorisation
//
// Singleton's order: a factor 4 for every 16 that divides n, then the odd
// squares 3^2, 5^2, 7^2, ... (each factor j once per j^2), then, if 4 still
// divides what is left, a factor 2 for that square; these are the square
// factors f(1..kt). The square-free rest follows, by trial division with 2
// and then the odd numbers. Finally the square factors are repeated in
// reverse order, so the sequence reads f(1..kt), free part, f(kt..1): the
// digit reversal of the square part is then a symmetric exchange.
struct Factors {
  std::vector<int> f;
  int kt = 0;           // number of square factors at each end
  long long free = 1;   // product of the square-free middle
};

Factors factorise(int n) {
  Factors r;
  long long k = n;
  while (k % 16 == 0) {
    r.f.push_back(4);
    k /= 16;
  }
  for (long long j = 3; j * j <= k; j += 2)
    while (k % (j * j) == 0) {
      r.f.push_back(static_cast<int>(j));
      k /= j * j;
    }
  if (k <= 4) {
    // 1, 2, 3 or 4 is left: it becomes the single middle factor.
    r.kt = static_cast<int>(r.f.size());
    if (k != 1) r.f.push_back(static_cast<int>(k));
  } else {
    if (k % 4 == 0) {
      r.f.push_back(2);
      k /= 4;
    }
    r.kt = static_cast<int>(r.f.size());
    for (long long j = 2; j <= k; j = ((j + 1) / 2) * 2 + 1)
      if (k % j == 0) {
        r.f.push_back(static_cast<int>(j));
        k /= j;
      }
  }
  for (int j = r.kt; j > 0; --j) r.f.push_back(r.f[j - 1]);
  for (std::size_t i = r.kt; i + r.kt < r.f.size(); ++i) r.free *= r.f[i];
  return r;
}

// The limits of the algorithm: the general odd-radix kernel holds at most
// 23 rotation factors, and the permutation of the square-free part follows
// cycles over at most 210 digit combinations.
void check_length(const Factors& fc) {
  for (int p : fc.f)
    if (p > kMaxFactor) bounds_exceeded();
  if (fc.free > kMaxSquareFree) bounds_exceeded();
}

// ---------------------------------------------------------------------------
// The plan of one transform length: passes, twiddles, permutation.
struct Pass {
  int p;             // radix
  int m;             // distance between the p inputs of a butterfly (rows)
  int kspan;         // p*m: length of the sub-transforms of this pass
  std::size_t tw;    // offset of this pass in the twiddle tables
  // Roots of unity of a general odd radix: cos, sign*sin of 2 pi j/p.
  float ck[kMaxFactor], sk[kMaxFactor];
};

struct Plan {
  int n = 0;
  int sign = 1;
  std::vector<int> fac;
  std::vector<Pass> pass;
  bool tabulated = false;
  // Twiddles of pass P, butterfly k >= 1, output q >= 1 at
  // tw + (k-1)*(p-1) + (q-1): exp(sign 2 pi i k q / kspan).
  std::vector<float> twr, twi;
  // Natural-order index k is found at row pos[k] after the passes.
  std::vector<int> pos;
};

// exp(sign 2 pi i num/den) in double, the argument reduced exactly first.
inline void root(long long num, long long den, int sign, double& c, double& s) {
  num %= den;
  const double ang = kTau * static_cast<double>(num) / static_cast<double>(den);
  c = std::cos(ang);
  s = sign * std::sin(ang);
}

// Row at which the result for frequency k sits after the decimation in
// frequency: with k = q1 + f1*(q2 + f2*(q3 + ...)) it is
// q1*(n/f1) + q2*(n/(f1 f2)) + ..., the digits of k read in reverse.
long long digit_reversed(long long k, int n, const std::vector<int>& fac) {
  long long span = n, pos = 0;
  for (int p : fac) {
    span /= p;
    pos += (k % p) * span;
    k /= p;
  }
  return pos;
}

Plan make_plan(int n, int sign) {
  Plan pl;
  pl.n = n;
  pl.sign = sign;
  Factors fc = factorise(n);
  check_length(fc);
  pl.fac = fc.f;
  pl.tabulated = n <= kMaxTabulated;
  int kspan = n;
  std::size_t tw = 0;
  for (int p : pl.fac) {
    Pass ps{p, kspan / p, kspan, tw, {}, {}};
    for (int j = 0; j < p; ++j) {
      double c, s;
      root(j, p, sign, c, s);
      ps.ck[j] = static_cast<float>(c);
      ps.sk[j] = static_cast<float>(s);
    }
    tw += static_cast<std::size_t>(ps.m - 1) * (p - 1);
    pl.pass.push_back(ps);
    kspan = ps.m;
  }
  if (pl.tabulated) {
    pl.twr.resize(tw);
    pl.twi.resize(tw);
    for (const Pass& ps : pl.pass)
      for (int k = 1; k < ps.m; ++k)
        for (int q = 1; q < ps.p; ++q) {
          double c, s;
          root(static_cast<long long>(k) * q, ps.kspan, sign, c, s);
          std::size_t i = ps.tw + static_cast<std::size_t>(k - 1) * (ps.p - 1) + (q - 1);
          pl.twr[i] = static_cast<float>(c);
          pl.twi[i] = static_cast<float>(s);
        }
    pl.pos.resize(n);
    for (int k = 0; k < n; ++k)
      pl.pos[k] = static_cast<int>(digit_reversed(k, n, pl.fac));
  }
  return pl;
}

// ---------------------------------------------------------------------------
// Butterflies on rows of L lanes. Each kernel reads the p rows of one
// butterfly, forms y(q) = sum_j x(j) W^(jq) with W = exp(sign 2 pi i/p), and
// stores y(q) times the twiddle w^q (none for k = 0) back into row q.
// The rows of one butterfly are disjoint, hence the restrict qualifiers.
using F = float;

inline void twiddle_store(F yr, F yi, F c, F s, F& xr, F& xi) {
  xr = yr * c - yi * s;
  xi = yr * s + yi * c;
}

void bfly2(F* __restrict r0, F* __restrict i0, F* __restrict r1, F* __restrict i1,
           std::size_t L, const F* wr, const F* wi) {
  if (!wr) {
    for (std::size_t l = 0; l < L; ++l) {
      F ar = r0[l], ai = i0[l], br = r1[l], bi = i1[l];
      r0[l] = ar + br;
      i0[l] = ai + bi;
      r1[l] = ar - br;
      i1[l] = ai - bi;
    }
    return;
  }
  const F c1 = wr[0], s1 = wi[0];
  for (std::size_t l = 0; l < L; ++l) {
    F ar = r0[l], ai = i0[l], br = r1[l], bi = i1[l];
    r0[l] = ar + br;
    i0[l] = ai + bi;
    twiddle_store(ar - br, ai - bi, c1, s1, r1[l], i1[l]);
  }
}

void bfly3(F* __restrict r0, F* __restrict i0, F* __restrict r1, F* __restrict i1,
           F* __restrict r2, F* __restrict i2, std::size_t L, F s60,
           const F* wr, const F* wi) {
  // y1,2 = x0 - (x1+x2)/2 +- i*sign*sin60*(x1-x2)
  const bool tw = wr != nullptr;
  const F c1 = tw ? wr[0] : 1, s1 = tw ? wi[0] : 0;
  const F c2 = tw ? wr[1] : 1, s2 = tw ? wi[1] : 0;
  for (std::size_t l = 0; l < L; ++l) {
    F x0r = r0[l], x0i = i0[l];
    F tr = r1[l] + r2[l], ti = i1[l] + i2[l];
    F dr = (r1[l] - r2[l]) * s60, di = (i1[l] - i2[l]) * s60;
    F mr = x0r - 0.5f * tr, mi = x0i - 0.5f * ti;
    r0[l] = x0r + tr;
    i0[l] = x0i + ti;
    twiddle_store(mr - di, mi + dr, c1, s1, r1[l], i1[l]);
    twiddle_store(mr + di, mi - dr, c2, s2, r2[l], i2[l]);
  }
}

void bfly4(F* __restrict r0, F* __restrict i0, F* __restrict r1, F* __restrict i1,
           F* __restrict r2, F* __restrict i2, F* __restrict r3, F* __restrict i3,
           std::size_t L, F sg, const F* wr, const F* wi) {
  // W = sign*i: y1 = x0 - x2 + sign*i*(x1 - x3), y3 = x0 - x2 - sign*i*(x1 - x3)
  if (!wr) {
    for (std::size_t l = 0; l < L; ++l) {
      F t0r = r0[l] + r2[l], t0i = i0[l] + i2[l];
      F t1r = r0[l] - r2[l], t1i = i0[l] - i2[l];
      F t2r = r1[l] + r3[l], t2i = i1[l] + i3[l];
      F t3r = (r1[l] - r3[l]) * sg, t3i = (i1[l] - i3[l]) * sg;
      r0[l] = t0r + t2r;
      i0[l] = t0i + t2i;
      r2[l] = t0r - t2r;
      i2[l] = t0i - t2i;
      r1[l] = t1r - t3i;
      i1[l] = t1i + t3r;
      r3[l] = t1r + t3i;
      i3[l] = t1i - t3r;
    }
    return;
  }
  const F c1 = wr[0], s1 = wi[0], c2 = wr[1], s2 = wi[1], c3 = wr[2], s3 = wi[2];
  for (std::size_t l = 0; l < L; ++l) {
    F t0r = r0[l] + r2[l], t0i = i0[l] + i2[l];
    F t1r = r0[l] - r2[l], t1i = i0[l] - i2[l];
    F t2r = r1[l] + r3[l], t2i = i1[l] + i3[l];
    F t3r = (r1[l] - r3[l]) * sg, t3i = (i1[l] - i3[l]) * sg;
    r0[l] = t0r + t2r;
    i0[l] = t0i + t2i;
    twiddle_store(t0r - t2r, t0i - t2i, c2, s2, r2[l], i2[l]);
    twiddle_store(t1r - t3i, t1i + t3r, c1, s1, r1[l], i1[l]);
    twiddle_store(t1r + t3i, t1i - t3r, c3, s3, r3[l], i3[l]);
  }
}

void bfly5(F* __restrict r0, F* __restrict i0, F* __restrict r1, F* __restrict i1,
           F* __restrict r2, F* __restrict i2, F* __restrict r3, F* __restrict i3,
           F* __restrict r4, F* __restrict i4, std::size_t L, F s72, F s144,
           const F* wr, const F* wi) {
  // c72 = cos 72, c144 = cos 144; s72, s144 carry the sign of the exponent.
  //   y1,4 = x0 + c72 (x1+x4) + c144 (x2+x3) +- i [s72 (x1-x4) + s144 (x2-x3)]
  //   y2,3 = x0 + c144 (x1+x4) + c72 (x2+x3) +- i [s144 (x1-x4) - s72 (x2-x3)]
  const F c72 = 0.30901699437494742f, c144 = -0.80901699437494742f;
  const bool tw = wr != nullptr;
  F c[4], s[4];
  for (int q = 0; q < 4; ++q) {
    c[q] = tw ? wr[q] : 1;
    s[q] = tw ? wi[q] : 0;
  }
  const F c1 = c[0], c2 = c[1], c3 = c[2], c4 = c[3];
  const F s1 = s[0], s2 = s[1], s3 = s[2], s4 = s[3];
  for (std::size_t l = 0; l < L; ++l) {
    F x0r = r0[l], x0i = i0[l];
    F ar = r1[l] + r4[l], ai = i1[l] + i4[l];
    F br = r1[l] - r4[l], bi = i1[l] - i4[l];
    F cr = r2[l] + r3[l], ci = i2[l] + i3[l];
    F dr = r2[l] - r3[l], di = i2[l] - i3[l];
    r0[l] = x0r + ar + cr;
    i0[l] = x0i + ai + ci;
    F u1r = x0r + c72 * ar + c144 * cr, u1i = x0i + c72 * ai + c144 * ci;
    F v1r = s72 * br + s144 * dr, v1i = s72 * bi + s144 * di;
    F u2r = x0r + c144 * ar + c72 * cr, u2i = x0i + c144 * ai + c72 * ci;
    F v2r = s144 * br - s72 * dr, v2i = s144 * bi - s72 * di;
    twiddle_store(u1r - v1i, u1i + v1r, c1, s1, r1[l], i1[l]);
    twiddle_store(u1r + v1i, u1i - v1r, c4, s4, r4[l], i4[l]);
    twiddle_store(u2r - v2i, u2i + v2r, c2, s2, r2[l], i2[l]);
    twiddle_store(u2r + v2i, u2i - v2r, c3, s3, r3[l], i3[l]);
  }
}

// General odd radix p <= 23. The sums and differences of the pairs
// x(j), x(p-j) are formed once; then for each q <= (p-1)/2
//   y(q), y(p-q) = x0 + sum_j cos(2 pi jq/p) (x(j)+x(p-j))
//                  +- i sum_j sign sin(2 pi jq/p) (x(j)-x(p-j)).
// Lanes are taken in blocks so that the temporaries stay in registers/L1.
void bflyodd(F* const* xr, F* const* xi, int p, std::size_t L, const F* ck,
             const F* sk, const F* wr, const F* wi) {
  constexpr std::size_t B = 32;
  constexpr int H = (kMaxFactor - 1) / 2;
  const int h = (p - 1) / 2;
  F sr[H][B], si[H][B], dr[H][B], di[H][B];
  F y0r[B], y0i[B], ar[B], ai[B], br[B], bi[B];
  for (std::size_t l0 = 0; l0 < L; l0 += B) {
    const std::size_t nb = std::min(B, L - l0);
    const F* x0r = xr[0] + l0;
    const F* x0i = xi[0] + l0;
    for (std::size_t l = 0; l < nb; ++l) {
      y0r[l] = x0r[l];
      y0i[l] = x0i[l];
    }
    for (int j = 1; j <= h; ++j) {
      const F* __restrict ur = xr[j] + l0;
      const F* __restrict ui = xi[j] + l0;
      const F* __restrict vr = xr[p - j] + l0;
      const F* __restrict vi = xi[p - j] + l0;
      for (std::size_t l = 0; l < nb; ++l) {
        sr[j - 1][l] = ur[l] + vr[l];
        si[j - 1][l] = ui[l] + vi[l];
        dr[j - 1][l] = ur[l] - vr[l];
        di[j - 1][l] = ui[l] - vi[l];
        y0r[l] += sr[j - 1][l];
        y0i[l] += si[j - 1][l];
      }
    }
    for (int q = 1; q <= h; ++q) {
      for (std::size_t l = 0; l < nb; ++l) {
        ar[l] = x0r[l];
        ai[l] = x0i[l];
        br[l] = 0;
        bi[l] = 0;
      }
      for (int j = 1; j <= h; ++j) {
        const F c = ck[(j * q) % p], s = sk[(j * q) % p];
        for (std::size_t l = 0; l < nb; ++l) {
          ar[l] += c * sr[j - 1][l];
          ai[l] += c * si[j - 1][l];
          br[l] += s * dr[j - 1][l];
          bi[l] += s * di[j - 1][l];
        }
      }
      F* __restrict oqr = xr[q] + l0;
      F* __restrict oqi = xi[q] + l0;
      F* __restrict opr = xr[p - q] + l0;
      F* __restrict opi = xi[p - q] + l0;
      const F cq = wr ? wr[q - 1] : 1, sq = wr ? wi[q - 1] : 0;
      const F cp = wr ? wr[p - q - 1] : 1, sp = wr ? wi[p - q - 1] : 0;
      for (std::size_t l = 0; l < nb; ++l) {
        twiddle_store(ar[l] - bi[l], ai[l] + br[l], cq, sq, oqr[l], oqi[l]);
        twiddle_store(ar[l] + bi[l], ai[l] - br[l], cp, sp, opr[l], opi[l]);
      }
    }
    F* __restrict o0r = xr[0] + l0;
    F* __restrict o0i = xi[0] + l0;
    for (std::size_t l = 0; l < nb; ++l) {
      o0r[l] = y0r[l];
      o0i[l] = y0i[l];
    }
  }
}

// One decimation-in-frequency pass over a block of n rows: row r of the
// block starts at ar + r*es and holds L lanes. Butterfly k (0 <= k < m) of
// every sub-transform g uses the rows g + k + q*m, q = 0..p-1, and the
// twiddles w^q with w = exp(sign 2 pi i k/kspan).
void run_pass(F* ar, F* ai, std::size_t es, std::size_t L, const Plan& pl,
              const Pass& ps) {
  const int p = ps.p, m = ps.m, n = pl.n;
  const F sg = static_cast<F>(pl.sign);
  const F s60 = sg * 0.86602540378443865f;
  const F s72 = sg * 0.95105651629515357f;
  const F s144 = sg * 0.58778525229247313f;
  F wbr[kMaxFactor], wbi[kMaxFactor];
  F* rr[kMaxFactor];
  F* ri[kMaxFactor];
  for (int k = 0; k < m; ++k) {
    const F* wr = nullptr;
    const F* wi = nullptr;
    if (k > 0) {
      if (pl.tabulated) {
        std::size_t i = ps.tw + static_cast<std::size_t>(k - 1) * (p - 1);
        wr = &pl.twr[i];
        wi = &pl.twi[i];
      } else {
        for (int q = 1; q < p; ++q) {
          double c, s;
          root(static_cast<long long>(k) * q, ps.kspan, pl.sign, c, s);
          wbr[q - 1] = static_cast<F>(c);
          wbi[q - 1] = static_cast<F>(s);
        }
        wr = wbr;
        wi = wbi;
      }
    }
    for (int g = 0; g < n; g += ps.kspan) {
      for (int q = 0; q < p; ++q) {
        std::size_t row = static_cast<std::size_t>(g + k + q * m);
        rr[q] = ar + row * es;
        ri[q] = ai + row * es;
      }
      switch (p) {
        case 2:
          bfly2(rr[0], ri[0], rr[1], ri[1], L, wr, wi);
          break;
        case 3:
          bfly3(rr[0], ri[0], rr[1], ri[1], rr[2], ri[2], L, s60, wr, wi);
          break;
        case 4:
          bfly4(rr[0], ri[0], rr[1], ri[1], rr[2], ri[2], rr[3], ri[3], L, sg, wr, wi);
          break;
        case 5:
          bfly5(rr[0], ri[0], rr[1], ri[1], rr[2], ri[2], rr[3], ri[3], rr[4], ri[4],
                L, s72, s144, wr, wi);
          break;
        default:
          bflyodd(rr, ri, p, L, ps.ck, ps.sk, wr, wi);
          break;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Gather / scatter between the grid and the scratch block.
//
// Lane l of the axis (0 <= l < ntot/n) is the transform with outer index
// o = l / s and inner index r = l % s; its element j is at o*s*n + j*s + r.
// In the scratch block element j of lane c is at j*es + c. A batch of
// consecutive lanes splits into runs of constant o, each of which is
// contiguous in every row of the grid. On the way back row pos[k] of the
// block is stored as element k: the permutation costs nothing extra.

// Stride-1 axis: a transpose of nl consecutive transforms of length n,
// taken in groups of kT lanes so that the scratch side is accessed in
// contiguous runs and the grid side in kT short sequential streams.
template <bool Scatter>
void move_transpose(F* a, F* xr, std::size_t es, std::size_t l0, std::size_t nl, int n,
                    const int* pos) {
  constexpr std::size_t kT = 16;
  const std::size_t un = static_cast<std::size_t>(n);
  for (std::size_t c0 = 0; c0 < nl; c0 += kT) {
    const std::size_t w = std::min(kT, nl - c0);
    F* g = a + (l0 + c0) * un;
    if (w == kT) {
      // 4 x 4 tiles: four contiguous loads on one side, four contiguous
      // stores on the other, which the compiler turns into vector shuffles.
      std::size_t j0 = 0;
      for (; j0 + 4 <= un; j0 += 4) {
        F* x[4];
        for (std::size_t t = 0; t < 4; ++t)
          x[t] = xr + (Scatter ? static_cast<std::size_t>(pos[j0 + t]) : j0 + t) * es + c0;
        for (std::size_t c = 0; c < kT; c += 4) {
          F tile[4][4];
          if (Scatter) {
            for (std::size_t t = 0; t < 4; ++t)
              for (std::size_t u = 0; u < 4; ++u) tile[u][t] = x[t][c + u];
            for (std::size_t u = 0; u < 4; ++u)
              for (std::size_t t = 0; t < 4; ++t) g[(c + u) * un + j0 + t] = tile[u][t];
          } else {
            for (std::size_t u = 0; u < 4; ++u)
              for (std::size_t t = 0; t < 4; ++t) tile[t][u] = g[(c + u) * un + j0 + t];
            for (std::size_t t = 0; t < 4; ++t)
              for (std::size_t u = 0; u < 4; ++u) x[t][c + u] = tile[t][u];
          }
        }
      }
      for (std::size_t j = j0; j < un; ++j) {
        F* x = xr + (Scatter ? static_cast<std::size_t>(pos[j]) : j) * es + c0;
        if (Scatter)
          for (std::size_t c = 0; c < kT; ++c) g[c * un + j] = x[c];
        else
          for (std::size_t c = 0; c < kT; ++c) x[c] = g[c * un + j];
      }
    } else {
      for (std::size_t j = 0; j < un; ++j) {
        F* x = xr + (Scatter ? static_cast<std::size_t>(pos[j]) : j) * es + c0;
        for (std::size_t c = 0; c < w; ++c) {
          if (Scatter)
            g[c * un + j] = x[c];
          else
            x[c] = g[c * un + j];
        }
      }
    }
  }
}

template <bool Scatter>
void move_rows(F* a, F* xr, std::size_t es, std::size_t l0, std::size_t nl, std::size_t s,
               int n, const int* pos) {
  const std::size_t sn = s * static_cast<std::size_t>(n);
  std::size_t col = 0, l = l0;
  while (col < nl) {
    const std::size_t o = l / s, r = l % s;
    const std::size_t len = std::min(s - r, nl - col);
    F* g = a + o * sn + r;
    for (int j = 0; j < n; ++j) {
      F* __restrict gj = g + static_cast<std::size_t>(j) * s;
      if (Scatter) {
        const F* __restrict x = xr + static_cast<std::size_t>(pos[j]) * es + col;
        for (std::size_t c = 0; c < len; ++c) gj[c] = x[c];
      } else {
        F* __restrict x = xr + static_cast<std::size_t>(j) * es + col;
        for (std::size_t c = 0; c < len; ++c) x[c] = gj[c];
      }
    }
    col += len;
    l += len;
  }
}

template <bool Scatter>
void move_batch(F* a, F* xr, std::size_t es, std::size_t l0, std::size_t nl, std::size_t s,
                int n, const int* pos) {
  if (s == 1)
    move_transpose<Scatter>(a, xr, es, l0, nl, n, pos);
  else
    move_rows<Scatter>(a, xr, es, l0, nl, s, n, pos);
}

// Transforms a group of consecutive axes (lengths pl[0]->n, pl[1]->n, ...,
// the first with stride s) in one sweep over the grid: the block of
// N = product of the lengths rows is gathered for L lanes at a time, every
// axis of the group is transformed in the block, and the block is written
// back in natural order. Grouping two axes halves the traffic to memory,
// which on a 2^24-point grid is what the transform waits for.
//
// In the block, row j = j0 + n0*(j1 + n1*(j2 ...)) holds lanes at j*es.
// Axis t has the faster axes of the group, st rows, inside: its element j_t
// for the faster index i is row ob*st*n_t + j_t*st + i. For t > 0 the rows
// (i, lane) of one outer block are contiguous, st*es floats, and one pass
// call sweeps all of them; lanes beyond nl and the row padding carry stale
// but finite values that are never written back.
void fft_group(F* a, F* b, std::size_t ntot, const std::vector<const Plan*>& pl,
               std::size_t s) {
  std::size_t N = 1;
  for (const Plan* p : pl) N *= static_cast<std::size_t>(p->n);
  const std::size_t lanes = ntot / N;
  // Lanes per block: about kScratchFloats/N, a multiple of 16 with an odd
  // number of 64-byte lines in a row, so that the rows of one butterfly never
  // fall into the same cache sets (a row of 4 KiB would put them all in one).
  std::size_t L = std::clamp<std::size_t>(kScratchFloats / N, 1, kMaxLanes);
  if (L >= 16) {
    L /= 16;
    if (L % 2 == 0) --L;
    L *= 16;
  }
  L = std::min(L, lanes);
  std::size_t es = L;
  if (L >= 16) {
    std::size_t lines = (L + 15) / 16;
    if (lines % 2 == 0) ++lines;
    es = lines * 16;
  }
  // Natural order (k0, k1, ...) of the group sits at row
  // pos0[k0] + n0*(pos1[k1] + n1*(...)) after the passes.
  std::vector<int> pos(N);
  for (std::size_t k = 0; k < N; ++k) {
    std::size_t r = k, st = 1, row = 0;
    for (const Plan* p : pl) {
      row += static_cast<std::size_t>(p->pos[r % p->n]) * st;
      r /= p->n;
      st *= p->n;
    }
    pos[k] = static_cast<int>(row);
  }
  std::vector<F> xr(es * N), xi(es * N);
  for (std::size_t l0 = 0; l0 < lanes; l0 += L) {
    const std::size_t nl = std::min(L, lanes - l0);
    move_batch<false>(a, xr.data(), es, l0, nl, s, static_cast<int>(N), nullptr);
    move_batch<false>(b, xi.data(), es, l0, nl, s, static_cast<int>(N), nullptr);
    std::size_t st = 1;
    for (const Plan* p : pl) {
      const std::size_t len = static_cast<std::size_t>(p->n);
      const std::size_t rs = st * es;  // row stride of this axis
      const std::size_t nlanes = st == 1 ? nl : st * es;
      for (std::size_t ob = 0; ob < N / (st * len); ++ob) {
        F* br = xr.data() + ob * st * len * es;
        F* bi = xi.data() + ob * st * len * es;
        for (const Pass& ps : p->pass) run_pass(br, bi, rs, nlanes, *p, ps);
      }
      st *= len;
    }
    move_batch<true>(a, xr.data(), es, l0, nl, s, static_cast<int>(N), pos.data());
    move_batch<true>(b, xi.data(), es, l0, nl, s, static_cast<int>(N), pos.data());
  }
}

// A very long axis (more than kMaxTabulated points, only met on degenerate
// grids): the passes run directly in the grid with the whole stride as the
// lanes, and the rows are put in natural order by following the cycles of
// the digit-reversal permutation, a bit per row marking those already moved.
void fft_inplace(F* a, F* b, std::size_t ntot, const Plan& pl, std::size_t s) {
  const int n = pl.n;
  const std::size_t sn = s * static_cast<std::size_t>(n);
  std::vector<bool> done(n);
  std::vector<F> tr(s), ti(s);
  for (std::size_t o = 0; o < ntot / sn; ++o) {
    F* ar = a + o * sn;
    F* ai = b + o * sn;
    for (const Pass& ps : pl.pass) run_pass(ar, ai, s, s, pl, ps);
    std::fill(done.begin(), done.end(), false);
    for (int c = 0; c < n; ++c) {
      if (done[c]) continue;
      // new row k <- old row pos(k); walk the cycle starting at c.
      std::memcpy(tr.data(), ar + c * s, s * sizeof(F));
      std::memcpy(ti.data(), ai + c * s, s * sizeof(F));
      long long k = c;
      for (;;) {
        done[k] = true;
        long long src = digit_reversed(k, n, pl.fac);
        if (src == c) {
          std::memcpy(ar + k * s, tr.data(), s * sizeof(F));
          std::memcpy(ai + k * s, ti.data(), s * sizeof(F));
          break;
        }
        std::memcpy(ar + k * s, ar + src * s, s * sizeof(F));
        std::memcpy(ai + k * s, ai + src * s, s * sizeof(F));
        k = src;
      }
    }
  }
}

}  // namespace

void fft(float* a, float* b, long long ntot, int n, long long nspan, int isn) {
  if (n < 2) return;
  if (isn == 0) quit("isn =0 in fft");
  const int sign = isn > 0 ? 1 : -1;
  Plan pl = make_plan(n, sign);
  if (ntot <= 0 || nspan < n) return;
  const std::size_t s = static_cast<std::size_t>(nspan / n);
  if (pl.tabulated)
    fft_group(a, b, static_cast<std::size_t>(ntot), {&pl}, s);
  else
    fft_inplace(a, b, static_cast<std::size_t>(ntot), pl, s);
}

void cft1(float* a, float* b, const int* n, int m, int isn, int& icon) {
  if (m < 1) {
    icon = 30000;
    return;
  }
  icon = 0;
  long long ntot = 1;
  for (int i = 0; i < m; ++i) ntot *= std::max(n[i], 0);
  // Every axis is checked before any is transformed: a bad length stops the
  // run with the grid unchanged.
  for (int i = 0; i < m; ++i)
    if (n[i] >= 2) check_length(factorise(n[i]));
  if (ntot == 0) return;
  if (isn == 0) quit("isn =0 in fft");
  const int sign = isn > 0 ? 1 : -1;
  // Axes are transformed in order, first axis first, as the one-dimensional
  // transforms fft(ntot, n(i), n(1)*...*n(i)); consecutive short axes are
  // grouped so that one sweep over the grid does several of them.
  long long nspan = 1;
  int i = 0;
  while (i < m) {
    if (n[i] < 2) {
      nspan *= std::max(n[i], 1);
      ++i;
      continue;
    }
    const long long s = nspan;
    std::vector<Plan> plans;
    long long group = 1;
    while (i < m && (plans.empty() || group * n[i] <= kMaxGroup)) {
      if (n[i] >= 2) plans.push_back(make_plan(n[i], sign));
      group *= n[i];
      nspan *= n[i];
      ++i;
      if (!plans.back().tabulated) break;
    }
    if (!plans.front().tabulated) {
      fft_inplace(a, b, static_cast<std::size_t>(ntot), plans.front(),
                  static_cast<std::size_t>(s));
      continue;
    }
    std::vector<const Plan*> ptrs;
    for (const Plan& p : plans) ptrs.push_back(&p);
    fft_group(a, b, static_cast<std::size_t>(ntot), ptrs, static_cast<std::size_t>(s));
  }
}

}  // namespace trovan
