// The superspace lattice module: the built-in quasicrystal bases, the
// general (cell + wave vectors) basis, its inverse, the strain matrices, the
// metric, the cell volume and the conversions between index space,
// fractional superspace coordinates and Cartesian components.
#include "crystal/lattice.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// ---- the built-in bases ----------------------------------------------
// Rows k = 1..6 are the reciprocal basis vectors b*_k: three parallel then
// three perpendicular Cartesian components, before scaling. They are kept
// here row by row as written; `builtin_basis` places them in column storage
// (the transposition) and applies each setting's scale.
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
// The built-in basis of setting isys (1..5) in column storage, scaled.
void builtin_basis(int isys, float* dq) {
  const int s = isys - 1;
  for (int k = 0; k < 6; ++k) {
      // Scale factor of row k: isys 1 and 2 give every b*_k a parallel length
      // of 1/2 (in 1/a); for isys 3..5 only the quasiperiodic rows 1-4 are
      // scaled, c* and the dummy row stay unit vectors.
      float f = 1;
      if (s == 0) f = 0.5f;
      else if (s == 1) f = 0.5f / 1.9021131f;
      else if (k < 4) f = (s == 2) ? 1 / 2.236068f : (s == 3) ? 0.5f : 1 / 1.4142135f;
      for (int j = 0; j < 6; ++j) dq[at(k, j)] = kBasisRows[s][k][j] * f;
    }
}

