#include "density/halfgrid.hpp"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "density/fft.hpp"
#include "util/threads.hpp"
#include "util/vectorclones.hpp"

// The runs of a P1 difference map are placed eight points at a time in
// 256-bit vectors where the processor has them and the transform's
// instruction set is AVX2 or wider (getfftisa: tests run both paths).
#if defined(__x86_64__) && defined(__GNUC__)
#define TROVAN_RUN_LANES 1
#include <immintrin.h>
#endif

namespace trovan {

namespace {

constexpr double kTau = 6.283185307179586476925;
// Points of work below which a loop stays on the calling thread.
constexpr long long kGrain = 1 << 16;

long long product(const int* n, int from, int to) {
  long long p = 1;
  for (int i = from; i < to; ++i) p *= n[i];
  return p;
}

// Runs f(lo, hi) over the blocks [0, count) in waves that double (or
// halve) in size, each wave shared among the threads: the in-place moves
// below read, in one wave, only what that wave does not write, and write
// only what an earlier wave has read.
template <class F>
void waves_up(long long count, F f) {
  if (count <= 0) return;
  f(0, 1);
  for (long long lo = 1; lo < count; lo *= 2) {
    const long long hi = std::min(count, 2 * lo);
    parallel_for(hi - lo, kGrain, [&](long long a, long long b) { f(lo + a, lo + b); });
  }
}

template <class F>
void waves_down(long long count, F f) {
  if (count <= 0) return;
  long long hi = count;
  while (hi > 1) {
    const long long lo = (hi + 1) / 2;
    parallel_for(hi - lo, kGrain, [&](long long a, long long b) { f(lo + a, lo + b); });
    hi = lo;
  }
  f(0, 1);
}

// Z(k') = X(k') (1 + i w) + X(k'+m) (1 - i w) with w = c + i s:
//   (1 + i w) = (1 - s) + i c,  (1 - i w) = (1 + s) - i c.
// xr, xi at X(k'), the partner Bm further; zr, zi may be xr, xi (same
// index) or lie wholly before them.
inline void pack1(const float* xr, const float* xi, float* zr, float* zi, std::size_t i,
                  std::size_t bm, float c, float s) {
  const float ar = xr[i], ai = xi[i], br = xr[i + bm], bi = xi[i + bm];
  const float u = 1 - s, v = 1 + s;
  zr[i] = ar * u - ai * c + br * v + bi * c;
  zi[i] = ai * u + ar * c + bi * v - br * c;
}

// The Hermitian coefficients of the full grid become the half grid's Z:
// row u (B m points of the half grid) is made from the 2 B m points of row
// u of the full grid, which lie at or after it in memory.
void pack_hermitian(float* a, float* b, long long nt, long long B, int m, int ne) {
  const long long bm = B * m;
  const long long rows = nt / (2 * bm);
  std::vector<float> c(m), s(m);
  for (int k = 0; k < m; ++k) {
    c[k] = static_cast<float>(std::cos(kTau * k / ne));
    s[k] = static_cast<float>(std::sin(kTau * k / ne));
  }
  waves_up(rows, [&](long long u0, long long u1) {
    FlushDenormals ftz;
    for (long long u = u0; u < u1; ++u) {
      const float* xr = a + 2 * bm * u;
      const float* xi = b + 2 * bm * u;
      float* zr = a + bm * u;
      float* zi = b + bm * u;
      // zr[i] is written after xr[i] and xr[i + bm] are read; for u > 0 the
      // two ranges do not meet at all.
      if (B == 1) {
        for (int k = 0; k < m; ++k) pack1(xr, xi, zr, zi, k, bm, c[k], s[k]);
      } else {
        for (int k = 0; k < m; ++k) {
          const std::size_t o = static_cast<std::size_t>(B) * k;
          for (long long l = 0; l < B; ++l)
            pack1(xr + o, xi + o, zr + o, zi + o, l, bm, c[k], s[k]);
        }
      }
    }
  });
}

// The synthesised half grid back to the full real grid: block c of B half
// points (real parts in a, imaginary parts in b) holds the full points
// 2 c B .. 2 c B + 2 B - 1 of a, written from the last block down. The
// imaginary parts are cleared as they are taken.
void unpack_real(float* a, float* b, long long nt, long long B, float f) {
  const long long blocks = nt / (2 * B);
  waves_down(blocks, [&](long long c0, long long c1) {
    FlushDenormals ftz;
    if (B == 1) {
      if (c0 == 0) {
        a[0] = f * a[0];
        a[1] = f * b[0];
        b[0] = 0;
        ++c0;
      }
      // a[2c], a[2c+1] lie at or after 2 c0 >= c1: no overlap with a[c0..c1).
      float* __restrict out = a + 2 * c0;
      const float* __restrict re = a + c0;
      const float* __restrict im = b + c0;
      for (long long c = 0; c < c1 - c0; ++c) {
        out[2 * c] = f * re[c];
        out[2 * c + 1] = f * im[c];
      }
      std::memset(b + c0, 0, static_cast<std::size_t>(c1 - c0) * sizeof(float));
      return;
    }
    for (long long c = c0; c < c1; ++c) {
      float* even = a + 2 * c * B;
      const float* re = a + c * B;
      float* im = b + c * B;
      for (long long l = 0; l < B; ++l) even[l] = f * re[l];  // in place for c = 0
      float* odd = even + B;
      for (long long l = 0; l < B; ++l) odd[l] = f * im[l];
      std::memset(im, 0, static_cast<std::size_t>(B) * sizeof(float));
    }
  });
}

void clear(float* p, long long n) {
  parallel_for(n, kGrain, [&](long long lo, long long hi) {
    std::memset(p + lo, 0, static_cast<std::size_t>(hi - lo) * sizeof(float));
  });
}

void scale_all(float* a, long long n, float f) {
  parallel_for(n, kGrain, [&](long long lo, long long hi) {
    FlushDenormals ftz;
    for (long long j = lo; j < hi; ++j) a[j] *= f;
  });
}

}  // namespace

int getpairaxis(const int* n, int m) {
  for (int e = 0; e < m; ++e)
    if (n[e] % 2 == 0 && isfftlen(n[e] / 2)) return e;
  return -1;
}

void gethalfgrid(const int* n, int m, int e, int* half) {
  for (int i = 0; i < m; ++i) half[i] = n[i];
  if (e >= 0 && e < m) half[e] = n[e] / 2;
}

void synthreal(float* a, float* b, const int* n, int m, float scale) {
  const long long nt = product(n, 0, m);
  const int e = getpairaxis(n, m);
  int icon = 0;
  if (e < 0) {
    cft1(a, b, n, m, +1, icon);
    scale_all(a, nt, scale);
    clear(b, nt);
    return;
  }
  const long long B = product(n, 0, e);
  pack_hermitian(a, b, nt, B, n[e] / 2, n[e]);
  int half[6];
  gethalfgrid(n, m, e, half);
  cft1(a, b, half, m, +1, icon);
  unpack_real(a, b, nt, B, scale);
  clear(b + nt / 2, nt - nt / 2);
}

namespace {

// The coordinates along each axis of a grid of lengths n[0..m-1] at which
// the coefficients c lie (on axis e taken modulo half its length, as they
// land on the half grid when e >= 0): the input marks of a pruned
// synthesis. A maximum-entropy run synthesises a difference map from the
// same grid points every cycle: the marks are kept for them.
struct InputMarks {
  std::vector<int> n, j;
  int e = -2;
  FftPrune prune;
};
// A process cache keyed on its content (the grid lengths, the pairing axis
// and the grid indices of the coefficients): whatever ran before, a lookup
// gives the marks of the coefficients asked about.
InputMarks g_marks;

const FftPrune& inputmarks(const int* n, int m, int e, const FCoef* c, std::size_t count) {
  InputMarks& k = g_marks;
  bool same = k.e == e && k.n == std::vector<int>(n, n + m) && k.j.size() == count;
  for (std::size_t t = 0; same && t < count; ++t) same = k.j[t] == c[t].j;
  if (same) return k.prune;
  FftPrune& pr = k.prune;
  for (int i = 0; i < 6; ++i) pr.in[i].clear();
  for (int i = 0; i < m; ++i) pr.in[i].assign(static_cast<std::size_t>(i == e ? n[i] / 2 : n[i]), 0);
  k.j.resize(count);
  for (std::size_t t = 0; t < count; ++t) {
    int j = c[t].j;
    k.j[t] = j;
    for (int i = 0; i < m; ++i) {
      const int x = j % n[i];
      j /= n[i];
      pr.in[i][i == e ? x % (n[i] / 2) : x] = 1;
    }
  }
  k.n.assign(n, n + m);
  k.e = e;
  return pr;
}

// Zero at the points of the grid n[0..m-1] whose every coordinate is
// marked in pr.in (an empty mark: the whole axis); the whole grid when
// those are more than an eighth of it.
void clear_box(float* a, float* b, const int* n, int m, const FftPrune& pr) {
  std::vector<long long> at[6];  // offsets of the marked coordinates, axis by axis
  long long count = 1, nt = 1;
  for (int i = 0; i < m; ++i) {
    for (int c = 0; c < n[i]; ++c)
      if (pr.in[i].size() != static_cast<std::size_t>(n[i]) || pr.in[i][c]) at[i].push_back(c * nt);
    count *= static_cast<long long>(at[i].size());
    nt *= n[i];
  }
  if (count * 8 > nt) {
    clear(a, nt);
    clear(b, nt);
    return;
  }
  if (count == 0) return;
  int d[6] = {0, 0, 0, 0, 0, 0};
  for (long long t = 0; t < count; ++t) {
    long long p = 0;
    for (int i = 0; i < m; ++i) p += at[i][d[i]];
    a[p] = b[p] = 0.0f;
    for (int i = 0; i < m && ++d[i] == static_cast<int>(at[i].size()); ++i) d[i] = 0;
  }
}

}  // namespace

HalfMap synthhalffrom(float* a, float* b, const int* n, int m, float scale, const FCoef* c,
                      std::size_t count) {
  const long long nt = product(n, 0, m);
  const int e = getpairaxis(n, m);
  // Only the lines of the grid through a coefficient are transformed along
  // the first axes (see FftPrune).
  const FftPrune& pr = inputmarks(n, m, e, c, count);
  int icon = 0;
  // The transform reads only the points whose every coordinate is marked:
  // only they are cleared before the coefficients are put in.
  if (e < 0) {
    clear_box(a, b, n, m, pr);
    for (std::size_t t = 0; t < count; ++t) {
      a[c[t].j] = c[t].re;
      b[c[t].j] = c[t].im;
    }
    cft1(a, b, n, m, +1, icon, &pr);
    if (scale != 1.0f) scale_all(a, nt, scale);
    return {a, b, 0};
  }
  const long long B = product(n, 0, e);
  const int ne = n[e], mh = ne / 2;
  int half[6];
  gethalfgrid(n, m, e, half);
  clear_box(a, b, half, m, pr);
  std::vector<float> cw(mh), sw(mh);
  for (int k = 0; k < mh; ++k) {
    cw[k] = static_cast<float>(std::cos(kTau * k / ne));
    sw[k] = static_cast<float>(std::sin(kTau * k / ne));
  }
  for (std::size_t t = 0; t < count; ++t) {
    // Full index j = l + B (k_e + n_e r): half index l + B (k' + m r).
    const long long j = c[t].j, l = j % B, u = j / B, r = u / ne;
    const int ke = static_cast<int>(u % ne), k = ke < mh ? ke : ke - mh;
    const long long q = l + B * (k + static_cast<long long>(mh) * r);
    const float re = c[t].re, im = c[t].im, cs = cw[k], sn = sw[k];
    if (ke < mh) {  // X(k') (1 + i w) = X(k') ((1 - s) + i c)
      a[q] += re * (1 - sn) - im * cs;
      b[q] += im * (1 - sn) + re * cs;
    } else {  // X(k'+m) (1 - i w) = X(k'+m) ((1 + s) - i c)
      a[q] += re * (1 + sn) + im * cs;
      b[q] += im * (1 + sn) - re * cs;
    }
  }
  cft1(a, b, half, m, +1, icon, &pr);
  if (scale != 1.0f) {
    scale_all(a, nt / 2, scale);
    scale_all(b, nt / 2, scale);
  }
  return {a, b, B};
}

namespace {

// The plain places of h as runs of consecutive half-grid points along which
// each side's reflection and factor step by fixed amounts (in P1 with the
// list in the half grid's order: the lower reflections one by one up a row
// of the pairing axis, the upper ones, the mates of the mirrored row, one by
// one down). Nothing is built when a point holds two places of one side,
// or the factors do not fit a byte.
void plainruns(HalfPlaces& h) {
  constexpr int kNone = HalfPlaces::kNone;
  if (h.plainf.size() > 256) return;
  // The points that have places, in order, with the place of each side
  // (-1 where there is none): a table as long as the places, not the grid
  // (a large grid with few reflections is the common case).
  struct Point {
    int q;
    int at[2];
  };
  std::vector<Point> pts;
  {
    std::vector<std::pair<int, int>> byq(h.plainat.size());
    for (std::size_t t = 0; t < h.plainat.size(); ++t) byq[t] = {h.plainat[t].q, static_cast<int>(t)};
    std::sort(byq.begin(), byq.end());
    for (const auto& [q, t] : byq) {
      if (pts.empty() || pts.back().q != q) pts.push_back({q, {-1, -1}});
      int& w = pts.back().at[static_cast<long long>(t) >= h.nlower];
      if (w >= 0) return;  // two places of one side at a point: no runs
      w = t;
    }
  }
  const int shift = h.plainshift, mask = (1 << shift) - 1;
  auto refl = [&](int s, const Point& p) { return p.at[s] < 0 ? kNone : h.plainat[p.at[s]].mf >> shift; };
  auto fac = [&](int s, const Point& p) { return p.at[s] < 0 ? 0 : h.plainat[p.at[s]].mf & mask; };
  // F(000) (-1) alone in a run (or a run's head); a step must fit a byte.
  auto step = [](int from, int to, int& d) {
    if (from == kNone || to == kNone) return from == to;
    if (from < 0 || to < 0 || to - from < -128 || to - from > 127) return false;
    d = to - from;
    return true;
  };
  std::vector<HalfPlaces::PlainRun>& runs = h.plainrun;
  long long heads = 0;
  // A run continues only to the next point of the grid, and only while that
  // point has places on the same sides.
  for (std::size_t i = 0; i < pts.size(); ++i) {
    const Point& p0 = pts[i];
    HalfPlaces::PlainRun r{p0.q, kNone, refl(0, p0), refl(1, p0), 1, 0,
                           static_cast<unsigned char>(fac(0, p0)), static_cast<unsigned char>(fac(1, p0)),
                           0, 0, 0, 0};
    int dm[2] = {0, 0}, df[2] = {0, 0};
    while (i + 1 < pts.size() && pts[i + 1].q == pts[i].q + 1 && r.len < UCHAR_MAX) {
      const Point &p = pts[i], &u = pts[i + 1];
      int em[2], ef[2];
      bool ok = true;
      for (int s = 0; s < 2 && ok; ++s) {
        ok = step(refl(s, p), refl(s, u), em[s]) && step(fac(s, p), fac(s, u), ef[s]);
        if (ok && p.at[s] < 0) em[s] = ef[s] = 0;
        if (ok && r.len > 1) ok = em[s] == dm[s] && ef[s] == df[s];
      }
      if (!ok) break;
      for (int s = 0; s < 2; ++s) dm[s] = em[s], df[s] = ef[s];
      ++r.len;
      ++i;
    }
    r.dml = static_cast<signed char>(dm[0]);
    r.dmu = static_cast<signed char>(dm[1]);
    r.dfl = static_cast<signed char>(df[0]);
    r.dfu = static_cast<signed char>(df[1]);
    // A one-point run with only a lower place just before the next run's
    // first point becomes that run's head.
    const HalfPlaces::PlainRun* b = runs.empty() ? nullptr : &runs.back();
    if (b && b->len == 1 && b->mh == kNone && b->mu == kNone && b->q + 1 == r.q) {
      r.mh = b->ml;
      r.fh = b->fl;
      runs.back() = r;
      ++heads;
    } else {
      runs.push_back(r);
    }
  }
  // In the order of a file the places make runs of one point or two: the
  // grid is then better written place by place, the values read in order
  // (decided on the runs before heads joined them: a head saves a run but
  // does not make the file's order any less scattered).
  if ((static_cast<long long>(runs.size()) + heads) * 2 > static_cast<long long>(h.plainat.size())) {
    std::vector<HalfPlaces::PlainRun>().swap(runs);
    return;
  }
  std::vector<HalfPlaces::PlainPlace>().swap(h.plainat);
}

// The transform's AVX2 level is chosen only where the processor has AVX2
// (and FMA): the lanes are made and used at that level and above.
bool runlanes_run() {
#if defined(TROVAN_RUN_LANES)
  return getfftisa() >= 2;
#else
  return false;
#endif
}

// The lanes of the runs (HalfPlaces::plainlanes): each side of a run that
// fits them takes the entry of its first factor and step, made once.
void plainrunlanes(HalfPlaces& h) {
  constexpr int kNone = HalfPlaces::kNone;
  h.plainlanes.clear();
  h.plainrunlanes.clear();
  if (!runlanes_run() || h.plainrun.empty()) return;
  std::vector<std::pair<int, int>> made;  // (factor, step) of each entry
  auto entry = [&](int f, int df) {
    const auto at = std::find(made.begin(), made.end(), std::make_pair(f, df));
    if (at != made.end()) return static_cast<int>(at - made.begin());
    if (made.size() == 255) return -1;  // 255 + 255 << 8 would read kNoLanes
    made.emplace_back(f, df);
    HalfPlaces::PlainLanes l{};
    for (int i = 0; i < 8; ++i) {
      const long long k = f + static_cast<long long>(i) * df;
      if (k < 0 || k >= static_cast<long long>(h.plainf.size())) continue;
      const HalfPlaces::Plain& pf = h.plainf[k];
      l.p[i] = pf.p, l.rs[i] = pf.rs, l.ps[i] = pf.ps, l.r[i] = pf.r;
    }
    h.plainlanes.push_back(l);
    return static_cast<int>(made.size()) - 1;
  };
  // The eight values of a side are read whole: the lower ones from ml up,
  // the upper ones from mu - 7 up to mu.
  long long fit = 0;
  h.plainrunlanes.resize(h.plainrun.size(), HalfPlaces::kNoLanes);
  for (std::size_t t = 0; t < h.plainrun.size(); ++t) {
    const HalfPlaces::PlainRun& r = h.plainrun[t];
    const bool one = r.len == 1;
    if (r.len > 8 || r.mh == -1) continue;
    if (r.ml != kNone && (r.ml < 0 || r.ml + 8 > h.nrefl || !(one || r.dml == 1))) continue;
    if (r.mu != kNone && (r.mu - 7 < 0 || r.mu >= h.nrefl || !(one || r.dmu == -1))) continue;
    const int lo = r.ml == kNone ? 0 : entry(r.fl, one ? 0 : r.dfl);
    const int up = r.mu == kNone ? 0 : entry(r.fu, one ? 0 : r.dfu);
    if (lo < 0 || up < 0) continue;
    h.plainrunlanes[t] = static_cast<unsigned short>(lo | up << 8);
    ++fit;
  }
  if (fit == 0) {
    h.plainlanes.clear();
    h.plainrunlanes.clear();
  }
}

}  // namespace

bool halfplaces(const int* n, int m, const SpreadPlan& p, HalfPlaces& h) {
  const int e = getpairaxis(n, m);
  if (e < 0) return false;
  if (h.made == p.made && h.n == std::vector<int>(n, n + m)) return true;
  const long long B = product(n, 0, e);
  const int ne = n[e], mh = ne / 2;
  int half[6];
  gethalfgrid(n, m, e, half);
  h.at.clear();
  h.factor.clear();
  FftPrune& pr = h.prune;
  for (int i = 0; i < 6; ++i) pr.in[i].clear(), pr.out[i].clear();
  for (int i = 0; i < m; ++i) pr.in[i].assign(static_cast<std::size_t>(half[i]), 0);
  // The factors are few (phase shifts of the operators times the k' of the
  // pairing axis): each is kept once.
  struct Key {
    double c, s;
    int k;
    bool conj, upper;
    bool operator<(const Key& o) const {
      if (c != o.c) return c < o.c;
      if (s != o.s) return s < o.s;
      if (k != o.k) return k < o.k;
      if (conj != o.conj) return conj < o.conj;
      return upper < o.upper;
    }
  };
  std::vector<std::pair<Key, std::size_t>> keys(p.jg.size());
  h.at.resize(p.jg.size());
  for (std::size_t w = 0; w < p.jg.size(); ++w) {
    // Full index j = l + B (k_e + n_e r): half index l + B (k' + m r).
    const long long j = p.jg[w], l = j % B, u = j / B, r = u / ne;
    const int ke = static_cast<int>(u % ne), k = ke < mh ? ke : ke - mh;
    const long long q = l + B * (k + static_cast<long long>(mh) * r);
    h.at[w] = {static_cast<int>(q), p.m[w], 0};
    keys[w] = {{p.c[w], p.s[w], k, p.conj[w] != 0, ke >= mh}, w};
    long long x = q;
    for (int i = 0; i < m; ++i) {
      pr.in[i][static_cast<std::size_t>(x % half[i])] = 1;
      x /= half[i];
    }
  }
  std::sort(keys.begin(), keys.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  for (std::size_t t = 0; t < keys.size(); ++t) {
    const Key& k = keys[t].first;
    if (t == 0 || keys[t - 1].first < k)
      h.factor.push_back({k.c, k.s, static_cast<float>(std::cos(kTau * k.k / ne)),
                          static_cast<float>(std::sin(kTau * k.k / ne)), k.conj, k.upper, k.c == 1.0 && k.s == 0.0});
    h.at[keys[t].second].f = static_cast<int>(h.factor.size()) - 1;
  }
  // The lower places first, then the upper ones, each in the list's order
  // (F(000) first); the images of one reflection in the plan's order.
  auto upper = [&](const HalfPlaces::Place& x) { return h.factor[x.f].upper; };
  std::stable_sort(h.at.begin(), h.at.end(), [&](const HalfPlaces::Place& x, const HalfPlaces::Place& y) {
    if (upper(x) != upper(y)) return upper(y);
    return x.m < y.m;
  });
  int nrefl = 0;
  for (int v : p.m) nrefl = std::max(nrefl, v + 1);
  h.nlower = std::partition_point(h.at.begin(), h.at.end(), [&](const HalfPlaces::Place& x) { return !upper(x); }) -
             h.at.begin();
  // Each grid index holds one coefficient, so no two lower places share a
  // point: as many as the box has points fill it.
  long long box = 1;
  for (int i = 0; i < m; ++i) box *= std::count(pr.in[i].begin(), pr.in[i].end(), 1);
  h.filled = h.nlower == box;
  // Without phase shifts a place is its point and its reflection with the
  // factor's entry in the low bits: 8 bytes rather than 12 (the placing
  // reads nearly two million of them a cycle).
  h.plain = true;
  h.plainf.clear();
  h.plainat.clear();
  for (const HalfPlaces::Factor& f : h.factor) {
    h.plain = h.plain && f.identity;
    const float one = 1.0f;
    const float p = f.upper ? one + f.sw : one - f.sw, r = f.upper ? -f.cw : f.cw, sign = f.conj ? -1.0f : 1.0f;
    h.plainf.push_back({p, r, sign, sign * p, sign * r});
  }
  h.plainshift = 0;
  while ((std::size_t{1} << h.plainshift) < h.factor.size()) ++h.plainshift;
  if (h.plain && (static_cast<long long>(nrefl) << h.plainshift) <= INT_MAX) {
    h.plainat.resize(h.at.size());
    for (std::size_t t = 0; t < h.at.size(); ++t)
      h.plainat[t] = {h.at[t].q, static_cast<int>(static_cast<unsigned>(h.at[t].m) << h.plainshift) | h.at[t].f};
    std::vector<HalfPlaces::Place>().swap(h.at);
  } else {
    h.plain = false;
  }
  h.plainrun.clear();
  h.nrefl = nrefl;
  if (h.plain) plainruns(h);
  plainrunlanes(h);
  h.made = p.made;
  h.n.assign(n, n + m);
  return true;
}

namespace {

// The share in Z(q) of X = re + i im at a place with factor f.
inline void placeshare(const HalfPlaces::Factor& f, float re, float im, float& zr, float& zi) {
  const float cs = f.cw, sn = f.sw;
  if (!f.upper) {  // X(k') (1 + i w) = X(k') ((1 - s) + i c)
    zr = re * (1 - sn) - im * cs;
    zi = im * (1 - sn) + re * cs;
  } else {  // X(k'+m) (1 - i w) = X(k'+m) ((1 + s) - i c)
    zr = re * (1 + sn) + im * cs;
    zi = im * (1 + sn) - re * cs;
  }
}

// The image's value as getffromf0 makes it: rotated in double, rounded
// once, conjugated for a Friedel mate.
inline void imagevalue(const HalfPlaces::Factor& f, float vr, float vi, float& re, float& im) {
  // Without a phase shift the rotation in double gives the value itself (up
  // to the sign of a zero, which 0 + x in the half grid makes +0 anyway).
  if (f.identity && std::fabs(vr) <= FLT_MAX && std::fabs(vi) <= FLT_MAX) {
    re = vr;
    im = f.conj ? -vi : vi;
    return;
  }
  const double r = vr * f.c - vi * f.s;
  const double i = vi * f.c + vr * f.s;
  re = static_cast<float>(r);
  im = static_cast<float>(f.conj ? -i : i);
}

// The placing of synthplaces when no place has a phase shift (every place
// of P1): the factors become two numbers and a sign, and the loop has no
// branch on them. With f = (1 - s) + i c for X(k') and (1 + s) - i c for
// X(k'+m) written p + i r, the share is (re p - im r) + i (im p + re r):
// the products and sums of placeshare, the sign of c carried by r (x - (-y)
// is x + y exactly). The image's value is (vr - vi 0) + i (vi + vr 0), which
// is the value itself when it is finite and not a number where the rotation
// in double gives not a number (an infinite part times zero).
inline void plainshare(const HalfPlaces::Plain& f, int m, float f000, const float* __restrict val, float& zr,
                       float& zi) {
  float re = f000, im = 0.0f;
  if (m >= 0) {  // -1: F(000)
    const float vr = val[2 * m], vi = val[2 * m + 1];
    re = vr - vi * 0.0f;
    im = (vi + vr * 0.0f) * f.sign;
  }
  zr = re * f.p - im * f.r;
  zi = im * f.p + re * f.r;
}

template <bool Add>
void plainpart(float* __restrict a, float* __restrict b, const HalfPlaces& h, float f000,
               const float* __restrict val, long long lo, long long hi) {
  const HalfPlaces::PlainPlace* __restrict at = h.plainat.data();
  const HalfPlaces::Plain* __restrict pf = h.plainf.data();
  const int shift = h.plainshift, mask = (1 << shift) - 1;
  for (long long t = lo; t < hi; ++t) {
    const HalfPlaces::PlainPlace pl = at[t];
    float zr, zi;
    plainshare(pf[pl.mf & mask], pl.mf >> shift, f000, val, zr, zi);
    if (Add) {
      a[pl.q] += zr;
      b[pl.q] += zi;
    } else {
      a[pl.q] = 0.0f + zr;
      b[pl.q] = 0.0f + zi;
    }
  }
}

// With every value finite (F(000) aside) the share is made from the value
// itself: (vr p - vi sign r) + i (vi sign p + vr r), the products and sums
// of placeshare and of the list's synthesis, the sign carried by the
// factor (x (-y) is -(x y) exactly). It differs from plainshare's only in
// the sign of a zero, which the sums that place it make +0 either way:
// 0 + x for the lower share, and (0 + x) + y, where 0 + x is never -0, for
// the upper.
inline void finiteshare(const HalfPlaces::Plain& f, int m, const float* __restrict val, float& zr, float& zi) {
  const float vr = val[2 * m], vi = val[2 * m + 1];
  zr = vr * f.p - vi * f.rs;
  zi = vi * f.ps + vr * f.r;
}

// Finite: the shares by finiteshare, else by plainshare.
template <bool Finite>
inline void share(const HalfPlaces::Plain& f, int m, float f000, const float* __restrict val, float& zr,
                  float& zi) {
  if constexpr (Finite)
    finiteshare(f, m, val, zr, zi);
  else
    plainshare(f, m, f000, val, zr, zi);
}

// GCC vectorises the loops of a run by four points, with shuffles to
// gather the values: slower than one point at a time for runs of five or
// six points (a P1 list's rows).
#if defined(__GNUC__) && !defined(__clang__)
#define TROVAN_SCALAR_LOOPS __attribute__((optimize("no-tree-vectorize")))
#else
#define TROVAN_SCALAR_LOOPS
#endif

// The runs [lo, hi) of plainrun: each point takes 0 + lower + upper in the
// order the store and the add of plainparts make it (0 + x alone for a
// point with one side: the cleared point plus the upper share when it has
// no lower one).
template <bool Finite>
TROVAN_SCALAR_LOOPS void placeruns(float* a, float* b, const HalfPlaces& h, float f000, const float* __restrict val,
                                   long long lo, long long hi) {
  constexpr int kNone = HalfPlaces::kNone;
  const HalfPlaces::PlainRun* __restrict runs = h.plainrun.data();
  const HalfPlaces::Plain* __restrict pf = h.plainf.data();
  for (long long t = lo; t < hi; ++t) {
    const HalfPlaces::PlainRun r = runs[t];
    // F(000) (-1) is alone in its run, or its head.
    if (Finite && (r.ml == -1 || r.mh == -1)) {
      placeruns<false>(a, b, h, f000, val, t, t + 1);
      continue;
    }
    float* __restrict ra = a + r.q;
    float* __restrict rb = b + r.q;
    if (r.mh != kNone) {  // the head, at q - 1
      float zr, zi;
      share<Finite>(pf[r.fh], r.mh, f000, val, zr, zi);
      ra[-1] = 0.0f + zr;
      rb[-1] = 0.0f + zi;
    }
    const int len = r.len;
    if (r.mu == kNone) {
      for (int i = 0; i < len; ++i) {
        float zr, zi;
        share<Finite>(pf[r.fl + i * r.dfl], r.ml + i * r.dml, f000, val, zr, zi);
        ra[i] = 0.0f + zr;
        rb[i] = 0.0f + zi;
      }
    } else if (r.ml == kNone) {
      for (int i = 0; i < len; ++i) {
        float zr, zi;
        share<Finite>(pf[r.fu + i * r.dfu], r.mu + i * r.dmu, f000, val, zr, zi);
        ra[i] = 0.0f + zr;
        rb[i] = 0.0f + zi;
      }
    } else {
      for (int i = 0; i < len; ++i) {
        float lr, li, ur, ui;
        share<Finite>(pf[r.fl + i * r.dfl], r.ml + i * r.dml, f000, val, lr, li);
        share<Finite>(pf[r.fu + i * r.dfu], r.mu + i * r.dmu, f000, val, ur, ui);
        ra[i] = (0.0f + lr) + ur;
        rb[i] = (0.0f + li) + ui;
      }
    }
  }
}

#if defined(TROVAN_RUN_LANES)
// finiteshare of eight points: factors f, real parts vr, imaginary vi.
__attribute__((target("avx2"), always_inline)) inline void laneshare(const HalfPlaces::PlainLanes& f, __m256 vr,
                                                                     __m256 vi, __m256& zr, __m256& zi) {
  zr = _mm256_sub_ps(_mm256_mul_ps(vr, _mm256_loadu_ps(f.p)), _mm256_mul_ps(vi, _mm256_loadu_ps(f.rs)));
  zi = _mm256_add_ps(_mm256_mul_ps(vi, _mm256_loadu_ps(f.ps)), _mm256_mul_ps(vr, _mm256_loadu_ps(f.r)));
}

// The runs [lo, hi) as placeruns<true> places them, those with lanes
// (plainrunlanes) eight points at a time: the values of a side are read as
// eight pairs and parted into real and imaginary parts, the upper side's
// turned end for end, and each lane makes finiteshare's products and sums,
// (0 + lower) + upper, in the same order (no multiply-add is fused: the
// function is built for AVX2 alone). The lanes past the run's end take
// the values next to the run's (in the list: see plainrunlanes) and are
// not stored.
__attribute__((target("avx2"))) void placelanes(float* a, float* b, const HalfPlaces& h, float f000,
                                                const float* __restrict val, long long lo, long long hi) {
  constexpr int kNone = HalfPlaces::kNone;
  const HalfPlaces::PlainRun* __restrict runs = h.plainrun.data();
  const unsigned short* __restrict which = h.plainrunlanes.data();
  const HalfPlaces::PlainLanes* __restrict lanes = h.plainlanes.data();
  const HalfPlaces::Plain* __restrict pf = h.plainf.data();
  const __m256i point = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  // The parts picked from the two loads come as pairs 0 1 4 5 2 3 6 7:
  // put in order, or turned end for end.
  const __m256i inorder = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
  const __m256i reversed = _mm256_setr_epi32(7, 6, 3, 2, 5, 4, 1, 0);
  const __m256 zero = _mm256_setzero_ps();
  for (long long t = lo; t < hi; ++t) {
    const unsigned short w = which[t];
    if (w == HalfPlaces::kNoLanes) {
      placeruns<true>(a, b, h, f000, val, t, t + 1);
      continue;
    }
    const HalfPlaces::PlainRun r = runs[t];
    float* ra = a + r.q;
    float* rb = b + r.q;
    if (r.mh != kNone) {  // the head, at q - 1
      float zr, zi;
      finiteshare(pf[r.fh], r.mh, val, zr, zi);
      ra[-1] = 0.0f + zr;
      rb[-1] = 0.0f + zi;
    }
    const __m256i len = _mm256_set1_epi32(r.len);
    __m256 za = zero, zb = zero;
    if (r.ml != kNone) {
      const float* v = val + 2 * static_cast<long long>(r.ml);
      const __m256 v0 = _mm256_loadu_ps(v), v1 = _mm256_loadu_ps(v + 8);
      const __m256 vr = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(v0, v1, 0x88), inorder);
      const __m256 vi = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(v0, v1, 0xdd), inorder);
      __m256 zr, zi;
      laneshare(lanes[w & 0xff], vr, vi, zr, zi);
      za = _mm256_add_ps(zero, zr);
      zb = _mm256_add_ps(zero, zi);
    }
    if (r.mu != kNone) {
      const float* v = val + 2 * (static_cast<long long>(r.mu) - 7);
      const __m256 v0 = _mm256_loadu_ps(v), v1 = _mm256_loadu_ps(v + 8);
      const __m256 vr = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(v0, v1, 0x88), reversed);
      const __m256 vi = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(v0, v1, 0xdd), reversed);
      __m256 zr, zi;
      laneshare(lanes[w >> 8], vr, vi, zr, zi);
      // (0 + lower) + upper; 0 + upper alone
      za = _mm256_add_ps(za, zr);
      zb = _mm256_add_ps(zb, zi);
    }
    const __m256i keep = _mm256_cmpgt_epi32(len, point);
    _mm256_maskstore_ps(ra, keep, za);
    _mm256_maskstore_ps(rb, keep, zb);
  }
}
#endif

