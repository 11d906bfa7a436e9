// The superspace lattice module: the built-in quasicrystal bases, the
// general (cell + wave vectors) basis, its inverse, the strain matrices, the
// metric, the cell volume and the conversions between index space,
// fractional superspace coordinates and Cartesian components.
#include "crystal/lattice.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>

#include "util/input.hpp"
#include "util/runstate.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// ---- the lattice record ----------------------------------------------
float g_dr[36] = {};
float g_dq[36] = {};
float g_de[36] = {};
float g_di[36] = {};
float g_ac = 1, g_cc = 1;
float g_eps[4] = {};
float g_det = 0;
float g_mtrt[36] = {};
float g_vol = 0;
bool g_dr_ready = false;  // dr holds the inverse of the current dq

// ---- the built-in bases ----------------------------------------------
// Rows k = 1..6 are the reciprocal basis vectors b*_k: three parallel then
// three perpendicular Cartesian components, before scaling. They are kept
// here row by row as written; `scale_builtin` places them in column storage
// (the transposition) and applies each setting's scale once.
constexpr float kT = 1.618034f;  // the golden mean tau
const float kBasisRows[5][6][6] = {
    // isys 1: icosahedral, five-fold axes b*_1..b*_6, b*_1 along z.
    {{0, 0, 1, 0, 0, 1},
     {-0.723607f, 0.525731f, 0.447214f, -0.276393f, 0.850651f, -0.447214f},
     {-0.723607f, -0.525731f, 0.447214f, -0.276393f, -0.850651f, -0.447214f},
     {0.276393f, -0.850651f, 0.447214f, 0.723607f, 0.525731f, -0.447214f},
     {0.894427f, 0, 0.447214f, -0.894427f, 0, -0.447214f},
     {0.276393f, 0.850651f, 0.447214f, 0.723607f, -0.525731f, -0.447214f}},
    // isys 2: icosahedral, the Cartesian axes along two-fold axes.
    {{1, kT, 0, kT, -1, 0},
     {kT, 0, 1, -1, 0, kT},
     {kT, 0, -1, -1, 0, -kT},
     {0, 1, -kT, 0, kT, 1},
     {-1, kT, 0, -kT, -1, 0},
     {0, 1, kT, 0, kT, -1}},
    // isys 3: decagonal; b*_5 = c*, component 6 a dummy axis.
    {{0.309017f, 0.951057f, 0, -0.809017f, 0.587785f, 0},
     {-0.809017f, 0.587785f, 0, 0.309017f, -0.951057f, 0},
     {-0.809017f, -0.587785f, 0, 0.309017f, 0.951057f, 0},
     {0.309017f, -0.951057f, 0, -0.809017f, -0.587785f, 0},
     {0, 0, 1, 0, 0, 0},
     {0, 0, 0, 0, 0, 1}},
    // isys 4: octagonal.
    {{1, 0, 0, 1, 0, 0},
     {0.707107f, 0.707107f, 0, -0.707107f, 0.707107f, 0},
     {0, 1, 0, 0, -1, 0},
     {-0.707107f, 0.707107f, 0, 0.707107f, 0.707107f, 0},
     {0, 0, 1, 0, 0, 0},
     {0, 0, 0, 0, 0, 1}},
    // isys 5: dodecagonal.
    {{1, 0, 0, 1, 0, 0},
     {0.866025f, 0.5f, 0, -0.866025f, 0.5f, 0},
     {0.5f, 0.866025f, 0, 0.5f, -0.866025f, 0},
     {0, 1, 0, 0, 1, 0},
     {0, 0, 1, 0, 0, 0},
     {0, 0, 0, 0, 0, 1}},
};
float g_hk[5][36] = {};
int g_nsetd = 0;  // calls of setd: the bases are scaled on the first only

void scale_builtin() {
  for (int s = 0; s < 5; ++s)
    for (int k = 0; k < 6; ++k) {
      // Scale factor of row k: isys 1 and 2 give every b*_k a parallel length
      // of 1/2 (in 1/a); for isys 3..5 only the quasiperiodic rows 1-4 are
      // scaled, c* and the dummy row stay unit vectors.
      float f = 1;
      if (s == 0) f = 0.5f;
      else if (s == 1) f = 0.5f / 1.9021131f;
      else if (k < 4) f = (s == 2) ? 1 / 2.236068f : (s == 3) ? 0.5f : 1 / 1.4142135f;
      for (int j = 0; j < 6; ++j) g_hk[s][at(k, j)] = kBasisRows[s][k][j] * f;
    }
}

