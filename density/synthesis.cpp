#include "density/synthesis.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#endif

#include "crystal/crystal.hpp"
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

// The calculated structure factors sized for the observations.
void sizefc(Density& d, const Observations& obs) {
  const std::size_t n = static_cast<std::size_t>(obs.size());
  if (d.fcr.size() != n) {
    d.fcr.assign(n, 0.0f);
    d.fci.assign(n, 0.0f);
  }
}

// Grid points per thread below which a loop over the grid stays on one.
constexpr long long kGrain = 1 << 16;

// The real map synthesised from the Hermitian coefficients in the work grid
// (see density/halfgrid.hpp), times f, in the real half; the imaginary half
// cleared.
void synthesise(const Grid& g, WorkGrid& w, float f) {
  synthreal(getabcdr(w), getabcdi(w), g.n, g.idm, f);
}

// A row of the grid whose orbit map is neither its list row in order nor
// mirrored (Density::rows).
constexpr int kOtherRow = INT_MIN;

// d.rows from d.rep when the first axis has even length; none when fewer
// than half the rows are runs of the list (the table would not pay for
// itself).
void make_rows(const Grid& g, Density& d, long long nt) {
  const int n0 = g.n[0];
  if (n0 % 2) return;
  const long long nrow = nt / n0;
  d.rows.assign(static_cast<std::size_t>(nrow), "the orbit map of the grid by rows");
  const int* rep = d.rep.data();
  int* rows = d.rows.data();
  std::atomic<long long> others{0};
  parallel_for(nrow, 4096, [&](long long t0, long long t1) {
    long long o = 0;
    for (long long t = t0; t < t1; ++t) {
      const int* r = rep + t * n0;
      bool forward = true, mirrored = true;
      for (int i = 0; i < n0; ++i) {
        forward = forward && r[i] == r[0] + i;
        mirrored = mirrored && r[i] == r[0] + (n0 - i) % n0;
      }
      rows[t] = forward ? r[0] : mirrored ? ~r[0] : kOtherRow;
      o += !forward && !mirrored;
    }
    others += o;
  });
  if (2 * others > nrow) d.rows.release();
}

