// Grid sizes, index maps, grid-basis operators and the lists of
// independent reflections and grid points.
#include "crystal/gridindex.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"
#include "util/threads.hpp"

namespace trovan {

namespace {

constexpr char kAxes[] = "xyztuv";

int g_n[6] = {1, 1, 1, 1, 1, 1};
long long g_mm[7] = {1, 1, 1, 1, 1, 1, 1};

// Operators in the grid basis: the rotation, the translation in fractions
// of the grid cell, and the action on integer grid coordinates (rotation
// scaled by N_e / N_i, translation in grid steps).
int g_rg[kMaxSymo][36];
double g_tg[kMaxSymo][6];
int g_rn[kMaxSymo][36];
int g_tn[kMaxSymo][6];
bool g_prepared = false;
// Changed with the grid and the operators on it (getgridstamp).
long long g_stamp = 0;
// The action of an operator component by component of its result, through
// the non-zero elements alone (a superspace operator has one to three per
// row, and the walks over the whole grid apply an operator to every point):
// component e is t[e] + sum value[q] in[col[q]] over q = first[e] ..
// first[e+1]-1. On grid coordinates (g_xact) it is R_grid scaled with the
// translation in grid steps; on reflection indices (g_hact) it is h.R_grid.
struct Action {
  int first[7];
  int col[36], value[36];
  int t[6];
};
Action g_xact[kMaxSymo];
Action g_hact[kMaxSymo];
// Whether operator 1 is the identity: the walks then skip it.
bool g_first_identity = false;

inline long long act(const Action& a, int e, const int* in) {
  long long v = a.t[e];
  for (int q = a.first[e]; q < a.first[e + 1]; ++q)
    v += static_cast<long long>(a.value[q]) * in[a.col[q]];
  return v;
}

// Static tables for the largest grid. Zero storage costs nothing until
// touched; only the first nt entries are ever used. The orbit walk marks
// the points it has reached one bit each (2 MiB for the largest grid).
std::uint64_t g_mark[kGridMax / 64];
int g_findx[kGridMax];
int g_xindx[kGridMax];
int g_nfindx = 0;
int g_nxindx = 0;
const bool g_huge = (usehugepages(g_findx, sizeof g_findx), usehugepages(g_xindx, sizeof g_xindx),
                     true);
// The list of independent reflections is made when it is first read, not
// by setindfindx: a run needs only its count (the observed reflections are
// located through their own indices), and on a 2^24-point grid the list of a
// low-symmetry group would take tens of megabytes that nothing reads.
bool g_findx_made = false;

bool marked(int j) { return (g_mark[j >> 6] >> (j & 63)) & 1u; }
void mark(int j) { g_mark[j >> 6] |= std::uint64_t{1} << (j & 63); }

int dim() { return getidm(); }

void ensureprepared() {
  if (!g_prepared) setsmopprm();
}

[[noreturn]] void gridfault(int s, const std::string& what) {
  int r[36];
  double t[6];
  getsymrot(s, r);
  getsymtrn(s, t);
  out() << "symmetry operator" << fmt_i(s, 3) << ": " << smoptext(r, getidm());
  for (int e = 0; e < getidm(); ++e) out() << ' ' << trntext(t[e]);
  out() << '\n';
  quit(what + " of symmetry operator " + std::to_string(s));
}

// v mod n in 0..n-1. The images met in the walks lie within a few cells
// of the origin, so a few additions or subtractions usually do it.
inline long long fold(long long v, int n) {
  if (v >= 4LL * n || v < -4LL * n) v %= n;
  while (v < 0) v += n;
  while (v >= n) v -= n;
  return v;
}

// The grid index of the image of v (grid coordinates or indices) under the
// action a, negated for k != 0 (the Friedel mate or the inverted point).
int imageindex(const Action& a, const int* v, int k, int idm) {
  long long j = 0;
  for (int c = 0; c < idm; ++c) {
    const long long w = act(a, c, v);
    j += fold(k != 0 ? -w : w, g_n[c]) * g_mm[c];
  }
  return static_cast<int>(j);
}

// Image of the reflection at grid coordinates x (the reflection's indices
// are x folded into the centred zone, as getitohkl gives them): h.R_grid,
// negated for k != 0, as the grid index gethkltoj gives it.
int reflection_image(const int* x, int i, int k) {
  const int idm = dim();
  int h[6];
  for (int e = 0; e < idm; ++e) h[e] = x[e] > g_n[e] / 2 ? x[e] - g_n[e] : x[e];
  return imageindex(g_hact[i - 1], h, k, idm);
}

// Whether the image of the point at grid coordinates x under the action a,
// or (when `both`) its negation, has a smaller grid index than the point
// itself, the components compared from the slowest axis down: most images
// differ in the first one looked at. `in` is what the action takes: x
// itself for grid points, the centred indices for reflections. With
// `plain` false only the negated image is tried.
inline bool image_below(const Action& a, const int* x, const int* in, bool plain, bool both,
                        int idm) {
  bool open0 = plain, open1 = both;  // still equal so far
  for (int e = idm - 1; e >= 0 && (open0 || open1); --e) {
    const long long y0 = fold(act(a, e, in), g_n[e]);
    if (open0 && y0 != x[e]) {
      if (y0 < x[e]) return true;
      open0 = false;
    }
    if (open1) {
      const long long y1 = y0 == 0 ? 0 : g_n[e] - y0;
      if (y1 != x[e]) {
        if (y1 < x[e]) return true;
        open1 = false;
      }
    }
  }
  return false;
}

// The highest component of the action that takes the first (fastest)
// coordinate, -1 for none: the components above it are the same for every
// point of a row along the first axis.
int rowdependent(const Action& a, int idm) {
  int d = -1;
  for (int e = 0; e < idm; ++e)
    for (int q = a.first[e]; q < a.first[e + 1]; ++q)
      if (a.col[q] == 0) d = e;
  return d;
}

// image_below for a whole row along the first axis, from the components
// above d alone: 1 when an image is below for every point of the row, 0
// when no image is below for any, 2 when the points must be looked at one
// by one (the images are equal to the point down to component d + 1).
inline int row_below(const Action& a, const int* x, const int* in, bool plain, bool both, int idm,
                     int d) {
  bool open0 = plain, open1 = both;
  for (int e = idm - 1; e > d && (open0 || open1); --e) {
    const long long y0 = fold(act(a, e, in), g_n[e]);
    if (open0 && y0 != x[e]) {
      if (y0 < x[e]) return 1;
      open0 = false;
    }
    if (open1) {
      const long long y1 = y0 == 0 ? 0 : g_n[e] - y0;
      if (y1 != x[e]) {
        if (y1 < x[e]) return 1;
        open1 = false;
      }
    }
  }
  return open0 || open1 ? 2 : 0;
}

// The orbit walk shared by both lists: image(j, i, k) gives the index of
// the image of entry j under operator i with inversion flag k. The smallest
// index of every orbit goes to `list` (when given); the count is returned.
// `warn` lists images that are not where they should be.
//
// The walk keeps the grid coordinates x of j as an odometer, and the images
// are computed from them in integer arithmetic: on a 2^24-point grid the
// divisions of a conversion from j per image would cost more than all the
// rest of the setup.
template <class Image>
int orbits_marked(int* list, Image image, bool warn) {
  const int nt = static_cast<int>(getnt());
  const int nsymo = getnsymo();
  const int ncent = getncent();
  const int idm = dim();
  for (int w = 0; w < (nt + 63) / 64; ++w) g_mark[w] = 0;
  int count = 0;
  int x[6] = {0, 0, 0, 0, 0, 0};
  for (int j = 0; j < nt; ++j) {
    if (j > 0)
      for (int e = 0; e < idm; ++e) {
        if (++x[e] < g_n[e]) break;
        x[e] = 0;
      }
    if (marked(j)) continue;
    for (int i = 1; i <= nsymo; ++i)
      for (int k = 0; k <= ncent; ++k) {
        const int jr = image(x, i, k);
        if (i == 1 && k == 0) {
          if (jr != j && warn) out() << "i,j=" << fmt_i(j, 10) << fmt_i(jr, 10) << '\n';
          if (list) list[count] = j;
          ++count;
          mark(j);
        } else if (jr < 0 || jr >= nt) {
          if (warn) out() << "j=" << fmt_i(jr, 10) << '\n';
        } else {
          mark(jr);
        }
      }
  }
  return count;
}

// The same lists without marks, shared among the threads: j is the smallest
// index of its orbit exactly when no image of it is smaller, which each j
// tells by itself (most points find a smaller image among the first few
// operators). Each part [lo, hi) of the grid writes its points in
// increasing order at list + lo (it has no more than hi - lo of them, and
// no part before it more than lo), and the parts are then moved together
// in order: the list is the marked walk's. When the first operator is not
// the identity the work goes to the marked walk, which lists the images
// that are not where they should be.
//
// Most operators leave the slow components of an image independent of the
// first coordinate; their verdict is then taken once for a whole row along
// the first axis (a row with an image below is passed over at once), and
// only the operators still undecided are tried point by point.
template <class Image>
int orbits(int* list, const Action* acts, bool reflections, Image image, bool warn) {
  if (!g_first_identity) return orbits_marked(list, image, warn);
  const long long nt = getnt();
  const int nsymo = getnsymo();
  const int ncent = getncent();
  const int idm = dim();
  const int parts = static_cast<int>(std::min<long long>(getnthreads(), std::max(1LL, nt / 65536)));
  std::vector<long long> counts(parts, 0);
  int dep[kMaxSymo];
  for (int i = 0; i < nsymo; ++i) dep[i] = rowdependent(acts[i], idm);
  const int n0 = g_n[0];
  parallel_for(parts, 1, [&](long long p0, long long p1) {
    std::vector<int> open(nsymo);
    for (long long part = p0; part < p1; ++part) {
      const long long lo = nt * part / parts, hi = nt * (part + 1) / parts;
      int x[6] = {0, 0, 0, 0, 0, 0}, h[6] = {0, 0, 0, 0, 0, 0};
      getitoxyz(static_cast<int>(lo), x);
      long long count = 0;
      for (long long j = lo; j < hi;) {
        // The rest of the row of j: first coordinates x0 .. n0 - 1, or up to hi.
        const int x0 = x[0];
        const long long end = std::min(hi, j + (n0 - x0));
        const int* in = x;
        if (reflections) {
          for (int e = 0; e < idm; ++e) h[e] = x[e] > g_n[e] / 2 ? x[e] - g_n[e] : x[e];
          in = h;
        }
        int nopen = 0;
        bool excluded = false;
        for (int i = 1; i <= nsymo && !excluded; ++i) {
          const int v = row_below(acts[i - 1], x, in, i != 1, ncent != 0, idm, dep[i - 1]);
          if (v == 1) excluded = true;
          if (v == 2) open[nopen++] = i;
        }
        for (long long jj = j; jj < end && !excluded; ++jj) {
          x[0] = x0 + static_cast<int>(jj - j);
          if (reflections) h[0] = x[0] > n0 / 2 ? x[0] - n0 : x[0];
          bool smallest = true;
          for (int t = 0; t < nopen && smallest; ++t) {
            const int i = open[t];
            if (image_below(acts[i - 1], x, in, i != 1, ncent != 0, idm)) smallest = false;
          }
          if (!smallest) continue;
          if (list) list[lo + count] = static_cast<int>(jj);
          ++count;
        }
        // On to the start of the next row.
        j = end;
        x[0] = 0;
        for (int e = 1; e < idm; ++e) {
          if (++x[e] < g_n[e]) break;
          x[e] = 0;
        }
      }
      counts[part] = count;
    }
  });
  long long total = 0;
  for (int part = 0; part < parts; ++part) {
    const long long lo = nt * part / parts;
    if (list && lo != total) std::copy(list + lo, list + lo + counts[part], list + total);
    total += counts[part];
  }
  return static_cast<int>(total);
}

void checksize(const char* who) {
  if (getnt() > kGridMax) {
    out() << "nt=" << fmt_i(getnt(), 20) << " nts=" << fmt_i(kGridMax, 10) << '\n';
    quit(std::string("nt > nts in ") + who);
  }
}

}  // namespace

void setng(const int* n) {
  for (int i = 0; i < 6; ++i) g_n[i] = n[i];
  g_prepared = false;
  ++g_stamp;
}
void getng(int* n) {
  for (int i = 0; i < 6; ++i) n[i] = g_n[i];
}
void gethmax(int* n) { getng(n); }

void calmm() {
  // Strides M0 = 1, Mi = Mi-1 * Ni; saturated far above 2^24 so that a
  // huge grid reaches the size check instead of overflowing.
  const long long cap = 1LL << 40;
  const int idm = dim();
  for (int i = 0; i < idm; ++i)
    if (g_n[i] < 1) quit("hmax should be positive");
  g_mm[0] = 1;
  for (int i = 1; i <= 6; ++i) {
    const long long ni = (i <= idm) ? g_n[i - 1] : 1;
    // Mi-1 <= 2^40 and Ni < 2^31: compare before multiplying.
    g_mm[i] = g_mm[i - 1] > cap / ni ? cap : g_mm[i - 1] * ni;
  }
  g_prepared = false;
  ++g_stamp;
}

void getmm(long long* mm) {
  for (int i = 0; i < 7; ++i) mm[i] = g_mm[i];
}

void setitt() {
  if (getnt() > kGridMax) return;  // the driver stops with "nt > nts"
  g_nfindx = 0;
  g_nxindx = 0;
  g_findx_made = false;
}

long long getnt() { return g_mm[dim()]; }

GridView gridview(const float* map) {
  GridView v;
  v.rho = map ? map : getabcdr();
  getng(v.n);
  const int idm = dim();
  v.idm = idm < 1 ? 1 : (idm > 6 ? 6 : idm);
  return v;
}

void getitoxyz(int j, int* x) {
  const int idm = dim();
  for (int i = 0; i < 6; ++i)
    x[i] = (i < idm) ? static_cast<int>((j % g_mm[i + 1]) / g_mm[i]) : 0;
}

void getindx(int j, int* x) { getitoxyz(j, x); }

void tounitcell(int* x) {
  const int idm = dim();
  for (int i = 0; i < 6; ++i) {
    if (i >= idm) {
      x[i] = 0;
      continue;
    }
    int r = x[i] % g_n[i];
    if (r < 0) r += g_n[i];
    x[i] = r;
  }
}

int getxyztoj(const int* x) {
  int y[6];
  for (int i = 0; i < 6; ++i) y[i] = x[i];
  tounitcell(y);
  long long j = 0;
  for (int i = 0; i < dim(); ++i) j += y[i] * g_mm[i];
  return static_cast<int>(j);
}

void tobrillzone(int* h) {
  // Folding first makes the result the centred representative for any
  // input, not only for 0..N-1.
  tounitcell(h);
  for (int i = 0; i < dim(); ++i)
    if (h[i] > g_n[i] / 2) h[i] -= g_n[i];
}

void getitohkl(int j, int* h) {
  getitoxyz(j, h);
  tobrillzone(h);
}

int gethkltoj(const int* h) { return getxyztoj(h); }

int iskip(const int* h) {
  for (int i = 0; i < dim(); ++i)
    if (std::abs(h[i]) > (g_n[i] - 1) / 2) return 1;
  return 0;
}

void resetgridindex() {
  for (int i = 0; i < 6; ++i) g_n[i] = 1;
  for (int i = 0; i < 7; ++i) g_mm[i] = 1;
  g_prepared = false;
  ++g_stamp;
  for (int s = 0; s < kMaxSymo; ++s) {
    for (int i = 0; i < 36; ++i) g_rg[s][i] = g_rn[s][i] = 0;
    for (int e = 0; e < 6; ++e) {
      g_tg[s][e] = 0;
      g_tn[s][e] = 0;
    }
    g_xact[s] = Action{};
    g_hact[s] = Action{};
  }
  g_first_identity = false;
  // The lists are read only up to their counts.
  g_nfindx = g_nxindx = 0;
  g_findx_made = false;
}

long long getgridstamp() { return g_stamp; }

void setsmopprm() {
  ++g_stamp;
  const int idm = dim();
  const int nsymo = getnsymo();
  double m[36], mi[36];
  getsetmtrx(m);
  getsetmtrxinv(mi);
  for (int s = 1; s <= nsymo; ++s) {
    int r[36];
    double t[6];
    getsymrot(s, r);
    getsymtrn(s, t);
    // R_grid = M^-1 R M, tau_grid = M^-1 tau.
    double rm[36], g[36];
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) {
        double v = 0;
        for (int k = 0; k < 6; ++k) v += r[at(i, k)] * m[at(k, j)];
        rm[at(i, j)] = v;
      }
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) {
        double v = 0;
        for (int k = 0; k < 6; ++k) v += mi[at(i, k)] * rm[at(k, j)];
        g[at(i, j)] = v;
      }
    int* rg = g_rg[s - 1];
    for (int i = 0; i < 36; ++i) {
      const double v = std::nearbyint(g[i]);
      if (std::fabs(g[i] - v) > 1e-6) {
        const int e = i % 6;
        gridfault(s, std::string("grid basis: non-integral rotation along ") + kAxes[e]);
      }
      rg[i] = static_cast<int>(v);
    }
    for (int e = 0; e < 6; ++e) {
      double v = 0;
      for (int k = 0; k < 6; ++k) v += mi[at(e, k)] * t[k];
      g_tg[s - 1][e] = v - std::floor(v);
    }
    // Action on grid coordinates: x'_e = sum_i Rg(e,i) x_i / N_i * N_e
    // + tau_e N_e must be an integer for every integer x.
    int* rn = g_rn[s - 1];
    for (int i = 0; i < 36; ++i) rn[i] = 0;
    for (int e = 0; e < 6; ++e)
      for (int i = 0; i < 6; ++i) {
        const int c = rg[at(e, i)];
        if (c == 0) continue;
        if ((e < idm) != (i < idm))
          gridfault(s, std::string("axis ") + kAxes[e] + " leaves the dimension of the grid");
        if (e >= idm) continue;
        const long long num = static_cast<long long>(c) * g_n[e];
        if (num % g_n[i] != 0)
          gridfault(s, std::string("grid sizes along ") + kAxes[e] + " and " + kAxes[i] +
                           " do not fit the rotation");
        rn[at(e, i)] = static_cast<int>(num / g_n[i]);
      }
    for (int e = 0; e < 6; ++e) {
      if (e >= idm) {
        g_tn[s - 1][e] = 0;
        continue;
      }
      const double steps = g_tg[s - 1][e] * g_n[e];
      const double v = std::nearbyint(steps);
      if (std::fabs(steps - v) > 1e-4)
        gridfault(s, std::string("translation along ") + kAxes[e] + " is not a whole number of grid steps");
      g_tn[s - 1][e] = static_cast<int>(v) % g_n[e];
    }
  }
  for (int s = 0; s < nsymo; ++s) {
    Action& x = g_xact[s];
    Action& h = g_hact[s];
    int nx = 0, nh = 0;
    for (int e = 0; e < idm; ++e) {
      x.first[e] = nx;
      h.first[e] = nh;
      x.t[e] = g_tn[s][e];
      h.t[e] = 0;
      for (int l = 0; l < idm; ++l) {
        // grid point: x'_e = sum_l rn(e, l) x_l + t_e; reflection: (h.R)_e
        // = sum_l h_l rg(l, e).
        if (const int v = g_rn[s][at(e, l)]) {
          x.col[nx] = l;
          x.value[nx++] = v;
        }
        if (const int v = g_rg[s][at(l, e)]) {
          h.col[nh] = l;
          h.value[nh++] = v;
        }
      }
    }
    x.first[idm] = nx;
    h.first[idm] = nh;
  }
  g_first_identity = nsymo >= 1;
  for (int e = 0; e < idm && g_first_identity; ++e)
    for (int l = 0; l < idm; ++l)
      if (g_rn[0][at(e, l)] != (e == l ? 1 : 0) || g_rg[0][at(e, l)] != (e == l ? 1 : 0) ||
          g_tn[0][e] != 0)
        g_first_identity = false;
  g_prepared = true;
}