// Lattice-constant scale of each Cartesian component: for isys 0..2 every
// component is in units of a (a = 1 for isys 0); for isys 3..5 component 3
// (along the periodic axis) is in units of c and component 6, a dummy axis
// of the five-dimensional settings, is not scaled.
void scales(const Lattice& L, float* s) {
  for (int i = 0; i < 6; ++i) s[i] = L.ac;
  if (L.isys >= 3) {
    s[2] = L.cc;
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
void icosahedral_families(Lattice& L) {
  float p[6][6];
  for (int k = 0; k < 6; ++k) {
    int h[6];
    unit_index(k, h);
    getqi0(L, h, p[k]);
  }
  auto sgn = [&](int a, int b) { return dot3(p[a], p[b]) >= 0 ? 1 : -1; };
  L.nfive = L.ntwo = L.nthree = 0;
  for (int k = 0; k < 6; ++k) {
    vcpyr(p[k], L.five[L.nfive], 6);
    normalise_halves(L.five[L.nfive++]);
  }
  for (int a = 0; a < 6; ++a)
    for (int b = a + 1; b < 6 && L.ntwo < 15; ++b) {
      int* h = L.h2[L.ntwo];
      for (int i = 0; i < 6; ++i) h[i] = 0;
      h[a] = 1;
      h[b] = sgn(a, b);
      getqi0(L, h, L.two[L.ntwo]);
      normalise_halves(L.two[L.ntwo++]);
    }
  for (int a = 0; a < 6; ++a)
    for (int b = a + 1; b < 6; ++b)
      for (int c = b + 1; c < 6 && L.nthree < 10; ++c) {
        // b and c, each turned towards a, must also be neighbours.
        if (sgn(a, b) * sgn(a, c) * sgn(b, c) < 0) continue;
        int* h = L.h3[L.nthree];
        for (int i = 0; i < 6; ++i) h[i] = 0;
        h[a] = 1;
        h[b] = sgn(a, b);
        h[c] = sgn(a, c);
        getqi0(L, h, L.three[L.nthree]);
        normalise_halves(L.three[L.nthree++]);
      }
}

// The four auxiliary vectors of the icosahedral settings (see intskp).
void icosahedral_aux(Lattice& L, float v[4][6]) {
  icosahedral_families(L);
  vcpyr(L.five[0], v[0], 6);  // five-fold b*_1
  // the three-fold through b*_1 and b*_2: the first face found holds both
  int i3 = 0;
  while (i3 < L.nthree && !(L.h3[i3][0] != 0 && L.h3[i3][1] != 0)) ++i3;
  vcpyr(L.three[i3 < L.nthree ? i3 : 0], v[1], 6);
  vcpyr(L.two[0], v[2], 6);  // two-fold: the edge b*_1, b*_2
  // mirror normal: the two-fold axis perpendicular to b*_1 and to the edge
  for (int k = 0; k < L.ntwo; ++k)
    if (std::fabs(dot3(L.two[k], v[0])) < 1e-3f && std::fabs(dot3(L.two[k], v[2])) < 1e-3f) {
      vcpyr(L.two[k], v[3], 6);
      return;
    }
  quit("intskp: no mirror normal found in the icosahedral basis");
}

bool basis_ready(const Lattice& L) { return L.isys != 0 || L.dq_complete; }

}  // namespace

// ======================================================================

void setac(Lattice& L, float a, float c) {
  if (!(a > 0)) quit("lattice constant a= should be positive");
  if (L.isys >= 3 && !(c > 0)) quit("lattice constant c= should be positive");
  L.ac = a;
  L.cc = L.isys >= 3 ? c : a;
}
void seteps(Lattice& L, float e1, float e2, float e3, float e4) {
  L.eps[0] = e1;
  L.eps[1] = e2;
  L.eps[2] = e3;
  L.eps[3] = e4;
}

// ---- general setting -------------------------------------------------

void setlc(Lattice& L, const float* cell) {
  float* v = L.ltc1;
  for (int i = 0; i < 6; ++i) v[i] = cell[i];
  check_cell(v);
  for (int i = 0; i < 3; ++i) v[6 + i] = static_cast<float>(std::sqrt(1.0 - double(v[3 + i]) * v[3 + i]));
  // The general basis is built in 1/Angstrom: no lattice-constant scaling.
  L.ac = L.cc = 1;
  L.ltc_read = true;
  L.recip_done = L.u1_set = L.u_set = L.v_read = L.dq_complete = false;
}

void setkvctr(Lattice& L, int ndm, const float (*k)[3]) {
  L.ndm = ndm < 0 ? 0 : (ndm > 3 ? 3 : ndm);
  for (int m = 0; m < 3; ++m)
    for (int i = 0; i < 3; ++i) L.kw[m][i] = m < L.ndm ? k[m][i] : 0;
}

void calltcs(Lattice& L) {
  if (!L.ltc_read) quit("calltcs: the cell (a=, b=, c=, cosa=, ...) has not been read");
  const float* d = L.ltc1;
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
  float* r = L.ltc2;
  for (int i = 0; i < 3; ++i) r[i] = std::sqrt(g[at(i, i, 3)]);
  r[3] = g[at(1, 2, 3)] / (r[1] * r[2]);
  r[4] = g[at(0, 2, 3)] / (r[2] * r[0]);
  r[5] = g[at(0, 1, 3)] / (r[0] * r[1]);
  for (int i = 0; i < 3; ++i) r[6 + i] = static_cast<float>(std::sqrt(std::max(0.0, 1.0 - double(r[3 + i]) * r[3 + i])));
  L.recip_done = true;
}

void setu1mtrx(Lattice& L, int iaxis) {
  if (iaxis != 2 && iaxis != 3) return;  // other settings leave U1 as it is
  if (!L.recip_done) calltcs(L);
  const float* r = L.ltc2;
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
    for (int j = 0; j < 3; ++j) L.u1[at(i, j, 3)] = static_cast<float>(u[i][j]);
  L.u1_set = true;
}

void setu2mtrx(Lattice& L) {
  // A wave vector k_m = sum_i k_mi (row i of U1): its Cartesian form.
  for (int m = 0; m < 3; ++m)
    for (int j = 0; j < 3; ++j) {
      double s = 0;
      if (m < L.ndm)
        for (int i = 0; i < 3; ++i) s += double(L.kw[m][i]) * L.u1[at(i, j, 3)];
      L.u2[at(m, j, 3)] = static_cast<float>(s);
    }
}

void setumtrx(Lattice& L, int iaxis) {
  setu1mtrx(L, iaxis);
  if (!L.u1_set) quit("isetting should be 2 (b* along y) or 3 (a* along x)");
  setu2mtrx(L);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      L.uv[at(i, j)] = L.u1[at(i, j, 3)];
      L.uv[at(3 + i, j)] = L.u2[at(i, j, 3)];
    }
  L.u_set = true;
}

void setvmtrx(Lattice& L, int iseging, const float* v) {
  L.iseging = iseging;
  // Columns 4..6 of the basis occupy storage positions 18..35.
  vcpyr(v, L.uv + 18, 18);
  L.v_read = true;
}

void setdqmtrx(Lattice& L) {
  mcpy(L.uv, L.dq);
  L.dq_complete = L.u_set && L.v_read;
  L.dr_ready = false;
}

// ---- basis -----------------------------------------------------------

void setd(Lattice& L) {
  const int isys = L.isys;
  if (isys < 0 || isys > 5) quit("wrong isys");
  if (isys == 0) {
    // The general basis is complete only after "isetting=" and "v="; until
    // then it is neither inverted nor printed (setdr prints it later).
    setdqmtrx(L);
    if (L.dq_complete) setdr(L);
    return;
  }
  builtin_basis(isys, L.dq);
  setdr(L);
  wtmtrxrf("dr", L.dr, 6, "(6f8.4)");
  wtmtrxrf("dq", L.dq, 6, "(6f8.4)");
}

