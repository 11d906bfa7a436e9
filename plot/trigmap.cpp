#include "plot/trigmap.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <array>

#include "density/fft.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"
#include "util/threads.hpp"

namespace trovan {

namespace {


// Grid coordinates of linear index j (first axis fastest).
void decode(long long j, const int* n, int idm, long long* k) {
  for (int d = 0; d < idm; ++d) {
    k[d] = j % n[d];
    j /= n[d];
  }
}

long long encode(const long long* k, const int* n, int idm) {
  long long j = 0;
  for (int d = idm - 1; d >= 0; --d) {
    long long r = k[d] % n[d];
    if (r < 0) r += n[d];
    j = j * n[d] + r;
  }
  return j;
}

// The aliases k + N m of smallest length in the quadratic form q (grid
// basis, idm x idm, row-major) of frequency k (centred). A descent by
// single steps of N_d, then every alias as short reachable by single and
// double steps (the shortest of an even grid's Nyquist frequencies).
std::vector<std::array<long long, 6>> shortestaliases(const long long* k0, const int* n, int idm, const double* q) {
  auto norm = [&](const long long* k) {
    double s = 0;
    for (int a = 0; a < idm; ++a)
      for (int b = 0; b < idm; ++b) s += double(k[a]) * q[a * idm + b] * double(k[b]);
    return s;
  };
  std::array<long long, 6> k{};
  for (int d = 0; d < idm; ++d) k[d] = k0[d];
  double best = norm(k.data());
  double scale = 0;
  for (int d = 0; d < idm; ++d) scale = std::max(scale, q[d * idm + d] * double(n[d]) * n[d]);
  const double eps = 1e-9 * scale;
  for (bool moved = true; moved;) {
    moved = false;
    for (int d = 0; d < idm; ++d)
      for (int s = -1; s <= 1; s += 2) {
        std::array<long long, 6> t = k;
        t[d] += s * n[d];
        const double v = norm(t.data());
        if (v < best - eps) {
          best = v;
          k = t;
          moved = true;
        }
      }
  }
  std::vector<std::array<long long, 6>> out{k};
  for (std::size_t i = 0; i < out.size() && out.size() < 4096; ++i) {
    for (int d = 0; d < idm; ++d)
      for (int e = d; e < idm; ++e)
        for (int s = -1; s <= 1; s += 2)
          for (int r = (e == d ? 0 : -1); r <= (e == d ? 0 : 1); r += 2) {
            std::array<long long, 6> t = out[i];
            t[d] += s * n[d];
            if (e != d) t[e] += r * n[e];
            if (std::fabs(norm(t.data()) - best) > eps) continue;
            if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(t);
          }
  }
  return out;
}

}  // namespace

TrigMap maketrigmap(const MapGrid& g, const double* minv, const double* metric, const std::vector<AffineOp>& ops,
                     double tol) {
  TrigMap t;
  const int idm = std::clamp(g.idm, 1, 6);
  t.idm = idm;
  std::copy(minv, minv + 36, t.minv);
  int n[6] = {1, 1, 1, 1, 1, 1};
  for (int d = 0; d < idm; ++d) n[d] = std::max(1, g.n[d]);
  long long nt = 1;
  for (int d = 0; d < idm; ++d) nt *= n[d];

  // The grid's own coefficients: c_k = (1/nt) sum_j rho_j exp(-2 pi i j.k/N).
  std::vector<float> a(g.rho, g.rho + nt), b(static_cast<std::size_t>(nt), 0.f);
  for (long long j = 0; j < nt; ++j) t.maxabs = std::max(t.maxabs, std::fabs(double(a[j])));
  int icon = 0;
  cft1(a.data(), b.data(), n, idm, -1, icon);
  if (icon != 0) quit("grid of the map not transformable for its interpolation");

  // Which coefficient classes {k, -k} to keep: the largest, until the rms of
  // those left out (a pair contributes 2 |c|^2 to the mean square) is at
  // most tol max|rho|. Coefficients below 1e-6 of the largest are the
  // transform's rounding of zeros: they are left to the rest.
  std::vector<std::pair<double, long long>> mags;
  double cmax = 0;
  for (long long j = 0; j < nt; ++j) cmax = std::max(cmax, std::hypot(double(a[j]), double(b[j])) / nt);
  long long kk[6], km[6];
  for (long long j = 0; j < nt; ++j) {
    decode(j, n, idm, kk);
    for (int d = 0; d < idm; ++d) km[d] = -kk[d];
    const long long jm = encode(km, n, idm);
    if (jm < j) continue;  // the class was met at its mate
    const double m = std::hypot(double(a[j]), double(b[j])) / nt;
    if (!(m > 1e-6 * cmax)) continue;
    mags.emplace_back(m, jm == j ? -j - 1 : j);
  }
  t.nonzero = static_cast<long long>(mags.size());
  std::sort(mags.begin(), mags.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
  std::size_t keep = mags.size();
  double left = 0;
  const double budget = (tol * t.maxabs) * (tol * t.maxabs);
  while (keep > 1) {
    const auto& [m, j] = mags[keep - 1];
    const double e = (j < 0 ? 1 : 2) * m * m;
    if (left + e > budget) break;
    left += e;
    --keep;
  }
  // Equivalent coefficients are equal in size to rounding: an orbit is kept
  // whole or not at all.
  while (keep < mags.size() && mags[keep].first >= mags[keep - 1].first * (1 - 1e-4)) ++keep;
  t.kept = static_cast<long long>(keep);

  // The metric the aliases are measured in: the reciprocal metric of the
  // setting, averaged over the group (h -> R^T h), in the grid basis.
  double gs[36] = {}, gstar[36] = {};
  for (int i = 0; i < 6; ++i) gs[i * 6 + i] = 1;
  for (int i = 0; i < idm; ++i)
    for (int e = 0; e < idm; ++e) gs[e * idm + i] = metric[e * 6 + i];
  double det = 0;
  if (!matinvd(gs, idm, det)) {
    std::fill(gs, gs + 36, 0.0);
    for (int i = 0; i < idm; ++i) gs[i * idm + i] = 1;
  }
  const std::vector<AffineOp> idop{identityop()};
  const std::vector<AffineOp>& group = ops.empty() ? idop : ops;
  for (const AffineOp& op : group)
    for (int i = 0; i < idm; ++i)
      for (int j = 0; j < idm; ++j) {
        // (R G* R^T)_ij
        double s = 0;
        for (int p = 0; p < idm; ++p)
          for (int r = 0; r < idm; ++r) s += op.r[p * 6 + i] * gs[r * idm + p] * op.r[r * 6 + j];
        gstar[i * idm + j] += s / double(group.size());
      }
  // |h|^2 with h_e = sum_d minv(d, e) k_d: q = minv G* minv^T in the grid basis.
  double q[36] = {};
  for (int d = 0; d < idm; ++d)
    for (int f = 0; f < idm; ++f) {
      double s = 0;
      for (int e = 0; e < idm; ++e)
        for (int e2 = 0; e2 < idm; ++e2) s += minv[e * 6 + d] * gstar[e * idm + e2] * minv[e2 * 6 + f];
      q[d * idm + f] = s;
    }

  // The kept terms, and their synthesis on the grid (half of each term at
  // +k, its conjugate at -k) for the rest.
  std::vector<float> sa(static_cast<std::size_t>(nt), 0.f), sb(static_cast<std::size_t>(nt), 0.f);
  for (std::size_t i = 0; i < keep; ++i) {
    const long long j = mags[i].second < 0 ? -mags[i].second - 1 : mags[i].second;
    decode(j, n, idm, kk);
    for (int d = 0; d < idm; ++d)
      if (kk[d] > n[d] / 2) kk[d] -= n[d];
    for (int d = 0; d < idm; ++d) km[d] = -kk[d];
    const bool selfmate = encode(km, n, idm) == j;
    const std::complex<double> c{double(a[j]) / double(nt), double(b[j]) / double(nt)};
    const auto reps = shortestaliases(kk, n, idm, q);
    const bool zero = std::all_of(kk, kk + idm, [](long long v) { return v == 0; });
    // A class of its own mate (k = -k on the grid: k = 0 and the Nyquist
    // corners) has a real coefficient and aliases in pairs +-r: each pair
    // is one term Re(2 c/m exp(i phase)) with its positive member.
    const double f = (zero ? 1.0 : 2.0) / double(reps.size());
    for (const auto& r : reps) {
      if (selfmate) {
        int sgn = 0;
        for (int d = 0; d < idm && sgn == 0; ++d) sgn = r[d] > 0 ? 1 : (r[d] < 0 ? -1 : 0);
        if (sgn < 0) continue;
      }
      for (int e = 0; e < 6; ++e) {
        double s = 0;
        for (int d = 0; d < idm; ++d) s += minv[e * 6 + d] * double(r[d]);
        t.h.push_back(s);
      }
      t.cre.push_back(f * c.real());
      t.cim.push_back(f * c.imag());
      const long long jr = encode(r.data(), n, idm);
      long long rm[6];
      for (int d = 0; d < idm; ++d) rm[d] = -r[d];
      const long long jrm = encode(rm, n, idm);
      sa[jr] += static_cast<float>(0.5 * f * c.real());
      sb[jr] += static_cast<float>(0.5 * f * c.imag());
      sa[jrm] += static_cast<float>(0.5 * f * c.real());
      sb[jrm] -= static_cast<float>(0.5 * f * c.imag());
    }
  }
  a.clear();
  a.shrink_to_fit();
  b.clear();
  b.shrink_to_fit();
  cft1(sa.data(), sb.data(), n, idm, +1, icon);
  auto rest = std::make_shared<std::vector<float>>(static_cast<std::size_t>(nt));
  for (long long j = 0; j < nt; ++j) {
    (*rest)[j] = static_cast<float>(double(g.rho[j]) - double(sa[j]));
    t.maxrest = std::max(t.maxrest, std::fabs(double((*rest)[j])));
  }
  t.rest = rest;
  t.restgrid = g;
  t.restgrid.rho = rest->data();
  return t;
}

TrigMap symmetrisedtrigmap(const TrigMap& t, const std::vector<AffineOp>& ops) {
  if (ops.empty()) return t;
  // Frequencies are compared in the grid basis, where they are integers:
  // k = M^T h with M the inverse of minv.
  double m[36];
  std::copy(t.minv, t.minv + 36, m);
  double det = 0;
  if (!matinvd(m, 6, det)) return t;
  std::map<std::array<long long, 6>, std::size_t> where;
  TrigMap s = t;
  s.h.clear();
  s.cre.clear();
  s.cim.clear();
  const double inv = 1.0 / double(ops.size());
  for (long long k = 0; k < t.terms(); ++k) {
    const double* h = &t.h[6 * k];
    for (const AffineOp& op : ops) {
      // rho(R x + t) = sum c exp(2 pi i (R^T h).x) exp(2 pi i h.t)
      double hp[6], ph = 0;
      for (int i = 0; i < 6; ++i) {
        double v = 0;
        for (int e = 0; e < 6; ++e) v += op.r[i * 6 + e] * h[e];
        hp[i] = v;
        ph += h[i] * op.t[i];
      }
      std::complex<double> c = std::complex<double>(t.cre[k], t.cim[k]) * std::polar(inv, kTwoPi * ph);
      std::array<long long, 6> key{};
      for (int d = 0; d < 6; ++d) {
        double v = 0;
        for (int e = 0; e < 6; ++e) v += m[d * 6 + e] * hp[e];
        key[d] = std::llround(v);
      }
      // h and -h are one term (its real part): the one whose first non-zero
      // grid component is positive stands for both.
      int sgn = 0;
      for (int d = 0; d < 6 && sgn == 0; ++d) sgn = key[d] > 0 ? 1 : (key[d] < 0 ? -1 : 0);
      if (sgn < 0) {
        for (auto& v : key) v = -v;
        for (double& v : hp) v = -v;
        c = std::conj(c);
      }
      auto [it, fresh] = where.try_emplace(key, s.cre.size());
      if (fresh) {
        s.h.insert(s.h.end(), hp, hp + 6);
        s.cre.push_back(0);
        s.cim.push_back(0);
      }
      s.cre[it->second] += c.real();
      s.cim[it->second] += c.imag();
    }
  }
  return s;
}

double trigseries(const TrigMap& t, const double* x) {
  double sum = 0;
  for (long long k = 0; k < t.terms(); ++k) {
    const double* h = &t.h[6 * k];
    double ph = 0;
    for (int e = 0; e < 6; ++e) ph += h[e] * x[e];
    ph = kTwoPi * (ph - std::floor(ph));
    sum += t.cre[k] * std::cos(ph) - t.cim[k] * std::sin(ph);
  }
  return sum;
}

void trigseriesbox(const TrigMap& t, const SampleBox& b, double* out) {
  const long long nterm = t.terms();
  const int n0 = std::max(1, b.n[0]), n1 = std::max(1, b.n[1]), n2 = std::max(1, b.n[2]);
  // Phase of term k at the box's first point and its steps along the axes,
  // in cycles.
  double step[3][6];
  for (int a = 0; a < 3; ++a) {
    const double d = b.n[a] > 1 ? (b.hi[a] - b.lo[a]) / double(b.n[a] - 1) : 0.0;
    for (int e = 0; e < 6; ++e) step[a][e] = b.axis[a][e] * d;
  }
  double first[6];
  for (int e = 0; e < 6; ++e)
    first[e] = b.x0[e] + b.lo[0] * b.axis[0][e] + b.lo[1] * b.axis[1][e] + b.lo[2] * b.axis[2][e];
  auto cycles = [&](long long k, const double* v) {
    double s = 0;
    for (int e = 0; e < 6; ++e) s += t.h[6 * k + e] * v[e];
    return s - std::floor(s);
  };
  std::vector<double> e0r(nterm), e0i(nterm), e1r(nterm), e1i(nterm), p0(nterm), d2(nterm);
  for (long long k = 0; k < nterm; ++k) {
    const double a0 = kTwoPi * cycles(k, step[0]), a1 = kTwoPi * cycles(k, step[1]);
    e0r[k] = std::cos(a0);
    e0i[k] = std::sin(a0);
    e1r[k] = std::cos(a1);
    e1i[k] = std::sin(a1);
    p0[k] = cycles(k, first);
    d2[k] = cycles(k, step[2]);
  }
  const long long rows = static_cast<long long>(n1) * n2;
  parallel_for(rows, 1, [&](long long lo, long long hi) {
    std::vector<double> sr(nterm), si(nterm), zr(nterm), zi(nterm);
    long long plane = -1;
    for (long long row = lo; row < hi; ++row) {
      const long long j = row % n1, kz = row / n1;
      if (kz != plane || row == lo) {
        // The row's start straight from its phase: at the start of a part
        // and of a plane; along a plane the start advances by the v step.
        plane = kz;
        for (long long k = 0; k < nterm; ++k) {
          double ph = p0[k] + double(kz) * d2[k];
          const double a1 = kTwoPi * cycles(k, step[1]) * double(j);
          ph = kTwoPi * (ph - std::floor(ph)) + a1;
          const double cr = std::cos(ph), ci = std::sin(ph);
          sr[k] = t.cre[k] * cr - t.cim[k] * ci;
          si[k] = t.cre[k] * ci + t.cim[k] * cr;
        }
      }
      std::copy(sr.begin(), sr.end(), zr.begin());
      std::copy(si.begin(), si.end(), zi.begin());
      double* o = out + row * n0;
      for (int i = 0; i < n0; ++i) {
        double sum = 0;
        for (long long k = 0; k < nterm; ++k) {
          sum += zr[k];
          const double r = zr[k] * e0r[k] - zi[k] * e0i[k];
          zi[k] = zr[k] * e0i[k] + zi[k] * e0r[k];
          zr[k] = r;
        }
        o[i] = sum;
      }
      if (j + 1 < n1)
        for (long long k = 0; k < nterm; ++k) {
          const double r = sr[k] * e1r[k] - si[k] * e1i[k];
          si[k] = sr[k] * e1i[k] + si[k] * e1r[k];
          sr[k] = r;
        }
    }
  });
}

}  // namespace trovan