void getrgrid(int i, int* rot) { mcpyi(g_rg[i - 1], rot); }
void gethrg(const int* h, int* hr, int i, int k) { vmtpli6(h, g_rg[i - 1], k != 0 ? -1 : 1, hr); }

double getytg(const int* h, int i, int k) {
  double s = 0;
  for (int l = 0; l < dim(); ++l) s += h[l] * g_tg[i - 1][l];
  return (k != 0) ? -s : s;
}

void getrxi(const int* x, int* xr, int i, int k) {
  const int* r = g_rn[i - 1];
  const int sign = (k != 0) ? -1 : 1;
  int y[6];
  for (int e = 0; e < 6; ++e) {
    long long s = g_tn[i - 1][e];
    for (int l = 0; l < 6; ++l) s += static_cast<long long>(r[at(e, l)]) * x[l];
    y[e] = static_cast<int>(sign * (s % g_n[e]));
  }
  tounitcell(y);
  for (int e = 0; e < 6; ++e) xr[e] = y[e];
}

int getrxij(const int* x, int i, int k) {
  const int idm = dim();
  return imageindex(g_xact[i - 1], x, k, idm);
}

void setindfindx() {
  checksize("setindfindx");
  ensureprepared();
  g_findx_made = false;
  g_nfindx = orbits(nullptr, g_hact, true, reflection_image, true);
  // The symmetry classes of every index vector the grid holds (the
  // reflections of the data are counted by the expansion before).
  out() << "number of independent reciprocal grid points =" << fmt_i(g_nfindx, 10) << '\n';
}