// The runs of plainrun; `finite`: every value and f000 finite.
void plainrunparts(float* a, float* b, const HalfPlaces& h, float f000, const float* val, bool finite) {
#if defined(TROVAN_RUN_LANES)
  const bool lanes = finite && !h.plainlanes.empty() && getfftisa() >= 2;
#endif
  parallel_for(static_cast<long long>(h.plainrun.size()), kGrain / 4, [&](long long lo, long long hi) {
#if defined(TROVAN_RUN_LANES)
    if (lanes) return placelanes(a, b, h, f000, val, lo, hi);
#endif
    if (finite)
      placeruns<true>(a, b, h, f000, val, lo, hi);
    else
      placeruns<false>(a, b, h, f000, val, lo, hi);
  });
}

void plainparts(float* a, float* b, const HalfPlaces& h, float f000, const float* val, bool finite) {
  if (!h.plainrun.empty()) return plainrunparts(a, b, h, f000, val, finite);
  const long long count = static_cast<long long>(h.plainat.size());
  parallel_for(h.nlower, kGrain, [&](long long lo, long long hi) { plainpart<false>(a, b, h, f000, val, lo, hi); });
  parallel_for(count - h.nlower, kGrain, [&](long long lo, long long hi) {
    plainpart<true>(a, b, h, f000, val, h.nlower + lo, h.nlower + hi);
  });
}

