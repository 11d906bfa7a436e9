// Setting basis to grid basis: centring and superstructure transformations
// in their index and coordinate forms, and the combined matrix M.
#include "crystal/setting.hpp"

#include <cmath>
#include <cstdlib>

#include "crystal/symmetry.hpp"
#include "util/runstate.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// Tables listed row by row: row k, column j at [k][j].
// Body-centred cell: h'_j = sum_k h_k P[k][j] / 2.
constexpr int kP[6][6] = {{0, 0, 2, 1, 1, -1}, {2, 0, 0, -1, 1, 1}, {0, 2, 0, 1, -1, 1},
                          {0, 0, 0, -1, 1, 1}, {0, 0, 0, -1, -1, 1}, {0, 0, 0, 1, -1, 1}};
// Face-centred cell: h'_i = sum_k Q[i][k] h_k / 2.
constexpr int kQ[6][6] = {{0, 1, 0, -1, 0, 0}, {0, 0, 1, 0, 0, -1}, {1, 0, 0, 0, 1, 0},
                          {0, 0, 0, 0, -1, 1}, {0, 0, 0, 1, -1, 0}, {0, 0, 0, 1, 0, 1}};

// Superstructure pairs: index form h'_j = sum_k h_k S[k][j]. For the
// icosahedral pair S0 T0 = 4, so S0/2 and T0/2 are inverse; for the others
// S T = 1.
constexpr int kS[4][6][6] = {
    {{1, 1, 1, 1, 1, 1}, {1, 1, 1, -1, -1, 1}, {1, 1, 1, 1, -1, -1},
     {1, -1, 1, 1, 1, -1}, {1, -1, -1, 1, 1, 1}, {1, 1, -1, -1, 1, 1}},
    {{0, 0, -1, -1, 0, 0}, {1, 1, 1, 0, 0, 0}, {0, 1, 1, 1, 0, 0},
     {-1, -1, 0, 0, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1}},
    {{1, 1, 0, -1, 0, 0}, {1, 1, 1, 0, 0, 0}, {0, 1, 1, 1, 0, 0},
     {-1, 0, 1, 1, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1}},
    {{1, 0, 0, -1, 0, 0}, {1, 1, 0, 0, 0, 0}, {0, 1, 1, 1, 0, 0},
     {0, 0, 1, 1, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1}}};
constexpr int kT[4][6][6] = {
    {{-1, 1, 1, 1, 1, 1}, {1, -1, 1, -1, -1, 1}, {1, 1, -1, 1, -1, -1},
     {1, -1, 1, -1, 1, -1}, {1, -1, -1, 1, -1, 1}, {1, 1, -1, -1, 1, -1}},
    {{-1, 0, -1, -1, 0, 0}, {1, 0, 1, 0, 0, 0}, {0, 1, 0, 1, 0, 0},
     {-1, -1, 0, -1, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1}},
    {{-1, 1, 0, -1, 0, 0}, {1, -1, 1, 0, 0, 0}, {0, 1, -1, 1, 0, 0},
     {-1, 0, 1, -1, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1}},
    {{0, 1, -1, 1, 0, 0}, {0, 0, 1, -1, 0, 0}, {1, -1, 1, 0, 0, 0},
     {-1, 1, -1, 1, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1}}};

int g_pairh = 0;  // pair used by the index form
int g_pairx = 0;  // pair used by the coordinate form

int pairof(int isys, int current) {
  if (isys < 3) return 0;
  if (isys <= 5) return isys - 2;
  return current;
}

// The icosahedral superstructure matrices carry a factor 1/2 per step.
bool halves() { return getsys() <= 2; }

// Row vector times integer table, exactly, in 64-bit.
void rowtimes(long long* h, const int (*a)[6]) {
  long long r[6];
  for (int j = 0; j < 6; ++j) {
    long long s = 0;
    for (int k = 0; k < 6; ++k) s += h[k] * a[k][j];
    r[j] = s;
  }
  for (int j = 0; j < 6; ++j) h[j] = r[j];
}

bool smtrhok(const int* h, int* hr, int ismtr) {
  long long v[6];
  for (int j = 0; j < 6; ++j) v[j] = h[j];
  const int n = std::abs(ismtr);
  const int (*a)[6] = (ismtr > 0) ? kS[g_pairh] : kT[g_pairh];
  for (int s = 0; s < n; ++s) rowtimes(v, a);
  if (n > 0 && halves()) {
    const long long d = 1LL << n;
    for (int j = 0; j < 6; ++j) {
      if (v[j] % d != 0) return false;
      v[j] /= d;
    }
  }
  for (int j = 0; j < 6; ++j) hr[j] = static_cast<int>(v[j]);
  return true;
}

// h' = h.A / 2 with A given by rows (transposed when tr is set); false when
// a component is odd before halving.
bool halfrow(int* h, const int (*a)[6], bool tr) {
  long long r[6];
  for (int i = 0; i < 6; ++i) {
    long long s = 0;
    for (int k = 0; k < 6; ++k) s += static_cast<long long>(h[k]) * (tr ? a[i][k] : a[k][i]);
    if (s % 2 != 0) return false;
    r[i] = s / 2;
  }
  for (int i = 0; i < 6; ++i) h[i] = static_cast<int>(r[i]);
  return true;
}