// rep[j] for every grid point: the position of its orbit's independent
// point in the density list. Made whenever the density list is (re)made
// from the grid.
void make_rep(const Grid& g, Density& d, bool whole) {
  const long long nt = getnt(g);
  d.whole = whole;
  d.rows.release();
  // A whole map is its own list: no orbit map is needed to expand it, and
  // the identity list of grid indices is only made if someone asks for it.
  d.all.release();
  if (d.whole) return;
  d.rep.assign(static_cast<std::size_t>(nt), "the orbit map of the grid");
  if (getxindxorbits(g, d.rep.data()) == nt) {
    make_rows(g, d, nt);
    return;
  }
  // Some point lies in no orbit (or in two): find the first for the message.
  std::fill(d.rep.data(), d.rep.data() + nt, -1);
  getxindxorbits(g, d.rep.data());
  for (long long j = 0; j < nt; ++j)
    if (d.rep[j] < 0) quit("grid point " + std::to_string(j) + " lies in no symmetry orbit");
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

// The same for a whole map: ra[i] = x[2 i], rb[i] = x[2 i + 1] (a run of
// B = 1 point per half point would cost a call each).
TROVAN_VECTOR_CLONES
void split_neighbours(float* __restrict ra, float* __restrict rb, const float* __restrict x, long long len) {
  for (long long i = 0; i < len; ++i) {
    ra[i] = x[2 * i];
    rb[i] = x[2 * i + 1];
  }
}

// ra[i] = x[-2 i], rb[i] = x[-2 i - 1]: a run of the list read backwards,
// split into its even and odd points.
TROVAN_VECTOR_CLONES
void split_reversed(float* __restrict ra, float* __restrict rb, const float* __restrict x, long long len) {
  // Sixteen values read forward at a time, which the compiler turns into a
  // load and two permutations (it does not vectorise the backward read).
  long long i = 0;
  for (; i + 8 <= len; i += 8) {
    const float* p = x - 2 * i - 15;
    for (int k = 0; k < 8; ++k) {
      ra[i + k] = p[15 - 2 * k];
      rb[i + k] = p[14 - 2 * k];
    }
  }
  for (; i < len; ++i) {
    ra[i] = x[-2 * i];
    rb[i] = x[-2 * i - 1];
  }
}

// gather_neighbours of the half points lo .. hi-1 through the rows of the
// orbit map (Density::rows, first axis of even length n0): a row of the
// list in order is split into its even and odd points, consecutive such
// rows at once; a mirrored row is read backwards from its base, point 0
// staying in place; other rows and part rows at the ends go through rep.
void gather_rows(float* a, float* b, const float* x, const Density& d, int n0, long long lo, long long hi) {
  const long long h0 = n0 / 2;
  const int* rep = d.rep.data();
  const int* rows = d.rows.data();
  // The whole rows t0 .. t1-1 of the part.
  const long long t0 = (lo + h0 - 1) / h0, t1 = hi / h0;
  if (t0 >= t1) {
    gather_neighbours(a + lo, b + lo, x, rep, lo, hi - lo);
    return;
  }
  if (t0 * h0 > lo) gather_neighbours(a + lo, b + lo, x, rep, lo, t0 * h0 - lo);
  // Where the list is first read for row t: a block of rows starts with a
  // jump in the list, which the next block's is fetched ahead of.
  auto first_read = [&](long long t) -> const float* {
    const int m = rows[t];
    return m >= 0 ? x + m : x + ~m + n0 - 1;
  };
  for (long long t = t0; t < t1;) {
    const int m = rows[t];
    const long long q = t * h0;
    if (m == kOtherRow) {
      gather_neighbours(a + q, b + q, x, rep, q, h0);
      ++t;
      continue;
    }
    long long u = t + 1;
    if (m >= 0) {
      // Rows of the list in order, one after the other in the list.
      while (u < t1 && rows[u] == m + (u - t) * n0) ++u;
      if (u < t1 && rows[u] != kOtherRow) __builtin_prefetch(first_read(u));
      split_neighbours(a + q, b + q, x + m, (u - t) * h0);
    } else {
      // Mirrored rows whose bases step down by n0: the block's point k is
      // list position c - k (c = base + n0), but for the rows' first points,
      // which stay at their bases.
      const long long base = ~m;
      while (u < t1 && rows[u] == ~(base - (u - t) * n0)) ++u;
      if (u < t1 && rows[u] != kOtherRow) __builtin_prefetch(first_read(u));
      const float* xc = x + base + n0;
      b[q] = xc[-1];
      split_reversed(a + q + 1, b + q + 1, xc - 2, (u - t) * h0 - 1);
      for (long long r = 0; r < u - t; ++r) a[q + r * h0] = x[base - r * n0];
    }
    t = u;
  }
  if (t1 * h0 < hi) gather_neighbours(a + t1 * h0, b + t1 * h0, x, rep, t1 * h0, hi - t1 * h0);
}

// The current density paired along axis e into the first nt/2 entries of
// the work grid (see density/halfgrid.hpp): half point q holds the density
// at p = q + B floor(q/B) and at p + B.
void pair_density(const Grid& g, WorkGrid& w, const Density& d, int e) {
  const int* n = g.n;
  long long B = 1;
  for (int i = 0; i < e; ++i) B *= n[i];
  float* a = getabcdr(w);
  float* b = getabcdi(w);
  const long long h = getnt(g) / 2;
  const float* x = d.x();
  const bool whole = d.whole;
  parallel_for(h, kGrain, [&](long long lo, long long hi) {
    // Runs of up to B half points q .. q+len-1 take the full points p ..
    // p+len-1 and those B further on (one division per run, not per point).
    if (B == 1) {
      if (whole)
        split_neighbours(a + lo, b + lo, x + 2 * lo, hi - lo);
      else if (d.rows.size())
        gather_rows(a, b, x, d, n[0], lo, hi);
      else
        gather_neighbours(a + lo, b + lo, x, d.rep.data(), lo, hi - lo);
      return;
    }
    for (long long q = lo; q < hi;) {
      const long long len = std::min(hi - q, B - q % B);
      const long long p = q + B * (q / B);
      if (whole)
        gather_pair(a + q, b + q, x, nullptr, p, B, len);
      else
        gather_pair(a + q, b + q, x, d.rep.data(), p, B, len);
      q += len;
    }
  });
}

// The Sakata-Sato scale of a whole map met on its way into the half grid:
// each value v becomes max(v k, floor) in the density list and in its
// place, and the extremes of the new values are kept per lane (as
// scaleextremes keeps them). One pass over the density rather than two.
struct ScaleTo {
  float k, floor;
};

inline void scaled(float& x, float& r, ScaleTo s, float& l, float& h) {
  const float y = std::max(x * s.k, s.floor);
  x = y;
  r = y;
  l = y < l ? y : l;
  h = y > h ? y : h;
}

// ra[i], rb[i] := the scaled x[2 i], x[2 i + 1].
TROVAN_VECTOR_CLONES
void scale_split(float* __restrict ra, float* __restrict rb, float* __restrict x, long long len, ScaleTo s,
                 float* __restrict l, float* __restrict h) {
  long long i = 0;
  for (; i + 8 <= len; i += 8)
    for (int t = 0; t < 8; ++t) {
      scaled(x[2 * (i + t)], ra[i + t], s, l[t], h[t]);
      scaled(x[2 * (i + t) + 1], rb[i + t], s, l[t + 8], h[t + 8]);
    }
  for (; i < len; ++i) {
    scaled(x[2 * i], ra[i], s, l[0], h[0]);
    scaled(x[2 * i + 1], rb[i], s, l[8], h[8]);
  }
}

// r[i] := the scaled x[i].
TROVAN_VECTOR_CLONES
void scale_copy(float* __restrict r, float* __restrict x, long long len, ScaleTo s, float* __restrict l,
                float* __restrict h) {
  long long i = 0;
  for (; i + 16 <= len; i += 16)
    for (int t = 0; t < 16; ++t) scaled(x[i + t], r[i + t], s, l[t], h[t]);
  for (; i < len; ++i) scaled(x[i], r[i], s, l[0], h[0]);
}

// pair_density of a whole map with the scale s applied to the density list
// on the way; the extremes of the scaled list into d.dmin, d.dmax.
void pair_scaled(const Grid& g, WorkGrid& w, Density& d, int e, ScaleTo s) {
  const int* n = g.n;
  long long B = 1;
  for (int i = 0; i < e; ++i) B *= n[i];
  float* a = getabcdr(w);
  float* b = getabcdi(w);
  const long long half = getnt(g) / 2;
  float* x = d.x();
  std::mutex mu;
  // A value of the scaled list: the start of every lane.
  const float start = std::max(x[0] * s.k, s.floor);
  float lo = start, hi = start;
  parallel_for(half, kGrain, [&](long long q0, long long q1) {
    float l[16], h[16];
    for (int t = 0; t < 16; ++t) l[t] = h[t] = start;
    if (B == 1) {
      scale_split(a + q0, b + q0, x + 2 * q0, q1 - q0, s, l, h);
    } else {
      for (long long q = q0; q < q1;) {
        const long long len = std::min(q1 - q, B - q % B);
        const long long p = q + B * (q / B);
        scale_copy(a + q, x + p, len, s, l, h);
        scale_copy(b + q, x + p + B, len, s, l, h);
        q += len;
      }
    }
    float tl = l[0], th = h[0];
    for (int t = 1; t < 16; ++t) {
      tl = l[t] < tl ? l[t] : tl;
      th = h[t] > th ? h[t] : th;
    }
    std::lock_guard<std::mutex> lk(mu);
    lo = std::min(lo, tl);
    hi = std::max(hi, th);
  });
  d.dmin = lo;
  d.dmax = hi;
}

}  // namespace