void setindxindx() {
  checksize("setindxindx");
  ensureprepared();
  g_nxindx = orbits(g_xindx, g_xact, false, getrxij, true);
  out() << "number of independent grid points  =" << fmt_i(g_nxindx, 10) << '\n';
}

long long getxindxorbits(int* rep) {
  ensureprepared();
  const int nx = g_nxindx;
  const int* xi = g_xindx;
  const int nsymo = getnsymo(), ncent = getncent();
  const int idm = dim();
  std::atomic<long long> covered{0};
  parallel_for(nx, 8192, [&](long long i0, long long i1) {
    // The grid coordinates of the independent points, kept as an odometer
    // from the part's first point (they come in increasing order of j).
    int x[6] = {0, 0, 0, 0, 0, 0};
    getitoxyz(xi[i0], x);
    long long j = xi[i0], size = 0;
    long long images[2 * kMaxSymo];
    for (long long i = i0; i < i1; ++i) {
      int count = 0;
      for (; j < xi[i]; ++j)
        for (int e = 0; e < idm; ++e) {
          if (++x[e] < g_n[e]) break;
          x[e] = 0;
        }
      // Each operator's image y, and with the inversion -y.
      for (int s = 0; s < nsymo; ++s) {
        long long j0 = 0, j1 = 0;
        for (int e = 0; e < idm; ++e) {
          const long long y =
              (s == 0 && g_first_identity) ? x[e] : fold(act(g_xact[s], e, x), g_n[e]);
          j0 += y * g_mm[e];
          j1 += (y == 0 ? 0 : g_n[e] - y) * g_mm[e];
        }
        rep[j0] = static_cast<int>(i);
        images[count++] = j0;
        if (ncent) {
          rep[j1] = static_cast<int>(i);
          images[count++] = j1;
        }
      }
      // The orbit's size: its distinct images (a few compared pairwise).
      if (count <= 16) {
        for (int a = 0; a < count; ++a) {
          bool seen = false;
          for (int b = 0; b < a && !seen; ++b) seen = images[b] == images[a];
          size += seen ? 0 : 1;
        }
      } else {
        std::sort(images, images + count);
        size += std::unique(images, images + count) - images;
      }
    }
    covered += size;
  });
  return covered;
}

int getnfindx() { return g_nfindx; }
const int* getfindx() {
  if (!g_findx_made && g_nfindx > 0) {
    orbits(g_findx, g_hact, true, reflection_image, false);
    g_findx_made = true;
  }
  return g_findx;
}
int getnxindx() { return g_nxindx; }
const int* getxindx() { return g_xindx; }

}  // namespace trovan
