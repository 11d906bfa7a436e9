#include "density/synthesis.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
#include "density/fft.hpp"
#include "density/halfgrid.hpp"
#include "util/threads.hpp"
#include "util/vectorclones.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "reflections/expand.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"
#include "util/table.hpp"

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
Table<float> g_xr0[2];
int g_cur = 0;
Table<int> g_rep;
Table<int> g_all;
bool g_all_made = false;
int g_nxr0 = 0;
bool g_whole = false;
float g_dmin = 0, g_dmax = 0;

// Calculated structure factors at the independent reflections, as many as
// the run has.
std::vector<float> g_fcr, g_fci;
void sizefc() {
  const std::size_t n = static_cast<std::size_t>(getnind());
  if (g_fcr.size() != n) {
    g_fcr.assign(n, 0.0f);
    g_fci.assign(n, 0.0f);
  }
}

// Grid points per thread below which a loop over the grid stays on one.
constexpr long long kGrain = 1 << 16;

// The real map synthesised from the Hermitian coefficients in the work grid
// (see density/halfgrid.hpp), times f, in the real half; the imaginary half
// cleared.
void synthesise(float f) {
  int n[6];
  gethmax(n);
  synthreal(getabcdr(), getabcdi(), n, getidm(), f);
}

// rep[j] for every grid point: the position of its orbit's independent
// point in the density list. Made whenever the density list is (re)made
// from the grid.
void make_rep() {
  const long long nt = getnt();
  g_whole = ispatterson();
  // A whole map is its own list: no orbit map is needed to expand it, and
  // the identity list of grid indices is only made if someone asks for it.
  g_all_made = false;
  if (g_whole) return;
  g_rep.assign(static_cast<std::size_t>(nt), "the orbit map of the grid");
  if (getxindxorbits(g_rep.data()) == nt) return;
  // Some point lies in no orbit (or in two): find the first for the message.
  std::fill(g_rep.data(), g_rep.data() + nt, -1);
  getxindxorbits(g_rep.data());
  for (long long j = 0; j < nt; ++j)
    if (g_rep[j] < 0) quit("grid point " + std::to_string(j) + " lies in no symmetry orbit");
  quit("symmetry orbits of the grid overlap");
}

// ra[i] = x at full point p + i, rb[i] = x at p + B + i, i < len: through
// the orbit map rep, or directly when rep is null (a whole map).
TROVAN_VECTOR_CLONES
void gather_pair(float* __restrict ra, float* __restrict rb, const float* __restrict x,
                 const int* __restrict rep, long long p, long long B, long long len) {
  if (!rep) {
    for (long long i = 0; i < len; ++i) ra[i] = x[p + i];
    for (long long i = 0; i < len; ++i) rb[i] = x[p + B + i];
  } else {
    for (long long i = 0; i < len; ++i) ra[i] = x[rep[p + i]];
    for (long long i = 0; i < len; ++i) rb[i] = x[rep[p + B + i]];
  }
}

// The same for B = 1: ra[i] = x at full point 2 (q + i), rb[i] at the next.
TROVAN_VECTOR_CLONES
void gather_neighbours(float* __restrict ra, float* __restrict rb, const float* __restrict x,
                       const int* __restrict rep, long long q, long long len) {
  const int* r = rep + 2 * q;
  for (long long i = 0; i < len; ++i) {
    ra[i] = x[r[2 * i]];
    rb[i] = x[r[2 * i + 1]];
  }
}

// The current density paired along axis e into the first nt/2 entries of
// the work grid (see density/halfgrid.hpp): half point q holds the density
// at p = q + B floor(q/B) and at p + B.
void pair_density(int e) {
  int n[6];
  gethmax(n);
  long long B = 1;
  for (int i = 0; i < e; ++i) B *= n[i];
  float* a = getabcdr();
  float* b = getabcdi();
  const long long h = getnt() / 2;
  const float* x = g_xr0[g_cur].data();
  const bool whole = g_whole;
  parallel_for(h, kGrain, [&](long long lo, long long hi) {
    // Runs of up to B half points q .. q+len-1 take the full points p ..
    // p+len-1 and those B further on (one division per run, not per point).
    if (B == 1 && !whole) {
      gather_neighbours(a + lo, b + lo, x, g_rep.data(), lo, hi - lo);
      return;
    }
    for (long long q = lo; q < hi;) {
      const long long len = std::min(hi - q, B - q % B);
      const long long p = q + B * (q / B);
      if (whole)
        gather_pair(a + q, b + q, x, nullptr, p, B, len);
      else
        gather_pair(a + q, b + q, x, g_rep.data(), p, B, len);
      q += len;
    }
  });
}

}  // namespace