void mapxyz(const Crystal& c, WorkGrid& w) { synthesise(c.grid, w, 1.0f / c.lattice.vol); }

namespace {

// (Fo - Fc)/sigma^2 at every independent reflection (times wk[k] when
// weights are given). Dividing by sigma^2 makes the map the gradient of
// c2 = sum |Fo - Fc|^2 / sigma^2.
void diffcoefs(Density& d, const Observations& obs, const float* wk, std::vector<float>& fr,
               std::vector<float>& fi) {
  const int n = obs.size();
  sizefc(d, obs);
  fr.resize(n);
  fi.resize(n);
  parallel_for(n, 16384, [&](long long k0, long long k1) {
    for (long long k = k0; k < k1; ++k) {
      const float s = obs.sigma[k];
      const float w = wk ? s * s / wk[k] : s * s;
      fr[k] = (obs.a[k] - d.fcr[k]) / w;
      fi[k] = (obs.b[k] - d.fci[k]) / w;
    }
  });
}

// The coefficient list of the difference map (weighted by wk).
// The difference map is synthesised from the list of its coefficients: on
// a large grid the few thousand reflections and their images go straight
// into the half grid, which is all that is cleared.
const std::vector<FCoef>& diflist(const Crystal& c, const RunState& rs, Density& d, const Observations& obs,
                                  const float* wk) {
  diffcoefs(d, obs, wk, d.dfr, d.dfi);
  getffromf0(c, rs, obs.size(), obs.j.data(), d.dfr.data(), d.dfi.data(), 0.0f, d.spread, d.dlist);
  return d.dlist;
}

}  // namespace

void setdf(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs,
           const float* wk) {
  // The coefficients spread over their symmetry images with their phase
  // shifts and Friedel mates.
  std::vector<float> fr, fi;
  diffcoefs(d, obs, wk, fr, fi);
  setffromf0(c, rs, w, obs.size(), obs.j.data(), fr.data(), fi.data(), 0.0f);
}

