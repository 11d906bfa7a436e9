// The occupation domains of a quasicrystal model (tools/sfmodel.hpp) in a
// map on the program's grid: the electrons within each domain's
// neighbourhood, the measure of whether a map keeps a domain that does not
// depend on which of its grid points the map makes highest. Used by the
// tests and the benchmarks.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "crystal/crystal.hpp"
#include "crystal/gridindex.hpp"
#include "crystal/setting.hpp"
#include "tools/sfmodel.hpp"
#include "util/linalg.hpp"

namespace trovan::examples {

// The neighbourhood of a domain: grid points whose offset from the centre
// has a parallel part below kParallel (the atom, a Gaussian of 0.16 A, and
// the spread the data's resolution gives it) and a perpendicular part below
// the domain's radius plus kMargin. No two domains of the icosahedral
// models come closer than 2 A in parallel space where their perpendicular
// ranges overlap, so the neighbourhoods are disjoint.
constexpr double kParallel = 0.9, kMargin = 0.6;

struct DomainCount {
  int centre = 0;          // the grid index of the centre
  double electrons = 0;    // sum of rho V / nt over the neighbourhood (the model puts Z there)
  long long points = 0;
  // The neighbourhood's highest point other than the centre: its value and
  // the parallel and perpendicular length (A) of its offset from the centre.
  double top = 0, top_par = 0, top_perp = 0;
};

// Whether d (setting coordinates) is a lattice translation: integral, or
// for a face-centred lattice half-integral with an even number of halves.
inline bool lattice_translation(char brv, const double* d) {
  int halves = 0;
  for (int i = 0; i < 6; ++i) {
    const double twice = 2 * d[i];
    if (std::fabs(twice - std::nearbyint(twice)) > 1e-3) return false;
    halves += std::abs(static_cast<long>(std::nearbyint(twice))) % 2;
  }
  return brv == 'f' ? halves % 2 == 0 : halves == 0;
}

// rho over the whole grid of the crystal cr (x fastest).
inline DomainCount domain_electrons(const Example& e, const Site& site, const Crystal& cr, const float* rho) {
  const int* n = cr.grid.n;
  const long long nt = getnt(cr.grid);
  double m[36], mi[36], mc[36], d[36];
  getsetmtrx(cr.setting, m);
  getsetmtrxinv(cr.setting, mi);
  // Direct basis vectors (rows of d) from the reciprocal ones: d dq^T = 1.
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) d[i * 6 + j] = e.basis.dq[j][i];
  double det = 0;
  matinvd(d, 6, det);
  // The grid spans the cell of the grid's basis (for a centred lattice the
  // primitive one): the setting cell's volume times |det M|.
  std::copy(m, m + 36, mc);
  double detm = 0;
  matinvd(mc, 6, detm);
  const double dv = cell_volume(e.basis) * std::fabs(detm) / static_cast<double>(nt);
  int g0[6];
  for (int i = 0; i < 6; ++i) {
    double v = 0;
    for (int k = 0; k < 6; ++k) v += mi[k * 6 + i] * site.x[k];
    g0[i] = static_cast<int>(std::lround(v * n[i]));
  }
  DomainCount c;
  c.centre = getxyztoj(cr.grid, g0);
  c.top = -HUGE_VAL;
  // Offsets of up to 0.6 of the cell along each grid axis.
  int reach[6], k[6];
  for (int i = 0; i < 6; ++i) {
    reach[i] = (6 * n[i] + 9) / 10;
    k[i] = -reach[i];
  }
  for (;;) {
    double r[6] = {};
    for (int a = 0; a < 6; ++a) {
      double xs = 0;  // setting coordinate a of the offset
      for (int b = 0; b < 6; ++b) xs += m[b * 6 + a] * k[b] / n[b];
      for (int j = 0; j < 6; ++j) r[j] += xs * d[a * 6 + j];
    }
    const double par = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    const double perp = std::sqrt(r[3] * r[3] + r[4] * r[4] + r[5] * r[5]);
    if (par < kParallel && perp < site.radius + kMargin) {
      int g[6];
      for (int i = 0; i < 6; ++i) g[i] = ((g0[i] + k[i]) % n[i] + n[i]) % n[i];
      const double v = rho[getxyztoj(cr.grid, g)];
      c.electrons += v * dv;
      ++c.points;
      if (par + perp > 0 && v > c.top) {
        c.top = v;
        c.top_par = par;
        c.top_perp = perp;
      }
    }
    int i = 0;
    for (; i < 6 && ++k[i] > reach[i]; ++i) k[i] = -reach[i];
    if (i == 6) break;
  }
  return c;
}

}  // namespace trovan::examples