// The placing of synthplaces with a factor of any phase shift.
void placeparts(float* a, float* b, const HalfPlaces& h, float f000, const float* __restrict val) {
  const HalfPlaces::Place* at = h.at.data();
  const HalfPlaces::Factor* fac = h.factor.data();
  const long long count = static_cast<long long>(h.at.size());
  // The lower places are stored (0 + x: a negative zero becomes +0 as in a
  // sum), then the upper ones added: in each part every point is written
  // once, so the threads may take any ranges.
  auto part = [&](long long from, long long to, bool add) {
    parallel_for(to - from, kGrain, [&](long long lo, long long hi) {
      for (long long t = from + lo; t < from + hi; ++t) {
        const HalfPlaces::Place& pl = at[t];
        const HalfPlaces::Factor& f = fac[pl.f];
        float re = f000, im = 0.0f, zr, zi;
        if (pl.m >= 0) imagevalue(f, val[2 * pl.m], val[2 * pl.m + 1], re, im);
        placeshare(f, re, im, zr, zi);
        if (add) {
          a[pl.q] += zr;
          b[pl.q] += zi;
        } else {
          a[pl.q] = 0.0f + zr;
          b[pl.q] = 0.0f + zi;
        }
      }
    });
  };
  part(0, h.nlower, false);
  part(h.nlower, count, true);
}

