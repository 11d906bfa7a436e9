// Test helpers: real superspace lattices and generator sets of their point
// groups, found from the geometry rather than copied from a table.
//
// An integer matrix R (h -> h.R) is a rotation of the lattice with
// reciprocal basis D (row k = parallel then perpendicular components of the
// k-th basis vector) when R D = D G with G block diagonal, orthogonal on the
// physical and on the internal subspace.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/crystal.hpp"
#include "driver/crystalkeys.hpp"
#include "util/runstate.hpp"
#include "util/input.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"
#include "values.hpp"

namespace trovan::testing {

// The listing of a test goes to a string while the object lives.
struct Quiet {
  std::ostringstream listing;
  Quiet() { set_out_stream(&listing); }
  ~Quiet() { set_out_stream(nullptr); }
  std::string text() const { return listing.str(); }
};

// A grid of the given sizes over idm axes (the others 1), with its tables.
inline void grid(Crystal& cr, int idm, std::vector<int> n) {
  n.resize(6, 1);
  cr.group.idm = cr.grid.idm = idm;
  setng(cr.grid, n.data());
  calmm(cr.grid);
  setitt(cr.grid);
}

// The setting of a run: system, centring, superstructure, centrosymmetry,
// and for the general setting the number of wave vectors.
inline void setting(Crystal& cr, int isys, char brv, int ismtr, int icent, int ndm = 0) {
  cr.lattice.ndm = ndm;
  cr.lattice.isys = cr.setting.isys = isys;
  setsmh(cr.setting, isys);
  setsmx(cr.setting, isys);
  cr.setting.brv = brv;
  cr.setting.ismtr = ismtr;
  cr.group.icent = icent;
}

// Closes ngen generating elements (rotations one after the other, six
// translations each) into the group of cr, over the axes its system and
// lattice make active.
inline void gensymo(Crystal& cr, int ngen, const int* rots, const double* trans) {
  std::vector<Op> gens(static_cast<std::size_t>(ngen));
  for (int k = 0; k < ngen; ++k) {
    for (int i = 0; i < kDim2; ++i) gens[k].rot[i] = rots[kDim2 * k + i];
    for (int e = 0; e < kDim; ++e) gens[k].trn[e] = trnnearest(trans[kDim * k + e]);
  }
  trovan::gensymo(cr.group, gens, cr.setting, activedim(cr.setting.isys, cr.lattice.ndm));
}

using Mat = std::vector<double>;  // 6x6, column by column
using IMat = std::vector<int>;    // 6x6, column by column

inline Mat basis_rows(const double (*rows)[6]) {
  Mat d(36);
  for (int k = 0; k < 6; ++k)
    for (int c = 0; c < 6; ++c) d[at(k, c)] = rows[k][c];
  return d;
}

// The icosahedral basis of isys 2 (before its uniform scaling).
inline Mat icosahedral_basis() {
  const double t = (1.0 + std::sqrt(5.0)) / 2.0;
  const double rows[6][6] = {{1, t, 0, t, -1, 0},  {t, 0, 1, -1, 0, t},  {t, 0, -1, -1, 0, -t},
                             {0, 1, -t, 0, t, 1},  {-1, t, 0, -t, -1, 0}, {0, 1, t, 0, t, -1}};
  return basis_rows(rows);
}

// The decagonal basis of isys 3 (rows 1-4 a five-fold star, 5 the period).
inline Mat decagonal_basis() {
  const double pi = kPi;
  double rows[6][6] = {};
  for (int k = 1; k <= 4; ++k) {
    rows[k - 1][0] = std::cos(2 * pi * k / 5);
    rows[k - 1][1] = std::sin(2 * pi * k / 5);
    rows[k - 1][3] = std::cos(4 * pi * k / 5);
    rows[k - 1][4] = std::sin(4 * pi * k / 5);
  }
  rows[4][2] = 1;
  rows[5][5] = 1;
  return basis_rows(rows);
}

inline Mat mul(const Mat& a, const Mat& b) {
  Mat c(36, 0.0);
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      for (int k = 0; k < 6; ++k) c[at(i, j)] += a[at(i, k)] * b[at(k, j)];
  return c;
}

inline Mat inverse(const Mat& a) {
  Mat r = a;
  double det = 0;
  if (!matinvd(r.data(), 6, det)) ADD_FAILURE() << "singular lattice basis";
  return r;
}

inline Mat tomat(const IMat& r) { return Mat(r.begin(), r.end()); }

// G = D^-1 R D; +1 / -1 for a proper / improper lattice rotation (sign of
// the physical determinant), 0 when R is no rotation of the lattice.
inline int lattice_rotation(const IMat& r, const Mat& d, const Mat& dinv) {
  Mat g = mul(dinv, mul(tomat(r), d));
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      if ((i < 3) != (j < 3) && std::fabs(g[at(i, j)]) > 1e-6) return 0;
  for (int b = 0; b < 6; b += 3)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double s = 0;
        for (int k = 0; k < 3; ++k) s += g[at(b + k, b + i)] * g[at(b + k, b + j)];
        if (std::fabs(s - (i == j)) > 1e-6) return 0;
      }
  double det = g[at(0, 0)] * (g[at(1, 1)] * g[at(2, 2)] - g[at(1, 2)] * g[at(2, 1)]) -
               g[at(0, 1)] * (g[at(1, 0)] * g[at(2, 2)] - g[at(1, 2)] * g[at(2, 0)]) +
               g[at(0, 2)] * (g[at(1, 0)] * g[at(2, 1)] - g[at(1, 1)] * g[at(2, 0)]);
  return det > 0 ? 1 : -1;
}

