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
#include "util/table.hpp"
#include "util/threads.hpp"

namespace trovan {

namespace {

constexpr char kAxes[] = "xyztuv";

inline long long act(const Action& a, int e, const int* in) {
  long long v = a.t[e];
  for (int q = a.first[e]; q < a.first[e + 1]; ++q)
    v += static_cast<long long>(a.value[q]) * in[a.col[q]];
  return v;
}

bool marked(const Table<std::uint64_t>& m, int j) { return (m[j >> 6] >> (j & 63)) & 1u; }
void mark(Table<std::uint64_t>& m, int j) { m[j >> 6] |= std::uint64_t{1} << (j & 63); }

[[noreturn]] void gridfault(const Group& grp, int s, const std::string& what) {
  const Op& op = grp.ops[s - 1];
  out() << "symmetry operator" << fmt_i(s, 3) << ": " << smoptext(op.rot.data(), grp.idm);
  for (int e = 0; e < grp.idm; ++e) out() << ' ' << trntext(op.t(e));
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
int imageindex(const Grid& g, const Action& a, const int* v, int k, int idm) {
  long long j = 0;
  for (int c = 0; c < idm; ++c) {
    const long long w = act(a, c, v);
    j += fold(k != 0 ? -w : w, g.n[c]) * g.mm[c];
  }
  return static_cast<int>(j);
}

// Image of the reflection at grid coordinates x (the reflection's indices
// are x folded into the centred zone, as getitohkl gives them): h.R_grid,
// negated for k != 0, as the grid index gethkltoj gives it.
int reflection_image(const Grid& g, const int* x, int i, int k) {
  const int idm = g.idm;
  int h[6];
  for (int e = 0; e < idm; ++e) h[e] = x[e] > g.n[e] / 2 ? x[e] - g.n[e] : x[e];
  return imageindex(g, g.hact[i - 1], h, k, idm);
}

// Whether the image of the point at grid coordinates x under the action a,
// or (when `both`) its negation, has a smaller grid index than the point
// itself, the components compared from the slowest axis down: most images
// differ in the first one looked at. `in` is what the action takes: x
// itself for grid points, the centred indices for reflections. With
// `plain` false only the negated image is tried.
inline bool image_below(const Grid& g, const Action& a, const int* x, const int* in, bool plain, bool both,
                        int idm) {
  bool open0 = plain, open1 = both;  // still equal so far
  for (int e = idm - 1; e >= 0 && (open0 || open1); --e) {
    const long long y0 = fold(act(a, e, in), g.n[e]);
    if (open0 && y0 != x[e]) {
      if (y0 < x[e]) return true;
      open0 = false;
    }
    if (open1) {
      const long long y1 = y0 == 0 ? 0 : g.n[e] - y0;
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
inline int row_below(const Grid& g, const Action& a, const int* x, const int* in, bool plain, bool both, int idm,
                     int d) {
  bool open0 = plain, open1 = both;
  for (int e = idm - 1; e > d && (open0 || open1); --e) {
    const long long y0 = fold(act(a, e, in), g.n[e]);
    if (open0 && y0 != x[e]) {
      if (y0 < x[e]) return 1;
      open0 = false;
    }
    if (open1) {
      const long long y1 = y0 == 0 ? 0 : g.n[e] - y0;
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
int orbits_marked(Grid& g, int* list, Image image, bool warn) {
  const int nt = static_cast<int>(getnt(g));
  const int nsymo = static_cast<int>(g.ops.size());
  const int ncent = g.ncent;
  const int idm = g.idm;
  g.mark.assign((static_cast<std::size_t>(nt) + 63) / 64, "the orbit marks");
  int count = 0;
  int x[6] = {0, 0, 0, 0, 0, 0};
  for (int j = 0; j < nt; ++j) {
    if (j > 0)
      for (int e = 0; e < idm; ++e) {
        if (++x[e] < g.n[e]) break;
        x[e] = 0;
      }
    if (marked(g.mark, j)) continue;
    for (int i = 1; i <= nsymo; ++i)
      for (int k = 0; k <= ncent; ++k) {
        const int jr = image(g, x, i, k);
        if (i == 1 && k == 0) {
          if (jr != j && warn) out() << "i,j=" << fmt_i(j, 10) << fmt_i(jr, 10) << '\n';
          if (list) list[count] = j;
          ++count;
          mark(g.mark, j);
        } else if (jr < 0 || jr >= nt) {
          if (warn) out() << "j=" << fmt_i(jr, 10) << '\n';
        } else {
          mark(g.mark, jr);
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
int orbits(Grid& g, int* list, const Action* acts, bool reflections, Image image, bool warn) {
  if (!g.first_identity) return orbits_marked(g, list, image, warn);
  const long long nt = getnt(g);
  const int nsymo = static_cast<int>(g.ops.size());
  const int ncent = g.ncent;
  const int idm = g.idm;
  const int parts = static_cast<int>(std::min<long long>(getnthreads(), std::max(1LL, nt / 65536)));
  std::vector<long long> counts(parts, 0);
  int dep[kMaxSymo];
  for (int i = 0; i < nsymo; ++i) dep[i] = rowdependent(acts[i], idm);
  const int n0 = g.n[0];
  parallel_for(parts, 1, [&](long long p0, long long p1) {
    std::vector<int> open(nsymo);
    for (long long part = p0; part < p1; ++part) {
      const long long lo = nt * part / parts, hi = nt * (part + 1) / parts;
      int x[6] = {0, 0, 0, 0, 0, 0}, h[6] = {0, 0, 0, 0, 0, 0};
      getitoxyz(g, static_cast<int>(lo), x);
      long long count = 0;
      for (long long j = lo; j < hi;) {
        // The rest of the row of j: first coordinates x0 .. n0 - 1, or up to hi.
        const int x0 = x[0];
        const long long end = std::min(hi, j + (n0 - x0));
        const int* in = x;
        if (reflections) {
          for (int e = 0; e < idm; ++e) h[e] = x[e] > g.n[e] / 2 ? x[e] - g.n[e] : x[e];
          in = h;
        }
        int nopen = 0;
        bool excluded = false;
        for (int i = 1; i <= nsymo && !excluded; ++i) {
          const int v = row_below(g, acts[i - 1], x, in, i != 1, ncent != 0, idm, dep[i - 1]);
          if (v == 1) excluded = true;
          if (v == 2) open[nopen++] = i;
        }
        for (long long jj = j; jj < end && !excluded; ++jj) {
          x[0] = x0 + static_cast<int>(jj - j);
          if (reflections) h[0] = x[0] > n0 / 2 ? x[0] - n0 : x[0];
          bool smallest = true;
          for (int t = 0; t < nopen && smallest; ++t) {
            const int i = open[t];
            if (image_below(g, acts[i - 1], x, in, i != 1, ncent != 0, idm)) smallest = false;
          }
          if (!smallest) continue;
          if (list) list[lo + count] = static_cast<int>(jj);
          ++count;
        }
        // On to the start of the next row.
        j = end;
        x[0] = 0;
        for (int e = 1; e < idm; ++e) {
          if (++x[e] < g.n[e]) break;
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

// Whether the action a leaves every point of the grid (or every index
// vector on it) where it is, modulo the grid sizes: component e of the
// image is x_e itself when the coefficient of x_e is 1 mod N_e, those of the
// other coordinates are 0 mod N_e (a coordinate of an axis of size 1 is
// always 0) and the translation is a whole number of cells.
bool fixes_grid(const Grid& g, const Action& a) {
  for (int e = 0; e < g.idm; ++e) {
    const long long n = g.n[e];
    if (n == 1) continue;
    if (a.t[e] % n != 0) return false;
    long long own = 0;
    for (int q = a.first[e]; q < a.first[e + 1]; ++q) {
      const int c = a.col[q];
      if (c == e)
        own += a.value[q];
      else if (g.n[c] > 1 && a.value[q] % n != 0)
        return false;
    }
    if (((own - 1) % n + n) % n != 0) return false;
  }
  return true;
}

// The identity list 0, 1, ..., count - 1: the lists of a grid whose
// orbits are single points.
void identitylist(int* list, long long count) {
  parallel_for(count, 1 << 16, [list](long long lo, long long hi) {
    for (long long j = lo; j < hi; ++j) list[j] = static_cast<int>(j);
  });
}

void checksize(const Grid& g, const char* who) {
  if (getnt(g) > kGridMax) {
    out() << "nt=" << fmt_i(getnt(g), 20) << " nts=" << fmt_i(kGridMax, 10) << '\n';
    quit(std::string("nt > nts in ") + who);
  }
}

// A key of the grid's content: its sizes, strides, dimension and prepared
// operators (FNV-1a). Two grids with one key give the same tables.
void restamp(Grid& g) {
  std::uint64_t h = 1469598103934665603ULL;
  auto mix = [&h](long long v) {
    for (int b = 0; b < 8; ++b) {
      h ^= static_cast<std::uint64_t>(v >> (8 * b)) & 0xffu;
      h *= 1099511628211ULL;
    }
  };
  mix(g.idm);
  for (int i = 0; i < kDim; ++i) mix(g.n[i]);
  for (int i = 0; i <= kDim; ++i) mix(g.mm[i]);
  mix(g.prepared ? 1 : 0);
  mix(g.ncent);
  mix(static_cast<long long>(g.ops.size()));
  for (const Op& op : g.ops) {
    for (int v : op.rot) mix(v);
    for (long long v : op.trn) mix(v);
  }
  g.stamp = static_cast<long long>(h >> 1);
}

}  // namespace

void setng(Grid& g, const int* n) {
  for (int i = 0; i < kDim; ++i) g.n[i] = n[i];
  g.prepared = false;
  restamp(g);
}

void calmm(Grid& g) {
  // Strides M0 = 1, Mi = Mi-1 * Ni; saturated far above 2^24 so that a
  // huge grid reaches the size check instead of overflowing.
  const long long cap = 1LL << 40;
  const int idm = g.idm;
  for (int i = 0; i < idm; ++i)
    if (g.n[i] < 1) quit("hmax should be positive");
  g.mm[0] = 1;
  for (int i = 1; i <= kDim; ++i) {
    const long long ni = (i <= idm) ? g.n[i - 1] : 1;
    // Mi-1 <= 2^40 and Ni < 2^31: compare before multiplying.
    g.mm[i] = g.mm[i - 1] > cap / ni ? cap : g.mm[i - 1] * ni;
  }
  g.prepared = false;
  restamp(g);
}

void setitt(Grid& g) {
  const long long nt = getnt(g);
  if (nt > kGridMax) return;  // the driver stops with "nt > nts"
  checkmemory(static_cast<unsigned long long>(nt) * kBytesPerPoint,
              "the grid of " + std::to_string(nt) + " points");
  g.nfindx = 0;
  g.nxindx = 0;
  g.findx_made = false;
}

GridView gridview(const Grid& g, const float* map) {
  GridView v;
  v.rho = map;
  for (int i = 0; i < kDim; ++i) v.n[i] = g.n[i];
  v.idm = g.idm < 1 ? 1 : (g.idm > kDim ? kDim : g.idm);
  return v;
}

Grid samegrid(const Grid& g) {
  Grid c;
  c.idm = g.idm;
  for (int i = 0; i < kDim; ++i) c.n[i] = g.n[i];
  for (int i = 0; i <= kDim; ++i) c.mm[i] = g.mm[i];
  c.stamp = g.stamp;
  return c;
}

void getitoxyz(const Grid& g, int j, int* x) {
  for (int i = 0; i < kDim; ++i)
    x[i] = (i < g.idm) ? static_cast<int>((j % g.mm[i + 1]) / g.mm[i]) : 0;
}

void tounitcell(const Grid& g, int* x) {
  for (int i = 0; i < kDim; ++i) {
    if (i >= g.idm) {
      x[i] = 0;
      continue;
    }
    int r = x[i] % g.n[i];
    if (r < 0) r += g.n[i];
    x[i] = r;
  }
}

int getxyztoj(const Grid& g, const int* x) {
  int y[kDim];
  for (int i = 0; i < kDim; ++i) y[i] = x[i];
  tounitcell(g, y);
  long long j = 0;
  for (int i = 0; i < g.idm; ++i) j += y[i] * g.mm[i];
  return static_cast<int>(j);
}

void tobrillzone(const Grid& g, int* h) {
  // Folding first makes the result the centred representative for any
  // input, not only for 0..N-1.
  tounitcell(g, h);
  for (int i = 0; i < g.idm; ++i)
    if (h[i] > g.n[i] / 2) h[i] -= g.n[i];
}

void getitohkl(const Grid& g, int j, int* h) {
  getitoxyz(g, j, h);
  tobrillzone(g, h);
}

int iskip(const Grid& g, const int* h) {
  for (int i = 0; i < g.idm; ++i)
    if (std::abs(h[i]) > (g.n[i] - 1) / 2) return 1;
  return 0;
}

void setsmopprm(Grid& g, const Group& grp, const Setting& st) {
  const int idm = g.idm;
  const int nsymo = grp.nsymo();
  double m[kDim2], mi[kDim2];
  getsetmtrx(st, m);
  getsetmtrxinv(st, mi);
  g.ops.assign(static_cast<std::size_t>(nsymo), Op{});
  g.xact.assign(static_cast<std::size_t>(nsymo), Action{});
  g.hact.assign(static_cast<std::size_t>(nsymo), Action{});
  g.ncent = grp.ncent();
  std::vector<std::array<int, kDim2>> rn(static_cast<std::size_t>(nsymo));
  std::vector<std::array<int, kDim>> tn(static_cast<std::size_t>(nsymo));
  for (int s = 1; s <= nsymo; ++s) {
    // R_grid = M^-1 R M, tau_grid = M^-1 tau.
    Op og;
    int axis = 0;
    if (!changebasis(grp.ops[s - 1], m, mi, og, axis)) {
      if (axis < kDim) gridfault(grp, s, std::string("grid basis: non-integral rotation along ") + kAxes[axis]);
      gridfault(grp, s, std::string("translation along ") + kAxes[axis - kDim] +
                            " is not a whole number of grid steps");
    }
    og = wrapped(og);
    g.ops[s - 1] = og;
    // Action on grid coordinates: x'_e = sum_i Rg(e,i) x_i / N_i * N_e
    // + tau_e N_e must be an integer for every integer x.
    std::array<int, kDim2>& r = rn[s - 1];
    r.fill(0);
    for (int e = 0; e < kDim; ++e)
      for (int i = 0; i < kDim; ++i) {
        const int c = og.r(e, i);
        if (c == 0) continue;
        if ((e < idm) != (i < idm))
          gridfault(grp, s, std::string("axis ") + kAxes[e] + " leaves the dimension of the grid");
        if (e >= idm) continue;
        const long long num = static_cast<long long>(c) * g.n[e];
        if (num % g.n[i] != 0)
          gridfault(grp, s, std::string("grid sizes along ") + kAxes[e] + " and " + kAxes[i] +
                                " do not fit the rotation");
        r[at(e, i)] = static_cast<int>(num / g.n[i]);
      }
    for (int e = 0; e < kDim; ++e) {
      tn[s - 1][e] = 0;
      if (e >= idm) continue;
      // The translation in grid steps, tau_e N_e, exactly.
      const __int128 steps = static_cast<__int128>(og.trn[e]) * g.n[e];
      if (steps % kTrnDen != 0)
        gridfault(grp, s, std::string("translation along ") + kAxes[e] + " is not a whole number of grid steps");
      tn[s - 1][e] = static_cast<int>(static_cast<long long>(steps / kTrnDen) % g.n[e]);
    }
  }
  for (int s = 0; s < nsymo; ++s) {
    Action& x = g.xact[s];
    Action& h = g.hact[s];
    int nx = 0, nh = 0;
    for (int e = 0; e < idm; ++e) {
      x.first[e] = nx;
      h.first[e] = nh;
      x.t[e] = tn[s][e];
      h.t[e] = 0;
      for (int l = 0; l < idm; ++l) {
        // grid point: x'_e = sum_l rn(e, l) x_l + t_e; reflection: (h.R)_e
        // = sum_l h_l rg(l, e).
        if (const int v = rn[s][at(e, l)]) {
          x.col[nx] = l;
          x.value[nx++] = v;
        }
        if (const int v = g.ops[s].r(l, e)) {
          h.col[nh] = l;
          h.value[nh++] = v;
        }
      }
    }
    x.first[idm] = nx;
    h.first[idm] = nh;
  }
  g.first_identity = nsymo >= 1;
  for (int e = 0; e < idm && g.first_identity; ++e)
    for (int l = 0; l < idm; ++l)
      if (rn[0][at(e, l)] != (e == l ? 1 : 0) || g.ops[0].r(e, l) != (e == l ? 1 : 0) || tn[0][e] != 0)
        g.first_identity = false;
  // The inversion takes x to -x, which is x again only on axes of 1 or 2 points.
  g.trivial = true;
  for (int s = 0; s < nsymo && g.trivial; ++s)
    g.trivial = fixes_grid(g, g.xact[s]) && fixes_grid(g, g.hact[s]);
  for (int e = 0; e < idm && g.trivial; ++e)
    if (g.ncent && g.n[e] > 2) g.trivial = false;
  g.prepared = true;
  restamp(g);
}

void gethrg(const Grid& g, const int* h, int* hr, int i, int k) { applyh(g.ops[i - 1], h, hr, k != 0 ? -1 : 1); }

double getytg(const Grid& g, const int* h, int i, int k) {
  const double s = phase(g.ops[i - 1], h, g.idm);
  return (k != 0) ? -s : s;
}

void getrxi(const Grid& g, const int* x, int* xr, int i, int k) {
  const Action& a = g.xact[i - 1];
  const int sign = (k != 0) ? -1 : 1;
  int y[kDim] = {0, 0, 0, 0, 0, 0};
  for (int e = 0; e < g.idm; ++e) y[e] = static_cast<int>(sign * (act(a, e, x) % g.n[e]));
  tounitcell(g, y);
  for (int e = 0; e < kDim; ++e) xr[e] = y[e];
}

int getrxij(const Grid& g, const int* x, int i, int k) { return imageindex(g, g.xact[i - 1], x, k, g.idm); }

void setindfindx(Grid& g) {
  checksize(g, "setindfindx");
  g.findx_made = false;
  g.nfindx = g.trivial ? static_cast<int>(getnt(g))
                       : orbits(g, nullptr, g.hact.data(), true, reflection_image, true);
  // The symmetry classes of every index vector the grid holds (the
  // reflections of the data are counted by the expansion before); the
  // line keeps its old label, which scripts read.
  out() << "number of independent reflections =" << fmt_i(g.nfindx, 10)
        << "  (symmetry classes of the reciprocal grid points)\n";
}

void setindxindx(Grid& g) {
  checksize(g, "setindxindx");
  g.xindx.assign(static_cast<std::size_t>(getnt(g)), "the list of independent grid points");
  if (g.trivial) {
    identitylist(g.xindx.data(), getnt(g));
    g.nxindx = static_cast<int>(getnt(g));
  } else {
    g.nxindx = orbits(
        g, g.xindx.data(), g.xact.data(), false,
        [](const Grid& gg, const int* x, int i, int k) { return getrxij(gg, x, i, k); }, true);
  }
  out() << "number of independent grid points  =" << fmt_i(g.nxindx, 10) << '\n';
}

const int* getfindx(Grid& g) {
  if (!g.findx_made && g.nfindx > 0) {
    g.findx.assign(static_cast<std::size_t>(getnt(g)), "the list of independent reflections");
    if (g.trivial)
      identitylist(g.findx.data(), getnt(g));
    else
      orbits(g, g.findx.data(), g.hact.data(), true, reflection_image, false);
    g.findx_made = true;
  }
  return g.findx.data();
}

long long getxindxorbits(const Grid& g, int* rep) {
  const int nx = g.nxindx;
  const int* xi = g.xindx.data();
  const int nsymo = static_cast<int>(g.ops.size()), ncent = g.ncent;
  const int idm = g.idm;
  if (g.trivial) {
    // Every point is its own orbit, the list is the grid: rep[j] = j.
    identitylist(rep, nx);
    return nx;
  }
  // Most operators (the identity among them) leave the slow components of
  // an image independent of the first coordinate: their images of the
  // points of one row along the first axis differ in the first component
  // alone, so the slow part of the image index (and of the inverted
  // image's) is worked out once a row.
  const int n0 = g.n[0];
  bool byrow[kMaxSymo];
  int a0[kMaxSymo];
  for (int s = 0; s < nsymo; ++s) {
    const Action& a = g.xact[s];
    byrow[s] = rowdependent(a, idm) <= 0;
    a0[s] = 0;
    for (int q = a.first[0]; q < a.first[1]; ++q)
      if (a.col[q] == 0) a0[s] += a.value[q];
  }
  std::atomic<long long> covered{0};
  parallel_for(nx, 8192, [&](long long i0, long long i1) {
    // The grid coordinates of the independent points, kept as an odometer
    // from the part's first point (they come in increasing order of j).
    int x[kDim] = {0, 0, 0, 0, 0, 0};
    getitoxyz(g, xi[i0], x);
    long long j = xi[i0], size = 0;
    long long images[2 * kMaxSymo];
    // Per operator taken row by row: the first component's terms in the
    // slow coordinates with its translation, and the slow parts of the
    // image index and of the inverted image's.
    long long c0[kMaxSymo], slow[kMaxSymo], slowinv[kMaxSymo];
    long long row = -1;  // the j of the first point of the row they are for
    for (long long i = i0; i < i1; ++i) {
      int count = 0;
      if (xi[i] - j < n0 - x[0]) {
        // Still in the row.
        x[0] += static_cast<int>(xi[i] - j);
        j = xi[i];
      } else {
        for (; j < xi[i]; ++j)
          for (int e = 0; e < idm; ++e) {
            if (++x[e] < g.n[e]) break;
            x[e] = 0;
          }
      }
      if (j - x[0] != row) {
        row = j - x[0];
        for (int s = 0; s < nsymo; ++s) {
          if (!byrow[s]) continue;
          const Action& a = g.xact[s];
          long long v = a.t[0];
          for (int q = a.first[0]; q < a.first[1]; ++q)
            if (a.col[q] != 0) v += static_cast<long long>(a.value[q]) * x[a.col[q]];
          c0[s] = v;
          long long p = 0, m = 0;
          for (int e = 1; e < idm; ++e) {
            const long long y = fold(act(a, e, x), g.n[e]);
            p += y * g.mm[e];
            m += (y == 0 ? 0 : g.n[e] - y) * g.mm[e];
          }
          slow[s] = p;
          slowinv[s] = m;
        }
      }
      // Each operator's image y, and with the inversion -y.
      for (int s = 0; s < nsymo; ++s) {
        long long j0 = 0, j1 = 0;
        if (byrow[s]) {
          const long long y = fold(c0[s] + static_cast<long long>(a0[s]) * x[0], n0);
          j0 = slow[s] + y;
          j1 = slowinv[s] + (y == 0 ? 0 : n0 - y);
        } else {
          for (int e = 0; e < idm; ++e) {
            const long long y = fold(act(g.xact[s], e, x), g.n[e]);
            j0 += y * g.mm[e];
            j1 += (y == 0 ? 0 : g.n[e] - y) * g.mm[e];
          }
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

}  // namespace trovan
