// The superspace operator: exact composition, action on coordinates and
// indices, phase shift and change of basis.
#include "crystal/op.hpp"

#include <cmath>

namespace trovan {

Op Op::identity() {
  Op a;
  for (int i = 0; i < kDim; ++i) a.rot[i * kDim + i] = 1;
  return a;
}

bool trnnumerator(long long p, long long q, long long& num) {
  if (q == 0) return false;
  if (q < 0) p = -p, q = -q;
  if (kTrnDen % q != 0) return false;
  num = p * (kTrnDen / q);
  return true;
}

long long trnnearest(double t) { return std::llround(t * static_cast<double>(kTrnDen)); }

long long trnwrap(long long num) {
  const long long r = num % kTrnDen;
  return r < 0 ? r + kTrnDen : r;
}

Op product(const Op& a, const Op& b) {
  Op c;
  for (int e = 0; e < kDim; ++e) {
    long long s = a.trn[e];
    for (int i = 0; i < kDim; ++i) s += static_cast<long long>(a.r(e, i)) * b.trn[i];
    c.trn[e] = s;
    for (int j = 0; j < kDim; ++j) {
      int v = 0;
      for (int i = 0; i < kDim; ++i) v += a.r(e, i) * b.r(i, j);
      c.rot[j * kDim + e] = v;
    }
  }
  return c;
}

Op negated(const Op& a) {
  Op c;
  for (int i = 0; i < kDim2; ++i) c.rot[i] = -a.rot[i];
  for (int e = 0; e < kDim; ++e) c.trn[e] = -a.trn[e];
  return c;
}

Op wrapped(const Op& a, int n) {
  Op c = a;
  for (int e = 0; e < kDim; ++e) c.trn[e] = e < n ? trnwrap(a.trn[e]) : 0;
  return c;
}

bool isunitrot(const Op& a, int n) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      if (a.r(i, j) != (i == j ? 1 : 0)) return false;
  return true;
}

int rotorder(const Op& a, int n) {
  Op p = a;
  for (int i = 1; i <= 13; ++i) {
    if (isunitrot(p, n)) return i;
    p = product(a, p);
  }
  return 0;
}

Op inverse(const Op& a) {
  // R^-1 = R^(m-1) for a rotation of order m; t' = -R^-1 t.
  const int m = rotorder(a, kDim);
  Op r = Op::identity();
  for (int i = 1; i < m; ++i) r = product(a, r);
  r.trn.fill(0);
  Op u = Op::identity();  // the translation -t
  for (int e = 0; e < kDim; ++e) u.trn[e] = -a.trn[e];
  return wrapped(product(r, u));
}

void applyx(const Op& a, const double* x, double* y, int sign) {
  double r[kDim];
  for (int e = 0; e < kDim; ++e) {
    double s = a.t(e);
    for (int i = 0; i < kDim; ++i) s += a.r(e, i) * x[i];
    r[e] = sign * s;
  }
  for (int e = 0; e < kDim; ++e) y[e] = r[e];
}

void applyx(const Op& a, const float* x, float* y, int sign) {
  double xd[kDim], yd[kDim];
  for (int e = 0; e < kDim; ++e) xd[e] = x[e];
  applyx(a, xd, yd, sign);
  for (int e = 0; e < kDim; ++e) y[e] = static_cast<float>(yd[e]);
}

void applyh(const Op& a, const int* h, int* hr, int sign) {
  int r[kDim];
  for (int j = 0; j < kDim; ++j) {
    int s = 0;
    for (int e = 0; e < kDim; ++e) s += h[e] * a.r(e, j);
    r[j] = sign * s;
  }
  for (int j = 0; j < kDim; ++j) hr[j] = r[j];
}

double phase(const Op& a, const int* h, int n) {
  double s = 0;
  for (int l = 0; l < n; ++l) s += h[l] * a.t(l);
  return s;
}

bool changebasis(const Op& a, const double* m, const double* mi, Op& out, int& axis) {
  double rm[kDim2];
  for (int i = 0; i < kDim; ++i)
    for (int j = 0; j < kDim; ++j) {
      double v = 0;
      for (int k = 0; k < kDim; ++k) v += a.r(i, k) * m[j * kDim + k];
      rm[j * kDim + i] = v;
    }
  Op c;
  for (int i = 0; i < kDim; ++i)
    for (int j = 0; j < kDim; ++j) {
      double v = 0;
      for (int k = 0; k < kDim; ++k) v += mi[k * kDim + i] * rm[j * kDim + k];
      const double w = std::nearbyint(v);
      if (std::fabs(v - w) > 1e-6) {
        axis = i;
        return false;
      }
      c.rot[j * kDim + i] = static_cast<int>(w);
    }
  // M^-1 is dyadic and the numerators below 2^38: the products and their
  // sum are exact in double precision.
  for (int e = 0; e < kDim; ++e) {
    double v = 0;
    for (int k = 0; k < kDim; ++k) v += mi[k * kDim + e] * static_cast<double>(a.trn[k]);
    const double w = std::nearbyint(v);
    if (std::fabs(v - w) > 1e-6 * (1 + std::fabs(v))) {
      axis = kDim + e;
      return false;
    }
    c.trn[e] = static_cast<long long>(w);
  }
  out = c;
  return true;
}

}  // namespace trovan