// ---- the general setting (isys 0) ------------------------------------
float g_ltc1[9] = {};  // a, b, c, cos alpha..gamma, sin alpha..gamma
float g_ltc2[9] = {};  // the same for the reciprocal cell
int g_ndm = 0;
float g_kw[3][3] = {};  // wave vectors on a*, b*, c*
float g_u1[9] = {};     // 3x3, row i = Cartesian a*, b*, c*
float g_u2[9] = {};     // 3x3, row m = Cartesian wave vector m
float g_uv[36] = {};    // the isys-0 basis being assembled
int g_iseging = 0;
bool g_ltc_read = false, g_recip_done = false, g_u1_set = false;
bool g_u_set = false, g_v_read = false;
bool g_dq_complete = false;  // dq holds the assembled isys-0 basis

// ---- transformations of the q system ---------------------------------
float g_sr[36] = {}, g_si[36] = {}, g_tr[36] = {}, g_ti[36] = {};

// ---- strain couplings and direction tables ---------------------------
float g_amij[3][9] = {};
float g_bmij[9] = {};
float g_five[6][6] = {}, g_three[10][6] = {}, g_two[15][6] = {}, g_single[3][6] = {};
int g_nfive = 0, g_nthree = 0, g_ntwo = 0, g_nsingle = 0;
float g_skp[4][6] = {};
int g_nskp = 0;

// Lattice-constant scale of each Cartesian component: for isys 0..2 every
// component is in units of a (a = 1 for isys 0); for isys 3..5 component 3
// (along the periodic axis) is in units of c and component 6, a dummy axis
// of the five-dimensional settings, is not scaled.
void scales(float* s) {
  for (int i = 0; i < 6; ++i) s[i] = g_ac;
  if (getsys() >= 3) {
    s[2] = g_cc;
    s[5] = 1;
  }
}

// y = a.x with x a column vector, and y = x.a with x a row vector (6x6,
// summed in double precision); y may be x.
void coltimes(const float* a, const float* x, float* y) {
  float r[6];
  for (int i = 0; i < 6; ++i) {
    double s = 0;
    for (int m = 0; m < 6; ++m) s += double(a[at(i, m)]) * x[m];
    r[i] = static_cast<float>(s);
  }
  vcpyr(r, y, 6);
}
void rowtimes(const float* x, const float* a, float* y) {
  float r[6];
  for (int j = 0; j < 6; ++j) {
    double s = 0;
    for (int k = 0; k < 6; ++k) s += double(x[k]) * a[at(k, j)];
    r[j] = static_cast<float>(s);
  }
  vcpyr(r, y, 6);
}

// A square matrix is taken as singular when its determinant is tiny against
// the product of its row lengths (Hadamard's bound): this does not depend
// on the units of the rows, which differ between the parallel rows and the
// wave-vector rows of a general setting.
bool invert_checked(float* a, int n, float& det) {
  double had = 1;
  for (int i = 0; i < n; ++i) {
    double r = 0;
    for (int j = 0; j < n; ++j) r += double(a[at(i, j, n)]) * a[at(i, j, n)];
    had *= std::sqrt(r);
  }
  float b[36];
  vcpyr(a, b, n * n);
  if (!matinv(b, n, det)) return false;
  if (!(std::fabs(double(det)) > 1e-6 * had)) {
    det = 0;
    return false;
  }
  vcpyr(b, a, n * n);
  return true;
}

// Splits q into its parallel and perpendicular halves and makes each a unit
// vector (a null half stays null).
void normalise_halves(float* q) {
  norml(q);
  norml(q + 3);
}

void unit_index(int k, int* h) {
  for (int i = 0; i < 6; ++i) h[i] = (i == k) ? 1 : 0;
}

float dot3(const float* a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// rank-1 3x3 coupling perp (x) par: element (i, j) = perp_i * par_j.
void outer(const float* perp, const float* par, float* m) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[at(i, j, 3)] = perp[i] * par[j];
}

