// The operator type and the group as values: the closure agrees with a
// straightforward closure in floating point (the way the operators were
// made before they were held exactly) on every group the tests know, the
// result is a group, and a change of basis commutes with applying an
// operator, to coordinates and to indices.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "crystal/op.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "crystal_groups.hpp"
#include "util/linalg.hpp"

using namespace trovan;
using namespace trovan::testing;

namespace {

struct GroupCase {
  std::string name;
  int isys;
  char brv;
  int icent;
  int ndm;
  std::vector<std::string> gens;
};

std::vector<GroupCase> known_groups() {
  std::vector<GroupCase> c;
  for (const TablesGroup& t : tables_groups()) c.push_back({t.name, 0, t.brv, t.icent, 0, t.gens});
  c.push_back({"decagonal_10_5", 3, 'p', 0, 0, {"-y,-z,-t,x+y+z+t,u+1/2,v", "t,z,y,x,-u,v"}});
  c.push_back({"decagonal_centro", 3, 'p', 1, 0, {"-y,-z,-t,x+y+z+t,u+1/2,v", "t,z,y,x,-u,v"}});
  c.push_back({"modulated", 0, 'p', 0, 1, {"-x,-y,z,-t,u,v", "x,y,-z,t+1/2,u,v"}});
  c.push_back({"internal_translation", 1, 'p', 0, 0, {"-x,-y,z,t,u,v", "x,y,z,t+1/2,u+1/2,v"}});
  c.push_back({"rhombohedral_as_generator", 0, 'p', 0, 0, {"x+2/3,y+1/3,z+1/3,t,u,v", "-y,x-y,z,t,u,v"}});
  c.push_back({"cubic_432", 0, 'p', 0, 0, {"-y,x,z,t,u,v", "z,x,y,t,u,v", "y,x,-z,t,u,v"}});
  c.push_back({"icosahedral_f", 2, 'f', 1, 0, {}});
  c.push_back({"icosahedral_p", 2, 'p', 0, 0, {}});
  return c;
}

// The generators of a case: the icosahedral rotation group from the
// geometry of the lattice, the others as written.
std::vector<Op> generators(const GroupCase& c) {
  std::vector<Op> g;
  if (c.gens.empty()) {
    for (const IMat& r : icosahedral_generators(signed_permutation_rotations(icosahedral_basis()))) {
      Op op;
      for (int i = 0; i < kDim2; ++i) op.rot[i] = r[i];
      g.push_back(op);
    }
  }
  for (const std::string& s : c.gens) g.push_back(decodeop(s, kDim));
  return g;
}

Setting settingof(const GroupCase& c, int ismtr = 0) {
  Setting s;
  s.isys = c.isys;
  s.brv = c.brv;
  s.ismtr = ismtr;
  setsmh(s, c.isys);
  setsmx(s, c.isys);
  return s;
}

Group closed(const GroupCase& c) {
  Quiet quiet;
  Group g;
  g.icent = c.icent;
  gensymo(g, generators(c), settingof(c), activedim(c.isys, c.ndm));
  return g;
}

// The closure as it was made in floating point: products in double, the
// translations reduced into [0, 1) with a tolerance, elements compared
// modulo the centred lattice within 1e-4.
struct RealOp {
  std::vector<int> r;
  std::vector<double> t;
};

std::vector<RealOp> real_closure(const GroupCase& c) {
  const Setting s = settingof(c);
  const int n = activedim(c.isys, c.ndm);
  auto same = [&](const RealOp& a, const RealOp& b) {
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i)
        if (a.r[at(i, j)] != b.r[at(i, j)]) return false;
    double d[6] = {};
    for (int i = 0; i < n; ++i) d[i] = a.t[i] - b.t[i];
    return iscentringvector(s, d);
  };
  std::vector<RealOp> ops(1, RealOp{std::vector<int>(36, 0), std::vector<double>(6, 0.0)});
  for (int i = 0; i < 6; ++i) ops[0].r[at(i, i)] = 1;
  auto find = [&](const RealOp& a) {
    RealOp na{a.r, a.t};
    for (int& v : na.r) v = -v;
    for (double& v : na.t) v = -v;
    for (const RealOp& o : ops)
      if (same(a, o) || (c.icent != 0 && same(na, o))) return true;
    return false;
  };
  std::vector<RealOp> gens;
  for (const Op& g : generators(c)) {
    RealOp r{std::vector<int>(g.rot.begin(), g.rot.end()), std::vector<double>(6)};
    for (int e = 0; e < 6; ++e) r.t[e] = g.t(e);
    gens.push_back(r);
  }
  std::vector<RealOp> used;
  for (const RealOp& g : gens) {
    if (find(g)) continue;
    used.push_back(g);
    for (std::size_t a = 0; a < ops.size(); ++a)
      for (const RealOp& u : used) {
        RealOp p{std::vector<int>(36), std::vector<double>(6)};
        mtmpli6(u.r.data(), ops[a].r.data(), p.r.data());
        for (int e = 0; e < 6; ++e) {
          double v = u.t[e];
          for (int i = 0; i < 6; ++i) v += u.r[at(e, i)] * ops[a].t[i];
          v -= std::floor(v);
          p.t[e] = v > 1 - 1e-5 ? 0.0 : v;
        }
        if (!find(p)) ops.push_back(p);
      }
  }
  return ops;
}

