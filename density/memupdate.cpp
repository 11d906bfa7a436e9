// The maximum-entropy update in vector instructions (see memupdate.hpp).
//
// This file is compiled with -fno-trapping-math, without which the
// selections inside expv and logv stay branches and the loops stay scalar,
// and with -ffp-contract=off: a multiply-add fused in one version and not
// in another would round differently, and the versions must agree bit for
// bit.
#include "density/memupdate.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "util/vecmath.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TROVAN_UPDATE_X86 1
#define TROVAN_TARGET(s) __attribute__((target(s)))
#endif
// The bodies are inlined into each version even where the compiler would
// rather keep one copy (which would then be compiled for the baseline).
#if defined(__GNUC__)
#define TROVAN_INLINE [[gnu::always_inline]] inline
#else
#define TROVAN_INLINE inline
#endif

namespace trovan {

namespace {

// The bodies, inlined into one function per instruction set.

TROVAN_INLINE float weigh_body(float* __restrict q, const float* __restrict x, long long len, float rhomean, int imode) {
  // The largest |q| kept per lane, so that the loop vectorises.
  float lane[16] = {};
  long long i = 0;
  if (imode == 1) {
    for (; i + 16 <= len; i += 16)
      for (int l = 0; l < 16; ++l) {
        const float v = q[i + l] * (1.0f / std::sqrt(x[i + l] / rhomean + 1e-3f));
        q[i + l] = v;
        lane[l] = std::fabs(v) > lane[l] ? std::fabs(v) : lane[l];
      }
    for (; i < len; ++i) {
      q[i] *= 1.0f / std::sqrt(x[i] / rhomean + 1e-3f);
      lane[0] = std::fabs(q[i]) > lane[0] ? std::fabs(q[i]) : lane[0];
    }
  } else {
    for (; i + 16 <= len; i += 16)
      for (int l = 0; l < 16; ++l) lane[l] = std::fabs(q[i + l]) > lane[l] ? std::fabs(q[i + l]) : lane[l];
    for (; i < len; ++i) lane[0] = std::fabs(q[i]) > lane[0] ? std::fabs(q[i]) : lane[0];
  }
  float mx = 0;
  for (float v : lane) mx = v > mx ? v : mx;
  return mx;
}

// weigh_body over a run of full grid points stored as pairs, a[u] the
// point 2u of x and b[u] the point 2u + 1 (a map on the half grid paired
// along the fastest axis), in place. The same arithmetic on each value, so
// the same bits; the largest |q| is one however the values are grouped.
TROVAN_INLINE float weigh_pairs_body(float* __restrict a, float* __restrict b, const float* __restrict x,
                                     long long pairs, float rhomean, int imode) {
  float lane[16] = {};
  long long u = 0;
  if (imode == 1) {
    for (; u + 8 <= pairs; u += 8)
      for (int l = 0; l < 8; ++l) {
        const float va = a[u + l] * (1.0f / std::sqrt(x[2 * (u + l)] / rhomean + 1e-3f));
        const float vb = b[u + l] * (1.0f / std::sqrt(x[2 * (u + l) + 1] / rhomean + 1e-3f));
        a[u + l] = va;
        b[u + l] = vb;
        lane[l] = std::fabs(va) > lane[l] ? std::fabs(va) : lane[l];
        lane[l + 8] = std::fabs(vb) > lane[l + 8] ? std::fabs(vb) : lane[l + 8];
      }
    for (; u < pairs; ++u) {
      a[u] *= 1.0f / std::sqrt(x[2 * u] / rhomean + 1e-3f);
      b[u] *= 1.0f / std::sqrt(x[2 * u + 1] / rhomean + 1e-3f);
      lane[0] = std::fabs(a[u]) > lane[0] ? std::fabs(a[u]) : lane[0];
      lane[8] = std::fabs(b[u]) > lane[8] ? std::fabs(b[u]) : lane[8];
    }
  } else {
    for (; u < pairs; ++u) {
      lane[0] = std::fabs(a[u]) > lane[0] ? std::fabs(a[u]) : lane[0];
      lane[8] = std::fabs(b[u]) > lane[8] ? std::fabs(b[u]) : lane[8];
    }
  }
  float mx = 0;
  for (float v : lane) mx = v > mx ? v : mx;
  return mx;
}

// The cell total of xnew over [lo, hi) in 16 double lanes added in a
// fixed order: lane l takes the points lo + l + 16 k of the whole groups of
// sixteen, lane 0 then the remainder, and the lanes are summed 0 to 15. A
// caller may feed the groups in pieces (total_groups over [s, e) with s - lo
// a multiple of 16, the last piece's remainder left over) and finish with
// total_end: the lanes see the same terms in the same order, so a loop that
// adds each run of values while it is still in the first-level cache gives
// the bits of one pass over the block. over is set when a value is infinite
// or not a number. The lanes are written as vectors: left to the
// vectoriser, the sixteen accumulators of the unrolled loop came out as
// scalar conversions and compares at -O3 (a quarter of the update's time).
// Each product m x is exact in double (8 by 24 bits) and 1 x is x, so every
// version adds the same terms in the same order and agrees bit for bit.
#if defined(__GNUC__)
typedef double d8 __attribute__((vector_size(64)));
typedef float f8 __attribute__((vector_size(32)));
typedef int i8 __attribute__((vector_size(32)));
typedef unsigned char u8 __attribute__((vector_size(8)));

struct Lanes {
  d8 acc0 = {}, acc1 = {};
  i8 o8 = {};
};

// The whole groups of sixteen from i on below e; returns where they end.
TROVAN_INLINE long long total_groups(Lanes& t, const float* __restrict xnew, const unsigned char* __restrict m,
                                     long long i, long long e) {
  constexpr unsigned long long kOnes = 0x0101010101010101ull;
  const f8 big = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
  d8 acc0 = t.acc0, acc1 = t.acc1;
  i8 o8 = t.o8;
  for (; i + 16 <= e; i += 16) {
    f8 x0, x1;
    __builtin_memcpy(&x0, xnew + i, sizeof x0);
    __builtin_memcpy(&x1, xnew + i + 8, sizeof x1);
    d8 p0 = __builtin_convertvector(x0, d8), p1 = __builtin_convertvector(x1, d8);
    // Orbits of one point (every point of a P1 map) need no product; the
    // bytes to doubles, which the compiler makes through general
    // registers, only where an orbit is larger.
    unsigned long long w0, w1;
    __builtin_memcpy(&w0, m + i, sizeof w0);
    __builtin_memcpy(&w1, m + i + 8, sizeof w1);
    if (w0 != kOnes || w1 != kOnes) {
      u8 m0, m1;
      __builtin_memcpy(&m0, &w0, sizeof m0);
      __builtin_memcpy(&m1, &w1, sizeof m1);
      p0 *= __builtin_convertvector(__builtin_convertvector(m0, i8), d8);
      p1 *= __builtin_convertvector(__builtin_convertvector(m1, i8), d8);
    }
    acc0 += p0;
    acc1 += p1;
    o8 |= ~(x0 <= big) | ~(x1 <= big);
  }
  t.acc0 = acc0;
  t.acc1 = acc1;
  t.o8 = o8;
  return i;
}

TROVAN_INLINE double total_end(const Lanes& t, const float* __restrict xnew, const unsigned char* __restrict m,
                               long long i, long long hi, bool& over) {
  double lane[16];
  int o = 0;
  for (int l = 0; l < 8; ++l) {
    lane[l] = t.acc0[l];
    lane[l + 8] = t.acc1[l];
    o |= t.o8[l];
  }
#else
struct Lanes {
  double lane[16] = {};
  int o = 0;
};

TROVAN_INLINE long long total_groups(Lanes& t, const float* __restrict xnew, const unsigned char* __restrict m,
                                     long long i, long long e) {
  for (; i + 16 <= e; i += 16)
    for (int l = 0; l < 16; ++l) {
      t.lane[l] += static_cast<double>(m[i + l]) * xnew[i + l];
      t.o |= !(xnew[i + l] <= FLT_MAX);
    }
  return i;
}

TROVAN_INLINE double total_end(const Lanes& t, const float* __restrict xnew, const unsigned char* __restrict m,
                               long long i, long long hi, bool& over) {
  double lane[16];
  int o = t.o;
  for (int l = 0; l < 16; ++l) lane[l] = t.lane[l];
#endif
  for (; i < hi; ++i) {
    lane[0] += static_cast<double>(m[i]) * xnew[i];
    o |= !(xnew[i] <= FLT_MAX);
  }
  double sum = 0;
  for (double v : lane) sum += v;
  over = o != 0;
  return sum;
}

TROVAN_INLINE double total_body(const float* xnew, const unsigned char* m, long long lo, long long hi, bool& over) {
  Lanes t;
  const long long i = total_groups(t, xnew, m, lo, hi);
  return total_end(t, xnew, m, i, hi, over);
}

TROVAN_INLINE bool nonpositive(const float* __restrict x, long long lo, long long hi) {
  int neg = 0;
  for (long long i = lo; i < hi; ++i) neg |= !(x[i] > 0);
  return neg != 0;
}

// q as update_block's, or (qb not null) the weighted map kept in pairs, the
// point lo + 2u in q[u] and lo + 2u + 1 in qb[u] (update_pairs).
TROVAN_INLINE double update_body(float* xnew, const float* x, const float* __restrict q, const float* __restrict qb,
                                 const unsigned char* __restrict m, long long lo, long long hi, float step, bool cont,
                                 bool& bad, bool& nonpos) {
  // Nearly always every ratio x / xnew is a normal number and every
  // exponent lies within +-104, where expv and logv are expcore and logcore
  // without the guards that are a quarter of the loop's instructions. A
  // short run is computed so into t, each value checked; when one is out of
  // range (a denormal or zero density, a step so large that it is taken
  // back) the run is computed again with the guards. Both give the same bits.
  // The run's values are added to the cell total and x is checked for
  // values not positive (x before it is updated: xnew may be x) while they
  // are in the first-level cache: a block is read from memory once.
  //
  // Each point's flag is stored as a byte rather than or-ed into one int:
  // a byte in the loop makes the vectoriser take four vectors of floats a
  // step, their instructions interleaved. The logarithm and the exponential
  // are long chains of dependent multiplies and adds (their order fixed by
  // the bits), and one vector's chain alone leaves the scheduler waiting;
  // four side by side keep the arithmetic units busy (the update 7 -> 6 ms
  // for 3M points with 512-bit vectors). The 512-bit version needs the
  // byte instructions of avx512bw for it.
  constexpr long long kRun = 256;
  Lanes total;
  long long done = lo;
  int neg = 0;
  for (long long s = lo; s < hi; s += kRun) {
    const long long e = s + kRun < hi ? s + kRun : hi;
    float t[kRun];
    unsigned char flag[kRun];
    int out = 0;
    // The run's map: in place, or its pairs taken apart into the first-level
    // cache (s - lo is even).
    float qr[kRun];
    const float* __restrict qs = q + (s - lo);
    if (qb) {
      const long long pairs = (e - s) / 2, u0 = (s - lo) / 2;
      for (long long u = 0; u < pairs; ++u) {
        qr[2 * u] = q[u0 + u];
        qr[2 * u + 1] = qb[u0 + u];
      }
      if (2 * pairs < e - s) qr[2 * pairs] = q[u0 + pairs];
      qs = qr;
    }
    if (cont)
      for (long long i = s; i < e; ++i) {
        const float r = x[i] / xnew[i];
        const float u = step * qs[i - s] + kContinue * logcore(r, 0);
        const bool off = !(r >= FLT_MIN) | !(r <= FLT_MAX) | !(u >= -104.0f) | !(u <= 104.0f);
        flag[i - s] = off;
        neg |= !(x[i] > 0);
        t[i - s] = x[i] * expcore(off ? 0.0f : u);
      }
    else
      for (long long i = s; i < e; ++i) {
        const float u = step * qs[i - s];
        const bool off = !(u >= -104.0f) | !(u <= 104.0f);
        flag[i - s] = off;
        neg |= !(x[i] > 0);
        t[i - s] = x[i] * expcore(off ? 0.0f : u);
      }
    for (long long i = s; i < e; ++i) out |= flag[i - s];
    if (out == 0)
      for (long long i = s; i < e; ++i) xnew[i] = t[i - s];
    else if (cont)
      for (long long i = s; i < e; ++i) xnew[i] = x[i] * expv(step * qs[i - s] + kContinue * logv(x[i] / xnew[i]));
    else
      for (long long i = s; i < e; ++i) xnew[i] = x[i] * expv(step * qs[i - s]);
    done = total_groups(total, xnew, m, done, e);
  }
  nonpos = neg != 0;
  return total_end(total, xnew, m, done, hi, bad);
}

TROVAN_INLINE double retry_body(float* xnew, const float* x, const unsigned char* __restrict m, long long lo, long long hi,
                         float r, bool& nonpos) {
  nonpos = nonpositive(x, lo, hi);
  for (long long i = lo; i < hi; ++i) xnew[i] = x[i] * expv(r * logv(xnew[i] / x[i]));
  bool over = false;
  return total_body(xnew, m, lo, hi, over);
}

// One function per instruction set and loop: the same body, vectorised
// for the registers of each.
#define TROVAN_UPDATE_VERSIONS(suffix, attr)                                                                     \
  attr float weigh_##suffix(float* q, const float* x, long long len, float rhomean, int imode) {                \
    return weigh_body(q, x, len, rhomean, imode);                                                               \
  }                                                                                                             \
  attr float weigh_pairs_##suffix(float* a, float* b, const float* x, long long pairs, float rhomean, int imode) { \
    return weigh_pairs_body(a, b, x, pairs, rhomean, imode);                                                    \
  }                                                                                                             \
  attr double update_##suffix(float* xnew, const float* x, const float* q, const unsigned char* m, long long lo, \
                              long long hi, float step, bool cont, bool& bad, bool& nonpos) {                   \
    return update_body(xnew, x, q, nullptr, m, lo, hi, step, cont, bad, nonpos);                                \
  }                                                                                                             \
  attr double update_pairs_##suffix(float* xnew, const float* x, const float* qa, const float* qb,               \
                                    const unsigned char* m, long long lo, long long hi, float step, bool cont,   \
                                    bool& bad, bool& nonpos) {                                                   \
    return update_body(xnew, x, qa, qb, m, lo, hi, step, cont, bad, nonpos);                                    \
  }                                                                                                             \
  attr double retry_##suffix(float* xnew, const float* x, const unsigned char* m, long long lo, long long hi,    \
                             float r, bool& nonpos) {                                                           \
    return retry_body(xnew, x, m, lo, hi, r, nonpos);                                                           \
  }

