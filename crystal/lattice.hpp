// The superspace lattice: the 6x6 reciprocal basis `dq` (row k = the three
// parallel and three perpendicular Cartesian components of the k-th
// reciprocal basis vector), its inverse `dr`, the lattice constants, the
// deformation matrices, the metric and the cell volume, and the conversions
// between index vectors, fractional coordinates and Cartesian components.
//
// Conventions. An index vector h is a row vector: its Cartesian reciprocal
// vector is q = h.dq. Fractional superspace coordinates x form a column
// vector: their Cartesian position is e = dr.x, so column m of `dr` is the
// m-th direct basis vector and q.e = h.dq.dr.x = h.x. For the built-in
// quasicrystal bases (isys 1..5) `dq` is in units of 1/a (component 3 in
// units of 1/c for isys 3..5): `rltscale` turns q into 1/Angstrom and
// `ltscale` turns e into Angstrom. For the general setting (isys 0) `dq` is
// built in 1/Angstrom from the cell and the wave vectors and both scales
// are 1.
#pragma once

namespace trovan {

// The lattice of a run. Matrices are 6x6 (3x3 for the U and coupling
// blocks), column by column.
struct Lattice {
  int isys = 0;  // 0 general setting, 1..5 the built-in quasicrystal bases
  float dr[36] = {};  // inverse of dq: column m is the m-th direct basis vector
  float dq[36] = {};  // reciprocal basis, row k = b*_k
  float de[36] = {};  // deformation, acting on row vectors of Cartesian components
  float di[36] = {};  // its inverse
  float ac = 1, cc = 1;  // lattice constants a and c (1 for the general setting)
  float eps[4] = {};     // strain parameters
  float det = 0;         // determinant of dq
  float mtrt[36] = {};   // direct-space metric, Angstrom^2
  float vol = 0;         // superspace cell volume
  bool dr_ready = false;  // dr holds the inverse of the current dq

  // The general setting (isys 0).
  float ltc1[9] = {};  // a, b, c, cos alpha..gamma, sin alpha..gamma
  float ltc2[9] = {};  // the same for the reciprocal cell
  int ndm = 0;         // wave vectors
  float kw[3][3] = {};  // wave vectors on a*, b*, c*
  float u1[9] = {};     // 3x3, row i = Cartesian a*, b*, c*
  float u2[9] = {};     // 3x3, row m = Cartesian wave vector m
  float uv[36] = {};    // the isys-0 basis being assembled
  int iseging = 0;
  bool ltc_read = false, recip_done = false, u1_set = false;
  bool u_set = false, v_read = false;
  bool dq_complete = false;  // dq holds the assembled isys-0 basis

  // Transformations of the q system (jbc < 0).
  float sr[36] = {}, si[36] = {}, tr[36] = {}, ti[36] = {};

  // Strain couplings and direction tables (see getdir, getskp).
  float amij[3][9] = {};
  float bmij[9] = {};
  float five[6][6] = {}, three[10][6] = {}, two[15][6] = {}, single[3][6] = {};
  int nfive = 0, nthree = 0, ntwo = 0, nsingle = 0;
  int h2[15][6] = {}, h3[10][6] = {};  // index vectors of the two- and three-folds
  float skp[4][6] = {};
  int nskp = 0;
};

// Built-in quasicrystal settings (isys 1..5).
void setac(Lattice& l, float a, float c);
void seteps(Lattice& l, float e1, float e2, float e3, float e4);

// General setting (isys 0), from the values the keyword reader read.
// The cell a, b, c, cos alpha, cos beta, cos gamma (the sines follow);
// stops on a degenerate cell.
void setlc(Lattice& l, const float* cell);
// ndm wave vectors (three components on a*, b*, c* each).
void setkvctr(Lattice& l, int ndm, const float (*k)[3]);
void calltcs(Lattice& l);              // reciprocal cell constants from the direct ones
void setu1mtrx(Lattice& l, int iaxis);  // Cartesian a*, b*, c* (iaxis 3: a* along x; 2: b* along y)
void setu2mtrx(Lattice& l);             // Cartesian wave vectors
void setumtrx(Lattice& l, int iaxis);   // both, into the parallel columns of the isys-0 basis
// "iseging=" and the 18 values of "v=": the perpendicular components of the
// six basis vectors, in storage order (the first six values are
// perpendicular component 1 of basis vectors 1..6).
void setvmtrx(Lattice& l, int iseging, const float* v);
void setdqmtrx(Lattice& l);

void setd(Lattice& l);
void setdr(Lattice& l);
void setdei(Lattice& l);
void intskp(Lattice& l);
void mtrtns(Lattice& l);
// The q-system transformation from four 3x3 blocks each (nine values given
// row by row): sr and si, listed under "transformation matrix for q
// system"; then tr and ti.
void setst1234(Lattice& l, const float (*s)[9]);
void settt1234(Lattice& l, const float (*t)[9]);

// Direction tables of the built-in settings, each entry a six-component
// vector whose parallel and perpendicular halves are unit vectors (a null
// half stays null). family 5, 3, 2: the five-, three- and two-fold axes of
// the icosahedral settings (6, 10, 15 entries; none for other settings);
// family 0: the principal axis, a mirror normal and a two-fold axis.
int getndir(const Lattice& l, int family);
void getdir(const Lattice& l, int family, int k, float* v);
// The four auxiliary unit vectors of `intskp` (isys 1 and 2): a five-fold,
// a three-fold and a two-fold axis, corners of one fundamental triangle of
// the icosahedral group, and the mirror normal through the five-fold and
// the two-fold axis.
void getskp(const Lattice& l, int k, float* v);

void setvol(Lattice& l);

// Conversions (six components in and out).
void getqi00(const Lattice& l, const int* h, float* q);  // q = h.dq, in the units of the basis
void getqi0(const Lattice& l, const int* h, float* q);   // the same in 1/Angstrom (rltscale)
void getqi(const Lattice& l, const int* h, float* q);    // the same on the deformed lattice
void getqe0(const Lattice& l, const float* x, float* e);
void getqe(const Lattice& l, const float* x, float* e);
void getxe00(const Lattice& l, const float* x, float* e);
void getxe(const Lattice& l, const float* x, float* e);
void rltscale(const Lattice& l, float* v);
void ltscale(const Lattice& l, float* v);

}  // namespace trovan