void check_cell(const float* ltc) {
  const float a = ltc[0], b = ltc[1], c = ltc[2];
  const double ca = ltc[3], cb = ltc[4], cg = ltc[5];
  if (!(a > 0 && b > 0 && c > 0)) quit("lattice constants a=, b=, c= must be positive");
  if (!(std::fabs(ca) < 1 && std::fabs(cb) < 1 && std::fabs(cg) < 1))
    quit("degenerate cell: cosa=, cosb=, cosc= must lie strictly between -1 and 1");
  // a.(b x c)^2 / (abc)^2: zero or negative when the three angles cannot
  // belong to one cell (e.g. alpha + beta < gamma).
  double w2 = 1 + 2 * ca * cb * cg - ca * ca - cb * cb - cg * cg;
  if (!(w2 > 1e-6)) quit("degenerate cell: the angles from cosa=, cosb=, cosc= do not form a cell");
}

void wtmtrx3(const std::string& label, const float* a) {
  out() << label << '\n';
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out() << fmt_f(a[at(i, j, 3)], 10, 5);
    out() << '\n';
  }
}

// The icosahedral direction families, found from the basis itself: the
// six b*_k are the five-fold axes; b*_a + s.b*_b with s the sign of
// b*_a.b*_b (parallel parts) joins two neighbouring vertices of the
// icosahedron and gives its 15 two-fold axes (edge midpoints); three
// pairwise neighbouring vertices give its 10 three-fold axes (face centres).
// The index vectors are kept so that the auxiliary vectors can be picked
// from them.
int g_h2[15][6] = {}, g_h3[10][6] = {};

void icosahedral_families() {
  float p[6][6];
  for (int k = 0; k < 6; ++k) {
    int h[6];
    unit_index(k, h);
    getqi0(h, p[k]);
  }
  auto sgn = [&](int a, int b) { return dot3(p[a], p[b]) >= 0 ? 1 : -1; };
  g_nfive = g_ntwo = g_nthree = 0;
  for (int k = 0; k < 6; ++k) {
    vcpyr(p[k], g_five[g_nfive], 6);
    normalise_halves(g_five[g_nfive++]);
  }
  for (int a = 0; a < 6; ++a)
    for (int b = a + 1; b < 6 && g_ntwo < 15; ++b) {
      int* h = g_h2[g_ntwo];
      for (int i = 0; i < 6; ++i) h[i] = 0;
      h[a] = 1;
      h[b] = sgn(a, b);
      getqi0(h, g_two[g_ntwo]);
      normalise_halves(g_two[g_ntwo++]);
    }
  for (int a = 0; a < 6; ++a)
    for (int b = a + 1; b < 6; ++b)
      for (int c = b + 1; c < 6 && g_nthree < 10; ++c) {
        // b and c, each turned towards a, must also be neighbours.
        if (sgn(a, b) * sgn(a, c) * sgn(b, c) < 0) continue;
        int* h = g_h3[g_nthree];
        for (int i = 0; i < 6; ++i) h[i] = 0;
        h[a] = 1;
        h[b] = sgn(a, b);
        h[c] = sgn(a, c);
        getqi0(h, g_three[g_nthree]);
        normalise_halves(g_three[g_nthree++]);
      }
}

// The four auxiliary vectors of the icosahedral settings (see intskp).
void icosahedral_aux(float v[4][6]) {
  icosahedral_families();
  vcpyr(g_five[0], v[0], 6);  // five-fold b*_1
  // the three-fold through b*_1 and b*_2: the first face found holds both
  int i3 = 0;
  while (i3 < g_nthree && !(g_h3[i3][0] != 0 && g_h3[i3][1] != 0)) ++i3;
  vcpyr(g_three[i3 < g_nthree ? i3 : 0], v[1], 6);
  vcpyr(g_two[0], v[2], 6);  // two-fold: the edge b*_1, b*_2
  // mirror normal: the two-fold axis perpendicular to b*_1 and to the edge
  for (int k = 0; k < g_ntwo; ++k)
    if (std::fabs(dot3(g_two[k], v[0])) < 1e-3f && std::fabs(dot3(g_two[k], v[2])) < 1e-3f) {
      vcpyr(g_two[k], v[3], 6);
      return;
    }
  quit("intskp: no mirror normal found in the icosahedral basis");
}

