#include "density/synthesis.hpp"

#include <algorithm>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
#include "density/fft.hpp"
#include "density/workgrid.hpp"
#include "driver/runstate.hpp"
#include "reflections/expand.hpp"
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
  for (int i = 0; i < nx; ++i) {
    int x[6], xr[6];
    getitoxyz(xi[i], x);
    for (int s = 1; s <= nsymo; ++s)
      for (int k = 0; k <= ncent; ++k) {
        getrxi(x, xr, s, k);
        g_rep[getxyztoj(xr)] = i;
      }
  }
  for (long long j = 0; j < nt; ++j)
    if (g_rep[j] < 0) quit("grid point " + std::to_string(j) + " lies in no symmetry orbit");
}

}  // namespace

void mapxyz() {
  transform(+1);
  scale_real(1.0f / getvol());
}

void setdf() {
  // (Fo - Fc)/sigma^2 at every independent reflection, spread over its
  // symmetry images with their phase shifts and Friedel mates. Dividing by
  // sigma^2 makes the map the gradient of c2 = sum |Fo - Fc|^2 / sigma^2.
  const int n = getnind();
  std::vector<float> fr(n), fi(n);
  for (int k = 0; k < n; ++k) {
    int j;
    float a, b, s;
    getfobs(k, j, a, b, s);
    const float w = s * s;
    fr[k] = (a - g_fcr[k]) / w;
    fi[k] = (b - g_fci[k]) / w;
  }
  setffromf0(n, getfobsj(), fr.data(), fi.data(), 0.0f);
}

void difxyz() {
  difxyzv();
  scale_real(1.0f / getvol());
}

void difxyzv() {
  setdf();
  transform(+1);
}

float maphkl() {
  getbrfromxr0();
  transform(-1);
  // Only the observed reflections and F(000) are wanted: they alone are
  // scaled by V/nt, the rest of the grid keeps the bare transform.
  const long long nt = getnt();
  const float f = getvol() / static_cast<float>(nt);
  const float* a = getabcdr();
  const float* b = getabcdi();
  const bool centro = geticent() != 0;
  const int n = getnind();
  const int* jj = getfobsj();
  for (int k = 0; k < n; ++k) {
    g_fcr[k] = a[jj[k]] * f;
    g_fci[k] = centro ? 0.0f : b[jj[k]] * f;
  }
  return a[0] * f;
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
float* getfcr() { return g_fcr; }
float* getfci() { return g_fci; }

}  // namespace trovan