void difxyz(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs) {
  const std::vector<FCoef>& list = diflist(c, rs, d, obs, nullptr);
  synthrealfrom(getabcdr(w), getabcdi(w), c.grid.n, c.grid.idm, 1.0f / c.lattice.vol, list.data(), list.size());
}

HalfMap difxyzv(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs,
               const float* wk) {
  // On a half grid the coefficients go to their places straight from the
  // observed and calculated structure factors: the list is never written.
  // The reflections' grid indices are compared with the plan's as the
  // differences are made; a list that differs makes the plan and the
  // places again before anything is placed.
  const Grid& g = c.grid;
  const int n = obs.size();
  const int* j = obs.j.data();
  const SpreadPlan& sp = spreadplan(c, rs, n, j, d.spread, false);
  if (halfplaces(g.n, g.idm, sp, d.dhalf)) {
    sizefc(d, obs);
    const DiffValues v{obs.a.data(), obs.b.data(), obs.sigma.data(), d.fcr.data(), d.fci.data(), wk, n, j,
                       sp.key.data()};
    if (!diffvalues(d.dhalf, v)) halfplaces(g.n, g.idm, spreadplan(c, rs, n, j, d.spread, true), d.dhalf);
    return synthhalfdiff(getabcdr(w), getabcdi(w), g.n, g.idm, d.dhalf);
  }
  const std::vector<FCoef>& list = diflist(c, rs, d, obs, wk);
  return synthhalffrom(getabcdr(w), getabcdi(w), c.grid.n, c.grid.idm, 1.0f, list.data(), list.size());
}

namespace {

// The reflections in the order of the half-grid point Z(k') from which each
// one's X(k) is read (pairedindex), those of one point in the list's order.
std::vector<int> readorder(const std::vector<PairedIndex>& at) {
  std::vector<int> order(at.size());
  for (std::size_t k = 0; k < at.size(); ++k) order[k] = static_cast<int>(k);
  std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return at[x].jp < at[y].jp; });
  return order;
}

// The steps s[0..m-1] of a shape cut into pieces (FcPlan::Piece): each
// piece as many of the next steps as fit in eight lanes with both of their
// windows eight points wide. Along a row of the half grid the points of a
// shape run up and their mirrors down, but for the origin's, which is its
// own mirror: a row of up to eight points is mostly one piece.
void cutshape(const FcPlan::Step* s, int m, std::vector<FcPlan::Piece>& out) {
  for (int t = 0; t < m;) {
    FcPlan::Piece q{};
    q.first = t;
    int plo = s[t].dp, phi = plo, mlo = s[t].dm, mhi = mlo, u = t;
    for (; u < m && u - t < 8; ++u) {
      const int p0 = std::min(plo, s[u].dp), p1 = std::max(phi, s[u].dp);
      const int m0 = std::min(mlo, s[u].dm), m1 = std::max(mhi, s[u].dm);
      if (p1 - p0 > 7 || m1 - m0 > 7) break;
      plo = p0, phi = p1, mlo = m0, mhi = m1;
    }
    q.dp = plo, q.dm = mlo, q.m = u - t;
    for (int l = 0; l < q.m; ++l) {
      const FcPlan::Step& st = s[t + l];
      q.ip[l] = st.dp - plo, q.im[l] = st.dm - mlo, q.dj[l] = st.dj;
      q.lp |= 1u << q.ip[l], q.lm |= 1u << q.im[l];
      q.c[l] = st.c, q.s[l] = st.s;
    }
    out.push_back(q);
    t = u;
  }
}

