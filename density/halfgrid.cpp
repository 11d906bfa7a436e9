#include "density/halfgrid.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "density/fft.hpp"
#include "util/threads.hpp"

namespace trovan {

namespace {

constexpr double kTau = 6.283185307179586476925;
// Points of work below which a loop stays on the calling thread.
constexpr long long kGrain = 1 << 16;

long long product(const int* n, int from, int to) {
  long long p = 1;
  for (int i = from; i < to; ++i) p *= n[i];
  return p;
}

// Runs f(lo, hi) over the blocks [0, count) in waves that double (or
// halve) in size, each wave shared among the threads: the in-place moves
// below read, in one wave, only what that wave does not write, and write
// only what an earlier wave has read.
template <class F>
void waves_up(long long count, F f) {
  if (count <= 0) return;
  f(0, 1);
  for (long long lo = 1; lo < count; lo *= 2) {
    const long long hi = std::min(count, 2 * lo);
    parallel_for(hi - lo, kGrain, [&](long long a, long long b) { f(lo + a, lo + b); });
  }
}

template <class F>
void waves_down(long long count, F f) {
  if (count <= 0) return;
  long long hi = count;
  while (hi > 1) {
    const long long lo = (hi + 1) / 2;
    parallel_for(hi - lo, kGrain, [&](long long a, long long b) { f(lo + a, lo + b); });
    hi = lo;
  }
  f(0, 1);
}

// Z(k') = X(k') (1 + i w) + X(k'+m) (1 - i w) with w = c + i s:
//   (1 + i w) = (1 - s) + i c,  (1 - i w) = (1 + s) - i c.
// xr, xi at X(k'), the partner Bm further; zr, zi may be xr, xi (same
// index) or lie wholly before them.
inline void pack1(const float* xr, const float* xi, float* zr, float* zi, std::size_t i,
                  std::size_t bm, float c, float s) {
  const float ar = xr[i], ai = xi[i], br = xr[i + bm], bi = xi[i + bm];
  const float u = 1 - s, v = 1 + s;
  zr[i] = ar * u - ai * c + br * v + bi * c;
  zi[i] = ai * u + ar * c + bi * v - br * c;
}

// The Hermitian coefficients of the full grid become the half grid's Z:
// row u (B m points of the half grid) is made from the 2 B m points of row
// u of the full grid, which lie at or after it in memory.
void pack_hermitian(float* a, float* b, long long nt, long long B, int m, int ne) {
  const long long bm = B * m;
  const long long rows = nt / (2 * bm);
  std::vector<float> c(m), s(m);
  for (int k = 0; k < m; ++k) {
    c[k] = static_cast<float>(std::cos(kTau * k / ne));
    s[k] = static_cast<float>(std::sin(kTau * k / ne));
  }
  waves_up(rows, [&](long long u0, long long u1) {
    FlushDenormals ftz;
    for (long long u = u0; u < u1; ++u) {
      const float* xr = a + 2 * bm * u;
      const float* xi = b + 2 * bm * u;
      float* zr = a + bm * u;
      float* zi = b + bm * u;
      // zr[i] is written after xr[i] and xr[i + bm] are read; for u > 0 the
      // two ranges do not meet at all.
      if (B == 1) {
        for (int k = 0; k < m; ++k) pack1(xr, xi, zr, zi, k, bm, c[k], s[k]);
      } else {
        for (int k = 0; k < m; ++k) {
          const std::size_t o = static_cast<std::size_t>(B) * k;
          for (long long l = 0; l < B; ++l)
            pack1(xr + o, xi + o, zr + o, zi + o, l, bm, c[k], s[k]);
        }
      }
    }
  });
}

// The synthesised half grid back to the full real grid: block c of B half
// points (real parts in a, imaginary parts in b) holds the full points
// 2 c B .. 2 c B + 2 B - 1 of a, written from the last block down. The
// imaginary parts are cleared as they are taken.
void unpack_real(float* a, float* b, long long nt, long long B, float f) {
  const long long blocks = nt / (2 * B);
  waves_down(blocks, [&](long long c0, long long c1) {
    FlushDenormals ftz;
    if (B == 1) {
      if (c0 == 0) {
        a[0] = f * a[0];
        a[1] = f * b[0];
        b[0] = 0;
        ++c0;
      }
      // a[2c], a[2c+1] lie at or after 2 c0 >= c1: no overlap with a[c0..c1).
      float* __restrict out = a + 2 * c0;
      const float* __restrict re = a + c0;
      const float* __restrict im = b + c0;
      for (long long c = 0; c < c1 - c0; ++c) {
        out[2 * c] = f * re[c];
        out[2 * c + 1] = f * im[c];
      }
      std::memset(b + c0, 0, static_cast<std::size_t>(c1 - c0) * sizeof(float));
      return;
    }
    for (long long c = c0; c < c1; ++c) {
      float* even = a + 2 * c * B;
      const float* re = a + c * B;
      float* im = b + c * B;
      for (long long l = 0; l < B; ++l) even[l] = f * re[l];  // in place for c = 0
      float* odd = even + B;
      for (long long l = 0; l < B; ++l) odd[l] = f * im[l];
      std::memset(im, 0, static_cast<std::size_t>(B) * sizeof(float));
    }
  });
}

void clear(float* p, long long n) {
  parallel_for(n, kGrain, [&](long long lo, long long hi) {
    std::memset(p + lo, 0, static_cast<std::size_t>(hi - lo) * sizeof(float));
  });
}

void scale_all(float* a, long long n, float f) {
  parallel_for(n, kGrain, [&](long long lo, long long hi) {
    FlushDenormals ftz;
    for (long long j = lo; j < hi; ++j) a[j] *= f;
  });
}

}  // namespace

int getpairaxis(const int* n, int m) {
  for (int e = 0; e < m; ++e)
    if (n[e] % 2 == 0 && isfftlen(n[e] / 2)) return e;
  return -1;
}

void gethalfgrid(const int* n, int m, int e, int* half) {
  for (int i = 0; i < m; ++i) half[i] = n[i];
  if (e >= 0 && e < m) half[e] = n[e] / 2;
}

void synthreal(float* a, float* b, const int* n, int m, float scale) {
  const long long nt = product(n, 0, m);
  const int e = getpairaxis(n, m);
  int icon = 0;
  if (e < 0) {
    cft1(a, b, n, m, +1, icon);
    scale_all(a, nt, scale);
    clear(b, nt);
    return;
  }
  const long long B = product(n, 0, e);
  pack_hermitian(a, b, nt, B, n[e] / 2, n[e]);
  int half[6];
  gethalfgrid(n, m, e, half);
  cft1(a, b, half, m, +1, icon);
  unpack_real(a, b, nt, B, scale);
  clear(b + nt / 2, nt - nt / 2);
}

void synthrealfrom(float* a, float* b, const int* n, int m, float scale, const FCoef* c,
                   std::size_t count) {
  const long long nt = product(n, 0, m);
  const int e = getpairaxis(n, m);
  if (e < 0) {
    clear(a, nt);
    clear(b, nt);
    for (std::size_t t = 0; t < count; ++t) {
      a[c[t].j] = c[t].re;
      b[c[t].j] = c[t].im;
    }
    synthreal(a, b, n, m, scale);
    return;
  }
  const long long B = product(n, 0, e);
  const int ne = n[e], mh = ne / 2;
  clear(a, nt / 2);
  clear(b, nt / 2);
  std::vector<float> cw(mh), sw(mh);
  for (int k = 0; k < mh; ++k) {
    cw[k] = static_cast<float>(std::cos(kTau * k / ne));
    sw[k] = static_cast<float>(std::sin(kTau * k / ne));
  }
  for (std::size_t t = 0; t < count; ++t) {
    // Full index j = l + B (k_e + n_e r): half index l + B (k' + m r).
    const long long j = c[t].j, l = j % B, u = j / B, r = u / ne;
    const int ke = static_cast<int>(u % ne), k = ke < mh ? ke : ke - mh;
    const long long q = l + B * (k + static_cast<long long>(mh) * r);
    const float re = c[t].re, im = c[t].im, cs = cw[k], sn = sw[k];
    if (ke < mh) {  // X(k') (1 + i w) = X(k') ((1 - s) + i c)
      a[q] += re * (1 - sn) - im * cs;
      b[q] += im * (1 - sn) + re * cs;
    } else {  // X(k'+m) (1 - i w) = X(k'+m) ((1 + s) - i c)
      a[q] += re * (1 + sn) + im * cs;
      b[q] += im * (1 + sn) - re * cs;
    }
  }
  int half[6], icon = 0;
  gethalfgrid(n, m, e, half);
  cft1(a, b, half, m, +1, icon);
  unpack_real(a, b, nt, B, scale);
  clear(b + nt / 2, nt - nt / 2);
}

void pairedcoef(const float* a, const float* b, const int* n, int m, int e, const int* k,
                double& xr, double& xi) {
  const int half = n[e] / 2;
  long long jp = 0, jm = 0, st = 1;
  for (int i = 0; i < m; ++i) {
    const int len = i == e ? half : n[i];
    const int ki = k[i] % len;
    jp += ki * st;
    jm += ((len - ki) % len) * st;
    st *= len;
  }
  // Z(k') and conj Z(-k').
  const double zr = a[jp], zi = b[jp], wr = a[jm], wi = -b[jm];
  const double er = 0.5 * (zr + wr), ei = 0.5 * (zi + wi);
  const double orr = 0.5 * (zi - wi), oi = -0.5 * (zr - wr);
  const double ang = -kTau * static_cast<double>(k[e]) / n[e];
  const double c = std::cos(ang), s = std::sin(ang);
  xr = er + c * orr - s * oi;
  xi = ei + c * oi + s * orr;
}

}  // namespace trovan
