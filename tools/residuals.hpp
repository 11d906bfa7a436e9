// The radial residuals of a maximum-entropy run's end, class by class, for
// the studies of tools/ (memnoise, memwave): r = Re((Fc - Fo) conj(Fo)) /
// (|Fo| sigma), the part of the misfit along Fo in sigmas. Noise scatters r
// about zero, its class mean by about 1/sqrt(N); a mean several times that
// says the map holds the whole class coherently short of (r < 0) or beyond
// (r > 0) its amplitudes. The classes are those the listing reports (main
// reflections and satellites of each order, |q_perp| shells); an ordinary
// crystal's data are split into three shells of |q| with equal counts.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "crystal/lattice.hpp"
#include "density/mem.hpp"
#include "driver/trovan.hpp"

namespace trovan::examples {

struct ClassResidual {
  std::string label;
  int count = 0;
  double mean = 0;  // the mean radial residual
  double c2 = 0;    // the class's c2
};

// Empty for a job without the calculated structure factors of a MEM run.
inline std::vector<ClassResidual> radial_residuals(const JobResult& j) {
  const Observations& obs = j.obs;
  const Density& d = j.density;
  const int n = obs.size();
  if (d.fcr.size() != static_cast<std::size_t>(n) || d.fci.size() != d.fcr.size()) return {};
  FitClasses c = fitclasses(j.crystal.lattice, obs);
  if (c.label.size() < 2 && j.crystal.lattice.isys == 0 && n >= 6) {
    std::vector<std::pair<float, int>> q(n);
    for (int k = 0; k < n; ++k) {
      float v[6];
      getqi0(j.crystal.lattice, obs.h[k].data(), v);
      q[k] = {std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]), k};
    }
    std::sort(q.begin(), q.end());
    c.label.clear();
    for (int s = 0; s < 3; ++s) {
      const int lo = n * s / 3, hi = n * (s + 1) / 3;
      char buf[64];
      std::snprintf(buf, sizeof buf, "|q| %.2f-%.2f", double(q[lo].first), double(q[hi - 1].first));
      c.label.push_back(buf);
      for (int r = lo; r < hi; ++r) c.of[q[r].second] = s;
    }
  }
  std::vector<ClassResidual> out(c.label.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i].label = c.label[i];
  for (int k = 0; k < n; ++k) {
    const double a = obs.a[k], b = obs.b[k], f = std::sqrt(a * a + b * b), s = obs.sigma[k];
    const double dr = d.fcr[k] - a, di = d.fci[k] - b;
    ClassResidual& r = out[c.of[k]];
    ++r.count;
    if (f > 0) r.mean += (dr * a + di * b) / (f * s);
    r.c2 += (dr * dr + di * di) / (s * s);
  }
  for (ClassResidual& r : out)
    if (r.count > 0) r.mean /= r.count, r.c2 /= r.count;
  return out;
}

// One column a class: its mean radial residual in units of 1/sqrt(N) (the
// noise's scatter of the mean).
inline std::string residual_columns(const std::vector<ClassResidual>& v) {
  std::string s;
  char buf[32];
  for (const ClassResidual& r : v) {
    std::snprintf(buf, sizeof buf, " %6.2f", r.mean * std::sqrt(double(r.count)));
    s += buf;
  }
  return s;
}

}  // namespace trovan::examples