inline IMat imul(const IMat& a, const IMat& b) {
  IMat c(36, 0);
  mtmpli6(a.data(), b.data(), c.data());
  return c;
}

inline int order_of(const IMat& r) {
  IMat p = r;
  for (int i = 1; i <= 12; ++i) {
    if (isunitmtrx(p.data(), 6)) return i;
    p = imul(r, p);
  }
  return 0;
}

// All proper rotations among the 46080 signed permutation matrices.
inline std::vector<IMat> signed_permutation_rotations(const Mat& d) {
  Mat dinv = inverse(d);
  std::vector<IMat> out;
  int perm[6] = {0, 1, 2, 3, 4, 5};
  std::vector<int> p(perm, perm + 6);
  do {
    for (int s = 0; s < 64; ++s) {
      IMat r(36, 0);
      for (int k = 0; k < 6; ++k) r[at(k, p[k])] = (s >> k & 1) ? -1 : 1;
      if (lattice_rotation(r, d, dinv) == 1) out.push_back(r);
    }
  } while (std::next_permutation(p.begin(), p.end()));
  return out;
}

// Generators of the icosahedral rotation group in an order for which the
// products of their powers run through the group once: two commuting
// two-folds a, b (a Klein four-group), a three-fold c normalising it (with
// them the tetrahedral group), then a five-fold f: f^i c^j b^k a^l covers
// the 60 rotations exactly once.
inline std::vector<IMat> icosahedral_generators(const std::vector<IMat>& rot) {
  std::vector<IMat> twos, threes, fives;
  for (const IMat& r : rot) {
    int o = order_of(r);
    if (o == 2) twos.push_back(r);
    if (o == 3) threes.push_back(r);
    if (o == 5) fives.push_back(r);
  }
  const IMat& a = twos.at(0);
  for (const IMat& b : twos) {
    if (b == a || imul(a, b) != imul(b, a)) continue;
    IMat ab = imul(a, b);
    for (const IMat& c : threes) {
      IMat cinv = imul(c, c);
      auto in_v = [&](const IMat& x) { return x == a || x == b || x == ab; };
      if (in_v(imul(imul(c, a), cinv)) && in_v(imul(imul(c, b), cinv)))
        return {a, b, c, fives.at(0)};
    }
  }
  return {};
}

// Closes generators given as matrices with zero translations.
inline void close_rotations(Crystal& cr, const std::vector<IMat>& gens) {
  std::vector<int> r;
  std::vector<double> t(6 * gens.size(), 0.0);
  for (const IMat& g : gens) r.insert(r.end(), g.begin(), g.end());
  gensymo(cr, static_cast<int>(gens.size()), r.data(), t.data());
}

// Closes generators given as coordinate triplets.
inline void close_text(Crystal& cr, const std::vector<std::string>& lines) {
  std::vector<int> r(36 * lines.size());
  std::vector<double> t(6 * lines.size());
  for (std::size_t k = 0; k < lines.size(); ++k) decode(lines[k], &r[36 * k], &t[6 * k], 6);
  gensymo(cr, static_cast<int>(lines.size()), r.data(), t.data());
}

// True when the operator list is a group: every product (modulo lattice
// translations) and every inverse is in it.
inline bool list_is_group(const Crystal& cr) {
  const int n = cr.group.nsymo();
  std::vector<IMat> r(n, IMat(36));
  std::vector<std::vector<double>> t(n, std::vector<double>(6));
  for (int i = 0; i < n; ++i) {
    getsymrot(cr.group, i + 1, r[i].data());
    getsymtrn(cr.group, i + 1, t[i].data());
  }
  auto find = [&](const IMat& rr, const std::vector<double>& tt) {
    for (int c = 0; c < n; ++c) {
      if (r[c] != rr) continue;
      bool ok = true;
      for (int e = 0; e < 6; ++e) {
        double dd = tt[e] - t[c][e];
        ok = ok && std::fabs(dd - std::nearbyint(dd)) < 1e-6;
      }
      if (ok) return true;
    }
    return false;
  };
  for (int a = 0; a < n; ++a)
    for (int b = 0; b < n; ++b) {
      IMat rc = imul(r[a], r[b]);
      std::vector<double> tc(6);
      for (int e = 0; e < 6; ++e) {
        tc[e] = t[a][e];
        for (int i = 0; i < 6; ++i) tc[e] += r[a][at(e, i)] * t[b][i];
      }
      if (!find(rc, tc)) return false;
    }
  return true;
}

