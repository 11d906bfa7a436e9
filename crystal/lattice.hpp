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

// Built-in quasicrystal settings (isys 1..5).
void setac(float a, float c);
void getac(float& a, float& c);
void seteps(float e1, float e2, float e3, float e4);

// General setting (isys 0), read from the keyword input.
void readlc();               // "a=" (new line) "b=" "c=" "cosa=" "cosb=" "cosc="
void rdkvctr(int& ndm);      // "ndm=" (new line), then ndm "k=" lines
int getndm();
// The number of wave vectors without reading them (a setting made in code).
void setndm(int ndm);
void calltcs();              // reciprocal cell constants from the direct ones
void setu1mtrx(int iaxis);   // Cartesian a*, b*, c* (iaxis 3: a* along x; 2: b* along y)
void setu2mtrx();            // Cartesian wave vectors
void setumtrx(int iaxis);    // both, into the parallel columns of the isys-0 basis
// "iseging=" (new line), then "v=" with 18 reals on the next line: the
// perpendicular components of the six basis vectors, in storage order (the
// first six values are perpendicular component 1 of basis vectors 1..6).
void readvmtrx();
void setdqmtrx();

void setd();
void setdr();
float getdet();
void setdei();
void intskp();
void mtrtns();
void readst1234();

// Copies of the 6x6 matrices (column by column).
void getdq(float* a);
void getdr(float* a);
void getde(float* a);
void getdi(float* a);
void getmtrt(float* a);  // direct-space metric, Angstrom^2
void getsr(float* a);
void getsi(float* a);
void getti(float* a);

// Direction tables of the built-in settings, each entry a six-component
// vector whose parallel and perpendicular halves are unit vectors (a null
// half stays null). family 5, 3, 2: the five-, three- and two-fold axes of
// the icosahedral settings (6, 10, 15 entries; none for other settings);
// family 0: the principal axis, a mirror normal and a two-fold axis.
int getndir(int family);
void getdir(int family, int k, float* v);
// The four auxiliary unit vectors of `intskp` (isys 1 and 2): a five-fold,
// a three-fold and a two-fold axis, corners of one fundamental triangle of
// the icosahedral group, and the mirror normal through the five-fold and
// the two-fold axis.
int getnskp();
void getskp(int k, float* v);

void setvol();
float getvol();

// Conversions (six components in and out).
void getqi00(const int* h, float* q);  // q = h.dq, in the units of the basis
void getqi0(const int* h, float* q);   // the same in 1/Angstrom (rltscale)
// getqi0 under its second name, a forwarder: the reciprocal vector of the
// undeformed lattice.
void getqir(const int* h, float* q);
void getqi(const int* h, float* q);    // the same on the deformed lattice
void getqe0(const float* x, float* e);
void getqe(const float* x, float* e);
void getxe00(const float* x, float* e);
void getxe(const float* x, float* e);
void rltscale(float* v);
void ltscale(float* v);

// Every table above back to its state at the start of the program.
void resetlattice();

}  // namespace trovan