// Element k of the group equals element m modulo the lattice of the
// centring and, when icent is set, modulo the inversion.
bool sameelement(const Op& a, const Op& b, const Centring& c, int n, int icent) {
  for (int sign : {1, -1}) {
    if (sign < 0 && icent == 0) continue;
    const Op s = sign > 0 ? a : negated(a);
    bool eq = true;
    for (int j = 0; j < n && eq; ++j)
      for (int i = 0; i < n && eq; ++i) eq = s.r(i, j) == b.r(i, j);
    long long d[kDim] = {};
    for (int i = 0; i < n; ++i) d[i] = s.trn[i] - b.trn[i];
    if (eq && iscentringvector(c, d)) return true;
  }
  return false;
}

// y = M x for a column x; h' = h.M for a row h, false when h' is not
// integral.
void mat6vecd(const double* m, const double* x, double* y) {
  for (int e = 0; e < kDim; ++e) {
    y[e] = 0;
    for (int i = 0; i < kDim; ++i) y[e] += m[at(e, i)] * x[i];
  }
}
bool rowtimesd(const int* h, const double* m, int* out) {
  bool integral = true;
  for (int j = 0; j < kDim; ++j) {
    double v = 0;
    for (int k = 0; k < kDim; ++k) v += h[k] * m[at(k, j)];
    out[j] = static_cast<int>(std::nearbyint(v));
    integral = integral && std::fabs(v - out[j]) < 1e-9;
  }
  return integral;
}

class KnownGroups : public ::testing::TestWithParam<GroupCase> {};

TEST_P(KnownGroups, ClosureEqualsTheFloatingPointClosure) {
  const GroupCase& c = GetParam();
  const Group g = closed(c);
  const std::vector<RealOp> want = real_closure(c);
  ASSERT_EQ(g.nsymo(), static_cast<int>(want.size()));
  for (int k = 0; k < g.nsymo(); ++k) {
    EXPECT_EQ(std::vector<int>(g.ops[k].rot.begin(), g.ops[k].rot.end()), want[k].r) << k;
    for (int e = 0; e < kDim; ++e) EXPECT_NEAR(g.ops[k].t(e), want[k].t[e], 1e-9) << k << ' ' << e;
  }
}

