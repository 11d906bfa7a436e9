// Small vector and matrix helpers shared by every subsystem.
//
// Superspace matrices are 6x6 (3x3 for the physical-space blocks), single
// precision, stored column by column as the rest of the program expects:
// element (i, j), 0-based, is at a[j*n + i]. Integer 6x6 matrices hold the
// rotation parts of symmetry operators.
#pragma once
#include <string>

namespace trovan {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

inline int at(int i, int j, int n = 6) { return j * n + i; }

void vcpyr(const float* src, float* dst, int n);         // copy n reals
void vcpyi(const int* src, int* dst, int n);             // copy n integers
float sprod(const float* a, const float* b, int n);      // scalar product
void mcpy(const float* src, float* dst);                  // 6x6 copy
void mcpy3(const float* src, float* dst);                 // 3x3 copy
void mcpyi(const int* src, int* dst);                     // 6x6 integer copy
void mtmpl(const float* a, const float* b, float* c);     // c = a*b, 6x6
void mtmpld(const double* a, const double* b, double* c); // c = a*b, 6x6 double
void mtmpli6(const int* a, const int* b, int* c);         // c = a*b, 6x6 integer
// hr = sign * h.a: an index vector (a row) times an integer 6x6 matrix, the
// image of a reflection under a rotation (sign -1 for the Friedel mate);
// hr may be h.
void vmtpli6(const int* h, const int* a, int sign, int* hr);
void trnsp(float* a);                                     // in place, 6x6
void trnsp3(float* a);                                    // in place, 3x3
void unitmtrx(float* a, int n);                           // a = identity, n x n
void norml(float* v);                                     // 3-vector to unit length

// In-place inversion of the n x n matrix a (Gauss-Jordan with full pivoting,
// in double precision). `det` receives the determinant. A matrix whose
// pivot falls below 1e-12 of its largest element is taken as singular: it
// is left unchanged, `det` is 0 and the result is false; callers that need
// the inverse decide what a singular basis means for the crystal. The
// inverse of the transpose is the transpose of the inverse, so a matrix
// stored row by row comes back inverted row by row as well.
bool matinv(float* a, int n, float& det);
bool matinvd(double* a, int n, double& det);  // the same in double precision

// Descending sort of keys[0..n-1] in place (explicit-stack quicksort with the
// middle element as pivot). order[k] receives the 1-based position that the
// k-th sorted key had before sorting.
void qsortd(float* keys, int* order, int n);

inline double todeg(double rad) { return rad * (180.0 / kPi); }
inline double torad(double deg) { return deg * (kPi / 180.0); }
// Four-quadrant arctangent of y/x in radians, 0 for the origin.
double atan3(double y, double x);

// Labelled listings: the label on its own line, then the values edited by a
// format of repeated fields such as "(6f8.4)" or "(6i3)" (`n` values a line
// as the repeat count says; a matrix is written row by row).
void wtvctrif(const std::string& label, const int* v, int n, const std::string& fmt);
void wtvctrrf(const std::string& label, const float* v, int n, const std::string& fmt);
void wtmtrxrf(const std::string& label, const float* a, int n, const std::string& fmt);

}  // namespace trovan