// synthhalfplaces with the value of reflection k at val[2 k], val[2 k + 1];
// `finite` when every value and f000 are.
HalfMap synthplaces(float* a, float* b, const int* n, int m, const HalfPlaces& h, float f000,
                    const float* val, bool finite) {
  const int e = getpairaxis(n, m);
  int half[6];
  gethalfgrid(n, m, e, half);
  if (!h.filled) clear_box(a, b, half, m, h.prune);
  if (h.plain)
    plainparts(a, b, h, f000, val, finite);
  else
    placeparts(a, b, h, f000, val);
  int icon = 0;
  cft1(a, b, half, m, +1, icon, &h.prune);
  return {a, b, product(n, 0, e)};
}

}  // namespace

HalfMap synthhalfplaces(float* a, float* b, const int* n, int m, const HalfPlaces& h, const float* fr,
                        const float* fi, float f000) {
  // The values side by side, as the difference map has them.
  std::vector<float> val(2 * static_cast<std::size_t>(h.nrefl));
  bool finite = std::fabs(f000) <= FLT_MAX;
  for (int k = 0; k < h.nrefl; ++k) {
    val[2 * k] = fr[k], val[2 * k + 1] = fi[k];
    finite = finite && std::fabs(fr[k]) <= FLT_MAX && std::fabs(fi[k]) <= FLT_MAX;
  }
  return synthplaces(a, b, n, m, h, f000, val.data(), finite);
}