// The plan for the reflections at grid indices jj[0..n-1], remade when the
// grid or the reflections' number changed or when `remake` says the
// indices did (a read found one that differs from the plan's).
const FcPlan& fcplan(const Grid& g, FcPlan& p, int n, const int* jj, const int* nn, int idm, int e,
                     bool remake) {
  if (!remake && p.stamp == g.stamp && p.idm == idm && p.e == e && p.n == n &&
      (p.checked || std::equal(jj, jj + n, p.key.begin())))
    return p;
  int len[6];
  gethalfgrid(nn, idm, e, len);
  p.prune = FftPrune{};
  for (int i = 0; i < idm; ++i) p.prune.out[i].assign(static_cast<std::size_t>(len[i]), 0), p.prune.out[i][0] = 1;
  std::vector<PairedIndex> at(static_cast<std::size_t>(n));
  std::vector<int> ke(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    int x[6];
    getitoxyz(g, jj[k], x);
    for (int i = 0; i < idm; ++i) {
      const int c = x[i] % len[i];
      p.prune.out[i][c] = 1;
      if (e >= 0) p.prune.out[i][(len[i] - c) % len[i]] = 1;
    }
    if (e >= 0) at[k] = pairedindex(nn, idm, e, x), ke[k] = x[e];
  }
  p.key.clear();
  p.rows.clear();
  p.shapes.clear();
  p.steps.clear();
  p.order.clear();
  p.pieces.clear();
  p.shapepieces.clear();
  p.checked = false;
  if (e >= 0) {
    std::vector<int> order = readorder(at);
    // The rotation of each k_e (c + i s), the same for all its reflections.
    std::vector<std::array<double, 2>> turn(static_cast<std::size_t>(nn[e]));
    // Along the first axis of the half grid, point dp of a row has its
    // mirror at (l0 - dp) mod l0 of the mirrored row, wherever the row is.
    const int l0 = len[0];
    std::map<std::vector<std::array<int, 4>>, int> known;
    std::vector<std::array<int, 4>> shape;
    for (int i = 0; i < n;) {
      const long long row = at[order[i]].jp / l0;
      FcPlan::Row r{i, static_cast<int>(row * l0), 0, jj[order[i]], 0};
      shape.clear();
      int u = i;
      for (; u < n && at[order[u]].jp / l0 == row; ++u) {
        const int k = order[u];
        const int dp = static_cast<int>(at[k].jp - row * l0);
        shape.push_back({dp, (l0 - dp) % l0, ke[k], jj[k] - r.jj});
        turn[static_cast<std::size_t>(ke[k])] = {at[k].c, at[k].s};
      }
      r.jm = static_cast<int>(at[order[i]].jm) - shape[0][1];
      const auto [it, fresh] = known.emplace(shape, static_cast<int>(p.shapes.size()));
      if (fresh) {
        p.shapes.push_back(static_cast<int>(p.steps.size()));
        p.shapepieces.push_back(static_cast<int>(p.pieces.size()));
        for (const auto& t : shape) {
          const std::array<double, 2>& cs = turn[static_cast<std::size_t>(t[2])];
          p.steps.push_back({t[0], t[1], t[3], cs[0], cs[1]});
        }
        cutshape(p.steps.data() + p.shapes.back(), static_cast<int>(shape.size()), p.pieces);
      }
      r.shape = it->second;
      p.rows.push_back(r);
      i = u;
    }
    p.shapes.push_back(static_cast<int>(p.steps.size()));
    p.shapepieces.push_back(static_cast<int>(p.pieces.size()));
    // A list held in this order (memorder) is written in sequence.
    bool inorder = true;
    for (int i = 0; i < n && inorder; ++i) inorder = order[i] == i;
    if (!inorder) p.order = std::move(order);
    p.checked = inorder;
  }
  // Read out of sequence (another order, or no pairing axis), the indices
  // are compared before the plan is used again.
  if (!p.checked) p.key.assign(jj, jj + n);
  p.stamp = g.stamp;
  p.idm = idm;
  p.e = e;
  p.n = n;
  return p;
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TROVAN_READ_AVX512 1

// Rows r0..r1-1 of a plan read in sequence (order empty) eight reflections
// at a time, by the shapes' pieces: the two windows of a piece are loaded
// under masks (only the points read, nothing past them), their points put into
// the lanes' order, and X(k) made in eight lanes of doubles by the very
// operations of the scalar read, one rounding each (the file is compiled
// without contracting a multiply and an add into one), so that both give
// the same floats. False when a reflection's grid index is not the plan's.
__attribute__((target("avx512f,avx512vl"))) bool readrows_avx512(const FcPlan& p, long long r0, long long r1,
                                                                  const float* a, const float* b, const int* jj,
                                                                  double fs, bool centro, float* fcr, float* fci) {
  typedef double D8 __attribute__((vector_size(64)));
  typedef float F8 __attribute__((vector_size(32)));
  const FcPlan::Row* rows = p.rows.data();
  const int* cut = p.shapepieces.data();
  const FcPlan::Piece* pieces = p.pieces.data();
  __mmask8 bad = 0;
  for (long long r = r0; r < r1; ++r) {
    const FcPlan::Row row = rows[r];
    for (int q = cut[row.shape]; q < cut[row.shape + 1]; ++q) {
      const FcPlan::Piece& pc = pieces[q];
      const __mmask8 lp = static_cast<__mmask8>(pc.lp), lm = static_cast<__mmask8>(pc.lm);
      const __mmask8 lanes = static_cast<__mmask8>((1u << pc.m) - 1);
      const __m256i ip = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pc.ip));
      const __m256i im = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pc.im));
      const int jp = row.jp + pc.dp, jm = row.jm + pc.dm, k = row.i + pc.first;
      const D8 zr = __builtin_convertvector(F8(_mm256_permutexvar_ps(ip, _mm256_maskz_loadu_ps(lp, a + jp))), D8);
      const D8 zi = __builtin_convertvector(F8(_mm256_permutexvar_ps(ip, _mm256_maskz_loadu_ps(lp, b + jp))), D8);
      const D8 wr = __builtin_convertvector(F8(_mm256_permutexvar_ps(im, _mm256_maskz_loadu_ps(lm, a + jm))), D8);
      const D8 wi = -__builtin_convertvector(F8(_mm256_permutexvar_ps(im, _mm256_maskz_loadu_ps(lm, b + jm))), D8);
      const D8 c = _mm512_loadu_pd(pc.c), sn = _mm512_loadu_pd(pc.s);
      const D8 er = 0.5 * (zr + wr), ei = 0.5 * (zi + wi);
      const D8 orr = 0.5 * (zi - wi), oi = -0.5 * (zr - wr);
      const D8 xr = er + c * orr - sn * oi;
      const D8 xi = ei + c * oi + sn * orr;
      _mm256_mask_storeu_ps(fcr + k, lanes, __m256(__builtin_convertvector(xr * fs, F8)));
      const __m256 yi = centro ? _mm256_setzero_ps() : __m256(__builtin_convertvector(xi * fs, F8));
      _mm256_mask_storeu_ps(fci + k, lanes, yi);
      const __m256i want = _mm256_add_epi32(_mm256_set1_epi32(row.jj),
                                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pc.dj)));
      bad |= _mm256_mask_cmpneq_epi32_mask(lanes, _mm256_maskz_loadu_epi32(lanes, jj + k), want);
    }
  }
  return bad == 0;
}