bool basis_ready() { return getsys() != 0 || g_dq_complete; }

// A table of plain numbers back to zero.
template <class T>
void clear(T& a) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memset(&a, 0, sizeof a);
}

}  // namespace

void resetlattice() {
  clear(g_dr);
  clear(g_dq);
  clear(g_de);
  clear(g_di);
  g_ac = g_cc = 1;
  clear(g_eps);
  g_det = 0;
  clear(g_mtrt);
  g_vol = 0;
  g_dr_ready = false;
  clear(g_hk);
  g_nsetd = 0;
  clear(g_ltc1);
  clear(g_ltc2);
  g_ndm = 0;
  clear(g_kw);
  clear(g_u1);
  clear(g_u2);
  clear(g_uv);
  g_iseging = 0;
  g_ltc_read = g_recip_done = g_u1_set = g_u_set = g_v_read = g_dq_complete = false;
  clear(g_sr);
  clear(g_si);
  clear(g_tr);
  clear(g_ti);
  clear(g_amij);
  clear(g_bmij);
  clear(g_five);
  clear(g_three);
  clear(g_two);
  clear(g_single);
  g_nfive = g_nthree = g_ntwo = g_nsingle = 0;
  clear(g_skp);
  g_nskp = 0;
  clear(g_h2);
  clear(g_h3);
}

// ======================================================================

void setac(float a, float c) {
  if (!(a > 0)) quit("lattice constant a= should be positive");
  if (getsys() >= 3 && !(c > 0)) quit("lattice constant c= should be positive");
  g_ac = a;
  g_cc = getsys() >= 3 ? c : a;
}
void getac(float& a, float& c) {
  a = g_ac;
  c = g_cc;
}
void seteps(float e1, float e2, float e3, float e4) {
  g_eps[0] = e1;
  g_eps[1] = e2;
  g_eps[2] = e3;
  g_eps[3] = e4;
}

// ---- general setting -------------------------------------------------

void readlc() {
  float* v = g_ltc1;
  freadr("a=", 1, v[0], 1);
  freadr("b=", 1, v[1], 0);
  freadr("c=", 1, v[2], 0);
  freadr("cosa=", 1, v[3], 0);
  freadr("cosb=", 1, v[4], 0);
  freadr("cosc=", 1, v[5], 0);
  out() << "a,b,c=" << fmt_f(v[0], 10, 4) << fmt_f(v[1], 10, 4) << fmt_f(v[2], 10, 4)
        << " cosa,cosb,cosc=" << fmt_f(v[3], 9, 5) << fmt_f(v[4], 9, 5) << fmt_f(v[5], 9, 5) << '\n';
  check_cell(v);
  for (int i = 0; i < 3; ++i) v[6 + i] = static_cast<float>(std::sqrt(1.0 - double(v[3 + i]) * v[3 + i]));
  // The general basis is built in 1/Angstrom: no lattice-constant scaling.
  g_ac = g_cc = 1;
  g_ltc_read = true;
  g_recip_done = g_u1_set = g_u_set = g_v_read = g_dq_complete = false;
}

void rdkvctr(int& ndm) {
  freadi("ndm=", 1, ndm, 1);
  out() << "ndm=" << fmt_i(ndm, 3) << '\n';
  if (ndm < 0 || ndm > 3) quit("ndm should be 0, 1, 2 or 3");
  g_ndm = ndm;
  for (int m = 0; m < 3; ++m)
    for (int i = 0; i < 3; ++i) g_kw[m][i] = 0;
  for (int m = 0; m < ndm; ++m) {
    float* k = g_kw[m];
    freadrv("k=", 3, k, 1);
    out() << "k=" << fmt_f(k[0], 10, 5) << fmt_f(k[1], 10, 5) << fmt_f(k[2], 10, 5) << '\n';
    // A zero wave vector puts every satellite on its main reflection: the
    // extra dimension would have no physical-space component at all.
    if (k[0] == 0 && k[1] == 0 && k[2] == 0)
      quit("wave vector " + std::to_string(m + 1) + " is zero: k= needs a non-zero component");
  }
}

int getndm() { return g_ndm; }
void setndm(int ndm) { g_ndm = ndm < 0 ? 0 : (ndm > 3 ? 3 : ndm); }

