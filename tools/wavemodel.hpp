// The displacive wave of the maximum-entropy tests and of tools/memwave: one
// atom on a (3+1)-D wave with main reflections and first-order satellites,
// and its atomic surface read off a map, with the amplitude and position
// error of that surface against the true wave.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tools/sfmodel.hpp"

namespace trovan::examples {

// One atom (Z = 26, a Gaussian of sigma 0.25 A) displaced along a by
// x(t) = amp sin 2 pi t, main reflections and first-order satellites to
// |q| = 1.5 1/A, sigma = 3 % |F| + 0.1. The grid holds more than the data
// along every axis, so that the map is free to be sharper than the data.
inline Example wave(double amp = 0.08) {
  Example e = modulated(true);
  e.name = "wave";
  e.sites[0].b = 8 * kPi * kPi * 0.25 * 0.25;
  e.amp[0] = amp;
  const int hm[6] = {32, 18, 20, 12, 1, 1};
  std::copy(hm, hm + 6, e.hmax);
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

// The atomic surface read off the map along x through y = z = 0 at every
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

inline Surface surface(const float* rho, const Example& e) {
  const int nx = e.hmax[0], nt = e.hmax[3];
  const long long tstride = static_cast<long long>(nx) * e.hmax[1] * e.hmax[2];
  Surface s;
  for (int t = 0; t < nt; ++t) {
    auto at = [&](int x) { return rho[(x % nx + nx) % nx + tstride * t]; };
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
      float dip = at(x);
      for (int y = std::min(x, best); y <= std::max(x, best); ++y) dip = std::min(dip, at(y));
      if (dip < 0.95f * at(x)) ++maxima;
    }
    s.most_maxima = std::max(s.most_maxima, maxima);
  }
  double sxs = 0, ss = 0, se = 0;
  for (std::size_t k = 0; k < s.x.size(); ++k) {
    const double w = std::sin(2 * kPi * k / s.x.size());
    sxs += s.x[k] * w;
    ss += w * w;
    se += std::pow(s.x[k] - e.amp[0] * w, 2);
  }
  s.amp = sxs / ss;
  s.rms = std::sqrt(se / s.x.size()) * e.abc[0];
  return s;
}

}  // namespace trovan::examples