#endif

// X(k) of every reflection from the transformed half grid a, b, times f,
// into fcr, fci by the plan's rows (fci zero for a centrosymmetric map).
// False when the plan checks the reflections' grid indices on the way and
// one is not the one it was made for: the plan is stale and what was read
// is not to be used. A plan read in sequence goes eight reflections at a
// time where the processor has the instructions and the transform runs in
// AVX-512 (readrows_avx512), the same floats as the loop below.
bool readpaired(const FcPlan& p, const float* a, const float* b, const int* jj, float f, bool centro,
                float* fcr, float* fci) {
  std::atomic<bool> same{true};
  const FcPlan::Row* rows = p.rows.data();
  const int* shapes = p.shapes.data();
  const FcPlan::Step* steps = p.steps.data();
  const int* order = p.order.empty() ? nullptr : p.order.data();
#if defined(TROVAN_READ_AVX512)
  // The transform's AVX-512 level is chosen only where the processor has
  // avx512f and avx512vl (and dq), all the read needs.
  const bool lanes = !order && getfftisa() >= 3;
#endif
  parallel_for(static_cast<long long>(p.rows.size()), 4096, [&](long long r0, long long r1) {
    const double fs = f;  // kept in a register: fcr might alias a captured f
#if defined(TROVAN_READ_AVX512)
    if (lanes) {
      if (!readrows_avx512(p, r0, r1, a, b, jj, fs, centro, fcr, fci)) same.store(false, std::memory_order_relaxed);
      return;
    }
#endif
    bool ok = true;
    for (long long r = r0; r < r1; ++r) {
      const FcPlan::Row row = rows[r];
      const FcPlan::Step* s = steps + shapes[row.shape];
      const int m = shapes[row.shape + 1] - shapes[row.shape];
      for (int u = 0; u < m; ++u) {
        // X(k) from Z(k') and conj Z(-k'), as pairedcoef makes it.
        const int jp = row.jp + s[u].dp, jm = row.jm + s[u].dm;
        const double c = s[u].c, sn = s[u].s;
        const double zr = a[jp], zi = b[jp], wr = a[jm], wi = -b[jm];
        const double er = 0.5 * (zr + wr), ei = 0.5 * (zi + wi);
        const double orr = 0.5 * (zi - wi), oi = -0.5 * (zr - wr);
        const double xr = er + c * orr - sn * oi;
        const double xi = ei + c * oi + sn * orr;
        if (order) {
          const int k = order[row.i + u];
          fcr[k] = static_cast<float>(xr * fs);
          fci[k] = centro ? 0.0f : static_cast<float>(xi * fs);
          continue;
        }
        const int k = row.i + u;
        ok &= jj[k] == row.jj + s[u].dj;
        fcr[k] = static_cast<float>(xr * fs);
        fci[k] = centro ? 0.0f : static_cast<float>(xi * fs);
      }
    }
    if (!ok) same.store(false, std::memory_order_relaxed);
  });
  return same.load();
}

}  // namespace