void setdr(Lattice& L) {
  const int isys = L.isys;
  if (isys == 0 && !L.dq_complete)
    quit("the isys=0 basis is incomplete: isetting= and v= must be read before it is used");
  float a[36];
  mcpy(L.dq, a);
  float det;
  if (!invert_checked(a, 6, det)) {
    wtmtrxrf("dq", L.dq, 6, "(6f8.4)");
    if (isys == 0)
      quit("the superspace basis dq is singular: check the wave vectors k= and the perpendicular components v=");
    quit("the superspace basis dq is singular");
  }
  mcpy(a, L.dr);
  L.det = det;
  L.dr_ready = true;
  if (isys == 0) {
    wtmtrxrf("dr", L.dr, 6, "(6f8.4)");
    wtmtrxrf("dq", L.dq, 6, "(6f8.4)");
  }
}


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
void setdei(Lattice& L) {
  const int isys = L.isys;
  const bool ready = basis_ready(L);
  L.nfive = L.nthree = L.ntwo = L.nsingle = 0;
  for (auto& m : L.amij)
    for (float& x : m) x = 0;
  unitmtrx(L.bmij, 3);
  if (ready) {
    // Single vectors: principal axis, mirror normal, two-fold axis.
    if (isys == 1 || isys == 2) {
      float aux[4][6];
      icosahedral_aux(L, aux);  // also fills the five-, three- and two-fold tables
      vcpyr(aux[0], L.single[0], 6);
      vcpyr(aux[3], L.single[1], 6);
      vcpyr(aux[2], L.single[2], 6);
      L.nsingle = 3;
    } else if (isys >= 3) {
      // The periodic axis c* (ten-, eight- or twelve-fold), the in-plane
      // direction of b*_1 (a mirror normal of the 10/mmm, 8/mmm, 12/mmm
      // point groups) and the bisector of b*_1 and b*_2 (a two-fold axis).
      int h[3][6] = {{0, 0, 0, 0, 1, 0}, {1, 0, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}};
      for (int k = 0; k < 3; ++k) {
        getqi0(L, h[k], L.single[k]);
        normalise_halves(L.single[k]);
      }
      L.nsingle = 3;
    }
    for (int n = 0; n < 3; ++n) {
      int h[6];
      unit_index(isys == 0 ? 3 + n : n, h);
      if (isys == 0 && n >= L.ndm) continue;
      float q[6];
      getqi0(L, h, q);
      normalise_halves(q);
      outer(q + 3, q, L.amij[n]);
    }
  }
  unitmtrx(L.de, 6);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      L.de[at(3 + i, j)] += L.eps[0] * L.amij[0][at(i, j, 3)] + L.eps[1] * L.amij[1][at(i, j, 3)] +
                            L.eps[2] * L.amij[2][at(i, j, 3)];
      L.de[at(i, j)] += L.eps[3] * L.bmij[at(i, j, 3)];
    }
  mcpy(L.de, L.di);
  float det;
  if (!invert_checked(L.di, 6, det)) quit("deformation matrix de is singular: check the strain parameters");
  // The general basis is still incomplete at the driver's first call: the
  // matrices are printed when it is called again on the complete basis.
  if (!ready) return;
  wtmtrx3("amij1=", L.amij[0]);
  wtmtrx3("amij2=", L.amij[1]);
  wtmtrx3("amij3=", L.amij[2]);
  wtmtrx3("bmij1=", L.bmij);
  wtmtrxrf("deformation matrix de", L.de, 6, "(6f8.4)");
  wtmtrxrf("deformation matrix di", L.di, 6, "(6f8.4)");
}

// Auxiliary unit vectors for the icosahedral settings: a five-fold, a
// three-fold and a two-fold axis forming one fundamental triangle of the
// icosahedral group (angles 37.38, 31.72 and 20.91 degrees), and the mirror
// normal through the five-fold and two-fold axis. Each comes from an index
// vector through getqi0, parallel and perpendicular halves normalised
// separately. Other settings have none.
void intskp(Lattice& L) {
  L.nskp = 0;
  const int isys = L.isys;
  if (isys != 1 && isys != 2) return;
  icosahedral_aux(L, L.skp);
  L.nskp = 4;
}

void getskp(const Lattice& L, int k, float* v) {
  for (int i = 0; i < 6; ++i) v[i] = (k >= 0 && k < L.nskp) ? L.skp[k][i] : 0;
}

int getndir(const Lattice& L, int family) {
  switch (family) {
    case 5: return L.nfive;
    case 3: return L.nthree;
    case 2: return L.ntwo;
    case 0: return L.nsingle;
    default: return 0;
  }
}
void getdir(const Lattice& L, int family, int k, float* v) {
  const float* src = nullptr;
  if (k >= 0 && k < getndir(L, family)) {
    if (family == 5) src = L.five[k];
    else if (family == 3) src = L.three[k];
    else if (family == 2) src = L.two[k];
    else src = L.single[k];
  }
  for (int i = 0; i < 6; ++i) v[i] = src ? src[i] : 0;
}

