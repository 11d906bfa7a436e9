#include "density/synthesis.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
#include "density/fft.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "reflections/expand.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// The current density at the independent grid points, and for every grid
// point the position of its orbit's representative in that list.
//
// A Patterson map does not have the symmetry of the structure: it is the
// autocorrelation of the density, invariant under the rotations and the
// inversion but not under the translations of the space group. It is kept
// whole, every grid point its own representative.
//
// Two lists are kept: the current one and a spare, into which the
// maximum-entropy iteration writes a trial density. Accepting the trial or
// going back to the last accepted density is then a matter of which list is
// current; neither is ever copied.
float g_xr0[2][kGridMax];
int g_cur = 0;
int g_rep[kGridMax];
int g_all[kGridMax];
bool g_all_made = false;
int g_nxr0 = 0;
bool g_whole = false;
float g_dmin = 0, g_dmax = 0;

// Calculated structure factors at the independent reflections.
float g_fcr[kMaxInd], g_fci[kMaxInd];

void transform(int isn) {
  int n[6];
  gethmax(n);
  int icon = 0;
  cft1(getabcdr(), getabcdi(), n, getidm(), isn, icon);
}

// ---------------------------------------------------------------------------
// Real data at half the cost.
//
// A density is real and a difference map is real, so each is half the
// information of a complex grid. With an even first axis (n0 = 2 m) the real
// values x(j) at the grid points j are paired as z(j') = x(2j') + i x(2j'+1),
// j' = j >> 1: a complex grid of n0/2 x n1 x ... points held in the first
// nt/2 entries of the two halves of the work grid, x(j) at
// (j & 1 ? b : a)[j >> 1]. One transform of this half grid does the work of
// the full one:
//
// Structure factors (isn = -1): with Z the transform of z, Z(-k) meaning
// the index negated along every axis (first axis modulo m),
//   E(k) = (Z(k) + conj Z(-k)) / 2      transform of the even points,
//   O(k) = (Z(k) - conj Z(-k)) / (2i)   transform of the odd points,
//   F(k) = E(k') + exp(-2 pi i k0/n0) O(k'),  k' = k with k0 mod m,
// needed only at the observed reflections.
//
// Synthesis (isn = +1) from Hermitian coefficients X: the even and odd
// points are the syntheses of E'(k') = X(k') + X(k'+m) and
// O'(k') = w^k0 (X(k') - X(k'+m)), w = exp(+2 pi i/n0), so z is the
// synthesis of Z = E' + i O' = X(k')(1 + i w^k0) + X(k'+m)(1 - i w^k0),
// formed row by row in place (row r of the full grid becomes row r of the
// half grid, which lies at or before it in memory).
constexpr int kMaxPackedAxis = 65536;

// The half-grid path is switched off: in a build with other optimisation
// (and in the sanitizer build) its maps differ from the full transform's, a
// fault not yet found. The full complex transform is used for every grid.
constexpr bool kUsePacking = false;

bool packable() {
  int n[6];
  gethmax(n);
  return kUsePacking && getidm() >= 1 && n[0] % 2 == 0 && n[0] <= kMaxPackedAxis;
}

void transform_half(int isn) {
  int n[6];
  gethmax(n);
  n[0] /= 2;
  int icon = 0;
  cft1(getabcdr(), getabcdi(), n, getidm(), isn, icon);
}

// One row: a = X(k'), b = X(k'+m) for k' < m read from pr, pi; Z(k') written
// to zr, zi; c, s = cos, sin 2 pi k'/n0.
void pack_row(const float* __restrict pr, const float* __restrict pi, float* __restrict zr,
              float* __restrict zi, int m, const float* c, const float* s) {
  for (int k = 0; k < m; ++k) {
    const float ar = pr[k], ai = pi[k], br = pr[k + m], bi = pi[k + m];
    // (1 + i w) = (1 - s) + i c,  (1 - i w) = (1 + s) - i c
    const float u = 1 - s[k], v = 1 + s[k];
    zr[k] = ar * u - ai * c[k] + br * v + bi * c[k];
    zi[k] = ai * u + ar * c[k] + bi * v - br * c[k];
  }
}

void pack_hermitian() {
  int n[6];
  gethmax(n);
  const int m = n[0] / 2;
  const long long rows = getnt() / n[0];
  std::vector<float> c(m), s(m), r0(2 * m), i0(2 * m);
  for (int k = 0; k < m; ++k) {
    const double ang = kTwoPi * k / n[0];
    c[k] = static_cast<float>(std::cos(ang));
    s[k] = static_cast<float>(std::sin(ang));
  }
  float* a = getabcdr();
  float* b = getabcdi();
  // Row 0 is rewritten over itself: from a copy.
  std::copy(a, a + 2 * m, r0.begin());
  std::copy(b, b + 2 * m, i0.begin());
  pack_row(r0.data(), i0.data(), a, b, m, c.data(), s.data());
  for (long long r = 1; r < rows; ++r)
    pack_row(a + r * 2 * m, b + r * 2 * m, a + r * m, b + r * m, m, c.data(), s.data());
}

