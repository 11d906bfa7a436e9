#include "util/linalg.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "util/fortran_fmt.hpp"
#include "util/stop.hpp"

namespace trovan {

void vcpyr(const float* src, float* dst, int n) {
  for (int i = 0; i < n; ++i) dst[i] = src[i];
}
void vcpyi(const int* src, int* dst, int n) {
  for (int i = 0; i < n; ++i) dst[i] = src[i];
}
float sprod(const float* a, const float* b, int n) {
  double s = 0;
  for (int i = 0; i < n; ++i) s += double(a[i]) * b[i];
  return static_cast<float>(s);
}
void mcpy(const float* src, float* dst) { vcpyr(src, dst, 36); }
void mcpy3(const float* src, float* dst) { vcpyr(src, dst, 9); }
void mcpyi(const int* src, int* dst) { vcpyi(src, dst, 36); }

// c = a*b for 6x6 matrices, summed in Acc; c may be a or b.
template <class T, class Acc>
static void product6(const T* a, const T* b, T* c) {
  T r[36];
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) {
      Acc s = 0;
      for (int k = 0; k < 6; ++k) s += Acc(a[at(i, k)]) * b[at(k, j)];
      r[at(i, j)] = static_cast<T>(s);
    }
  for (int i = 0; i < 36; ++i) c[i] = r[i];
}
void mtmpl(const float* a, const float* b, float* c) { product6<float, double>(a, b, c); }
void mtmpld(const double* a, const double* b, double* c) { product6<double, double>(a, b, c); }
void mtmpli6(const int* a, const int* b, int* c) { product6<int, int>(a, b, c); }

void vmtpli6(const int* h, const int* a, int sign, int* hr) {
  int r[6];
  for (int j = 0; j < 6; ++j) {
    int s = 0;
    for (int k = 0; k < 6; ++k) s += h[k] * a[at(k, j)];
    r[j] = sign * s;
  }
  vcpyi(r, hr, 6);
}

static void transpose(float* a, int n) {
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j) {
      float t = a[at(i, j, n)];
      a[at(i, j, n)] = a[at(j, i, n)];
      a[at(j, i, n)] = t;
    }
}
void trnsp(float* a) { transpose(a, 6); }
void trnsp3(float* a) { transpose(a, 3); }

void unitmtrx(float* a, int n) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) a[at(i, j, n)] = (i == j) ? 1.0f : 0.0f;
}

void norml(float* v) {
  double s = std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]);
  if (s == 0) return;  // a null vector has no direction; leave it
  for (int i = 0; i < 3; ++i) v[i] = static_cast<float>(v[i] / s);
}

bool matinvd(double* a, int n, double& det) {
  std::vector<double> m(a, a + n * n);
  std::vector<int> ipiv(n, 0), indr(n), indc(n);
  double d = 1.0;
  double scale = 0;
  for (double x : m) scale = std::max(scale, std::fabs(x));
  const double tiny = (scale > 0 ? scale : 1.0) * 1e-12;
  for (int step = 0; step < n; ++step) {
    double big = -1;
    int irow = 0, icol = 0;
    for (int j = 0; j < n; ++j) {
      if (ipiv[j]) continue;
      for (int k = 0; k < n; ++k) {
        if (ipiv[k]) continue;
        double v = std::fabs(m[at(j, k, n)]);
        if (v > big) { big = v; irow = j; icol = k; }
      }
    }
    if (big <= tiny) { det = 0; return false; }
    ipiv[icol] = 1;
    if (irow != icol) {
      for (int l = 0; l < n; ++l) std::swap(m[at(irow, l, n)], m[at(icol, l, n)]);
      d = -d;
    }
    indr[step] = irow;
    indc[step] = icol;
    double piv = m[at(icol, icol, n)];
    d *= piv;
    m[at(icol, icol, n)] = 1.0;
    for (int l = 0; l < n; ++l) m[at(icol, l, n)] /= piv;
    for (int ll = 0; ll < n; ++ll) {
      if (ll == icol) continue;
      double f = m[at(ll, icol, n)];
      m[at(ll, icol, n)] = 0.0;
      for (int l = 0; l < n; ++l) m[at(ll, l, n)] -= m[at(icol, l, n)] * f;
    }
  }
  for (int l = n - 1; l >= 0; --l) {
    if (indr[l] == indc[l]) continue;
    for (int k = 0; k < n; ++k) std::swap(m[at(k, indr[l], n)], m[at(k, indc[l], n)]);
  }
  for (int i = 0; i < n * n; ++i) a[i] = m[i];
  det = d;
  return true;
}