namespace {

// The differences of the reflections [lo, hi) into pv (see diffvalues); ors
// into `differ` the bits in which a grid index differs from the plan's and
// clears `finite` when a value is infinite or not a number. A loop of its
// own, in the widest vectors the processor has.
TROVAN_VECTOR_CLONES
void diffblock(const DiffValues& v, long long lo, long long hi, float* __restrict pv, int& differ, int& finite) {
  const float *__restrict fa = v.fo_a, *__restrict fb = v.fo_b, *__restrict sg = v.sigma;
  const float *__restrict cr = v.fcr, *__restrict ci = v.fci, *__restrict wk = v.wk;
  int dif = 0, fin = 1;
  auto put = [&](long long k, float w) {
    const float re = (fa[k] - cr[k]) / w, im = (fb[k] - ci[k]) / w;
    pv[2 * k] = re;
    pv[2 * k + 1] = im;
    fin &= (std::fabs(re) <= FLT_MAX) & (std::fabs(im) <= FLT_MAX);
  };
  if (wk) {
    for (long long k = lo; k < hi; ++k) put(k, sg[k] * sg[k] / wk[k]);
  } else {
    for (long long k = lo; k < hi; ++k) put(k, sg[k] * sg[k]);
  }
  if (v.key) {
    const int *__restrict j = v.j, *__restrict key = v.key;
    for (long long k = lo; k < hi; ++k) dif |= j[k] ^ key[k];
  }
  differ |= dif;
  finite &= fin;
}

}  // namespace