bool g_packed = false;  // layout of the last difxyzv

void scale_real(float f) {
  float* a = getabcdr();
  const long long nt = getnt();
  for (long long j = 0; j < nt; ++j) a[j] *= f;
}

// rep[j] for every grid point: the images of each independent point under
// every operator (with the inversion in a centrosymmetric group) are its
// orbit. Made whenever the density list is (re)made from the grid.
void make_rep() {
  const long long nt = getnt();
  g_whole = ispatterson();
  // A whole map is its own list: no orbit map is needed to expand it, and
  // the identity list of grid indices is only made if someone asks for it.
  g_all_made = false;
  if (g_whole) return;
  const int nx = getnxindx();
  const int* xi = getxindx();
  const int nsymo = getnsymo(), ncent = getncent();
  for (long long j = 0; j < nt; ++j) g_rep[j] = -1;
  // The grid coordinates of j are kept as an odometer; the independent
  // points come in increasing order of j.
  int n[6];
  gethmax(n);
  const int idm = getidm();
  int x[6] = {0, 0, 0, 0, 0, 0};
  long long j = 0;
  for (int i = 0; i < nx; ++i) {
    for (; j < xi[i]; ++j)
      for (int e = 0; e < idm; ++e) {
        if (++x[e] < n[e]) break;
        x[e] = 0;
      }
    for (int s = 1; s <= nsymo; ++s)
      for (int k = 0; k <= ncent; ++k) g_rep[getrxij(x, s, k)] = i;
  }
  for (long long j = 0; j < nt; ++j)
    if (g_rep[j] < 0) quit("grid point " + std::to_string(j) + " lies in no symmetry orbit");
}

}  // namespace

void mapxyz() {
  transform(+1);
  scale_real(1.0f / getvol());
}

void setdf(const float* wk) {
  // (Fo - Fc)/sigma^2 at every independent reflection, spread over its
  // symmetry images with their phase shifts and Friedel mates. Dividing by
  // sigma^2 makes the map the gradient of c2 = sum |Fo - Fc|^2 / sigma^2.
  const int n = getnind();
  std::vector<float> fr(n), fi(n);
  for (int k = 0; k < n; ++k) {
    int j;
    float a, b, s;
    getfobs(k, j, a, b, s);
    const float w = wk ? s * s / wk[k] : s * s;
    fr[k] = (a - g_fcr[k]) / w;
    fi[k] = (b - g_fci[k]) / w;
  }
  setffromf0(n, getfobsj(), fr.data(), fi.data(), 0.0f);
}

void difxyz() {
  setdf();
  transform(+1);
  scale_real(1.0f / getvol());
}

void difxyzv(const float* w) {
  setdf(w);
  g_packed = packable();
  if (g_packed) {
    pack_hermitian();
    transform_half(+1);
  } else {
    transform(+1);
  }
}

bool difxyzvpacked() { return g_packed; }

float maphkl() {
  const long long nt = getnt();
  const float f = getvol() / static_cast<float>(nt);
  const bool centro = geticent() != 0;
  const int n = getnind();
  const int* jj = getfobsj();
  const float* a = getabcdr();
  const float* b = getabcdi();
  if (!packable()) {
    getbrfromxr0();
    transform(-1);
    // Only the observed reflections and F(000) are wanted: they alone are
    // scaled by V/nt, the rest of the grid keeps the bare transform.
    for (int k = 0; k < n; ++k) {
      g_fcr[k] = a[jj[k]] * f;
      g_fci[k] = centro ? 0.0f : b[jj[k]] * f;
    }
    return a[0] * f;
  }
  getbrfromxr0packed();
  transform_half(-1);
  int nn[6];
  gethmax(nn);
  const int idm = getidm();
  const long long m = nn[0] / 2;
  // F(k) from the half-grid transform at k' and -k' (see pack_hermitian).
  auto structure_factor = [&](long long j, double& fr, double& fi) {
    int x[6];
    getitoxyz(static_cast<int>(j), x);
    const long long k0 = x[0];
    long long jp = k0 % m, jm = (m - k0 % m) % m, st = m;
    for (int e = 1; e < idm; ++e) {
      jp += x[e] * st;
      jm += ((nn[e] - x[e]) % nn[e]) * st;
      st *= nn[e];
    }
    const double zr = a[jp], zi = b[jp], wr = a[jm], wi = -b[jm];  // Z(k'), conj Z(-k')
    const double er = 0.5 * (zr + wr), ei = 0.5 * (zi + wi);
    const double or_ = 0.5 * (zi - wi), oi = -0.5 * (zr - wr);
    const double ang = -kTwoPi * static_cast<double>(k0) / nn[0];
    const double c = std::cos(ang), s = std::sin(ang);
    fr = er + c * or_ - s * oi;
    fi = ei + c * oi + s * or_;
  };
  for (int k = 0; k < n; ++k) {
    double fr, fi;
    structure_factor(jj[k], fr, fi);
    g_fcr[k] = static_cast<float>(fr * f);
    g_fci[k] = centro ? 0.0f : static_cast<float>(fi * f);
  }
  return static_cast<float>((double(a[0]) + b[0]) * f);
}