std::vector<int> cycleorder(const Grid& g, const Observations& obs) {
  const int e = getpairaxis(g.n, g.idm);
  if (e < 0) return {};
  std::vector<PairedIndex> at(static_cast<std::size_t>(obs.size()));
  for (int k = 0; k < obs.size(); ++k) {
    int x[6];
    getitoxyz(g, obs.j[k], x);
    at[k] = pairedindex(g.n, g.idm, e, x);
  }
  return readorder(at);
}

namespace {

float fcofmap(const Crystal& c, WorkGrid& w, Density& d, const Observations& obs, const ScaleTo* scale) {
  const Grid& g = c.grid;
  const long long nt = getnt(g);
  const float f = c.lattice.vol / static_cast<float>(nt);
  const bool centro = c.group.icent != 0;
  const int n = obs.size();
  const int* jj = obs.j.data();
  const float* a = getabcdr(w);
  const float* b = getabcdi(w);
  sizefc(d, obs);
  float* fcr = d.fcr.data();
  float* fci = d.fci.data();
  const int* nn = g.n;
  const int idm = g.idm;
  const int e = getpairaxis(nn, idm);
  int icon = 0;
  if (scale && (e < 0 || !d.whole)) {
    scalexr0(d, scale->k, scale->floor);
    scale = nullptr;
  }
  // Only the structure factors at the reflections and F(000) are wanted.
  if (e < 0) {
    const FcPlan& plan = fcplan(g, d.fcplan, n, jj, nn, idm, e, false);
    getbrfromxr0(g, d, w);
    cft1(getabcdr(w), getabcdi(w), nn, idm, -1, icon, &plan.prune);
    // They alone are scaled by V/nt, the rest of the grid keeps the bare
    // transform.
    for (int k = 0; k < n; ++k) {
      fcr[k] = a[jj[k]] * f;
      fci[k] = centro ? 0.0f : b[jj[k]] * f;
    }
    return a[0] * f;
  }
  int len[6];
  gethalfgrid(nn, idm, e, len);
  // The plan is checked by its read: reflections moved to other places of
  // the grid (their number the same) make it again, and the density, scaled
  // already, is paired and transformed once more.
  for (bool remake = false;; remake = true) {
    const FcPlan& plan = fcplan(g, d.fcplan, n, jj, nn, idm, e, remake);
    if (scale)
      pair_scaled(g, w, d, e, *scale);
    else
      pair_density(g, w, d, e);
    scale = nullptr;
    cft1(getabcdr(w), getabcdi(w), len, idm, -1, icon, &plan.prune);
    if (readpaired(plan, a, b, jj, f, centro, fcr, fci) || remake) break;
  }
  // F(000) = E(0) + O(0), the real and the imaginary part of Z(0).
  return static_cast<float>((double(a[0]) + b[0]) * f);
}

}  // namespace

float maphkl(const Crystal& c, WorkGrid& w, Density& d, const Observations& obs) {
  return fcofmap(c, w, d, obs, nullptr);
}

float maphklscaled(const Crystal& c, WorkGrid& w, Density& d, const Observations& obs, float k, float floor) {
  const ScaleTo s{k, floor};
  return d.nxr0 < 1 ? maphkl(c, w, d, obs) : fcofmap(c, w, d, obs, &s);
}

Density initcr1(const Crystal& c, const RunState& rs, WorkGrid& w) {
  // The work grid holds the expanded coefficients (symstf): synthesise.
  mapxyz(c, w);
  Density d;
  setxr0(c.grid, rs, w, d);
  getdmx(d);
  return d;
}

Density initcr0(const Crystal& c, const RunState& rs, WorkGrid& w, float f000) {
  // F(000) alone: the uniform density f000/V, the maximum-entropy start
  // (what the synthesis of F(000) alone gives, to the last bit).
  float* a = getabcdr(w);
  float* b = getabcdi(w);
  const float rho = f000 * (1.0f / c.lattice.vol);
  parallel_for(getnt(c.grid), kGrain, [&](long long lo, long long hi) {
    std::fill(a + lo, a + hi, rho);
    std::fill(b + lo, b + hi, 0.0f);
  });
  Density d;
  setxr0(c.grid, rs, w, d);
  getdmx(d);
  return d;
}

