// The displacive wave of the maximum-entropy tests and of tools/memwave: one
// atom on a (3+1)-D wave with main reflections and first-order satellites,
// and its atomic surface read off a map, with the amplitude and position
// error of that surface against the true wave.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tools/sfmodel.hpp"

namespace trovan::examples {

// One atom (Z = 26, a Gaussian of sigma 0.25 A) displaced along a by
// x(t) = amp sin 2 pi t, main reflections and first-order satellites to
// |q| = 1.5 1/A, sigma = 3 % |F| + 0.1. The grid holds more than the data
// along every axis, so that the map is free to be sharper than the data.
//
// axis 2 makes it a longitudinal wave, along c (the wave vector's
// direction), with the grid along c as fine as along a.
inline Example wave(double amp = 0.08, int axis = 0) {
  Example e = modulated(true);
  e.name = "wave";
  e.sites[0].b = 8 * kPi * kPi * 0.25 * 0.25;
  e.amp[0] = 0;
  e.amp[axis] = amp;
  const int hm[6] = {32, 18, 20, 12, 1, 1};
  std::copy(hm, hm + 6, e.hmax);
  if (axis == 2) {
    // x -> -x with t + 1/2 would send the string z(t) to -z(t): the
    // longitudinal wave keeps the plain mirror instead.
    e.hmax[2] = 48;
    e.gens = {"-x,y,z,t,u,v", "x,-y,z,t,u,v"};
    e.symmetry_comment = "inversion (icent=1), a*-mirror, b*-mirror";
  }
  e.qimax = 1.5;
  e.sigma_rel = 0.03;
  e.sigma_abs = 0.1;
  return e;
}

// The records of a reflection file with |m| <= 1.
inline std::string first_order_only(const std::string& records) {
  std::istringstream in(records);
  std::string line, out;
  while (std::getline(in, line)) {
    int h[4];
    std::istringstream f(line);
    for (int& v : h) f >> v;
    if (std::abs(h[3]) <= 1) out += line + "\n";
  }
  return out;
}

// The axis the wave displaces the atom along.
inline int wave_axis(const Example& e) { return e.amp[0] != 0 ? 0 : e.amp[1] != 0 ? 1 : 2; }

// The atomic surface read off the map along that axis through the origin at every
// grid value of t: the position of the highest point (refined by a
// parabola through it and its neighbours), and how many maxima above a
// fifth of it, each parted from the highest by a dip, lie within a quarter
// cell. amp is the least-squares amplitude of x(t) against sin 2 pi t (in
// fractions of a), rms the position error against the true wave in A.
struct Surface {
  std::vector<double> x;  // fractions of a
  int most_maxima = 0;
  double amp = 0, rms = 0;
};

template <class Real>
Surface surface(const Real* rho, const Example& e) {
  const int ax = wave_axis(e), nx = e.hmax[ax], nt = e.hmax[3];
  const long long tstride = static_cast<long long>(e.hmax[0]) * e.hmax[1] * e.hmax[2];
  const long long xstride = ax == 0 ? 1 : ax == 1 ? e.hmax[0] : static_cast<long long>(e.hmax[0]) * e.hmax[1];
  Surface s;
  for (int t = 0; t < nt; ++t) {
    auto at = [&](int x) { return rho[(x % nx + nx) % nx * xstride + tstride * t]; };
    int best = 0;
    for (int x = -nx / 4; x <= nx / 4; ++x)
      if (at(x) > at(best)) best = x;
    const double a = at(best - 1), b = at(best), c = at(best + 1);
    const double den = a - 2 * b + c;
    s.x.push_back((best + (den < 0 ? 0.5 * (a - c) / den : 0.0)) / nx);
    // A second maximum counts when the map dips between it and the highest
    // point by more than 5 % of it: a split atom, not a flat top (a dip of a
    // few thousandths is round-off of a profile that is flat there).
    int maxima = 1;
    for (int x = -nx / 4; x <= nx / 4; ++x) {
      if (x == best || !(at(x) > at(x - 1) && at(x) >= at(x + 1) && at(x) > 0.2 * b)) continue;
      Real dip = at(x);
      for (int y = std::min(x, best); y <= std::max(x, best); ++y) dip = std::min(dip, at(y));
      if (dip < Real(0.95) * at(x)) ++maxima;
    }
    s.most_maxima = std::max(s.most_maxima, maxima);
  }
  double sxs = 0, ss = 0, se = 0;
  for (std::size_t k = 0; k < s.x.size(); ++k) {
    const double w = std::sin(2 * kPi * k / s.x.size());
    sxs += s.x[k] * w;
    ss += w * w;
    se += std::pow(s.x[k] - e.amp[ax] * w, 2);
  }
  s.amp = sxs / ss;
  s.rms = std::sqrt(se / s.x.size()) * e.abc[ax];
  return s;
}

// The wave's true density at every grid point of e (the order of
// direct_map), from real space: no series, so a reader of the surface can
// be judged on it. In the fractions X of the superspace cell an atom of the
// lattice point n lies at x = n + u(X4 - k.(x - n)), u(s) = amp sin 2 pi s
// along a, b or c, a Gaussian of sigma s0 (from b) in physical space about it; the
// cell is orthogonal, so the Gaussian is a product along a, b and c. Only
// neighbours n in -1..1 along each axis count (sigma is far below a cell
// edge); the neighbours along a and b share the phase of n = 0, which is
// exact for a wave vector along c* (the wave's). The transverse wave's
// structure factors are those of Example::F; for the longitudinal one
// (along c) F takes the phase h.A of the indices where this density has
// q.A = (l + m k) A, so the two differ by a few per cent at m = 2.
inline std::vector<double> wave_density(const Example& e) {
  const Site& st = e.sites[e.modulated_site];
  const double s0 = std::sqrt(st.b / (8 * kPi * kPi));
  const int* n = e.hmax;
  std::vector<double> rho(static_cast<std::size_t>(n[0]) * n[1] * n[2] * n[3], 0.0);
  const double norm = st.z / std::pow(std::sqrt(2 * kPi) * s0, 3);
  std::size_t j = 0;
  for (int i4 = 0; i4 < n[3]; ++i4)
    for (int i3 = 0; i3 < n[2]; ++i3)
      for (int i2 = 0; i2 < n[1]; ++i2)
        for (int i1 = 0; i1 < n[0]; ++i1, ++j) {
          const double x[4] = {double(i1) / n[0], double(i2) / n[1], double(i3) / n[2], double(i4) / n[3]};
          double sum = 0;
          for (int c = -1; c <= 1; ++c) {
            const double dz = x[2] - st.x[2] - c;
            const double s = x[3] - st.x[3] - (e.k[0] * (x[0] - st.x[0]) + e.k[1] * (x[1] - st.x[1]) + e.k[2] * dz);
            double u[3];
            for (int a = 0; a < 3; ++a) u[a] = e.amp[a] * std::sin(2 * kPi * (s - e.wave_phase));
            auto gauss = [&](double d) { return std::exp(-0.5 * std::pow(d / s0, 2)); };
            double p = gauss((dz - u[2]) * e.abc[2]);
            for (int a = 0; a < 2; ++a) {
              double g = 0;
              for (int m = -1; m <= 1; ++m) g += gauss((x[a] - st.x[a] - m - u[a]) * e.abc[a]);
              p *= g;
            }
            sum += p;
          }
          rho[j] = norm * sum;
        }
  return rho;
}

// The structure factor of a map on the grid of e at the setting index h,
// F(h) = (V/N) sum rho(x) phase_factor(h.x) (the inverse of direct_map).
template <class Real>
cplx map_factor(const Real* rho, const Example& e, const int* h) {
  const int* n = e.hmax;
  std::vector<cplx> w[4];
  for (int a = 0; a < 4; ++a)
    for (int i = 0; i < n[a]; ++i) w[a].push_back(phase_factor(double(h[a]) * i / n[a]));
  cplx f = 0;
  std::size_t j = 0;
  for (int i4 = 0; i4 < n[3]; ++i4)
    for (int i3 = 0; i3 < n[2]; ++i3)
      for (int i2 = 0; i2 < n[1]; ++i2) {
        const cplx p = w[3][i4] * w[2][i3] * w[1][i2];
        cplx s = 0;
        for (int i1 = 0; i1 < n[0]; ++i1, ++j) s += double(rho[j]) * w[0][i1];
        f += p * s;
      }
  return f * e.volume() / double(j);
}

// Every structure factor a map on the grid of e holds, F(h) = (V/N) sum
// rho(x) phase_factor(h.x), at entry sum_i ((h_i + N_i) mod N_i) stride_i
// (the order of direct_map's grid): the transform axis after axis.
template <class Real>
std::vector<cplx> grid_coefficients(const Real* rho, const Example& e) {
  long long nt = 1, stride[6];
  for (int i = 0; i < 6; ++i) {
    stride[i] = nt;
    nt *= e.hmax[i];
  }
  std::vector<cplx> a(rho, rho + nt), b(nt);
  for (int ax = 0; ax < 6; ++ax) {
    const int n = e.hmax[ax];
    if (n == 1) continue;
    std::vector<cplx> w(n);
    for (int k = 0; k < n; ++k) w[k] = phase_factor(double(k) / n);
    for (long long j = 0; j < nt; ++j) {
      const int h = static_cast<int>((j / stride[ax]) % n);
      const long long base = j - h * stride[ax];
      cplx s = 0;
      for (int x = 0; x < n; ++x) s += a[base + x * stride[ax]] * w[(static_cast<long long>(h) * x) % n];
      b[j] = s;
    }
    a.swap(b);
  }
  for (cplx& f : a) f *= e.volume() / double(nt);
  return a;
}

// How much of the true satellites of order m a map holds: the projection
// sum w F_map F_true / sum w F_true^2 over the classes of order m within
// qimax with hlo <= |h| <= hhi along the wave's displacement, w the class
// size (1: all of them, 0: none).
template <class Real>
double order_ratio(const Real* rho, const Example& e, int m, int hlo = 0, int hhi = 1 << 20) {
  double num = 0, den = 0;
  for (const auto& cls : index_classes(e)) {
    const int ha = std::abs(cls[0][wave_axis(e)]);
    if (std::abs(cls[0][3]) != m || ha < hlo || ha > hhi) continue;
    const cplx t = e.F(cls[0].data());
    num += cls.size() * std::real(map_factor(rho, e, cls[0].data()) * std::conj(t));
    den += cls.size() * std::norm(t);
  }
  return den > 0 ? num / den : 0;
}

// c2 of a class of reflections as a run's listing gives it at the stop
// ("  <label>   N reflections c2= ..."); -1 when the class is not listed.
inline double class_c2(const std::string& out, const std::string& label) {
  const std::regex re("\n  " + label + R"(\s+\d+ reflections c2=\s*(\S+))");
  std::smatch m;
  return std::regex_search(out, m, re) ? std::stod(m[1]) : -1;
}

}  // namespace trovan::examples
