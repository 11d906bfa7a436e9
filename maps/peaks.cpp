#include "maps/peaks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "crystal/crystal.hpp"
#include "util/threads.hpp"
#include "util/vectorclones.hpp"
#include "crystal/op.hpp"
#include "util/runstate.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

using SpgOp = PeakSymmetry::Element;

constexpr double kQuant = 1048576.0;  // translations compared on a 2^-20 raster

// x - floor(x): into [0, 1), with a value that rounds up to 1 taken as 0.
double frac01(double x) {
  double f = x - std::floor(x);
  return f >= 1.0 ? 0.0 : f;
}

// Does a neighbour of value w out-top (or, for a negative point, undercut)
// the point of value v? Equal values and v = 0 never reject.
inline bool rejects(float v, float w) { return (v > 0 && v < w) || (v < 0 && v > w); }

inline float heightof(float v, PeakHeight kind) {
  switch (kind) {
    case PeakHeight::value:
      return v;
    case PeakHeight::absolute:
      return std::fabs(v);
    case PeakHeight::none:
      break;
  }
  return 0.0f;
}

std::vector<long long> opkey(const Op& a) {
  std::vector<long long> id(a.rot.begin(), a.rot.end());
  for (int e = 0; e < kDim; ++e) id.push_back(trnwrap(a.trn[e]));
  return id;
}

// y = R x + t of element g, not reduced.
void applyop(const SpgOp& g, const double* x, double* y) { applyx(g.op, x, y); }
void applyop(const SpgOp& g, const float* x, float* y) { applyx(g.op, x, y); }

// Index of the element g . h (h applied first), -1 when it is not in the
// list (which cannot happen for a group).
int composeop(const PeakSymmetry& ps, int g, int h) {
  auto it = ps.spgindex.find(opkey(wrapped(product(ps.spg[g].op, ps.spg[h].op), ps.idm)));
  return it == ps.spgindex.end() ? -1 : it->second;
}

// The length in grid steps of a setting displacement: its components along
// the grid axes in steps, measured with the metric of the steps.
double stepnorm(const PeakSymmetry& ps, const double* dx) {
  const int idm = ps.idm;
  double s[6];
  for (int d = 0; d < idm; ++d) {
    double v = 0;
    for (int i = 0; i < idm; ++i) v += ps.steps.minv[at(d, i)] * dx[i];
    s[d] = v * ps.steps.ng[d];
  }
  double q = 0;
  for (int a = 0; a < idm; ++a)
    for (int b = 0; b < idm; ++b) q += s[a] * ps.steps.q[at(a, b)] * s[b];
  return std::sqrt(std::max(q, 0.0));
}

// The shortest displacement from a to b modulo whole cell translations,
// in grid steps.
double stepdistance(const PeakSymmetry& ps, const double* a, const double* b) {
  double dx[6] = {0, 0, 0, 0, 0, 0};
  for (int e = 0; e < ps.idm; ++e) dx[e] = (b[e] - a[e]) - std::nearbyint(b[e] - a[e]);
  return stepnorm(ps, dx);
}

// b moved by whole cell translations next to a.
void nextto(const double* a, double* b) {
  for (int e = 0; e < 6; ++e) b[e] -= std::nearbyint(b[e] - a[e]);
}

// Does element g fix position x (modulo whole cell translations)?
bool fixes(const PeakSymmetry& ps, int g, const double* x) {
  double y[6];
  applyop(ps.spg[g], x, y);
  return stepdistance(ps, x, y) < 1e-6;
}

// A coordinate that differs from a whole number by rounding only is that
// number, so that a point on a cell face reduces to 0 and not to a tiny
// negative value listed as -0.0000; components beyond the map's dimension
// are 0. Then reduc.
void tidy(int idm, float* x) {
  for (int d = 0; d < 6; ++d) {
    const float w = std::nearbyint(x[d]);
    if (d >= idm || std::fabs(x[d] - w) < 1e-6f) x[d] = d < idm ? w : 0.0f;
  }
  reduc(x);
}

// Eigenvalues w and eigenvectors (columns of v) of the symmetric m x m
// matrix a (destroyed), by cyclic Jacobi rotations.
void symeig(int m, double (*a)[6], double* w, double (*v)[6]) {
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) v[i][j] = i == j ? 1.0 : 0.0;
  for (int sweep = 0; sweep < 50; ++sweep) {
    double off = 0, diag = 0;
    for (int i = 0; i < m; ++i) {
      diag += a[i][i] * a[i][i];
      for (int j = i + 1; j < m; ++j) off += a[i][j] * a[i][j];
    }
    if (off <= 1e-30 * (diag + 1e-300)) break;
    for (int p = 0; p < m; ++p)
      for (int q = p + 1; q < m; ++q) {
        if (a[p][q] == 0) continue;
        const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1), s = t * c;
        for (int k = 0; k < m; ++k) {
          const double akp = a[k][p], akq = a[k][q];
          a[k][p] = c * akp - s * akq;
          a[k][q] = s * akp + c * akq;
        }
        for (int k = 0; k < m; ++k) {
          const double apk = a[p][k], aqk = a[q][k];
          a[p][k] = c * apk - s * aqk;
          a[q][k] = s * apk + c * aqk;
        }
        for (int k = 0; k < m; ++k) {
          const double vkp = v[k][p], vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
  }
  for (int i = 0; i < m; ++i) w[i] = a[i][i];
}

// The grid cell (the nearest grid point) of grid-basis coordinates u
// (in steps) along axis d.
long long cellof(const GridSteps& st, double u, int d) {
  const long long n = st.ng[d];
  long long c = static_cast<long long>(std::floor(u + 0.5)) % n;
  return c < 0 ? c + n : c;
}

// Grid-basis coordinates in steps of a setting position.
void tosteps(const PeakSymmetry& ps, const double* x, double* u) {
  const int idm = ps.idm;
  for (int d = 0; d < 6; ++d) {
    double s = 0;
    if (d < idm)
      for (int i = 0; i < idm; ++i) s += ps.steps.minv[at(d, i)] * x[i];
    u[d] = s * ps.steps.ng[d];
  }
}

}  // namespace

PeakHeight peakheightkind(const RunState& rs) {
  if (ismem(rs) || isfourier(rs) || ispatterson(rs)) return PeakHeight::value;
  if (isdfourier(rs)) return PeakHeight::absolute;
  return PeakHeight::none;
}