void mtrtns(Lattice& L) {
  for (float& x : L.mtrt) x = 0;
  if (!basis_ready(L) || !L.dr_ready) return;  // general basis not yet complete
  float s[6];
  scales(L, s);
  for (int m = 0; m < 6; ++m)
    for (int n = 0; n < 6; ++n) {
      double sum = 0;
      for (int i = 0; i < 6; ++i) sum += double(s[i]) * s[i] * L.dr[at(i, m)] * L.dr[at(i, n)];
      L.mtrt[at(m, n)] = static_cast<float>(sum);
    }
}

// ---- transformation of the q system (jbc < 0) -------------------------

namespace {
// Assembles the 6x6 [[S1, S3], [S4, S2]] from four 3x3 matrices given row
// by row; inv receives its inverse.
void blocks(const float (*given)[9], float* m, float* inv, const char* what) {
  float s[4][9];
  for (int b = 0; b < 4; ++b) {
    vcpyr(given[b], s[b], 9);
    trnsp3(s[b]);  // column storage of a matrix given row by row
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

void setst1234(Lattice& L, const float (*s)[9]) {
  blocks(s, L.sr, L.si, "sr (s1= .. s4=)");
  out() << "transformation matrix for q system\n";
  wtmtrxrf("sr", L.sr, 6, "(6f10.5)");
  wtmtrxrf("si", L.si, 6, "(6f10.5)");
}

void settt1234(Lattice& L, const float (*t)[9]) {
  blocks(t, L.tr, L.ti, "tr (t1= .. t4=)");
  wtmtrxrf("tr", L.tr, 6, "(6f10.5)");
  wtmtrxrf("ti", L.ti, 6, "(6f10.5)");
}

// ---- volume ------------------------------------------------------------
//
// The superspace cell volume V = 1/|det D|, D the reciprocal basis in
// 1/Angstrom: dq with each Cartesian component divided by its lattice-
// constant scale. A synthesised density is divided by V.
void setvol(Lattice& L) {
  if (L.isys == 0) L.ac = L.cc = 1;  // the general basis is in 1/Angstrom
  if (!L.dr_ready) quit("cell volume: the superspace basis has not been set up");
  float s[6], d[36];
  scales(L, s);
  for (int k = 0; k < 6; ++k)
    for (int j = 0; j < 6; ++j) d[at(k, j)] = L.dq[at(k, j)] / s[j];
  float det;
  if (!invert_checked(d, 6, det)) quit("cell volume: the superspace basis is singular");
  L.vol = static_cast<float>(1.0 / std::fabs(double(det)));
  out() << "cell volume=" << fmt_e(L.vol, 14, 6) << '\n';
}

// ---- conversions ---------------------------------------------------------

void rltscale(const Lattice& L, float* v) {
  float s[6];
  scales(L, s);
  for (int i = 0; i < 6; ++i) v[i] /= s[i];
}
void ltscale(const Lattice& L, float* v) {
  float s[6];
  scales(L, s);
  for (int i = 0; i < 6; ++i) v[i] *= s[i];
}

// q = h.dq (row vector), in units of the basis.
void getqi00(const Lattice& L, const int* h, float* q) {
  float hf[6];
  for (int k = 0; k < 6; ++k) hf[k] = static_cast<float>(h[k]);
  rowtimes(hf, L.dq, q);
}
void getqi0(const Lattice& L, const int* h, float* q) {
  getqi00(L, h, q);
  rltscale(L, q);
}

// Deformed reciprocal vector. Direct vectors go as e = e0.de (getqe); for
// h.x to stay the same under strain the reciprocal ones must go with the
// inverse transpose, q = q0.di^T, i.e. q_j = sum_k q0_k di(j,k) = (di.q0)_j.
void getqi(const Lattice& L, const int* h, float* q) {
  float q0[6];
  getqi00(L, h, q0);
  coltimes(L.di, q0, q);
  rltscale(L, q);
}

// e = dr.x: Cartesian position of fractional coordinates x.
void getqe0(const Lattice& L, const float* x, float* e) {
  coltimes(L.dr, x, e);
  ltscale(L, e);
}
// The same on the deformed lattice: e = (dr.x).de.
void getqe(const Lattice& L, const float* x, float* e) {
  float e0[6];
  coltimes(L.dr, x, e0);
  rowtimes(e0, L.de, e);
  ltscale(L, e);
}

void getxe00(const Lattice& L, const float* x, float* e) { coltimes(L.dq, x, e); }
void getxe(const Lattice& L, const float* x, float* e) {
  float c[6];
  vcpyr(x, c, 6);
  rltscale(L, c);
  getxe00(L, c, e);
}

}  // namespace trovan
