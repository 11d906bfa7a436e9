#include "util/fortran_fmt.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace trovan {

namespace {
std::string stars(int w) { return std::string(w > 0 ? w : 0, '*'); }

std::string pad_left(const std::string& s, int w) {
  if (static_cast<int>(s.size()) > w) return stars(w);
  return std::string(w - s.size(), ' ') + s;
}
}  // namespace

std::string fmt_i(long long v, int w) { return pad_left(std::to_string(v), w); }

std::string fmt_f(double v, int w, int d) {
  if (!std::isfinite(v)) return pad_left(std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity"), w);
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", d, std::fabs(v));
  std::string digits = buf;
  if (d == 0) digits += '.';  // Fw.0 still prints the decimal point
  // A value that rounds to zero prints without a minus sign in most runtimes
  // only when it is exactly zero; keep the sign of a negative value that
  // rounds to zero as gfortran does ("-0.0000").
  bool neg = std::signbit(v) && v != 0.0;
  std::string s = neg ? "-" : "";
  if (static_cast<int>(s.size() + digits.size()) > w && digits.rfind("0.", 0) == 0)
    s.append(digits, 1, std::string::npos);  // the leading zero is optional in F editing
  else
    s += digits;
  return pad_left(s, w);
}

std::string fmt_e(double v, int w, int d) {
  if (!std::isfinite(v)) return pad_left(std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity"), w);
  bool neg = std::signbit(v) && v != 0.0;
  double a = std::fabs(v);
  long long mant = 0;
  int exp10 = 0;
  if (a != 0.0) {
    // 0.d1d2...dd x 10^exp10 with d1 != 0; round to d digits and renormalise.
    exp10 = static_cast<int>(std::floor(std::log10(a))) + 1;
    double scaled = a / std::pow(10.0, exp10 - d);
    mant = std::llround(scaled);
    long long lim = 1;
    for (int i = 0; i < d; ++i) lim *= 10;
    if (mant >= lim) { mant /= 10; ++exp10; }
    if (mant < lim / 10) { mant = std::llround(a / std::pow(10.0, exp10 - 1 - d)); --exp10; }
  }
  std::string frac = std::to_string(mant);
  if (static_cast<int>(frac.size()) < d) frac = std::string(d - frac.size(), '0') + frac;
  std::string ex;
  int ae = std::abs(exp10);
  char sign = exp10 < 0 ? '-' : '+';
  if (ae <= 99) {
    char b[8];
    std::snprintf(b, sizeof b, "E%c%02d", sign, ae);
    ex = b;
  } else if (ae <= 999) {
    char b[8];
    std::snprintf(b, sizeof b, "%c%03d", sign, ae);
    ex = b;
  } else {
    return stars(w);
  }
  std::string s = neg ? "-" : "";
  if (static_cast<int>(s.size() + frac.size() + ex.size()) + 2 <= w) s += '0';
  s += '.';
  s += frac;
  s += ex;
  return pad_left(s, w);
}

std::string fmt_a(const std::string& s, int w) {
  if (static_cast<int>(s.size()) >= w) return s.substr(0, w);
  return s + std::string(w - s.size(), ' ');
}

std::string fmt_real(double v, char kind, int w, int d) {
  return kind == 'e' ? fmt_e(v, w, d) : fmt_f(v, w, d);
}

}  // namespace trovan