void mapxyz() { synthesise(1.0f / getvol()); }

namespace {

// (Fo - Fc)/sigma^2 at every independent reflection (times wk[k] when
// weights are given). Dividing by sigma^2 makes the map the gradient of
// c2 = sum |Fo - Fc|^2 / sigma^2.
void diffcoefs(const float* wk, std::vector<float>& fr, std::vector<float>& fi) {
  const int n = getnind();
  sizefc();
  fr.resize(n);
  fi.resize(n);
  for (int k = 0; k < n; ++k) {
    int j;
    float a, b, s;
    getfobs(k, j, a, b, s);
    const float w = wk ? s * s / wk[k] : s * s;
    fr[k] = (a - g_fcr[k]) / w;
    fi[k] = (b - g_fci[k]) / w;
  }
}

// The difference map times f, synthesised from the list of its
// coefficients: on a large grid the few thousand reflections and their
// images go straight into the half grid, which is all that is cleared. The
// lists are kept from one cycle to the next (made afresh every cycle, they
// would cost the system a page fault per page each time).
std::vector<float> g_dfr, g_dfi;
std::vector<FCoef> g_dlist;

// The coefficient list of the difference map (weighted by wk).
const std::vector<FCoef>& diflist(const float* wk) {
  diffcoefs(wk, g_dfr, g_dfi);
  getffromf0(getnind(), getfobsj(), g_dfr.data(), g_dfi.data(), 0.0f, g_dlist);
  return g_dlist;
}

}  // namespace

void setdf(const float* wk) {
  // The coefficients spread over their symmetry images with their phase
  // shifts and Friedel mates.
  std::vector<float> fr, fi;
  diffcoefs(wk, fr, fi);
  setffromf0(getnind(), getfobsj(), fr.data(), fi.data(), 0.0f);
}

void difxyz() {
  const std::vector<FCoef>& list = diflist(nullptr);
  int n[6];
  gethmax(n);
  synthrealfrom(getabcdr(), getabcdi(), n, getidm(), 1.0f / getvol(), list.data(), list.size());
}

HalfMap difxyzv(const float* w) {
  const std::vector<FCoef>& list = diflist(w);
  int n[6];
  gethmax(n);
  return synthhalffrom(getabcdr(), getabcdi(), n, getidm(), 1.0f, list.data(), list.size());
}

namespace {

// What the structure factors of the reflections need from a transform of
// the density: the outputs it must give (the lines that feed no other are
// left out, see FftPrune) and where each reflection's X(k) is read (on the
// half grid, Z at k and at -k). Made once for the reflections of a run and
// kept while they, the grid and its operators are the same.
struct FcPlan {
  long long stamp = -1;
  int idm = 0, e = -2;
  std::vector<int> key;
  FftPrune prune;
  std::vector<PairedIndex> at;
};
FcPlan g_fcplan;

const FcPlan& fcplan(int n, const int* jj, const int* nn, int idm, int e) {
  FcPlan& p = g_fcplan;
  if (p.stamp == getgridstamp() && p.idm == idm && p.e == e && p.key.size() == static_cast<std::size_t>(n) &&
      std::equal(jj, jj + n, p.key.begin()))
    return p;
  int len[6];
  gethalfgrid(nn, idm, e, len);
  p.prune = FftPrune{};
  for (int i = 0; i < idm; ++i) p.prune.out[i].assign(static_cast<std::size_t>(len[i]), 0), p.prune.out[i][0] = 1;
  p.at.resize(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    int x[6];
    getitoxyz(jj[k], x);
    for (int i = 0; i < idm; ++i) {
      const int c = x[i] % len[i];
      p.prune.out[i][c] = 1;
      if (e >= 0) p.prune.out[i][(len[i] - c) % len[i]] = 1;
    }
    if (e >= 0) p.at[k] = pairedindex(nn, idm, e, x);
  }
  p.stamp = getgridstamp();
  p.idm = idm;
  p.e = e;
  p.key.assign(jj, jj + n);
  return p;
}

}  // namespace