void calltcs() {
  if (!g_ltc_read) quit("calltcs: the cell (a=, b=, c=, cosa=, ...) has not been read");
  const float* d = g_ltc1;
  check_cell(d);
  // Direct metric G; the reciprocal metric is its inverse.
  float g[9];
  g[at(0, 0, 3)] = d[0] * d[0];
  g[at(1, 1, 3)] = d[1] * d[1];
  g[at(2, 2, 3)] = d[2] * d[2];
  g[at(0, 1, 3)] = g[at(1, 0, 3)] = d[0] * d[1] * d[5];
  g[at(0, 2, 3)] = g[at(2, 0, 3)] = d[0] * d[2] * d[4];
  g[at(1, 2, 3)] = g[at(2, 1, 3)] = d[1] * d[2] * d[3];
  float det;
  if (!invert_checked(g, 3, det))
    quit("degenerate cell: the metric of a=, b=, c=, cosa=, cosb=, cosc= is singular");
  float* r = g_ltc2;
  for (int i = 0; i < 3; ++i) r[i] = std::sqrt(g[at(i, i, 3)]);
  r[3] = g[at(1, 2, 3)] / (r[1] * r[2]);
  r[4] = g[at(0, 2, 3)] / (r[2] * r[0]);
  r[5] = g[at(0, 1, 3)] / (r[0] * r[1]);
  for (int i = 0; i < 3; ++i) r[6 + i] = static_cast<float>(std::sqrt(std::max(0.0, 1.0 - double(r[3 + i]) * r[3 + i])));
  g_recip_done = true;
}

void setu1mtrx(int iaxis) {
  if (iaxis != 2 && iaxis != 3) return;  // other settings leave U1 as it is
  if (!g_recip_done) calltcs();
  const float* r = g_ltc2;
  const double as = r[0], bs = r[1], cs = r[2];
  const double ca = r[3], cb = r[4], cg = r[5], sa = r[6], sg = r[8];
  double w2 = 1 + 2 * ca * cb * cg - ca * ca - cb * cb - cg * cg;
  if (!(w2 > 0) || sa <= 0 || sg <= 0) quit("degenerate reciprocal cell: zero sine or impossible angles");
  const double w = std::sqrt(w2);
  double u[3][3] = {};  // u[i] = Cartesian components of a*, b*, c*
  if (iaxis == 3) {
    // a* along x, b* in the x-y plane, c* towards +z (right-handed).
    u[0][0] = as;
    u[1][0] = bs * cg;
    u[1][1] = bs * sg;
    u[2][0] = cs * cb;
    u[2][1] = cs * (ca - cb * cg) / sg;
    u[2][2] = cs * w / sg;
  } else {
    // b* along y, c* in the y-z plane, a* towards +x (right-handed).
    u[0][0] = as * w / sa;
    u[0][1] = as * cg;
    u[0][2] = as * (cb - ca * cg) / sa;
    u[1][1] = bs;
    u[2][1] = cs * ca;
    u[2][2] = cs * sa;
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) g_u1[at(i, j, 3)] = static_cast<float>(u[i][j]);
  g_u1_set = true;
}

void setu2mtrx() {
  // A wave vector k_m = sum_i k_mi (row i of U1): its Cartesian form.
  for (int m = 0; m < 3; ++m)
    for (int j = 0; j < 3; ++j) {
      double s = 0;
      if (m < g_ndm)
        for (int i = 0; i < 3; ++i) s += double(g_kw[m][i]) * g_u1[at(i, j, 3)];
      g_u2[at(m, j, 3)] = static_cast<float>(s);
    }
}

void setumtrx(int iaxis) {
  setu1mtrx(iaxis);
  if (!g_u1_set) quit("isetting should be 2 (b* along y) or 3 (a* along x)");
  setu2mtrx();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      g_uv[at(i, j)] = g_u1[at(i, j, 3)];
      g_uv[at(3 + i, j)] = g_u2[at(i, j, 3)];
    }
  g_u_set = true;
}

void readvmtrx() {
  freadi("iseging=", 1, g_iseging, 1);
  out() << "iseging=" << fmt_i(g_iseging, 3) << '\n';
  float v[18];
  freadrv("v=", 18, v, 1);
  wtvctrrf("v=", v, 18, "(6f10.5)");
  // Columns 4..6 of the basis occupy storage positions 18..35.
  vcpyr(v, g_uv + 18, 18);
  g_v_read = true;
}

