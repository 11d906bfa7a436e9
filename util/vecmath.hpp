// The exponential and the natural logarithm in single precision, written
// without branches or calls so that a loop over an array that uses them
// compiles to vector instructions (the maximum-entropy update takes one of
// each per stored density value, millions per cycle; the library's expf and
// logf are scalar calls). Both are within 2 units in the last place of the
// correctly rounded value wherever the result is a normal number.
//
// exp: e^t = 2^k e^r with k = round(t / ln 2) and |r| <= ln 2 / 2 (ln 2 in
// two parts so that r is exact), e^r from a degree-7 polynomial; 2^k is
// applied as two factors, so that results beyond the float range overflow
// to infinity and underflow through the denormals to zero as the exact
// value would. log: x = m 2^e with m in [sqrt(1/2), sqrt(2)), log(m) from a
// polynomial in m - 1. NaN gives NaN; log(0) = -inf, log of a negative
// number NaN, log(inf) = inf.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace trovan {

// e^t for t in [-104, 104] (not NaN): expv without its guards, for a loop
// that has checked its arguments and takes the same bits with fewer
// instructions.
inline float expcore(float c) {
  // Round to the nearest integer by adding and taking away 1.5 * 2^23.
  const float kf = (c * 1.44269504089f + 12582912.0f) - 12582912.0f;
  const float r = (c - kf * 0.693359375f) + kf * 2.12194440e-4f;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * (r * r) + r + 1.0f;
  // 2^k as 2^k1 2^k2, each factor a normal number. k1 = floor(k / 2) by a
  // shift, two vector instructions fewer than k / 2, which rounds towards
  // zero: for an odd negative k the two factors trade places, and the bits
  // are the same because c within +-104 gives |k| <= 150, so that p 2^k1
  // (|k1| <= 75) is a normal number, exact, and only the second product
  // rounds, in both orders the one rounding of p 2^k.
  const std::int32_t k = static_cast<std::int32_t>(kf);
  const std::int32_t k1 = k >> 1, k2 = k - k1;
  const float s1 = std::bit_cast<float>(static_cast<std::uint32_t>(k1 + 127) << 23);
  const float s2 = std::bit_cast<float>(static_cast<std::uint32_t>(k2 + 127) << 23);
  return p * s1 * s2;
}

inline float expv(float t) {
  const bool nan = t != t;
  float c = nan ? 0.0f : t;
  // Beyond +-104 the result is infinite or zero whatever the rest.
  c = c < -104.0f ? -104.0f : c;
  c = c > 104.0f ? 104.0f : c;
  const float v = expcore(c);
  return nan ? t : v;
}

// ln of y 2^-scale for a normal y: the logarithm's arithmetic without its
// guards (logcore(x, 0) is logv(x) for a positive normal finite x).
inline float logcore(float y, std::int32_t scale) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(y);
  std::int32_t e = static_cast<std::int32_t>((bits >> 23) & 0xff) - 126 - scale;
  float m = std::bit_cast<float>((bits & 0x007fffffu) | 0x3f000000u);  // [1/2, 1)
  const bool low = m < 0.707106781186547524f;
  e -= low ? 1 : 0;
  m = low ? m + m - 1.0f : m - 1.0f;
  const float z = m * m;
  float p = 7.0376836292e-2f;
  p = p * m - 1.1514610310e-1f;
  p = p * m + 1.1676998740e-1f;
  p = p * m - 1.2420140846e-1f;
  p = p * m + 1.4249322787e-1f;
  p = p * m - 1.6668057665e-1f;
  p = p * m + 2.0000714765e-1f;
  p = p * m - 2.4999993993e-1f;
  p = p * m + 3.3333331174e-1f;
  const float fe = static_cast<float>(e);
  float s = p * m * z;
  s += -2.12194440e-4f * fe;
  s += -0.5f * z;
  return m + s + 0.693359375f * fe;
}

inline float logv(float x) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  // A denormal is scaled into the normal range first.
  const bool tiny = x < std::numeric_limits<float>::min();
  const float v = logcore(tiny ? x * 8388608.0f : x, tiny ? 23 : 0);
  const float special = x == 0.0f ? -inf : (x == inf ? inf : std::numeric_limits<float>::quiet_NaN());
  return x > 0.0f && x < inf ? v : special;
}

}  // namespace trovan