// Runs rdsymo on a keyword text into the group of cr, the listing going to
// `listing` (the generators and operators listed when `list`).
inline void read_symmetry(Crystal& cr, const std::string& text, std::ostringstream& listing, bool list = false) {
  std::istringstream in(text);
  KeyReader rd(in);
  set_out_stream(&listing);
  try {
    rdsymo(rd, cr.group, cr.setting, activedim(cr.setting.isys, cr.lattice.ndm), list);
  } catch (...) {
    set_out_stream(nullptr);
    throw;
  }
  set_out_stream(nullptr);
}


// Generating elements as the International Tables print them, redundant
// ones included (the identity, centring translations, the inversion given
// besides icent, an element that the others generate): the group closes to
// one operator per coset of the centring translations, the inversion
// implied by icent left out.
struct TablesGroup {
  const char* name;
  char brv;
  int icent;
  std::vector<std::string> gens;
  int order;    // point-group order / (2 when icent is set)
  int dropped;  // generating elements left out as redundant
};

// The last three coordinates are the internal ones, left alone.
inline std::string op3(const std::string& s) { return s + ",t,u,v"; }

// The groups of the International Tables that the tests close.
inline std::vector<TablesGroup> tables_groups() {
  return {
        TablesGroup{"P_1", 'p', 0, {op3("x,y,z"), op3("-x,-y,-z")}, 2, 1},
        TablesGroup{"P21_c", 'p', 1, {op3("-x,y+1/2,-z+1/2"), op3("-x,-y,-z")}, 2, 1},
        TablesGroup{"C2_c", 'c', 0, {op3("x+1/2,y+1/2,z"), op3("-x,y,-z+1/2"), op3("-x,-y,-z")}, 4, 1},
        TablesGroup{"P212121", 'p', 0, {op3("-x+1/2,-y,z+1/2"), op3("-x,y+1/2,-z+1/2")}, 4, 0},
        TablesGroup{"Fddd", 'f', 0,
                    {op3("x,y+1/2,z+1/2"), op3("x+1/2,y,z+1/2"), op3("-x+3/4,-y+3/4,z"), op3("-x+3/4,y,-z+3/4"),
                     op3("-x,-y,-z")},
                    8, 2},
        TablesGroup{"P42_mnm", 'p', 0,
                    {op3("-x,-y,z"), op3("-y+1/2,x+1/2,z+1/2"), op3("x+1/2,-y+1/2,-z+1/2"), op3("-x,-y,-z")}, 16, 0},
        TablesGroup{"I41_amd", 'i', 0,
                    {op3("x+1/2,y+1/2,z+1/2"), op3("-x+1/2,-y,z+1/2"), op3("-y+1/4,x+3/4,z+1/4"),
                     op3("-x+1/2,y,-z+1/2"), op3("-x,-y,-z")},
                    16, 1},
        TablesGroup{"P3221", 'p', 0, {op3("-y,x-y,z+2/3"), op3("y,x,-z")}, 6, 0},
        TablesGroup{"R_3m", 'r', 0, {op3("x+2/3,y+1/3,z+1/3"), op3("-y,x-y,z"), op3("y,x,-z"), op3("-x,-y,-z")}, 12, 1},
        TablesGroup{"P63_mmc", 'p', 0, {op3("-y,x-y,z"), op3("-x,-y,z+1/2"), op3("y,x,-z"), op3("-x,-y,-z")}, 24, 0},
        TablesGroup{"Fm_3m", 'f', 0,
                    {op3("x,y+1/2,z+1/2"), op3("x+1/2,y,z+1/2"), op3("-x,-y,z"), op3("-x,y,-z"), op3("z,x,y"),
                     op3("y,x,-z"), op3("-x,-y,-z")},
                    48, 2},
        TablesGroup{"Ia_3d", 'i', 0,
                    {op3("x+1/2,y+1/2,z+1/2"), op3("-x+1/2,-y,z+1/2"), op3("-x,y+1/2,-z+1/2"), op3("z,x,y"),
                     op3("y+3/4,x+1/4,-z+1/4"), op3("-x,-y,-z")},
                    48, 1},
        TablesGroup{"Fd_3m", 'f', 1,
                    {op3("x,y+1/2,z+1/2"), op3("x+1/2,y,z+1/2"), op3("-x+3/4,-y+1/4,z+1/2"),
                     op3("-x+1/4,y+1/2,-z+3/4"), op3("z,x,y"), op3("y+3/4,x+1/4,-z+1/2"), op3("-x,-y,-z")},
                    24, 3},
        // A (3+1)-D superspace group in the notation of the superspace
        // tables, the two-fold given after the two elements whose product it is.
        TablesGroup{"P2_m_superspace", 'p', 0,
                    {"x1,x2,-x3,x4+1/2,x5,x6", "-x1,-x2,-x3,-x4,x5,x6", "-x1, -x2, x3, -x4+1/2, x5, x6"}, 4, 1}};
}

}  // namespace trovan::testing