void initcr1() {
  // The work grid holds the expanded coefficients (symstf): synthesise.
  mapxyz();
  setxr0();
  getdmx();
}

void initcr0(float f000) {
  // F(000) alone: the uniform density f000/V, the maximum-entropy start.
  float* a = getabcdr();
  float* b = getabcdi();
  const long long nt = getnt();
  for (long long j = 0; j < nt; ++j) a[j] = b[j] = 0;
  a[0] = f000;
  mapxyz();
  setxr0();
  getdmx();
}

void setxr0() {
  make_rep();
  g_nxr0 = g_whole ? static_cast<int>(getnt()) : getnxindx();
  float* x = g_xr0[g_cur];
  const float* a = getabcdr();
  if (g_whole) {
    for (int i = 0; i < g_nxr0; ++i) x[i] = a[i];
    return;
  }
  const int* xi = getxindx();
  for (int i = 0; i < g_nxr0; ++i) x[i] = a[xi[i]];
}

void getdmx() {
  if (g_nxr0 < 1) {
    g_dmin = g_dmax = 0;
    return;
  }
  const float* x = g_xr0[g_cur];
  float lo = x[0], hi = x[0];
  for (int i = 1; i < g_nxr0; ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
  g_dmin = lo;
  g_dmax = hi;
}

float getdmincur() { return g_dmin; }
float getdmaxcur() { return g_dmax; }

void getbrfromxr0() {
  float* a = getabcdr();
  float* b = getabcdi();
  const long long nt = getnt();
  const float* x = g_xr0[g_cur];
  if (g_whole) {
    for (long long j = 0; j < nt; ++j) a[j] = x[j];
    for (long long j = 0; j < nt; ++j) b[j] = 0;
  } else {
    for (long long j = 0; j < nt; ++j) {
      a[j] = x[g_rep[j]];
      b[j] = 0;
    }
  }
}

void getbrfromxr0packed() {
  float* a = getabcdr();
  float* b = getabcdi();
  const long long h = getnt() / 2;
  const float* x = g_xr0[g_cur];
  if (g_whole) {
    for (long long j = 0; j < h; ++j) {
      a[j] = x[2 * j];
      b[j] = x[2 * j + 1];
    }
  } else {
    for (long long j = 0; j < h; ++j) {
      a[j] = x[g_rep[2 * j]];
      b[j] = x[g_rep[2 * j + 1]];
    }
  }
}

int getnxr0() { return g_nxr0; }
float* getxr0() { return g_xr0[g_cur]; }
float* getxr0spare() { return g_xr0[1 - g_cur]; }
void swapxr0() { g_cur = 1 - g_cur; }
const int* getxr0grid() {
  if (!g_whole) return getxindx();
  if (!g_all_made) {
    const long long nt = getnt();
    for (long long j = 0; j < nt; ++j) g_all[j] = static_cast<int>(j);
    g_all_made = true;
  }
  return g_all;
}
void getxr0orbits(std::vector<unsigned char>& m) {
  // An orbit has at most 60 operators times the inversion: 120 points.
  m.assign(g_nxr0, g_whole ? 1 : 0);
  if (g_whole) return;
  const long long nt = getnt();
  for (long long j = 0; j < nt; ++j) ++m[g_rep[j]];
}
float* getfcr() { return g_fcr; }
float* getfci() { return g_fci; }

void resetsynthesis() {
  // The lists are read only up to their counts.
  g_cur = 0;
  g_nxr0 = 0;
  g_all_made = false;
  g_whole = false;
  g_dmin = g_dmax = 0;
  g_packed = false;
}

}  // namespace trovan