void setxr0(const Grid& g, const RunState& rs, const WorkGrid& w, Density& d) {
  // A group whose orbits on the grid are single points keeps its map whole
  // too: the list is the grid, and no orbit map is made.
  make_rep(g, d, ispatterson(rs) || g.trivial);
  d.nxr0 = d.whole ? static_cast<int>(getnt(g)) : g.nxindx;
  for (Table<float>& t : d.xr0) t.assign(static_cast<std::size_t>(d.nxr0), "the density list");
  float* x = d.x();
  const float* a = getabcdr(w);
  const int* xi = d.whole ? nullptr : g.xindx.data();
  parallel_for(d.nxr0, kGrain, [&](long long lo, long long hi) {
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

void getdmx(Density& d) {
  if (d.nxr0 < 1) {
    d.dmin = d.dmax = 0;
    return;
  }
  const float* x = d.x();
  // Extremes of each part, then of the parts: the same whatever the split.
  std::mutex m;
  float lo = x[0], hi = x[0];
  parallel_for(d.nxr0, kGrain, [&](long long i0, long long i1) {
    float l, h;
    extremes(x + i0, i1 - i0, l, h);
    std::lock_guard<std::mutex> lk(m);
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  });
  d.dmin = lo;
  d.dmax = hi;
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

void scalexr0(Density& d, float k, float floor) {
  if (d.nxr0 < 1) return;
  float* x = d.x();
  std::mutex m;
  float lo = std::max(x[0] * k, floor), hi = lo;
  parallel_for(d.nxr0, kGrain, [&](long long i0, long long i1) {
    float l, h;
    scaleextremes(x + i0, i1 - i0, k, floor, l, h);
    std::lock_guard<std::mutex> lk(m);
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  });
  d.dmin = lo;
  d.dmax = hi;
}

void checkxr0symmetry(const Grid& g, const Density& d, const WorkGrid& w) {
  if (d.whole || d.nxr0 < 1) return;
  const float* a = getabcdr(w);
  const float* x = d.x();
  const long long nt = getnt(g);
  // The largest departure of the grid from the value of its orbit's
  // representative, and the first point where it is largest, part by part.
  std::mutex m;
  float worst = 0;
  long long at = -1;
  parallel_for(nt, kGrain, [&](long long lo, long long hi) {
    float w = 0;
    long long where = -1;
    for (long long j = lo; j < hi; ++j) {
      const float dev = std::fabs(a[j] - x[d.rep[j]]);
      if (dev > w) w = dev, where = j;
    }
    std::lock_guard<std::mutex> lk(m);
    if (w > worst || (w == worst && where >= 0 && where < at)) worst = w, at = where;
  });
  // A map written by this program for the same job is symmetric to the
  // round-off of its synthesis (about a millionth of its largest value).
  const float big = std::max(std::fabs(d.dmin), std::fabs(d.dmax));
  if (at < 0 || !(worst > 1e-4f * big)) return;
  out() << "grid point" << fmt_i(at, 10) << " density" << fmt_e(a[at], 12, 5) << " its orbit's first point"
        << fmt_i(g.xindx[d.rep[at]], 10) << " density" << fmt_e(x[d.rep[at]], 12, 5) << '\n';
  quit("the density file does not have the symmetry of this job (a map of another group?)");
}

void getbrfromxr0(const Grid& g, const Density& d, WorkGrid& w) {
  float* a = getabcdr(w);
  float* b = getabcdi(w);
  const float* x = d.x();
  const bool whole = d.whole;
  const int* rep = d.rep.data();
  parallel_for(getnt(g), kGrain, [&](long long lo, long long hi) {
    for (long long j = lo; j < hi; ++j) a[j] = x[whole ? j : rep[j]];
    std::fill(b + lo, b + hi, 0.0f);
  });
}

const int* getxr0grid(const Grid& g, Density& d) {
  // A trivial group's list of independent points is already 0..nt-1.
  if (!d.whole || (g.trivial && g.xindx.size() == static_cast<std::size_t>(getnt(g)))) return g.xindx.data();
  const long long nt = getnt(g);
  if (d.all.size() != static_cast<std::size_t>(nt)) {
    d.all.assign(static_cast<std::size_t>(nt), "the list of grid points");
    for (long long j = 0; j < nt; ++j) d.all[j] = static_cast<int>(j);
  }
  return d.all.data();
}
void getxr0orbits(const Grid& g, const Density& d, std::vector<unsigned char>& m) {
  // An orbit has at most 60 operators times the inversion: 120 points.
  m.assign(d.nxr0, d.whole ? 1 : 0);
  if (d.whole) return;
  const long long nt = getnt(g);
  for (long long j = 0; j < nt; ++j) ++m[d.rep[j]];
}

}  // namespace trovan