void setdqmtrx() {
  mcpy(g_uv, g_dq);
  g_dq_complete = g_u_set && g_v_read;
  g_dr_ready = false;
}

// ---- basis -----------------------------------------------------------

void setd() {
  const int isys = getsys();
  if (isys < 0 || isys > 5) quit("wrong isys");
  if (g_nsetd++ == 0) scale_builtin();
  if (isys == 0) {
    // The general basis is complete only after "isetting=" and "v="; until
    // then it is neither inverted nor printed (setdr prints it later).
    setdqmtrx();
    if (g_dq_complete) setdr();
    return;
  }
  mcpy(g_hk[isys - 1], g_dq);
  setdr();
  wtmtrxrf("dr", g_dr, 6, "(6f8.4)");
  wtmtrxrf("dq", g_dq, 6, "(6f8.4)");
}

void setdr() {
  const int isys = getsys();
  if (isys == 0 && !g_dq_complete)
    quit("the isys=0 basis is incomplete: isetting= and v= must be read before it is used");
  float a[36];
  mcpy(g_dq, a);
  float det;
  if (!invert_checked(a, 6, det)) {
    wtmtrxrf("dq", g_dq, 6, "(6f8.4)");
    if (isys == 0)
      quit("the superspace basis dq is singular: check the wave vectors k= and the perpendicular components v=");
    quit("the superspace basis dq is singular");
  }
  mcpy(a, g_dr);
  g_det = det;
  g_dr_ready = true;
  if (isys == 0) {
    wtmtrxrf("dr", g_dr, 6, "(6f8.4)");
    wtmtrxrf("dq", g_dq, 6, "(6f8.4)");
  }
}

float getdet() { return g_det; }

// ---- strain ----------------------------------------------------------
//
// The strain enters as a 6x6 matrix de acting on row vectors of Cartesian
// components (e = e0.de). Its parallel-parallel block is 1 + eps4*bmij1, a
// phonon strain; its perpendicular-parallel block (rows 4-6, columns 1-3) is
// eps1*amij1 + eps2*amij2 + eps3*amij3, a linear phason strain that moves a
// point in perpendicular space in proportion to its parallel position.
//
// The couplings are built from the basis in its own Cartesian frame:
// amij_n = perp(d_n) (x) par(d_n), the rank-1 phason strain whose gradient
// lies along the parallel part of d_n and which displaces along its
// perpendicular part, with d_n = b*_n (n = 1..3) for the built-in settings
// (for isys 1 and 2 b*_1 is a five-fold axis) and d_n the n-th wave vector
// b*_(3+n) for isys 0 (there a phason strain is a change of the wave
// vector; it vanishes for n > ndm). bmij1 is the identity: eps4 is an
// isotropic dilation. Because every coupling is formed in the frame of its
// own basis, no change of frame is needed for isys 2.
void setdei() {
  const int isys = getsys();
  const bool ready = basis_ready();
  g_nfive = g_nthree = g_ntwo = g_nsingle = 0;
  for (auto& m : g_amij)
    for (float& x : m) x = 0;
  unitmtrx(g_bmij, 3);
  if (ready) {
    // Single vectors: principal axis, mirror normal, two-fold axis.
    if (isys == 1 || isys == 2) {
      float aux[4][6];
      icosahedral_aux(aux);  // also fills the five-, three- and two-fold tables
      vcpyr(aux[0], g_single[0], 6);
      vcpyr(aux[3], g_single[1], 6);
      vcpyr(aux[2], g_single[2], 6);
      g_nsingle = 3;
    } else if (isys >= 3) {
      // The periodic axis c* (ten-, eight- or twelve-fold), the in-plane
      // direction of b*_1 (a mirror normal of the 10/mmm, 8/mmm, 12/mmm
      // point groups) and the bisector of b*_1 and b*_2 (a two-fold axis).
      int h[3][6] = {{0, 0, 0, 0, 1, 0}, {1, 0, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}};
      for (int k = 0; k < 3; ++k) {
        getqi0(h[k], g_single[k]);
        normalise_halves(g_single[k]);
      }
      g_nsingle = 3;
    }
    for (int n = 0; n < 3; ++n) {
      int h[6];
      unit_index(isys == 0 ? 3 + n : n, h);
      if (isys == 0 && n >= g_ndm) continue;
      float q[6];
      getqi0(h, q);
      normalise_halves(q);
      outer(q + 3, q, g_amij[n]);
    }
  }
  unitmtrx(g_de, 6);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      g_de[at(3 + i, j)] += g_eps[0] * g_amij[0][at(i, j, 3)] + g_eps[1] * g_amij[1][at(i, j, 3)] +
                            g_eps[2] * g_amij[2][at(i, j, 3)];
      g_de[at(i, j)] += g_eps[3] * g_bmij[at(i, j, 3)];
    }
  mcpy(g_de, g_di);
  float det;
  if (!invert_checked(g_di, 6, det)) quit("deformation matrix de is singular: check the strain parameters");
  // The general basis is still incomplete at the driver's first call: the
  // matrices are printed when it is called again on the complete basis.
  if (!ready) return;
  wtmtrx3("amij1=", g_amij[0]);
  wtmtrx3("amij2=", g_amij[1]);
  wtmtrx3("amij3=", g_amij[2]);
  wtmtrx3("bmij1=", g_bmij);
  wtmtrxrf("deformation matrix de", g_de, 6, "(6f8.4)");
  wtmtrxrf("deformation matrix di", g_di, 6, "(6f8.4)");
}