float maphkl() {
  const long long nt = getnt();
  const float f = getvol() / static_cast<float>(nt);
  const bool centro = geticent() != 0;
  const int n = getnind();
  const int* jj = getfobsj();
  const float* a = getabcdr();
  const float* b = getabcdi();
  sizefc();
  int nn[6];
  gethmax(nn);
  const int idm = getidm();
  const int e = getpairaxis(nn, idm);
  // Only the structure factors at the reflections and F(000) are wanted.
  const FcPlan& plan = fcplan(n, jj, nn, idm, e);
  int icon = 0;
  if (e < 0) {
    getbrfromxr0();
    cft1(getabcdr(), getabcdi(), nn, idm, -1, icon, &plan.prune);
    // They alone are scaled by V/nt, the rest of the grid keeps the bare
    // transform.
    for (int k = 0; k < n; ++k) {
      g_fcr[k] = a[jj[k]] * f;
      g_fci[k] = centro ? 0.0f : b[jj[k]] * f;
    }
    return a[0] * f;
  }
  pair_density(e);
  int len[6];
  gethalfgrid(nn, idm, e, len);
  cft1(getabcdr(), getabcdi(), len, idm, -1, icon, &plan.prune);
  parallel_for(n, 16384, [&](long long k0, long long k1) {
    for (long long k = k0; k < k1; ++k) {
      double fr, fi;
      pairedcoef(a, b, plan.at[k], fr, fi);
      g_fcr[k] = static_cast<float>(fr * f);
      g_fci[k] = centro ? 0.0f : static_cast<float>(fi * f);
    }
  });
  // F(000) = E(0) + O(0), the real and the imaginary part of Z(0).
  return static_cast<float>((double(a[0]) + b[0]) * f);
}

void initcr1() {
  // The work grid holds the expanded coefficients (symstf): synthesise.
  mapxyz();
  setxr0();
  getdmx();
}

void initcr0(float f000) {
  // F(000) alone: the uniform density f000/V, the maximum-entropy start
  // (what the synthesis of F(000) alone gives, to the last bit).
  float* a = getabcdr();
  float* b = getabcdi();
  const float rho = f000 * (1.0f / getvol());
  parallel_for(getnt(), kGrain, [&](long long lo, long long hi) {
    std::fill(a + lo, a + hi, rho);
    std::fill(b + lo, b + hi, 0.0f);
  });
  setxr0();
  getdmx();
}

void setxr0() {
  make_rep();
  g_nxr0 = g_whole ? static_cast<int>(getnt()) : getnxindx();
  for (Table<float>& t : g_xr0) t.assign(static_cast<std::size_t>(g_nxr0), "the density list");
  float* x = g_xr0[g_cur].data();
  const float* a = getabcdr();
  const int* xi = g_whole ? nullptr : getxindx();
  parallel_for(g_nxr0, kGrain, [&](long long lo, long long hi) {
    for (long long i = lo; i < hi; ++i) x[i] = a[xi ? xi[i] : i];
  });
}

namespace {

// The smallest and the largest of v[0..n), n > 0, kept per lane so that
// the loop compiles to vector instructions (a NaN is passed over unless it
// comes first).
TROVAN_VECTOR_CLONES
void extremes(const float* __restrict v, long long n, float& lo, float& hi) {
  float l[16], h[16];
  for (int k = 0; k < 16; ++k) l[k] = h[k] = v[0];
  long long i = 0;
  for (; i + 16 <= n; i += 16)
    for (int k = 0; k < 16; ++k) {
      l[k] = v[i + k] < l[k] ? v[i + k] : l[k];
      h[k] = v[i + k] > h[k] ? v[i + k] : h[k];
    }
  for (; i < n; ++i) {
    l[0] = v[i] < l[0] ? v[i] : l[0];
    h[0] = v[i] > h[0] ? v[i] : h[0];
  }
  lo = l[0];
  hi = h[0];
  for (int k = 1; k < 16; ++k) {
    lo = l[k] < lo ? l[k] : lo;
    hi = h[k] > hi ? h[k] : hi;
  }
}

}  // namespace

void getdmx() {
  if (g_nxr0 < 1) {
    g_dmin = g_dmax = 0;
    return;
  }
  const float* x = g_xr0[g_cur].data();
  // Extremes of each part, then of the parts: the same whatever the split.
  std::mutex m;
  float lo = x[0], hi = x[0];
  parallel_for(g_nxr0, kGrain, [&](long long i0, long long i1) {
    float l, h;
    extremes(x + i0, i1 - i0, l, h);
    std::lock_guard<std::mutex> lk(m);
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  });
  g_dmin = lo;
  g_dmax = hi;
}

namespace {

// v = max(v k, floor) over v[0..n), n > 0, and the extremes of the new
// values, kept per lane as in extremes.
TROVAN_VECTOR_CLONES
void scaleextremes(float* __restrict v, long long n, float k, float floor, float& lo, float& hi) {
  float l[16], h[16];
  const float v0 = std::max(v[0] * k, floor);
  for (int t = 0; t < 16; ++t) l[t] = h[t] = v0;
  long long i = 0;
  for (; i + 16 <= n; i += 16)
    for (int t = 0; t < 16; ++t) {
      const float y = std::max(v[i + t] * k, floor);
      v[i + t] = y;
      l[t] = y < l[t] ? y : l[t];
      h[t] = y > h[t] ? y : h[t];
    }
  for (; i < n; ++i) {
    const float y = std::max(v[i] * k, floor);
    v[i] = y;
    l[0] = y < l[0] ? y : l[0];
    h[0] = y > h[0] ? y : h[0];
  }
  lo = l[0];
  hi = h[0];
  for (int t = 1; t < 16; ++t) {
    lo = l[t] < lo ? l[t] : lo;
    hi = h[t] > hi ? h[t] : hi;
  }
}

}  // namespace