TEST_P(KnownGroups, IsAGroup) {
  const GroupCase& c = GetParam();
  const Group g = closed(c);
  const Centring cent = centringof(settingof(c));
  const int n = activedim(c.isys, c.ndm);
  auto member = [&](const Op& a) {
    for (const Op& b : g.ops)
      if (sameelement(a, b, cent, n, g.icent)) return true;
    return false;
  };
  EXPECT_EQ(g.ops[0], Op::identity());
  for (const Op& a : g.ops) {
    EXPECT_TRUE(member(inverse(a))) << smoptext(a.rot.data(), n);
    EXPECT_TRUE(member(product(a, inverse(a)))) << "a a^-1 must be the identity";
    EXPECT_TRUE(sameelement(product(a, inverse(a)), Op::identity(), cent, n, 0));
    for (const Op& b : g.ops) EXPECT_TRUE(member(product(a, b)));
  }
}

INSTANTIATE_TEST_SUITE_P(All, KnownGroups, ::testing::ValuesIn(known_groups()),
                         [](const ::testing::TestParamInfo<GroupCase>& i) { return i.param.name; });

// Change of basis, x = M x': the operator in the new basis applied to x'
// and carried back equals the operator applied to x; on indices, h' = h.M,
// (h.R).M = (h.M).R'.
struct BasisCase {
  const char* name;
  const char* group;  // a case of known_groups()
  int ismtr;
};

class ChangeOfBasis : public ::testing::TestWithParam<BasisCase> {};

TEST_P(ChangeOfBasis, CommutesWithApplyingTheOperator) {
  GroupCase c;
  for (const GroupCase& k : known_groups())
    if (k.name == GetParam().group) c = k;
  ASSERT_FALSE(c.name.empty());
  const Setting s = settingof(c, GetParam().ismtr);
  const Group g = closed(c);
  double m[kDim2], mi[kDim2];
  getsetmtrx(s, m);
  getsetmtrxinv(s, mi);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> unit(0, 1);
  std::uniform_int_distribution<int> pick(-3, 3);
  int indices = 0;
  for (const Op& a : g.ops) {
    Op b;
    int axis = -1;
    ASSERT_TRUE(changebasis(a, m, mi, b, axis)) << "axis " << axis;
    for (int trial = 0; trial < 5; ++trial) {
      double xg[kDim], x[kDim], yg[kDim], y[kDim], back[kDim];
      for (double& v : xg) v = unit(rng);
      mat6vecd(m, xg, x);
      applyx(a, x, y);
      applyx(b, xg, yg);
      mat6vecd(m, yg, back);
      for (int e = 0; e < kDim; ++e) EXPECT_NEAR(back[e], y[e], 1e-9);
      // A grid-basis index and its setting index h = h'.M^-1 (a superstructure
      // cell has grid indices that are no index of the setting: skipped).
      int h[kDim], hg[kDim], hr[kDim], hrg[kDim], hgr[kDim];
      for (int& v : hg) v = pick(rng);
      if (!rowtimesd(hg, mi, h)) continue;
      ++indices;
      applyh(a, h, hr);
      EXPECT_TRUE(rowtimesd(hr, m, hrg));
      applyh(b, hg, hgr);
      for (int e = 0; e < kDim; ++e) EXPECT_EQ(hgr[e], hrg[e]);
      // And the phase: h.t = h'.t' modulo 1.
      const double d = phase(a, h, kDim) - phase(b, hg, kDim);
      EXPECT_NEAR(d, std::nearbyint(d), 1e-9);
    }
  }
  EXPECT_GT(indices, 0);
}

INSTANTIATE_TEST_SUITE_P(Settings, ChangeOfBasis,
                         ::testing::Values(BasisCase{"Fddd", "Fddd", 0}, BasisCase{"I41_amd", "I41_amd", 0},
                                           BasisCase{"R_3m", "R_3m", 0}, BasisCase{"Fm_3m", "Fm_3m", 0},
                                           BasisCase{"icosahedral_f", "icosahedral_f", 0},
                                           BasisCase{"icosahedral_p_super", "icosahedral_p", 2},
                                           BasisCase{"icosahedral_p_sub", "icosahedral_p", -1},
                                           BasisCase{"decagonal_super", "decagonal_10_5", 1}),
                         [](const ::testing::TestParamInfo<BasisCase>& i) { return std::string(i.param.name); });

}  // namespace
