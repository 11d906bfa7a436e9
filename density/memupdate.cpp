// The maximum-entropy update in vector instructions (see memupdate.hpp).
//
// This file is compiled with -fno-trapping-math, without which the
// selections inside expv and logv stay branches and the loops stay scalar,
// and with -ffp-contract=off: a multiply-add fused in one version and not
// in another would round differently, and the versions must agree bit for
// bit.
#include "density/memupdate.hpp"

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

TROVAN_INLINE double update_body(float* xnew, const float* x, const float* __restrict q, const unsigned char* __restrict m,
                                 long long lo, long long hi, float step, bool cont, bool& bad, bool& nonpos) {
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
    if (cont)
      for (long long i = s; i < e; ++i) {
        const float r = x[i] / xnew[i];
        const float u = step * q[i - lo] + kContinue * logcore(r, 0);
        const bool off = !(r >= FLT_MIN) | !(r <= FLT_MAX) | !(u >= -104.0f) | !(u <= 104.0f);
        flag[i - s] = off;
        neg |= !(x[i] > 0);
        t[i - s] = x[i] * expcore(off ? 0.0f : u);
      }
    else
      for (long long i = s; i < e; ++i) {
        const float u = step * q[i - lo];
        const bool off = !(u >= -104.0f) | !(u <= 104.0f);
        flag[i - s] = off;
        neg |= !(x[i] > 0);
        t[i - s] = x[i] * expcore(off ? 0.0f : u);
      }
    for (long long i = s; i < e; ++i) out |= flag[i - s];
    if (out == 0)
      for (long long i = s; i < e; ++i) xnew[i] = t[i - s];
    else if (cont)
      for (long long i = s; i < e; ++i) xnew[i] = x[i] * expv(step * q[i - lo] + kContinue * logv(x[i] / xnew[i]));
    else
      for (long long i = s; i < e; ++i) xnew[i] = x[i] * expv(step * q[i - lo]);
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
  attr double update_##suffix(float* xnew, const float* x, const float* q, const unsigned char* m, long long lo, \
                              long long hi, float step, bool cont, bool& bad, bool& nonpos) {                   \
    return update_body(xnew, x, q, m, lo, hi, step, cont, bad, nonpos);                                         \
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

double update_block(float* xnew, const float* x, const float* q, const unsigned char* m, long long lo, long long hi,
                    float step, bool cont, bool& bad, bool& nonpos, UpdateIsa isa) {
#if defined(TROVAN_UPDATE_X86)
  if (isa == UpdateIsa::avx512) return update_avx512(xnew, x, q, m, lo, hi, step, cont, bad, nonpos);
  if (isa == UpdateIsa::avx2) return update_avx2(xnew, x, q, m, lo, hi, step, cont, bad, nonpos);
#endif
  (void)isa;
  return update_base(xnew, x, q, m, lo, hi, step, cont, bad, nonpos);
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
