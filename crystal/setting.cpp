// Setting basis to grid basis: centring and superstructure transformations
// in their index and coordinate forms, and the combined matrix M.
#include "crystal/setting.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crystal/op.hpp"
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

int pairof(int isys, int current) {
  if (isys < 3) return 0;
  if (isys <= 5) return isys - 2;
  return current;
}

// The icosahedral superstructure matrices carry a factor 1/2 per step.
bool halves(const Setting& s) { return s.isys <= 2; }

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

bool smtrhok(const Setting& st, const int* h, int* hr, int ismtr) {
  long long v[6];
  for (int j = 0; j < 6; ++j) v[j] = h[j];
  const int n = std::abs(ismtr);
  const int (*a)[6] = (ismtr > 0) ? kS[st.pairh] : kT[st.pairh];
  for (int s = 0; s < n; ++s) rowtimes(v, a);
  if (n > 0 && halves(st)) {
    const long long d = 1LL << n;
    for (int j = 0; j < 6; ++j) {
      if (v[j] % d != 0) return false;
      v[j] /= d;
    }
  }
  for (int j = 0; j < 6; ++j) hr[j] = static_cast<int>(v[j]);
  return true;
}

// A centring: the grid cell's basis vectors in the setting cell, as an
// integer matrix K over a common divisor d. Column j of K/d is the j-th
// primitive basis vector in setting coordinates (x = M_c x_grid), and the
// indices go over as h_grid,j = sum_k h_k K[k][j] / d: an index whose
// components do not all divide by d is no reflection of the centred cell.
struct Primitive {
  int k[6][6];
  int d;
};

// The six-dimensional centrings of the built-in bases: K = P ('i') and
// K = Q^T ('f').
Primitive fromrows(const int (*a)[6], bool tr, int d) {
  Primitive c{};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) c.k[i][j] = tr ? a[j][i] : a[i][j];
  c.d = d;
  return c;
}

// The centrings of the general setting (isys 0) act on the three physical
// axes only; the internal axes keep their cell. The primitive cells, with
// the setting's axes a, b, c (International Tables choices):
//   A  a,  (b+c)/2,  (-b+c)/2          reflections k+l = 2n
//   B  (a+c)/2,  b,  (-a+c)/2          h+l = 2n
//   C  (a+b)/2,  (-a+b)/2,  c          h+k = 2n
//   I  (-a+b+c)/2, (a-b+c)/2, (a+b-c)/2           h+k+l = 2n
//   F  (b+c)/2, (a+c)/2, (a+b)/2                  h, k, l all even or all odd
//   R  (2a+b+c)/3, (-a+b+c)/3, (-a-2b+c)/3        -h+k+l = 3n (obverse,
//      hexagonal axes; the rhombohedral cell of the International Tables)
// Each has a right-handed primitive cell and an integral inverse.
Primitive physical(char brv) {
  // rows k (setting axis), columns j (primitive vector), times d
  static const int ka[3][3] = {{2, 0, 0}, {0, 1, -1}, {0, 1, 1}};
  static const int kb[3][3] = {{1, 0, -1}, {0, 2, 0}, {1, 0, 1}};
  static const int kc[3][3] = {{1, -1, 0}, {1, 1, 0}, {0, 0, 2}};
  static const int ki[3][3] = {{-1, 1, 1}, {1, -1, 1}, {1, 1, -1}};
  static const int kf[3][3] = {{0, 1, 1}, {1, 0, 1}, {1, 1, 0}};
  static const int kr[3][3] = {{2, -1, -1}, {1, 1, -2}, {1, 1, 1}};
  const int (*b)[3] = nullptr;
  int d = 2;
  switch (brv) {
    case 'a': b = ka; break;
    case 'b': b = kb; break;
    case 'c': b = kc; break;
    case 'i': b = ki; break;
    case 'f': b = kf; break;
    case 'r': b = kr; d = 3; break;
    default: break;
  }
  Primitive c{};
  c.d = d;
  for (int i = 0; i < 6; ++i) c.k[i][i] = d;
  if (b)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) c.k[i][j] = b[i][j];
  return c;
}