bool diffvalues(HalfPlaces& h, const DiffValues& v) {
  // The differences are made in the list's order, where the six arrays
  // they come from are read in sequence, real and imaginary parts side by
  // side: the places, in the list's order too, then read one array rather
  // than six.
  const long long nr = v.count;
  h.values.resize(2 * static_cast<std::size_t>(nr));
  float* pv = h.values.data();
  std::atomic<int> differ{0}, finite{1};
  parallel_for(nr, kGrain, [&](long long lo, long long hi) {
    int dif = 0, fin = 1;
    diffblock(v, lo, hi, pv, dif, fin);
    if (dif) differ.store(1, std::memory_order_relaxed);
    if (!fin) finite.store(0, std::memory_order_relaxed);
  });
  h.finite = finite.load() != 0;
  return differ.load() == 0;
}

HalfMap synthhalfdiff(float* a, float* b, const int* n, int m, const HalfPlaces& h) {
  return synthplaces(a, b, n, m, h, 0.0f, h.values.data(), h.finite);
}

// The map is read with the two halves side by side and the value picked,
// never through a pointer chosen per point: GCC 12 with
// -fsanitize=undefined miscompiles (j & 1 ? b : a)[j >> 1] into reading
// entry 0 for every even j.
void halfmaprun(const HalfMap& h, long long p0, long long len, float* out) {
  if (len <= 0) return;
  if (h.B == 0) {
    std::memcpy(out, h.a + p0, static_cast<std::size_t>(len) * sizeof(float));
    return;
  }
  if (h.B == 1) {
    // Full points 2q and 2q + 1 are the two parts of half point q.
    long long t = 0, p = p0;
    if (p & 1) {
      out[t++] = h.b[p >> 1];
      ++p;
    }
    const float* __restrict ra = h.a + (p >> 1);
    const float* __restrict rb = h.b + (p >> 1);
    float* __restrict o = out + t;
    const long long pairs = (len - t) / 2;
    for (long long u = 0; u < pairs; ++u) {
      o[2 * u] = ra[u];
      o[2 * u + 1] = rb[u];
    }
    if (t + 2 * pairs < len) o[2 * pairs] = ra[pairs];
    return;
  }
  // Runs within one row of B points come from one half.
  for (long long t = 0; t < len;) {
    const long long p = p0 + t, u = p / h.B, l = p - u * h.B;
    const long long seg = std::min(len - t, h.B - l);
    const long long q = l + h.B * (u >> 1);
    if (u & 1)
      std::memcpy(out + t, h.b + q, static_cast<std::size_t>(seg) * sizeof(float));
    else
      std::memcpy(out + t, h.a + q, static_cast<std::size_t>(seg) * sizeof(float));
    t += seg;
  }
}