// Auxiliary unit vectors for the icosahedral settings: a five-fold, a
// three-fold and a two-fold axis forming one fundamental triangle of the
// icosahedral group (angles 37.38, 31.72 and 20.91 degrees), and the mirror
// normal through the five-fold and two-fold axis. Each comes from an index
// vector through getqi0, parallel and perpendicular halves normalised
// separately. Other settings have none.
void intskp() {
  g_nskp = 0;
  const int isys = getsys();
  if (isys != 1 && isys != 2) return;
  icosahedral_aux(g_skp);
  g_nskp = 4;
}

int getnskp() { return g_nskp; }
void getskp(int k, float* v) {
  for (int i = 0; i < 6; ++i) v[i] = (k >= 0 && k < g_nskp) ? g_skp[k][i] : 0;
}

int getndir(int family) {
  switch (family) {
    case 5: return g_nfive;
    case 3: return g_nthree;
    case 2: return g_ntwo;
    case 0: return g_nsingle;
    default: return 0;
  }
}
void getdir(int family, int k, float* v) {
  const float* src = nullptr;
  if (k >= 0 && k < getndir(family)) {
    if (family == 5) src = g_five[k];
    else if (family == 3) src = g_three[k];
    else if (family == 2) src = g_two[k];
    else src = g_single[k];
  }
  for (int i = 0; i < 6; ++i) v[i] = src ? src[i] : 0;
}

void mtrtns() {
  for (float& x : g_mtrt) x = 0;
  if (!basis_ready() || !g_dr_ready) return;  // general basis not yet complete
  float s[6];
  scales(s);
  for (int m = 0; m < 6; ++m)
    for (int n = 0; n < 6; ++n) {
      double sum = 0;
      for (int i = 0; i < 6; ++i) sum += double(s[i]) * s[i] * g_dr[at(i, m)] * g_dr[at(i, n)];
      g_mtrt[at(m, n)] = static_cast<float>(sum);
    }
}

// ---- transformation of the q system (jbc < 0) -------------------------

namespace {
// Reads four 3x3 matrices (nine values each, row by row) under `keys` and
// assembles the 6x6 [[S1, S3], [S4, S2]]; inv receives its inverse.
void read_blocks(const char* const keys[4], float* m, float* inv, const char* what) {
  float s[4][9];
  for (int b = 0; b < 4; ++b) {
    freadrv(keys[b], 9, s[b], 1);
    trnsp3(s[b]);  // read column-wise, given row by row
  }
  for (int i = 0; i < 36; ++i) m[i] = 0;
  const int r0[4] = {0, 3, 0, 3}, c0[4] = {0, 3, 3, 0};
  for (int b = 0; b < 4; ++b)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[at(r0[b] + i, c0[b] + j)] = s[b][at(i, j, 3)];
  mcpy(m, inv);
  float det;
  if (!invert_checked(inv, 6, det)) quit(std::string("the transformation matrix ") + what + " is singular");
}
}  // namespace