// The centring of the setting's brv and isys; false for 'p' (no centring)
// and for letters the system does not know (`known` tells them apart).
bool centring(const Setting& s, Primitive& c, bool& known) {
  const char brv = s.brv;
  known = true;
  if (brv == 'p') return false;
  if (s.isys == 0) {
    if (std::strchr("abcifr", brv) == nullptr || brv == '\0') {
      known = false;
      return false;
    }
    c = physical(brv);
    return true;
  }
  if (brv == 'i') {
    c = fromrows(kP, false, 2);
    return true;
  }
  if (brv == 'f') {
    c = fromrows(kQ, true, 2);
    return true;
  }
  known = false;
  return false;
}

// h := h.K/d in place; false (h unchanged) when a component does not divide.
bool tocentred(int* h, const Primitive& c) {
  long long r[6];
  for (int j = 0; j < 6; ++j) {
    long long s = 0;
    for (int k = 0; k < 6; ++k) s += static_cast<long long>(h[k]) * c.k[k][j];
    if (s % c.d != 0) return false;
    r[j] = s / c.d;
  }
  for (int j = 0; j < 6; ++j) h[j] = static_cast<int>(r[j]);
  return true;
}

// 0 ok, 1 not a reflection of the centred cell, 2 unknown letter.
int ctophstatus(const Setting& s, int* h) {
  Primitive c;
  bool known = true;
  if (!centring(s, c, known)) return known ? 0 : 2;
  return tocentred(h, c) ? 0 : 1;
}

// Column-by-column 6x6 helpers in double precision.
void munit(double* m) {
  for (int i = 0; i < 36; ++i) m[i] = 0;
  for (int i = 0; i < 6; ++i) m[at(i, i)] = 1;
}
// Matrix of a table given by rows, times f (transposed when tr is set).
void fromtable(const int (*a)[6], double f, bool tr, double* m) {
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) m[at(i, j)] = f * (tr ? a[j][i] : a[i][j]);
}

// Superstructure part M_s for pair p, ismtr n: (S/2)^n or S^n (T for n < 0).
void smtrmatrix(const Setting& s, int p, int n, double* m) {
  double a[36];
  fromtable(n >= 0 ? kS[p] : kT[p], halves(s) ? 0.5 : 1.0, false, a);
  munit(m);
  for (int s = 0; s < std::abs(n); ++s) mtmpld(m, a, m);
}

// y = m.x for a coordinate column x; y may be x.
void transform(const double* m, const float* x, float* y) {
  double r[6];
  for (int i = 0; i < 6; ++i) {
    double s = 0;
    for (int j = 0; j < 6; ++j) s += m[at(i, j)] * x[j];
    r[i] = s;
  }
  for (int i = 0; i < 6; ++i) y[i] = static_cast<float>(r[i]);
}

void centmatrix(const Setting& s, double* m) {
  Primitive c;
  bool known = true;
  if (!centring(s, c, known)) {
    if (!known) quit("invalid brv");
    munit(m);
    return;
  }
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) m[at(i, j)] = static_cast<double>(c.k[i][j]) / c.d;
}

}  // namespace

void setsmh(Setting& s, int isys) { s.pairh = pairof(isys, s.pairh); }
void setsmx(Setting& s, int isys) { s.pairx = pairof(isys, s.pairx); }

void smtrh(const Setting& s, const int* h, int* hr, int ismtr) {
  if (!smtrhok(s, h, hr, ismtr)) quit("nonallowd reflections");
}

void itoph(int* h) {
  if (!tocentred(h, fromrows(kP, false, 2))) quit("nonallowd reflections");
}
void ftoph(int* h) {
  if (!tocentred(h, fromrows(kQ, true, 2))) quit("nonallowd reflections");
}
void ctoph(const Setting& s, int* h) {
  switch (ctophstatus(s, h)) {
    case 0: return;
    case 1: quit("nonallowd reflections");
    default: quit("invalid brv");
  }
}