// 0 ok, 1 not a reflection of the centred cell, 2 unknown letter.
int ctophstatus(int* h) {
  switch (getbrv()) {
    case 'p': return 0;
    case 'i': return halfrow(h, kP, false) ? 0 : 1;
    case 'f': return halfrow(h, kQ, true) ? 0 : 1;
    default: return 2;
  }
}

// Column-by-column 6x6 helpers in double precision.
void munit(double* m) {
  for (int i = 0; i < 36; ++i) m[i] = 0;
  for (int i = 0; i < 6; ++i) m[at(i, i)] = 1;
}
void mmul(const double* a, const double* b, double* c) {
  double r[36];
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) {
      double s = 0;
      for (int k = 0; k < 6; ++k) s += a[at(i, k)] * b[at(k, j)];
      r[at(i, j)] = s;
    }
  for (int i = 0; i < 36; ++i) c[i] = r[i];
}
// Matrix of a table given by rows, times f (transposed when tr is set).
void fromtable(const int (*a)[6], double f, bool tr, double* m) {
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) m[at(i, j)] = f * (tr ? a[j][i] : a[i][j]);
}

// Superstructure part M_s for pair p, ismtr n: (S/2)^n or S^n (T for n < 0).
void smtrmatrix(int p, int n, double* m) {
  double a[36];
  fromtable(n >= 0 ? kS[p] : kT[p], halves() ? 0.5 : 1.0, false, a);
  munit(m);
  for (int s = 0; s < std::abs(n); ++s) mmul(m, a, m);
}

void centmatrix(double* m) {
  switch (getbrv()) {
    case 'p': munit(m); break;
    case 'i': fromtable(kP, 0.5, false, m); break;
    case 'f': fromtable(kQ, 0.5, true, m); break;
    default: quit("invalid brv");
  }
}

}  // namespace

void resetsetting() { g_pairh = g_pairx = 0; }

void setsmh(int isys) { g_pairh = pairof(isys, g_pairh); }
void setsmx(int isys) { g_pairx = pairof(isys, g_pairx); }

void smtrh(const int* h, int* hr, int ismtr) {
  if (!smtrhok(h, hr, ismtr)) quit("nonallowd reflections");
}

void itoph(int* h) {
  if (!halfrow(h, kP, false)) quit("nonallowd reflections");
}
void ftoph(int* h) {
  if (!halfrow(h, kQ, true)) quit("nonallowd reflections");
}
void ctoph(int* h) {
  const char brv = getbrv();
  if (brv == 'p') return;
  if (brv == 'i') return itoph(h);
  if (brv == 'f') return ftoph(h);
  quit("invalid brv");
}

void htoph(const int* h, int* hg) {
  smtrh(h, hg, getsmtr());
  ctoph(hg);
}

bool htophok(const int* h, int* hg) {
  int t[6];
  if (!smtrhok(h, t, getsmtr())) return false;
  if (ctophstatus(t) != 0) return false;
  for (int i = 0; i < 6; ++i) hg[i] = t[i];
  return true;
}

void ptocx(float* x) {
  double m[36];
  centmatrix(m);
  double y[6];
  for (int i = 0; i < 6; ++i) {
    double s = 0;
    for (int j = 0; j < 6; ++j) s += m[at(i, j)] * x[j];
    y[i] = s;
  }
  for (int i = 0; i < 6; ++i) x[i] = static_cast<float>(y[i]);
}

void smtrx(const float* x, float* y, int smtr) {
  double m[36];
  smtrmatrix(g_pairx, smtr, m);
  double r[6];
  for (int i = 0; i < 6; ++i) {
    double s = 0;
    for (int j = 0; j < 6; ++j) s += m[at(i, j)] * x[j];
    r[i] = s;
  }
  for (int i = 0; i < 6; ++i) y[i] = static_cast<float>(r[i]);
}

void reduc(float* x) {
  for (int i = 0; i < 6; ++i) {
    float f = x[i] - std::trunc(x[i]);
    if (f < -0.001f) f += 1.0f;
    x[i] = f;
  }
}

void xgtox(const float* xg, float* x) {
  float y[6];
  for (int i = 0; i < 6; ++i) y[i] = xg[i];
  ptocx(y);
  smtrx(y, x, getsmtr());
}

void getsetmtrx(double* m) {
  double ms[36], mc[36];
  smtrmatrix(g_pairh, getsmtr(), ms);
  centmatrix(mc);
  mmul(ms, mc, m);
}

void getsetmtrxinv(double* mi) {
  getsetmtrx(mi);
  // The matrices here are unimodular up to powers of 2, far from singular.
  double det = 0;
  if (!matinvd(mi, 6, det)) quit("singular setting transformation");
  // M^-1 is a matrix of integers or of small dyadic fractions; remove the
  // rounding of the elimination.
  for (int i = 0; i < 36; ++i) mi[i] = std::nearbyint(mi[i] * 1048576.0) / 1048576.0;
}

}  // namespace trovan