void readst1234() {
  static const char* const skeys[4] = {"s1=", "s2=", "s3=", "s4="};
  static const char* const tkeys[4] = {"t1=", "t2=", "t3=", "t4="};
  read_blocks(skeys, g_sr, g_si, "sr (s1= .. s4=)");
  out() << "transformation matrix for q system\n";
  wtmtrxrf("sr", g_sr, 6, "(6f10.5)");
  wtmtrxrf("si", g_si, 6, "(6f10.5)");
  if (getjbc() == -1) quit("jbc=-1: transformation matrix printed, end of job", kExitOk);
  read_blocks(tkeys, g_tr, g_ti, "tr (t1= .. t4=)");
  wtmtrxrf("tr", g_tr, 6, "(6f10.5)");
  wtmtrxrf("ti", g_ti, 6, "(6f10.5)");
}

// ---- copies ------------------------------------------------------------

void getdq(float* a) { mcpy(g_dq, a); }
void getdr(float* a) { mcpy(g_dr, a); }
void getde(float* a) { mcpy(g_de, a); }
void getdi(float* a) { mcpy(g_di, a); }
void getmtrt(float* a) { mcpy(g_mtrt, a); }
void getsr(float* a) { mcpy(g_sr, a); }
void getsi(float* a) { mcpy(g_si, a); }
void getti(float* a) { mcpy(g_ti, a); }

// ---- volume ------------------------------------------------------------
//
// The superspace cell volume V = 1/|det D|, D the reciprocal basis in
// 1/Angstrom: dq with each Cartesian component divided by its lattice-
// constant scale. A synthesised density is divided by V.
void setvol() {
  if (getsys() == 0) g_ac = g_cc = 1;  // the general basis is in 1/Angstrom
  if (!g_dr_ready) quit("cell volume: the superspace basis has not been set up");
  float s[6], d[36];
  scales(s);
  for (int k = 0; k < 6; ++k)
    for (int j = 0; j < 6; ++j) d[at(k, j)] = g_dq[at(k, j)] / s[j];
  float det;
  if (!invert_checked(d, 6, det)) quit("cell volume: the superspace basis is singular");
  g_vol = static_cast<float>(1.0 / std::fabs(double(det)));
  out() << "cell volume=" << fmt_e(g_vol, 14, 6) << '\n';
}
float getvol() { return g_vol; }

// ---- conversions ---------------------------------------------------------

void rltscale(float* v) {
  float s[6];
  scales(s);
  for (int i = 0; i < 6; ++i) v[i] /= s[i];
}
void ltscale(float* v) {
  float s[6];
  scales(s);
  for (int i = 0; i < 6; ++i) v[i] *= s[i];
}

// q = h.dq (row vector), in units of the basis.
void getqi00(const int* h, float* q) {
  float hf[6];
  for (int k = 0; k < 6; ++k) hf[k] = static_cast<float>(h[k]);
  rowtimes(hf, g_dq, q);
}
void getqi0(const int* h, float* q) {
  getqi00(h, q);
  rltscale(q);
}
void getqir(const int* h, float* q) { getqi0(h, q); }

// Deformed reciprocal vector. Direct vectors go as e = e0.de (getqe); for
// h.x to stay the same under strain the reciprocal ones must go with the
// inverse transpose, q = q0.di^T, i.e. q_j = sum_k q0_k di(j,k) = (di.q0)_j.
void getqi(const int* h, float* q) {
  float q0[6];
  getqi00(h, q0);
  coltimes(g_di, q0, q);
  rltscale(q);
}

// e = dr.x: Cartesian position of fractional coordinates x.
void getqe0(const float* x, float* e) {
  coltimes(g_dr, x, e);
  ltscale(e);
}
// The same on the deformed lattice: e = (dr.x).de.
void getqe(const float* x, float* e) {
  float e0[6];
  coltimes(g_dr, x, e0);
  rowtimes(e0, g_de, e);
  ltscale(e);
}

void getxe00(const float* x, float* e) { coltimes(g_dq, x, e); }
void getxe(const float* x, float* e) {
  float c[6];
  vcpyr(x, c, 6);
  rltscale(c);
  getxe00(c, e);
}

}  // namespace trovan
