#include "plot/section.hpp"

#include <algorithm>
#include <cmath>

#include "plot/trigmap.hpp"

namespace trovan {

AffineOp identityop() {
  AffineOp op;
  for (int i = 0; i < 6; ++i) op.r[i * 6 + i] = 1;
  return op;
}

void mat6vec(const double* m, const double* x, double* y) {
  double r[6];
  for (int e = 0; e < 6; ++e) {
    double s = 0;
    for (int i = 0; i < 6; ++i) s += m[i * 6 + e] * x[i];
    r[e] = s;
  }
  std::copy(r, r + 6, y);
}

void applyaffine(const AffineOp& op, const double* x, double* y) {
  mat6vec(op.r, x, y);
  for (int e = 0; e < 6; ++e) y[e] += op.t[e];
}

double interpolate(const MapGrid& g, const double* xg) {
  const int idm = std::clamp(g.idm, 0, 6);
  long long stride[6];
  long long base = 0;
  long long step[6];  // index offset from the lower to the upper corner
  double w1[6];       // weight of the upper corner
  long long m = 1;
  for (int d = 0; d < idm; ++d) {
    const int nd = std::max(1, g.n[d]);
    stride[d] = m;
    double p = xg[d] * nd;
    if (!std::isfinite(p)) p = 0;  // no point of the map
    // A point within rounding of a grid point is that grid point, so that
    // the map is reproduced exactly there.
    if (std::fabs(p - std::nearbyint(p)) < 1e-9) p = std::nearbyint(p);
    const double f = std::floor(p);
    double frac = p - f;
    // The cell of the point, reduced into the grid before it becomes an
    // integer: a coordinate of any size (an axis of 1e38 cells) is periodic
    // like a small one.
    double r = std::fmod(f, static_cast<double>(nd));
    if (r < 0) r += nd;
    long long i0 = static_cast<long long>(r);
    if (i0 >= nd) i0 = 0;
    const long long i1 = (i0 + 1) % nd;
    if (!(frac >= 0 && frac < 1)) frac = 0;
    base += i0 * stride[d];
    step[d] = (i1 - i0) * stride[d];
    w1[d] = frac;
    m *= nd;
  }
  // Sum over the corners; a corner with weight 0 is skipped, so a grid
  // point returns its own value exactly.
  double sum = 0;
  const int ncorner = 1 << idm;
  for (int c = 0; c < ncorner; ++c) {
    double w = 1;
    long long j = base;
    for (int d = 0; d < idm; ++d) {
      if (c & (1 << d)) {
        w *= w1[d];
        j += step[d];
      } else {
        w *= 1 - w1[d];
      }
      if (w == 0) break;
    }
    if (w != 0) sum += w * g.rho[j];
  }
  return sum;
}

Sampler makesampler(const MapGrid& g) {
  Sampler s;
  s.grid = g;
  for (int i = 0; i < 6; ++i) s.minv[i * 6 + i] = 1;
  return s;
}

namespace {

// The mean over ops (the identity alone when empty) of the multilinear
// interpolation of g at the images of x.
double multilinearat(const MapGrid& g, const double* minv, const std::vector<AffineOp>& ops, const double* x) {
  double xg[6];
  if (ops.empty()) {
    mat6vec(minv, x, xg);
    return interpolate(g, xg);
  }
  double sum = 0, y[6];
  for (const AffineOp& op : ops) {
    applyaffine(op, x, y);
    mat6vec(minv, y, xg);
    sum += interpolate(g, xg);
  }
  return sum / static_cast<double>(ops.size());
}

// Whether x is a point of the grid (to rounding, as interpolate takes it).
bool ongrid(const Sampler& s, const double* x) {
  double xg[6];
  mat6vec(s.minv, x, xg);
  for (int d = 0; d < std::clamp(s.grid.idm, 0, 6); ++d) {
    const double p = xg[d] * std::max(1, s.grid.n[d]);
    if (!(std::fabs(p - std::nearbyint(p)) < 1e-9)) return false;
  }
  return true;
}

// The value at x given the series' value there: at a grid point the map's
// own value (the mean of its images with ops), which the series and its
// rest reproduce only to rounding; elsewhere the series and the mean of the
// rest over restops.
double withseries(const Sampler& s, const double* x, double series) {
  if (ongrid(s, x)) return multilinearat(s.grid, s.minv, s.ops, x);
  return series + multilinearat(s.trig->restgrid, s.minv, s.restops, x);
}

}  // namespace

double sampleat(const Sampler& s, const double* x) {
  if (s.trig) return withseries(s, x, trigseries(*s.trig, x));
  return multilinearat(s.grid, s.minv, s.ops, x);
}

double boxparam(const SampleBox& b, int a, int i) {
  if (b.n[a] <= 1) return b.lo[a];
  return b.lo[a] + (b.hi[a] - b.lo[a]) * static_cast<double>(i) / static_cast<double>(b.n[a] - 1);
}

void samplebox(const Sampler& s, const SampleBox& b, float* out) {
  std::vector<double> series;
  if (s.trig) {
    series.resize(static_cast<std::size_t>(b.n[0]) * b.n[1] * b.n[2]);
    trigseriesbox(*s.trig, b, series.data());
  }
  long long j = 0;
  double x[6];
  for (int k = 0; k < b.n[2]; ++k) {
    const double r = boxparam(b, 2, k);
    for (int jj = 0; jj < b.n[1]; ++jj) {
      const double t = boxparam(b, 1, jj);
      for (int i = 0; i < b.n[0]; ++i) {
        const double p = boxparam(b, 0, i);
        for (int e = 0; e < 6; ++e)
          x[e] = b.x0[e] + p * b.axis[0][e] + t * b.axis[1][e] + r * b.axis[2][e];
        out[j] = static_cast<float>(s.trig ? withseries(s, x, series[j]) : multilinearat(s.grid, s.minv, s.ops, x));
        ++j;
      }
    }
  }
}

void smooth121(float* v, const int* n, int passes) {
  const long long n0 = n[0], n1 = n[1], n2 = n[2];
  const long long stride[3] = {1, n0, n0 * n1};
  std::vector<double> line;
  for (int pass = 0; pass < passes; ++pass) {
    for (int a = 0; a < 3; ++a) {
      const long long len = n[a];
      if (len < 2) continue;
      line.resize(static_cast<std::size_t>(len));
      // Every line along axis a: its first point runs over the other axes.
      for (long long k = 0; k < n2; ++k)
        for (long long jj = 0; jj < n1; ++jj)
          for (long long i = 0; i < n0; ++i) {
            const long long idx[3] = {i, jj, k};
            if (idx[a] != 0) continue;
            const long long start = i + n0 * (jj + n1 * k);
            const long long st = stride[a];
            for (long long p = 0; p < len; ++p) line[p] = v[start + p * st];
            for (long long p = 0; p < len; ++p) {
              const double lo = line[p > 0 ? p - 1 : 0];
              const double hi = line[p + 1 < len ? p + 1 : len - 1];
              v[start + p * st] = static_cast<float>(0.25 * (lo + 2 * line[p] + hi));
            }
          }
    }
  }
}

std::vector<SectionMark> marksinplane(const std::vector<std::array<double, 6>>& peaks,
                                      const std::vector<double>& values,
                                      const std::vector<AffineOp>& ops, const double* minv,
                                      const int* n, int idm, const double* x0, const double* u,
                                      const double* v) {
  std::vector<SectionMark> marks;
  idm = std::clamp(idm, 0, 6);
  double og[6], ug[6], vg[6];
  mat6vec(minv, x0, og);
  mat6vec(minv, u, ug);
  mat6vec(minv, v, vg);
  // Distances are measured in grid steps: weight N_d along axis d.
  double w[6], lo[6], hi[6];
  double a11 = 0, a12 = 0, a22 = 0;
  for (int d = 0; d < idm; ++d) {
    w[d] = std::max(1, n[d]);
    a11 += w[d] * w[d] * ug[d] * ug[d];
    a12 += w[d] * w[d] * ug[d] * vg[d];
    a22 += w[d] * w[d] * vg[d] * vg[d];
    const double c[4] = {og[d], og[d] + ug[d], og[d] + vg[d], og[d] + ug[d] + vg[d]};
    lo[d] = *std::min_element(c, c + 4) - 0.5 / w[d];
    hi[d] = *std::max_element(c, c + 4) + 0.5 / w[d];
  }
  const double det = a11 * a22 - a12 * a12;
  if (!(det > 1e-12 * std::max(1.0, a11 * a22))) return marks;  // no plane

  const std::vector<AffineOp> idonly{identityop()};
  const std::vector<AffineOp>& useops = ops.empty() ? idonly : ops;
  const double tol = 1e-9;
  for (std::size_t p = 0; p < peaks.size(); ++p) {
    for (const AffineOp& op : useops) {
      double y[6], yg[6];
      applyaffine(op, peaks[p].data(), y);
      mat6vec(minv, y, yg);
      // Lattice translations that can bring the image into the slab around
      // the section along every axis. They are counted in double precision:
      // a section far out (an origin or axis of 1e38 cells) has translations
      // beyond any integer, and too many of them to look at.
      double mlo[6] = {};
      long long mcount[6] = {};
      double combos = 1;
      for (int d = 0; d < idm; ++d) {
        mlo[d] = std::ceil(lo[d] - yg[d] - tol);
        const double cnt = std::floor(hi[d] - yg[d] + tol) - mlo[d] + 1;
        if (!(cnt >= 1)) {
          combos = 0;
          break;
        }
        combos *= cnt;
        if (!(combos <= 100000)) break;
        mcount[d] = static_cast<long long>(cnt);
      }
      if (!(combos >= 1 && combos <= 100000)) continue;
      const long long ncombo = static_cast<long long>(combos);
      for (long long c = 0; c < ncombo; ++c) {
        long long rest = c;
        double r[6] = {};
        for (int d = 0; d < idm; ++d) {
          const double m = mlo[d] + static_cast<double>(rest % mcount[d]);
          rest /= mcount[d];
          r[d] = yg[d] + m - og[d];
        }
        // Least squares in grid steps for the in-plane position.
        double b1 = 0, b2 = 0;
        for (int d = 0; d < idm; ++d) {
          b1 += w[d] * w[d] * ug[d] * r[d];
          b2 += w[d] * w[d] * vg[d] * r[d];
        }
        const double s = (a22 * b1 - a12 * b2) / det;
        const double t = (a11 * b2 - a12 * b1) / det;
        if (s < -1e-6 || s > 1 + 1e-6 || t < -1e-6 || t > 1 + 1e-6) continue;
        bool near = true;
        for (int d = 0; d < idm && near; ++d)
          near = std::fabs(r[d] - s * ug[d] - t * vg[d]) * w[d] <= 0.5 + 1e-6;
        if (!near) continue;
        bool dup = false;
        for (const SectionMark& mk : marks)
          if (mk.number == static_cast<int>(p) + 1 && std::fabs(mk.s - s) < 1e-5 &&
              std::fabs(mk.t - t) < 1e-5)
            dup = true;
        if (dup) continue;
        SectionMark mk;
        mk.number = static_cast<int>(p) + 1;
        mk.value = p < values.size() ? values[p] : 0.0;
        mk.s = std::clamp(s, 0.0, 1.0);
        mk.t = std::clamp(t, 0.0, 1.0);
        marks.push_back(mk);
      }
    }
  }
  return marks;
}

}  // namespace trovan
