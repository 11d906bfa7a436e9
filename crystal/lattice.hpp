// The superspace lattice: the 6x6 reciprocal basis `dq` (row k = the three
// parallel and three perpendicular Cartesian components of the k-th
// reciprocal basis vector), its inverse `dr`, the lattice constants, the
// deformation matrices, the metric and the cell volume, and the conversions
// between index vectors, fractional coordinates and Cartesian components.
#pragma once

namespace trovan {

// Built-in quasicrystal settings (isys 1..5).
void setac(float a, float c);
void getac(float& a, float& c);
void seteps(float e1, float e2, float e3, float e4);

// General setting (isys 0), read from the keyword input.
void readlc();
void rdkvctr(int& ndm);
void calltcs();
void setumtrx(int iaxis);
void readvmtrx();
void setdqmtrx();

void setd();
void setdr();
float getdet();
void setdei();
void intskp();
void mtrtns();
void readst1234();

void setvol();
float getvol();

// Conversions (six components in and out).
void getqi00(const int* h, float* q);
void getqi0(const int* h, float* q);
void getqir(const int* h, float* q);
void getqi(const int* h, float* q);
void getqe0(const float* x, float* e);
void getqe(const float* x, float* e);
void getxe00(const float* x, float* e);
void getxe(const float* x, float* e);
void rltscale(float* v);
void ltscale(float* v);

}  // namespace trovan