TROVAN_UPDATE_VERSIONS(base, )
#if defined(TROVAN_UPDATE_X86)
TROVAN_UPDATE_VERSIONS(avx2, TROVAN_TARGET("avx2"))
TROVAN_UPDATE_VERSIONS(avx512, TROVAN_TARGET("avx512f,avx512bw"))
#endif

}  // namespace

bool update_isa_runs(UpdateIsa isa) {
#if defined(TROVAN_UPDATE_X86)
  __builtin_cpu_init();
  if (isa == UpdateIsa::avx512) return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  if (isa == UpdateIsa::avx2) return __builtin_cpu_supports("avx2");
#endif
  return isa == UpdateIsa::base;
}

UpdateIsa update_isa() {
  static const UpdateIsa best = update_isa_runs(UpdateIsa::avx512) ? UpdateIsa::avx512
                                : update_isa_runs(UpdateIsa::avx2) ? UpdateIsa::avx2
                                                                   : UpdateIsa::base;
  return best;
}

float weigh(float* q, const float* x, long long len, float rhomean, int imode, UpdateIsa isa) {
#if defined(TROVAN_UPDATE_X86)
  if (isa == UpdateIsa::avx512) return weigh_avx512(q, x, len, rhomean, imode);
  if (isa == UpdateIsa::avx2) return weigh_avx2(q, x, len, rhomean, imode);
#endif
  (void)isa;
  return weigh_base(q, x, len, rhomean, imode);
}