bool brvknown(const Setting& s) {
  Primitive c;
  bool known = true;
  centring(s, c, known);
  return known;
}

std::string brvletters(int isys) { return isys == 0 ? "p, a, b, c, i, f, r" : "p, i, f"; }

Centring centringof(const Setting& s) {
  Centring c;
  Primitive k;
  bool known = true;
  c.centred = centring(s, k, known);
  if (!c.centred) return c;
  double mi[36];
  centmatrix(s, mi);
  double det = 0;
  if (!matinvd(mi, 6, det)) quit("singular centring matrix");
  for (int i = 0; i < 36; ++i) {
    const double v = std::nearbyint(mi[i]);
    if (std::fabs(mi[i] - v) > 1e-9) quit("singular centring matrix");
    c.inv[i] = static_cast<long long>(v);
  }
  return c;
}

bool iscentringvector(const Centring& c, const long long* t) {
  for (int i = 0; i < 6; ++i) {
    long long s = t[i];
    if (c.centred) {
      s = 0;
      for (int j = 0; j < 6; ++j) s += c.inv[at(i, j)] * t[j];
    }
    if (s % kTrnDen != 0) return false;
  }
  return true;
}

bool iscentringvector(const Setting& s, const double* t) {
  const Centring c = centringof(s);
  for (int i = 0; i < 6; ++i) {
    double v = t[i];
    if (c.centred) {
      v = 0;
      for (int j = 0; j < 6; ++j) v += static_cast<double>(c.inv[at(i, j)]) * t[j];
    }
    if (std::fabs(v - std::nearbyint(v)) > 1e-4) return false;
  }
  return true;
}

void htoph(const Setting& s, const int* h, int* hg) {
  smtrh(s, h, hg, s.ismtr);
  ctoph(s, hg);
}

int htophstatus(const Setting& s, const int* h, int* hg) {
  int t[6];
  if (!smtrhok(s, h, t, s.ismtr)) return 2;
  switch (ctophstatus(s, t)) {
    case 0: break;
    case 1: return 1;
    default: return 3;
  }
  for (int i = 0; i < 6; ++i) hg[i] = t[i];
  return 0;
}

void ptocx(const Setting& s, float* x) {
  double m[36];
  centmatrix(s, m);
  transform(m, x, x);
}

void smtrx(const Setting& s, const float* x, float* y, int smtr) {
  double m[36];
  smtrmatrix(s, s.pairx, smtr, m);
  transform(m, x, y);
}

void reduc(float* x) {
  for (int i = 0; i < 6; ++i) {
    float f = x[i] - std::trunc(x[i]);
    if (f < -0.001f) f += 1.0f;
    x[i] = f;
  }
}

void xgtox(const Setting& s, const float* xg, float* x) {
  float y[6];
  for (int i = 0; i < 6; ++i) y[i] = xg[i];
  ptocx(s, y);
  smtrx(s, y, x, s.ismtr);
}

void getsetmtrx(const Setting& s, double* m) {
  double ms[36], mc[36];
  smtrmatrix(s, s.pairh, s.ismtr, ms);
  centmatrix(s, mc);
  mtmpld(ms, mc, m);
}

void getsetmtrxinv(const Setting& s, double* mi) {
  getsetmtrx(s, mi);
  // The matrices here are unimodular up to powers of 2, far from singular.
  double det = 0;
  if (!matinvd(mi, 6, det)) quit("singular setting transformation");
  // M^-1 is a matrix of integers or of small dyadic fractions; remove the
  // rounding of the elimination.
  for (int i = 0; i < 36; ++i) mi[i] = std::nearbyint(mi[i] * 1048576.0) / 1048576.0;
}

}  // namespace trovan