void scalexr0(float k, float floor) {
  if (g_nxr0 < 1) return;
  float* x = g_xr0[g_cur].data();
  std::mutex m;
  float lo = std::max(x[0] * k, floor), hi = lo;
  parallel_for(g_nxr0, kGrain, [&](long long i0, long long i1) {
    float l, h;
    scaleextremes(x + i0, i1 - i0, k, floor, l, h);
    std::lock_guard<std::mutex> lk(m);
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  });
  g_dmin = lo;
  g_dmax = hi;
}

void checkxr0symmetry() {
  if (g_whole || g_nxr0 < 1) return;
  const float* a = getabcdr();
  const float* x = g_xr0[g_cur].data();
  const long long nt = getnt();
  // The largest departure of the grid from the value of its orbit's
  // representative, and the first point where it is largest, part by part.
  std::mutex m;
  float worst = 0;
  long long at = -1;
  parallel_for(nt, kGrain, [&](long long lo, long long hi) {
    float w = 0;
    long long where = -1;
    for (long long j = lo; j < hi; ++j) {
      const float d = std::fabs(a[j] - x[g_rep[j]]);
      if (d > w) w = d, where = j;
    }
    std::lock_guard<std::mutex> lk(m);
    if (w > worst || (w == worst && where >= 0 && where < at)) worst = w, at = where;
  });
  // A map written by this program for the same job is symmetric to the
  // round-off of its synthesis (about a millionth of its largest value).
  const float big = std::max(std::fabs(g_dmin), std::fabs(g_dmax));
  if (at < 0 || !(worst > 1e-4f * big)) return;
  out() << "grid point" << fmt_i(at, 10) << " density" << fmt_e(a[at], 12, 5) << " its orbit's first point"
        << fmt_i(getxindx()[g_rep[at]], 10) << " density" << fmt_e(x[g_rep[at]], 12, 5) << '\n';
  quit("the density file does not have the symmetry of this job (a map of another group?)");
}

float getdmincur() { return g_dmin; }
float getdmaxcur() { return g_dmax; }

void getbrfromxr0() {
  float* a = getabcdr();
  float* b = getabcdi();
  const float* x = g_xr0[g_cur].data();
  const bool whole = g_whole;
  parallel_for(getnt(), kGrain, [&](long long lo, long long hi) {
    for (long long j = lo; j < hi; ++j) a[j] = x[whole ? j : g_rep[j]];
    std::fill(b + lo, b + hi, 0.0f);
  });
}

int getnxr0() { return g_nxr0; }
float* getxr0() { return g_xr0[g_cur].data(); }
float* getxr0spare() { return g_xr0[1 - g_cur].data(); }
void swapxr0() { g_cur = 1 - g_cur; }
const int* getxr0grid() {
  if (!g_whole) return getxindx();
  if (!g_all_made) {
    const long long nt = getnt();
    g_all.assign(static_cast<std::size_t>(nt), "the list of grid points");
    for (long long j = 0; j < nt; ++j) g_all[j] = static_cast<int>(j);
    g_all_made = true;
  }
  return g_all.data();
}
void getxr0orbits(std::vector<unsigned char>& m) {
  // An orbit has at most 60 operators times the inversion: 120 points.
  m.assign(g_nxr0, g_whole ? 1 : 0);
  if (g_whole) return;
  const long long nt = getnt();
  for (long long j = 0; j < nt; ++j) ++m[g_rep[j]];
}
float* getfcr() {
  sizefc();
  return g_fcr.data();
}
float* getfci() {
  sizefc();
  return g_fci.data();
}

void resetsynthesis() {
  // The lists are read only up to their counts.
  g_cur = 0;
  g_nxr0 = 0;
  g_all_made = false;
  g_whole = false;
  g_dmin = g_dmax = 0;
  g_fcr.clear();
  g_fci.clear();
  std::vector<float>().swap(g_dfr);
  std::vector<float>().swap(g_dfi);
  std::vector<FCoef>().swap(g_dlist);
  g_fcplan = FcPlan{};
  for (Table<float>& t : g_xr0) t.release();
  g_rep.release();
  g_all.release();
}

}  // namespace trovan