float weigh_pairs(float* a, float* b, const float* x, long long pairs, float rhomean, int imode, UpdateIsa isa) {
#if defined(TROVAN_UPDATE_X86)
  if (isa == UpdateIsa::avx512) return weigh_pairs_avx512(a, b, x, pairs, rhomean, imode);
  if (isa == UpdateIsa::avx2) return weigh_pairs_avx2(a, b, x, pairs, rhomean, imode);
#endif
  (void)isa;
  return weigh_pairs_base(a, b, x, pairs, rhomean, imode);
}

float weighrun(float* a, float* b, long long B, long long p0, long long len, const float* x, float rhomean,
               int imode, UpdateIsa isa) {
  if (len <= 0) return 0.0f;
  if (B == 0) return weigh(a + p0, x, len, rhomean, imode, isa);
  float mx = 0;
  auto larger = [&](float v) { mx = v > mx ? v : mx; };
  if (B == 1) {
    // Full points 2u and 2u + 1 are the two parts of half point u.
    long long t = 0, p = p0;
    if (p & 1) {
      larger(weigh(b + (p >> 1), x, 1, rhomean, imode, isa));
      ++t;
      ++p;
    }
    const long long pairs = (len - t) / 2;
    larger(weigh_pairs(a + (p >> 1), b + (p >> 1), x + t, pairs, rhomean, imode, isa));
    if (t + 2 * pairs < len) larger(weigh(a + (p >> 1) + pairs, x + t + 2 * pairs, 1, rhomean, imode, isa));
    return mx;
  }
  // Runs within one row of B points lie in one half.
  for (long long t = 0; t < len;) {
    const long long p = p0 + t, u = p / B, l = p - u * B;
    const long long seg = std::min(len - t, B - l);
    larger(weigh((u & 1 ? b : a) + l + B * (u >> 1), x + t, seg, rhomean, imode, isa));
    t += seg;
  }
  return mx;
}