namespace {

// Is a neighbour of value w below the point of value v, on the side of the
// point's sign (lower for v > 0, higher for v < 0)? v = 0 has none below.
inline bool undercuts(float v, float w) { return (v > 0 && w < v) || (v < 0 && w > v); }

// The neighbourhood of a grid point: the offsets of its 3^idm block
// (across the cell faces by periodic wrapping), the point itself left out.
struct Block {
  int idm = 1;
  int n[6] = {1, 1, 1, 1, 1, 1};
  long long st[6] = {1, 1, 1, 1, 1, 1};
  long long nt = 1;
  long long off[6][3] = {};  // per axis: step -1, 0, +1 (wrapped)
  // The offsets of a point off the cell faces, where none wraps, listed
  // once; `inside`: the current point is such a point.
  std::vector<long long> inner;
  bool inside = false;

  Block(const int* ng, int dims) {
    idm = dims < 1 ? 1 : (dims > 6 ? 6 : dims);
    for (int d = 0; d < idm; ++d) {
      n[d] = ng[d] < 1 ? 1 : ng[d];
      st[d] = nt;
      nt *= n[d];
    }
    int t[6] = {0, 0, 0, 0, 0, 0};
    for (;;) {
      long long o = 0;
      for (int d = 0; d < idm; ++d) o += (t[d] - 1) * st[d];
      if (o != 0) inner.push_back(o);
      int d = 0;
      while (d < idm && ++t[d] == 3) t[d++] = 0;
      if (d == idm) break;
    }
  }
  // The offsets of the point at grid coordinates c.
  void centre(const int* c) {
    inside = true;
    for (int d = 0; d < idm; ++d) {
      off[d][0] = c[d] == 0 ? (n[d] - 1) * st[d] : -st[d];
      off[d][1] = 0;
      off[d][2] = c[d] == n[d] - 1 ? -(n[d] - 1) * st[d] : st[d];
      inside = inside && c[d] > 0 && c[d] < n[d] - 1;
    }
  }
  void coordinates(long long j, int* c) const {
    for (int d = 0; d < idm; ++d) {
      c[d] = static_cast<int>(j % n[d]);
      j /= n[d];
    }
  }
  // f(o) for every offset o != 0 of the block (a neighbour met twice on an
  // axis of 1 or 2 points is met twice); stops when f returns false.
  template <class F>
  void each(F f) const {
    if (inside) {
      for (long long o : inner)
        if (!f(o)) return;
      return;
    }
    int t[6] = {0, 0, 0, 0, 0, 0};
    for (;;) {
      long long o = 0;
      for (int d = 0; d < idm; ++d) o += off[d][t[d]];
      if (o != 0 && !f(o)) return;
      int d = 0;
      while (d < idm && ++t[d] == 3) t[d++] = 0;
      if (d == idm) return;
    }
  }
};

// The plateau of grid point j0 (of value v, no neighbour above it, an equal
// neighbour): the points of value v that no neighbour exceeds either,
// connected to j0 through their blocks, each marked in `seen` (so are the
// equal points met that a neighbour exceeds, which are no extremum). An
// extremum when some point of it has a neighbour below v (above, for v < 0).
// `stack` and `equal` are scratch.
bool plateauextremum(const float* map, Block& b, long long j0, std::vector<std::uint64_t>& seen,
                     std::vector<long long>& stack, std::vector<long long>& equal) {
  const float v = map[j0];
  bool lower = false;
  stack.assign(1, j0);
  seen[j0 >> 6] |= std::uint64_t{1} << (j0 & 63);
  int c[6];
  while (!stack.empty()) {
    const long long j = stack.back();
    stack.pop_back();
    b.coordinates(j, c);
    b.centre(c);
    // One pass: the equal neighbours not yet met are noted, and joined
    // only when no neighbour exceeds this point.
    bool higher = false, below = false;
    equal.clear();
    b.each([&](long long o) {
      const long long k = j + o;
      const float w = map[k];
      if (rejects(v, w)) {
        higher = true;
        return false;
      }
      if (w == v) {
        if (!((seen[k >> 6] >> (k & 63)) & 1u)) equal.push_back(k);
      } else {
        below = below || undercuts(v, w);
      }
      return true;
    });
    if (higher) continue;
    lower = lower || below;
    for (long long k : equal)
      if (!((seen[k >> 6] >> (k & 63)) & 1u)) {
        seen[k >> 6] |= std::uint64_t{1} << (k & 63);
        stack.push_back(k);
      }
  }
  return lower;
}

}  // namespace