void halfmapat(const HalfMap& h, const int* p, long long len, float* out) {
  if (h.B == 0) {
    for (long long i = 0; i < len; ++i) out[i] = h.a[p[i]];
  } else if (h.B == 1) {
    for (long long i = 0; i < len; ++i) {
      const long long q = p[i] >> 1;
      const float va = h.a[q], vb = h.b[q];
      out[i] = (p[i] & 1) ? vb : va;
    }
  } else {
    for (long long i = 0; i < len; ++i) {
      const long long u = p[i] / h.B, q = p[i] - u * h.B + h.B * (u >> 1);
      const float va = h.a[q], vb = h.b[q];
      out[i] = (u & 1) ? vb : va;
    }
  }
}

void synthrealfrom(float* a, float* b, const int* n, int m, float scale, const FCoef* c,
                   std::size_t count) {
  const long long nt = product(n, 0, m);
  const HalfMap h = synthhalffrom(a, b, n, m, 1.0f, c, count);
  if (h.B == 0) {
    scale_all(a, nt, scale);
    clear(b, nt);
    return;
  }
  unpack_real(a, b, nt, h.B, scale);
  clear(b + nt / 2, nt - nt / 2);
}

PairedIndex pairedindex(const int* n, int m, int e, const int* k) {
  const int half = n[e] / 2;
  PairedIndex q{0, 0, 0, 0};
  long long st = 1;
  for (int i = 0; i < m; ++i) {
    const int len = i == e ? half : n[i];
    const int ki = k[i] % len;
    q.jp += ki * st;
    q.jm += ((len - ki) % len) * st;
    st *= len;
  }
  const double ang = -kTau * static_cast<double>(k[e]) / n[e];
  q.c = std::cos(ang);
  q.s = std::sin(ang);
  return q;
}

void pairedcoef(const float* a, const float* b, const PairedIndex& q, double& xr, double& xi) {
  // Z(k') and conj Z(-k').
  const double zr = a[q.jp], zi = b[q.jp], wr = a[q.jm], wi = -b[q.jm];
  const double er = 0.5 * (zr + wr), ei = 0.5 * (zi + wi);
  const double orr = 0.5 * (zi - wi), oi = -0.5 * (zr - wr);
  xr = er + q.c * orr - q.s * oi;
  xi = ei + q.c * oi + q.s * orr;
}

void pairedcoef(const float* a, const float* b, const int* n, int m, int e, const int* k,
                double& xr, double& xi) {
  pairedcoef(a, b, pairedindex(n, m, e, k), xr, xi);
}

}  // namespace trovan