double update_block(float* xnew, const float* x, const float* q, const unsigned char* m, long long lo, long long hi,
                    float step, bool cont, bool& bad, bool& nonpos, UpdateIsa isa) {
#if defined(TROVAN_UPDATE_X86)
  if (isa == UpdateIsa::avx512) return update_avx512(xnew, x, q, m, lo, hi, step, cont, bad, nonpos);
  if (isa == UpdateIsa::avx2) return update_avx2(xnew, x, q, m, lo, hi, step, cont, bad, nonpos);
#endif
  (void)isa;
  return update_base(xnew, x, q, m, lo, hi, step, cont, bad, nonpos);
}

double update_pairs(float* xnew, const float* x, const float* qa, const float* qb, const unsigned char* m, long long lo,
                    long long hi, float step, bool cont, bool& bad, bool& nonpos, UpdateIsa isa) {
#if defined(TROVAN_UPDATE_X86)
  if (isa == UpdateIsa::avx512) return update_pairs_avx512(xnew, x, qa, qb, m, lo, hi, step, cont, bad, nonpos);
  if (isa == UpdateIsa::avx2) return update_pairs_avx2(xnew, x, qa, qb, m, lo, hi, step, cont, bad, nonpos);
#endif
  (void)isa;
  return update_pairs_base(xnew, x, qa, qb, m, lo, hi, step, cont, bad, nonpos);
}

double retry_block(float* xnew, const float* x, const unsigned char* m, long long lo, long long hi, float r,
                   bool& nonpos, UpdateIsa isa) {
#if defined(TROVAN_UPDATE_X86)
  if (isa == UpdateIsa::avx512) return retry_avx512(xnew, x, m, lo, hi, r, nonpos);
  if (isa == UpdateIsa::avx2) return retry_avx2(xnew, x, m, lo, hi, r, nonpos);
#endif
  (void)isa;
  return retry_base(xnew, x, m, lo, hi, r, nonpos);
}

}  // namespace trovan