int findextrema(const float* map, const int* ng, int idm, float thresh, PeakHeight kind,
                std::vector<int>& js) {
  const Block block(ng, idm);
  idm = block.idm;
  const long long nt = block.nt;
  // A map of one value (the uniform start of a maximum-entropy run) is one
  // plateau with nothing below it: no extremum, nothing to walk. Any other
  // map shows a second value within its first points.
  if (std::all_of(map, map + nt, [v = map[0]](float w) { return w == v; })) return 0;
  // The points are tested part by part of the grid, shared among the
  // threads: each part lists its extrema in grid order, and the points with
  // an equal neighbour (no neighbour above them, something above the
  // threshold) as -(j + 1), whose plateaus are walked afterwards in order.
  std::mutex m;
  std::vector<std::pair<long long, std::vector<long long>>> parts;
  parallel_for(nt, 1 << 15, [&](long long lo, long long hi) {
    Block b = block;
    int c[6] = {0, 0, 0, 0, 0, 0};  // grid coordinates of point j
    std::vector<long long> got;
    for (long long j = lo; j < hi; ++j) {
      const float v = map[j];
      // Cheapest rejection first: most points lie below the threshold
      // (the coordinates are worked out for the others alone).
      if (heightof(v, kind) > thresh) {
        bool keep = true;
        b.coordinates(j, c);
        b.centre(c);
        // Then the 2 idm neighbours along the axes: a point that is no
        // extremum almost always fails there.
        for (int d = 0; d < idm && keep; ++d)
          if (rejects(v, map[j + b.off[d][0]]) || rejects(v, map[j + b.off[d][2]])) keep = false;
        // Only then the whole 3^idm block (the axis neighbours again among
        // them, which cannot change the outcome), noting an equal neighbour
        // and one below.
        bool flat = false, lower = false;
        if (keep)
          b.each([&](long long o) {
            const float w = map[j + o];
            if (rejects(v, w)) keep = false;
            flat = flat || w == v;
            lower = lower || undercuts(v, w);
            return keep;
          });
        // Something must lie below an extremum: not so for v = 0, nor on a
        // grid of one point.
        if (keep && flat)
          got.push_back(-(j + 1));
        else if (keep && lower)
          got.push_back(j);
      }
    }
    std::lock_guard<std::mutex> lk(m);
    parts.emplace_back(lo, std::move(got));
  });
  std::sort(parts.begin(), parts.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  // A point with an equal neighbour is part of a plateau, which is one
  // extremum (at its first point in grid order, the first met) or none.
  Block b = block;
  std::vector<std::uint64_t> seen;  // the plateaus' points, one bit a point
  std::vector<long long> stack, equal;
  int found = 0;
  for (const auto& part : parts)
    for (long long e : part.second) {
      if (e < 0) {
        const long long j = -e - 1;
        if (seen.empty()) seen.assign(static_cast<std::size_t>((nt + 63) / 64), 0);
        if ((seen[j >> 6] >> (j & 63)) & 1u) continue;
        if (!plateauextremum(map, b, j, seen, stack, equal)) continue;
        e = j;
      }
      js.push_back(static_cast<int>(e));
      ++found;
    }
  return found;
}

namespace {

// The first lowest and the first highest of v[i0..i1), v[i0] a number:
// lane by lane (each lane keeps its first strict extreme), then the lanes
// compared, the smaller index kept on a tie, so that the loop compiles to
// vector instructions and gives what a scan in order gives. A value that is
// not a number is passed over.
TROVAN_VECTOR_CLONES
void partextremes(const float* __restrict v, long long i0, long long i1, long long& a, long long& b) {
  float lo[16], hi[16];
  long long ia[16], ib[16];
  for (int k = 0; k < 16; ++k) lo[k] = hi[k] = v[i0], ia[k] = ib[k] = i0;
  long long i = i0;
  for (; i + 16 <= i1; i += 16)
    for (int k = 0; k < 16; ++k) {
      const float x = v[i + k];
      const bool below = x < lo[k], above = x > hi[k];
      lo[k] = below ? x : lo[k];
      ia[k] = below ? i + k : ia[k];
      hi[k] = above ? x : hi[k];
      ib[k] = above ? i + k : ib[k];
    }
  for (; i < i1; ++i) {
    if (v[i] < lo[0]) lo[0] = v[i], ia[0] = i;
    if (v[i] > hi[0]) hi[0] = v[i], ib[0] = i;
  }
  a = ia[0];
  b = ib[0];
  for (int k = 1; k < 16; ++k) {
    if (lo[k] < v[a] || (lo[k] == v[a] && ia[k] < a)) a = ia[k];
    if (hi[k] > v[b] || (hi[k] == v[b] && ib[k] < b)) b = ib[k];
  }
}

// The first lowest and the first highest point of map[0..nt), as a scan in
// grid order with strict comparisons finds them (a value that is not a
// number is passed over, unless it comes first), shared among the threads:
// each part finds its own, and the parts' are compared, the earlier one
// kept on a tie.
void firstextremes(const float* map, long long nt, long long& jmin, long long& jmax) {
  jmin = jmax = 0;
  if (nt < 1 || std::isnan(map[0])) return;
  std::mutex m;
  parallel_for(nt, 1 << 18, [&](long long lo, long long hi) {
    long long j = lo;
    while (j < hi && std::isnan(map[j])) ++j;
    if (j == hi) return;
    long long a = j, b = j;
    partextremes(map, j, hi, a, b);
    std::lock_guard<std::mutex> lk(m);
    if (map[a] < map[jmin] || (map[a] == map[jmin] && a < jmin)) jmin = a;
    if (map[b] > map[jmax] || (map[b] == map[jmax] && b < jmax)) jmax = b;
  });
}

}  // namespace

namespace {

// Solves the symmetric positive definite n x n system a x = b in place (b
// becomes x) by Cholesky factorisation; false when a is not positive
// definite to working precision (the neighbours do not determine the fit).
bool cholsolve(int n, std::vector<double> a, std::vector<double>& b, int nrhs) {
  double top = 0;
  for (int i = 0; i < n; ++i) top = std::max(top, a[i * n + i]);
  for (int j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (int k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    if (!(d > 1e-9 * top)) return false;
    d = std::sqrt(d);
    a[j * n + j] = d;
    for (int i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (int k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / d;
    }
  }
  for (int r = 0; r < nrhs; ++r) {
    double* x = &b[static_cast<std::size_t>(r) * n];
    for (int i = 0; i < n; ++i) {
      double s = x[i];
      for (int k = 0; k < i; ++k) s -= a[i * n + k] * x[k];
      x[i] = s / a[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
      double s = x[i];
      for (int k = i + 1; k < n; ++k) s -= a[k * n + i] * x[k];
      x[i] = s / a[i * n + i];
    }
  }
  return true;
}

// The terms of the quadratic at offset t of the refined axes: 1, then t_a,
// then t_a^2 / 2, then t_a t_b (a < b), so that the coefficients are the
// value, the gradient and the second derivatives at the grid point.
void quadterms(int m, const signed char* t, double* row) {
  int k = 0;
  row[k++] = 1;
  for (int a = 0; a < m; ++a) row[k++] = t[a];
  for (int a = 0; a < m; ++a) row[k++] = 0.5 * t[a] * t[a];
  for (int a = 0; a < m; ++a)
    for (int b = a + 1; b < m; ++b) row[k++] = double(t[a]) * t[b];
}

}  // namespace

PeakFit peakfit(const int* ng, int idm, const double* metric) {
  PeakFit fit;
  if (idm < 1) idm = 1;
  if (idm > 6) idm = 6;
  for (int d = 0; d < idm; ++d)
    if (ng[d] >= 3) fit.axis[fit.m++] = d;
  const int m = fit.m;
  if (m == 0) return fit;
  const int npar = 1 + 2 * m + m * (m - 1) / 2;

  // The metric of the refined axes (orthonormal steps when the one given is
  // not positive definite), its Cholesky factor L (G = L L^T) and inverse.
  std::vector<double> g(m * m), ginv(m * m, 0.0);
  for (int a = 0; a < m; ++a)
    for (int b = 0; b < m; ++b) g[a * m + b] = metric[at(fit.axis[a], fit.axis[b])];
  for (int a = 0; a < m; ++a) ginv[a * m + a] = 1;
  if (!cholsolve(m, g, ginv, m)) {
    for (int a = 0; a < m * m; ++a) g[a] = ginv[a] = (a % (m + 1) == 0) ? 1.0 : 0.0;
  }
  for (int a = 0; a < m; ++a)
    for (int b = 0; b <= a; ++b) {
      double v = g[a * m + b];
      for (int k = 0; k < b; ++k) v -= fit.chol[a * 6 + k] * fit.chol[b * 6 + k];
      fit.chol[a * 6 + b] = a == b ? std::sqrt(v) : v / fit.chol[b * 6 + b];
    }
  // A maximum that lies nearer to another grid point would have made that
  // point the higher one (for a peak symmetric about its maximum): the
  // refined position stays within half the diagonal of a grid cell.
  double diag2 = 0;
  for (int a = 0; a < m; ++a) diag2 += g[a * m + a];
  fit.reach = 0.5 * std::sqrt(diag2);
  auto dist2 = [&](const signed char* t) {
    double d2 = 0;
    for (int a = 0; a < m; ++a)
      for (int b = 0; b < m; ++b) d2 += t[a] * g[a * m + b] * t[b];
    return d2;
  };

  // The grid point and the grid vectors within the reach of the 3^m block
  // (the distance of its farthest corner), by distance. All vectors of one
  // length are taken, within the block or not, so that the points used are
  // carried onto themselves by every symmetry of the metric and a peak and
  // its symmetry images are refined alike. A vector t within the reach R
  // has |t_a| <= R sqrt((G^-1)_aa); offsets are kept below half the grid
  // size (farther ones wrap onto nearer points) and within 3 steps.
  double reach2 = 0;
  int total = 1;
  for (int a = 0; a < m; ++a) total *= 3;
  for (int c = 0; c < total; ++c) {
    signed char t[6] = {};
    for (int a = 0, r = c; a < m; ++a, r /= 3) t[a] = static_cast<signed char>(r % 3 - 1);
    reach2 = std::max(reach2, dist2(t));
  }
  int bound[6];
  long long count = 1;
  for (int a = 0; a < m; ++a) {
    const int n = ng[fit.axis[a]];
    bound[a] = static_cast<int>(std::floor(std::sqrt(reach2 * ginv[a * m + a]) + 1e-9));
    bound[a] = std::max(1, std::min({bound[a], 3, (n - 1) / 2}));
    count *= 2 * bound[a] + 1;
  }
  std::vector<std::pair<double, std::array<signed char, 6>>> all;
  for (long long c = 0; c < count; ++c) {
    std::array<signed char, 6> t{};
    long long r = c;
    for (int a = 0; a < m; ++a) {
      const int w = 2 * bound[a] + 1;
      t[a] = static_cast<signed char>(r % w - bound[a]);
      r /= w;
    }
    const double d2 = dist2(t.data());
    if (d2 <= reach2 * (1 + 1e-9)) all.push_back({d2, t});
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  // (The grid point comes first: its distance is 0.)

  // Whole shells until the normal equations are positive definite.
  std::vector<double> row(npar);
  std::size_t used = 0;
  while (used < all.size()) {
    const double r2 = all[used].first;
    while (used < all.size() && all[used].first <= r2 * (1 + 1e-6) + 1e-12) ++used;
    std::vector<double> ata(static_cast<std::size_t>(npar) * npar, 0.0);
    for (std::size_t k = 0; k < used; ++k) {
      quadterms(m, all[k].second.data(), row.data());
      for (int i = 0; i < npar; ++i)
        for (int j = 0; j < npar; ++j) ata[i * npar + j] += row[i] * row[j];
    }
    // The solution operator (A^T A)^-1 A^T, one right-hand side per
    // point.
    std::vector<double> rhs(static_cast<std::size_t>(npar) * used);
    for (std::size_t k = 0; k < used; ++k) {
      quadterms(m, all[k].second.data(), row.data());
      for (int i = 0; i < npar; ++i) rhs[k * npar + i] = row[i];
    }
    if (!cholsolve(npar, ata, rhs, static_cast<int>(used))) continue;
    for (std::size_t k = 0; k < used; ++k) fit.offsets.push_back(all[k].second);
    fit.solve.assign(static_cast<std::size_t>(npar) * used, 0.0);
    for (std::size_t k = 0; k < used; ++k)
      for (int i = 0; i < npar; ++i) fit.solve[i * used + k] = rhs[k * npar + i];
    fit.radius = std::sqrt(all[used - 1].first);
    return fit;
  }
  fit.m = 0;  // cannot happen: the whole block determines a quadratic
  return fit;
}

// The smallest ratio of a neighbour to the peak that a fit of the
// logarithm uses.
constexpr double kFitFloor = 1e-3;

void refinepeak(const PeakFit& fit, const float* map, const int* ng, int idm, int j,
                double* delta, float& height) {
  for (int d = 0; d < 6; ++d) delta[d] = 0;
  const float v0 = map[j];
  height = v0;
  const int m = fit.m;
  if (v0 == 0 || m == 0) return;
  if (idm > 6) idm = 6;
  // The grid coordinates and strides of the refined axes.
  long long coord[6], stride[6];
  int size[6];
  {
    long long st = 1, r = j;
    int a = 0;
    for (int d = 0; d < idm; ++d) {
      const int n = ng[d] < 1 ? 1 : ng[d];
      if (a < m && fit.axis[a] == d) {
        coord[a] = r % n;
        stride[a] = st;
        size[a] = n;
        ++a;
      }
      r /= n;
      st *= n;
    }
  }
  // The grid point and its neighbours relative to the peak value (1 at the
  // peak; positive for the minimum of a difference map too), wrapped across
  // the cell faces.
  const std::size_t nn = fit.offsets.size();
  std::vector<double> u(nn);
  bool positive = true, low = false;
  for (std::size_t k = 0; k < nn; ++k) {
    long long o = j;
    for (int a = 0; a < m; ++a) {
      const int t = fit.offsets[k][a];
      if (t == 0) continue;
      long long w = (coord[a] + t) % size[a];
      if (w < 0) w += size[a];
      o += (w - coord[a]) * stride[a];
    }
    u[k] = map[o] / double(v0);
    positive = positive && u[k] > 0;
    low = low || std::fabs(u[k]) < kFitFloor;
  }
  // Neighbours a thousand times lower than the peak (a sharp peak on a
  // coarse grid, a maximum-entropy map at its floor) make the logarithm's
  // quadratic a fit to the floor, not to the peak: the grid point stays.
  if (positive && low) return;
  // A Gaussian peak is a quadratic in ln v: fit the logarithm when it is
  // defined for every value used, else the values.
  for (std::size_t k = 0; k < nn; ++k) u[k] = positive ? std::log(u[k]) : u[k] - 1.0;
  // The coefficients (the value at the grid point, c[0], is not needed: the
  // height is the grid value and the rise of the quadratic to its maximum).
  double c[28];
  const int npar = 1 + 2 * m + m * (m - 1) / 2;
  for (int i = 1; i < npar; ++i) {
    const double* s = &fit.solve[i * nn];
    double v = 0;
    for (std::size_t k = 0; k < nn; ++k) v += s[k] * u[k];
    c[i] = v;
  }
  double g[6], h[6][6];
  for (int a = 0; a < m; ++a) {
    g[a] = c[1 + a];
    h[a][a] = c[1 + m + a];
  }
  for (int a = 0, k = 1 + 2 * m; a < m; ++a)
    for (int b = a + 1; b < m; ++b) h[a][b] = h[b][a] = c[k++];

  // In coordinates orthonormal in the metric, y = L^T d: q = g'.y + y.H'.y/2
  // with g' = L^-1 g and H' = L^-1 H L^-T, so that the directions and the
  // distances below do not depend on the choice of the grid axes (a peak
  // and its symmetry images are refined alike).
  const double* l = fit.chol;
  auto lsolve = [&](double* v) {  // v := L^-1 v
    for (int a = 0; a < m; ++a) {
      for (int k = 0; k < a; ++k) v[a] -= l[a * 6 + k] * v[k];
      v[a] /= l[a * 6 + a];
    }
  };
  lsolve(g);
  for (int b = 0; b < m; ++b) {  // columns of H, then rows
    double col[6];
    for (int a = 0; a < m; ++a) col[a] = h[a][b];
    lsolve(col);
    for (int a = 0; a < m; ++a) h[a][b] = col[a];
  }
  for (int a = 0; a < m; ++a) lsolve(h[a]);

  // The maximum of q along the eigenvectors of H': only along directions of
  // negative curvature, and only where the maximum lies within the points
  // fitted; elsewhere the fit says nothing and the grid point stays.
  double w[6], v[6][6];
  symeig(m, h, w, v);
  double y[6] = {0, 0, 0, 0, 0, 0}, gain = 0;
  for (int k = 0; k < m; ++k) {
    if (!(w[k] < -1e-6)) continue;  // flat within the round-off of the fit
    double gk = 0;
    for (int a = 0; a < m; ++a) gk += v[a][k] * g[a];
    const double t = -gk / w[k];
    if (!(std::fabs(t) <= fit.radius)) continue;
    for (int a = 0; a < m; ++a) y[a] += t * v[a][k];
    gain += 0.5 * gk * t;  // g t + w t^2 / 2 at t = -g / w
  }
  double len2 = 0;
  for (int a = 0; a < m; ++a) len2 += y[a] * y[a];
  const double reach = std::min(fit.radius, fit.reach);
  if (len2 > reach * reach) return;
  // d = L^-T y.
  for (int a = m - 1; a >= 0; --a) {
    for (int k = a + 1; k < m; ++k) y[a] -= l[k * 6 + a] * y[k];
    y[a] /= l[a * 6 + a];
  }
  for (int a = 0; a < m; ++a) delta[fit.axis[a]] = y[a];
  height = static_cast<float>(v0 * (positive ? std::exp(gain) : 1.0 + gain));
}

namespace {

// Setting coordinates of the grid-basis position of grid point j of a grid
// of sizes ng (idm axes), moved by delta grid steps, reduced.
void gridpointtox(const Setting& set, const int* ng, int idm, long long j, const double* delta, float* x) {
  float xg[6] = {0, 0, 0, 0, 0, 0};
  long long r = j;
  for (int d = 0; d < idm; ++d) {
    const int nd = ng[d] < 1 ? 1 : ng[d];
    const long long h = r % nd;
    r /= nd;
    xg[d] = static_cast<float>((double(h) + delta[d]) / nd);
  }
  xgtox(set, xg, x);
  tidy(idm, x);
}

const double kNoShift[6] = {0, 0, 0, 0, 0, 0};

}  // namespace

void gridtox(const PeakSymmetry& ps, int j, float* x) { gridtox(ps, j, kNoShift, x); }

void gridtox(const PeakSymmetry& ps, int j, const double* delta, float* x) {
  gridpointtox(ps.setting, ps.steps.ng, ps.idm, j, delta, x);
}

Peaks pksearchnd(const Crystal& c, const RunState& rs, const float* map, float pkmin) {
  if (pkmin == 0) return {};
  const PeakSymmetry ps = setsym(c, rs);
  return pksearchnd(ps, gridview(c.grid, map), pkmin);
}

Peaks pksearchnd(const PeakSymmetry& ps, const GridView& g, float pkmin) {
  return pksearchnd(ps, g, pkmin, ps.steps.q);
}

Peaks pksearchnd(const PeakSymmetry& ps, const GridView& g, float pkmin, const double* metric) {
  if (pkmin == 0) return {};
  const long long nt = g.points();
  const int idm = g.idm;
  out() << "peak search: grid points, grid sizes, dimension\n";
  out() << "nt in pksearchnd" << fmt_i(nt, 10) << '\n';
  out() << "hmax in pksearchnd";
  for (int h : g.n) out() << fmt_i(h, 5);
  out() << '\n';
  out() << "idm in pksearchnd" << fmt_i(idm, 3) << '\n';

  const float* map = g.rho;
  // The largest value, 0 when none is positive (a value that is not a
  // number is passed over).
  long long jmin = 0, jmax = 0;
  firstextremes(map, nt, jmin, jmax);
  float pkmax = 0;
  if (!std::isnan(map[0]))
    pkmax = std::max(0.0f, map[jmax]);
  else
    for (long long j = 0; j < nt; ++j) pkmax = std::max(pkmax, map[j]);
  const float thresh = pkmax * pkmin;

  // The peaks found: grid indices, setting coordinates and values of the
  // grid points, refined coordinates and heights.
  std::vector<int> js;
  const int num = findextrema(map, g.n, idm, thresh, ps.height, js);
  std::vector<float> x(6 * static_cast<std::size_t>(num)), xr(x.size()), p(num), pr(num);
  const PeakFit fit = peakfit(g.n, idm, metric);
  for (int i = 0; i < num; ++i) {
    gridpointtox(ps.setting, g.n, idm, js[i], kNoShift, &x[6 * i]);
    p[i] = map[js[i]];
    double delta[6];
    refinepeak(fit, map, g.n, idm, js[i], delta, pr[i]);
    gridpointtox(ps.setting, g.n, idm, js[i], delta, &xr[6 * i]);
  }
  out() << "num=" << fmt_i(num, 8) << '\n';
  if (num == 0) return {};
  return indatm(ps, num, x.data(), p.data(), xr.data(), pr.data());
}

int rcpmp1(int idm, const float* y, const float* x0) {
  for (int d = 0; d < idm; ++d) {
    const double a = std::fabs(double(y[d]) - double(x0[d])) + 5e-6;
    if (a - std::floor(a) > 1e-5) return 0;
  }
  return 1;
}

GridSteps gridsteps(const double* m, const double* minv, const int* hmax, int idm,
                    const std::vector<std::array<int, 36>>& rotations) {
  GridSteps st;
  std::copy(minv, minv + 36, st.minv);
  for (int d = 0; d < 6; ++d) st.ng[d] = std::max(hmax[d], 1);

  // The metric of the grid steps: the rotations in steps along the grid
  // axes, S = D M^-1 R M D^-1 (D the grid sizes), carry the sum of S^T S
  // over the point group onto itself, so that lengths measured with it are
  // the same for a displacement and its images. Scaled to unit steps along
  // the grid axes. For a point group of signed permutations of the axes
  // (cubic, orthorhombic, the icosahedral hypercubic lattice) it is the
  // identity; for a hexagonal net it is the metric of the net.
  double q[36] = {};
  for (const std::array<int, 36>& rot : rotations) {
    double rm[36], sm[36];
    for (int i = 0; i < 6; ++i)
      for (int c = 0; c < 6; ++c) {
        double v = 0;
        for (int k = 0; k < 6; ++k) v += rot[at(i, k)] * m[at(k, c)];
        rm[at(i, c)] = v;
      }
    for (int r = 0; r < 6; ++r)
      for (int c = 0; c < 6; ++c) {
        double v = 0;
        for (int k = 0; k < 6; ++k) v += st.minv[at(r, k)] * rm[at(k, c)];
        sm[at(r, c)] = v * st.ng[r] / st.ng[c];
      }
    for (int a = 0; a < idm; ++a)
      for (int b = 0; b < idm; ++b)
        for (int r = 0; r < idm; ++r) q[at(a, b)] += sm[at(r, a)] * sm[at(r, b)];
  }
  for (int a = 0; a < idm; ++a)
    for (int b = 0; b < idm; ++b) st.q[at(a, b)] = q[at(a, b)] / std::sqrt(q[at(a, a)] * q[at(b, b)]);
  // Per axis the largest step component of a unit displacement:
  // sqrt((Q^-1)_aa).
  std::vector<double> qm(idm * idm), qi(idm * idm, 0.0);
  for (int a = 0; a < idm; ++a) {
    qi[a * idm + a] = 1;
    for (int b = 0; b < idm; ++b) qm[a * idm + b] = st.q[at(a, b)];
  }
  cholsolve(idm, qm, qi, idm);
  for (int d = 0; d < 6; ++d) st.reach[d] = d < idm ? std::sqrt(qi[d * idm + d]) : 0.0;
  return st;
}

PeakSymmetry setsym(const Crystal& cr, const RunState& rs) {
  PeakSymmetry ps;
  const int idm = std::clamp(cr.group.idm, 1, 6);
  ps.idm = idm;
  ps.setting = cr.setting;
  ps.height = peakheightkind(rs);
  // A Patterson map has the rotations of the group and the inversion, but
  // no translation of its operators: the vectors between two atoms do not
  // see a screw or a glide. The lattice and its centring stay.
  const bool patterson = ispatterson(rs);
  ps.nsym = cr.group.nsymo();
  ps.icent = patterson ? 1 : cr.group.ncent();

  // Centring translations: the grid lattice M Z^n modulo whole cell
  // translations, i.e. the closure of the columns of M taken mod 1. M^-1
  // is integral, so the closure is finite (1 / |det M| elements).
  double m[36];
  getsetmtrx(cr.setting, m);
  auto key = [&](const std::array<double, 6>& t) {
    std::array<long long, 6> k{};
    for (int e = 0; e < 6; ++e) k[e] = std::llround(t[e] * kQuant) % static_cast<long long>(kQuant);
    return k;
  };
  ps.ctr.assign(1, std::array<double, 6>{});
  std::set<std::array<long long, 6>> seen{key(ps.ctr[0])};
  for (std::size_t i = 0; i < ps.ctr.size(); ++i) {
    for (int col = 0; col < idm; ++col) {
      std::array<double, 6> t{};
      for (int e = 0; e < idm; ++e) t[e] = frac01(ps.ctr[i][e] + m[at(e, col)]);
      if (seen.insert(key(t)).second) ps.ctr.push_back(t);
    }
  }

  // Space group elements, distinct modulo whole cell translations (an
  // operator list may hold two operators that differ by a centring
  // translation only; they are one element here).
  ps.spg.clear();
  ps.spgindex.clear();
  for (int s = 1; s <= ps.nsym; ++s)
    for (int k = 0; k <= ps.icent; ++k)
      for (std::size_t c = 0; c < ps.ctr.size(); ++c) {
        SpgOp g{};
        const Op& op = cr.group.ops[s - 1];
        g.op.rot = op.rot;
        double t[6];
        for (int e = 0; e < kDim; ++e) t[e] = op.t(e);
        const int sign = k != 0 ? -1 : 1;
        for (int& v : g.op.rot) v *= sign;
        for (int e = 0; e < kDim; ++e)
          g.op.trn[e] = e < idm ? trnwrap(sign * (patterson ? 0 : trnnearest(t[e])) + trnnearest(ps.ctr[c][e])) : 0;
        const auto id = opkey(g.op);
        if (ps.spgindex.emplace(id, static_cast<int>(ps.spg.size())).second) ps.spg.push_back(g);
      }

  // The order of each element.
  for (SpgOp& g : ps.spg) {
    Op p = g.op;
    g.order = 1;
    while (!isunitrot(p, idm) && g.order < 120) {
      p = product(g.op, p);
      ++g.order;
    }
  }

  // The grid steps, with the distinct rotations of the group.
  std::vector<std::array<int, 36>> rotations;
  std::set<std::array<int, 36>> seenrot;
  for (const SpgOp& g : ps.spg) {
    if (seenrot.insert(g.op.rot).second) rotations.push_back(g.op.rot);
  }
  double minv[36];
  getsetmtrxinv(cr.setting, minv);
  ps.steps = gridsteps(m, minv, cr.grid.n, idm, rotations);
  return ps;
}

void getsym(const PeakSymmetry& ps, int& nsym, int& icent, int& ncent) {
  nsym = ps.nsym;
  icent = ps.icent;
  ncent = static_cast<int>(ps.ctr.size());
}

void getstepmetric(const PeakSymmetry& ps, double* q) {
  for (int i = 0; i < 36; ++i) q[i] = ps.steps.q[i];
}

void getcentring(const PeakSymmetry& ps, int k, float* c) {
  for (int e = 0; e < 6; ++e) c[e] = static_cast<float>(ps.ctr[k][e]);
}

int getnspgop(const PeakSymmetry& ps) {
  return static_cast<int>(ps.spg.size());
}

void getspgop(const PeakSymmetry& ps, int k, int* rot, double* trans) {
  for (int i = 0; i < kDim2; ++i) rot[i] = ps.spg[k].op.rot[i];
  for (int e = 0; e < kDim; ++e) trans[e] = ps.spg[k].op.t(e);
}

int iequiv0(const PeakSymmetry& ps, const float* x, const float* x0) {
  float y[6];
  for (const SpgOp& g : ps.spg) {
    applyop(g, x, y);
    reduc(y);
    if (rcpmp1(ps.idm, y, x0)) return 1;
  }
  return 0;
}

int snapspecial(const PeakSymmetry& ps, float* xf) {
  const int ng = static_cast<int>(ps.spg.size());
  double x[6];
  for (int e = 0; e < 6; ++e) x[e] = xf[e];

  // The elements that may fix a point within the tolerance: when x lies
  // kPeakTol steps from a fixed point of g, g, an isometry of the step
  // metric, moves it by at most 2 kPeakTol. For each, the nearest point
  // fixed by the cyclic group it generates: the average of the orbit of x
  // under that group.
  struct Cand {
    double dist;
    int g;
  };
  std::vector<Cand> cand;
  for (int g = 1; g < ng; ++g) {
    const SpgOp& op = ps.spg[g];
    double y[6];
    applyop(op, x, y);
    if (stepdistance(ps, x, y) > 2 * kPeakTol + 1e-9) continue;
    double z[6], sum[6];
    for (int e = 0; e < 6; ++e) z[e] = sum[e] = x[e];
    for (int k = 1; k < op.order; ++k) {
      applyop(op, z, y);
      nextto(x, y);
      for (int e = 0; e < 6; ++e) sum[e] += (z[e] = y[e]);
    }
    for (int e = 0; e < 6; ++e) sum[e] /= op.order;
    if (!fixes(ps, g, sum)) continue;  // a screw or glide: no fixed point
    const double dist = stepdistance(ps, x, sum);
    if (dist <= kPeakTol) cand.push_back({dist, g});
  }
  if (cand.empty()) return 1;
  std::sort(cand.begin(), cand.end(), [](const Cand& a, const Cand& b) {
    return a.dist < b.dist || (a.dist == b.dist && a.g < b.g);
  });

  // The site group, grown from the nearest candidates: each is taken when
  // the group it generates with those taken before fixes a point within the
  // tolerance, the average of the orbit of x under that group.
  std::vector<int> gens;  // the generators taken
  std::vector<char> in(ng, 0);
  double best[6];
  for (int e = 0; e < 6; ++e) best[e] = x[e];
  for (const Cand& c : cand) {
    if (fixes(ps, c.g, best)) continue;
    std::vector<int> trial = gens, group = {0};
    trial.push_back(c.g);
    std::fill(in.begin(), in.end(), 0);
    in[0] = 1;
    bool closed = true;
    for (std::size_t i = 0; i < group.size() && closed; ++i)
      for (int g : trial) {
        const int p = composeop(ps, g, group[i]);
        if (p < 0) {
          closed = false;
          break;
        }
        if (!in[p]) {
          in[p] = 1;
          group.push_back(p);
        }
      }
    if (!closed) continue;
    double avg[6] = {0, 0, 0, 0, 0, 0};
    for (int h : group) {
      double y[6];
      applyop(ps.spg[h], x, y);
      nextto(x, y);
      for (int e = 0; e < 6; ++e) avg[e] += y[e];
    }
    for (int e = 0; e < 6; ++e) avg[e] /= static_cast<double>(group.size());
    bool ok = stepdistance(ps, x, avg) <= kPeakTol;
    for (std::size_t i = 0; i < group.size() && ok; ++i) ok = fixes(ps, group[i], avg);
    if (!ok) continue;
    gens.swap(trial);
    for (int e = 0; e < 6; ++e) best[e] = avg[e];
  }
  for (int e = 0; e < 6; ++e) xf[e] = static_cast<float>(best[e]);
  tidy(ps.idm, xf);
  // The whole site group (an element fixing the point already may not have
  // been needed to reach it).
  int order = 0;
  for (int g = 0; g < ng; ++g) order += fixes(ps, g, best);
  return order;
}

void sitesy1(const PeakSymmetry& ps, int n, const float* x, int* mult, int* order) {
  const int idm = ps.idm;
  const int ng = static_cast<int>(ps.spg.size());
  std::vector<int> fixing;
  for (int i = 0; i < n; ++i) {
    const float* xi = x + 6 * i;
    // The site group: the elements that carry the position onto itself
    // modulo whole cell translations. Its cosets are the distinct images.
    fixing.clear();
    float y[6];
    for (int g = 0; g < ng; ++g) {
      applyop(ps.spg[g], xi, y);
      if (rcpmp1(idm, y, xi)) fixing.push_back(g);
    }
    order[i] = static_cast<int>(fixing.size());
    mult[i] = order[i] > 0 ? ng / order[i] : 0;
    out() << "site" << fmt_i(i + 1, 4) << " multiplicity" << fmt_i(mult[i], 6)
          << " order of site group" << fmt_i(order[i], 4) << " x=";
    for (int d = 0; d < idm; ++d) out() << fmt_f(xi[d], 8, 4);
    out() << '\n';
    for (std::size_t m = 0; m < fixing.size(); ++m)
      wtsmop(static_cast<int>(m) + 1, ps.spg[fixing[m]].op, idm);
  }
}

Peaks indatm(const PeakSymmetry& ps, int na, const float* x, const float* p) { return indatm(ps, na, x, p, x, p); }

Peaks indatm(const PeakSymmetry& ps, int na, const float* x, const float* p, const float* xr, const float* pr) {
  out() << "number of peaks " << fmt_i(na, 8) << '\n';
  const int idm = ps.idm;

  // Refined positions on their special positions.
  std::vector<double> xs(6 * static_cast<std::size_t>(na));
  std::vector<float> snapped(xr, xr + 6 * static_cast<std::size_t>(na));
  for (int i = 0; i < na; ++i) {
    snapspecial(ps, &snapped[6 * i]);
    for (int e = 0; e < 6; ++e) xs[6 * i + e] = snapped[6 * i + e];
  }

  // Peaks filed by the grid cell of their refined position, so that the
  // peaks near an image of a position are looked up instead of searched for
  // by a pass over all peaks for every element of the group.
  long long stride[6], nt = 1;
  for (int d = 0; d < 6; ++d) {
    stride[d] = nt;
    if (d < idm) nt *= ps.steps.ng[d];
  }
  std::vector<std::pair<long long, int>> cells(na);
  for (int i = 0; i < na; ++i) {
    double u[6];
    tosteps(ps, &xs[6 * i], u);
    long long k = 0;
    for (int d = 0; d < idm; ++d) k += cellof(ps.steps, u[d], d) * stride[d];
    cells[i] = {k, i};
  }
  std::sort(cells.begin(), cells.end());
  std::vector<int> flag(na, 0);  // 0 not yet classified, 1 independent, 2 taken
  auto flagnear = [&](const double* y) {
    // The cells within the tolerance of y: along axis d those of the
    // nearest grid points of u_d -/+ kPeakTol * reach_d (one or two, three
    // on a very oblique net), as many as the axis has.
    double u[6];
    tosteps(ps, y, u);
    long long first[6], count[6], total = 1;
    for (int d = 0; d < idm; ++d) {
      const double b = kPeakTol * ps.steps.reach[d];
      first[d] = static_cast<long long>(std::floor(u[d] - b + 0.5));
      count[d] = std::min<long long>(static_cast<long long>(std::floor(u[d] + b + 0.5)) - first[d] + 1, ps.steps.ng[d]);
      total *= count[d];
    }
    for (long long c = 0; c < total; ++c) {
      long long k = 0, r = c;
      for (int d = 0; d < idm; ++d) {
        k += cellof(ps.steps, double(first[d] + r % count[d]), d) * stride[d];
        r /= count[d];
      }
      auto it = std::lower_bound(cells.begin(), cells.end(), std::make_pair(k, -1));
      for (; it != cells.end() && it->first == k; ++it) {
        const int j = it->second;
        if (flag[j] == 0 && stepdistance(ps, y, &xs[6 * j]) <= kPeakTol) flag[j] = 2;
      }
    }
  };

  std::vector<int> reps;
  for (int i = 0; i < na; ++i) {
    if (flag[i] != 0) continue;
    reps.push_back(i);
    flag[i] = 1;
    // Every peak at an image of this one, or as near to it as the
    // tolerance, is this peak.
    for (const SpgOp& g : ps.spg) {
      double y[6];
      applyop(g, &xs[6 * i], y);
      flagnear(y);
    }
  }
  const int nind = static_cast<int>(reps.size());
  out() << "number of independent peaks " << fmt_i(nind, 6) << '\n';

  std::vector<float> xind(6 * static_cast<std::size_t>(nind));
  for (int r = 0; r < nind; ++r)
    for (int e = 0; e < 6; ++e) xind[6 * r + e] = snapped[6 * reps[r] + e];
  std::vector<int> mult(nind), order(nind), perm(nind);
  sitesy1(ps, nind, xind.data(), mult.data(), order.data());

  // The list: the grid point (its value and coordinates, the columns of
  // old), then the refined coordinates and height.
  out() << "  no  multpl. peak     coordinates\n";
  std::vector<float> sorted(nind);
  for (int r = 0; r < nind; ++r) sorted[r] = p[reps[r]];
  qsortd(sorted.data(), perm.data(), nind);
  Peaks found;
  found.list.resize(nind);
  for (int i = 0; i < nind; ++i) {
    const int b = perm[i] - 1;
    const int k = reps[b];
    Peak& pk = found.list[i];
    for (int e = 0; e < 6; ++e) {
      pk.x[e] = x[6 * k + e];
      pk.xr[e] = xind[6 * b + e];
    }
    pk.p = sorted[i];
    pk.pr = pr[k];
    pk.mult = mult[b];
    out() << fmt_i(i + 1, 4) << fmt_i(pk.mult, 9) << fmt_e(pk.p, 12, 5);
    for (int d = 0; d < idm; ++d) out() << fmt_f(pk.x[d], 8, 4);
    for (int d = 0; d < idm; ++d) out() << fmt_f(pk.xr[d], 8, 4);
    out() << fmt_e(pk.pr, 12, 5) << '\n';
  }
  return found;
}

void getpeakcrd(const Setting& set, const GridView& g, float& dmin, float* xmn, float& dmax, float* xmx) {
  const float* map = g.rho;
  long long jmin = 0, jmax = 0;
  firstextremes(map, g.points(), jmin, jmax);
  dmin = map[jmin];
  dmax = map[jmax];
  gridpointtox(set, g.n, g.idm, jmin, kNoShift, xmn);
  gridpointtox(set, g.n, g.idm, jmax, kNoShift, xmx);
}

}  // namespace trovan