bool matinv(float* a, int n, float& det) {
  std::vector<double> m(a, a + n * n);
  double d = 0;
  const bool ok = matinvd(m.data(), n, d);
  det = static_cast<float>(d);
  if (ok)
    for (int i = 0; i < n * n; ++i) a[i] = static_cast<float>(m[i]);
  return ok;
}

void qsortd(float* keys, int* order, int n) {
  for (int i = 0; i < n; ++i) order[i] = i + 1;
  if (n < 2) return;
  // Explicit stack of sub-ranges; pushing the larger part first and working
  // on the smaller keeps the stack below 2*log2(n) entries.
  std::vector<std::pair<int, int>> stack;
  stack.push_back({0, n - 1});
  while (!stack.empty()) {
    auto [lo, hi] = stack.back();
    stack.pop_back();
    while (lo < hi) {
      float pivot = keys[lo + (hi - lo) / 2];
      int i = lo, j = hi;
      while (i <= j) {
        while (keys[i] > pivot) ++i;
        while (keys[j] < pivot) --j;
        if (i <= j) {
          std::swap(keys[i], keys[j]);
          std::swap(order[i], order[j]);
          ++i;
          --j;
        }
      }
      if (j - lo < hi - i) {
        if (i < hi) stack.push_back({i, hi});
        hi = j;
      } else {
        if (lo < j) stack.push_back({lo, j});
        lo = i;
      }
    }
  }
}

double atan3(double y, double x) {
  if (x == 0 && y == 0) return 0;
  return std::atan2(y, x);
}

namespace {
// "(6i3)", "(6f8.4)": repeat count, letter, width[.digits].
struct Field {
  int repeat = 1;
  char kind = 'f';
  int w = 10;
  int d = 4;
};
Field parse_field(const std::string& fmt) {
  Field f;
  std::size_t i = fmt.find('(');
  i = (i == std::string::npos) ? 0 : i + 1;
  if (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) {
    f.repeat = std::atoi(fmt.c_str() + i);
    while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) ++i;
  }
  if (i < fmt.size()) f.kind = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i++])));
  f.w = std::atoi(fmt.c_str() + i);
  std::size_t dot = fmt.find('.', i);
  f.d = dot == std::string::npos ? 0 : std::atoi(fmt.c_str() + dot + 1);
  if (f.repeat < 1) f.repeat = 1;
  if (f.w < 1) f.w = 10;
  return f;
}
}  // namespace

void wtvctrif(const std::string& label, const int* v, int n, const std::string& fmt) {
  Field f = parse_field(fmt);
  if (!label.empty()) out() << label << '\n';
  for (int i = 0; i < n; ++i) {
    out() << fmt_i(v[i], f.w);
    if ((i + 1) % f.repeat == 0 || i == n - 1) out() << '\n';
  }
}

void wtvctrrf(const std::string& label, const float* v, int n, const std::string& fmt) {
  Field f = parse_field(fmt);
  if (!label.empty()) out() << label << '\n';
  for (int i = 0; i < n; ++i) {
    out() << fmt_real(v[i], f.kind, f.w, f.d);
    if ((i + 1) % f.repeat == 0 || i == n - 1) out() << '\n';
  }
}

void wtmtrxrf(const std::string& label, const float* a, int n, const std::string& fmt) {
  Field f = parse_field(fmt);
  if (!label.empty()) out() << label << '\n';
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      out() << fmt_real(a[at(i, j, n)], f.kind, f.w, f.d);
      if ((j + 1) % f.repeat == 0 && j != n - 1) out() << '\n';
    }
    out() << '\n';
  }
}

}  // namespace trovan
