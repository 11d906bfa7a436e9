// One superspace operator (R, t), the type that the symmetry group, the
// grid index and the peak search all use: a 6x6 integer rotation and a
// translation held exactly as integers over one fixed denominator.
//
// Conventions (the same for every user of the type):
// - R is stored column by column: entry (e, i) at [i*kDim + e] is the
//   coefficient of input coordinate i in output coordinate e, exactly as a
//   coordinate triplet is written.
// - On fractional superspace coordinates the operator acts as x' = R x + t,
//   on reflection indices as a row vector times R, h' = h.R, so that
//   h'.x = h.(R x) and the phase shift of the image is h.t.
// - The inversion of a centrosymmetric group is (-R, -t) (`negated`).
//
// The denominator. Every translation the program meets is a fraction whose
// denominator divides kTrnDen = 2^15 3^2 5 7 11 = 113541120:
// - a generating element's translation: a screw or glide of a rotation of
//   order at most 12 (the largest order the closure accepts) and the
//   centring vectors (halves, thirds) give denominators up to 12, and
//   lcm(1..12) = 27720 = 2^3 3^2 5 7 11;
// - the closure multiplies translations by integer rotations and adds
//   them: no new denominator;
// - the grid basis applies M^-1, whose superstructure part ((T/2)^ismtr,
//   or (S/2)^|ismtr| for negative ismtr, in the icosahedral settings) is
//   dyadic with |ismtr| <= 12: at most 2^12 more, 2^3 2^12 = 2^15 in all.
// Numerators of composed operators stay far inside 64 bits.
// Exact translations make the closure and the comparison of operators
// modulo the lattice free of tolerances. A fraction whose denominator does
// not divide kTrnDen is refused where it is read (decode).
#pragma once
#include <array>

namespace trovan {

// The axes of every superspace record (3 external + 3 internal); a run of
// lower dimension leaves the extra axes alone.
constexpr int kDim = 6;
constexpr int kDim2 = kDim * kDim;
constexpr long long kTrnDen = 113541120;  // 2^15 * 3^2 * 5 * 7 * 11

struct Op {
  std::array<int, kDim2> rot{};       // (e, i) at [i*kDim + e]
  std::array<long long, kDim> trn{};  // translation numerators over kTrnDen

  static Op identity();
  int r(int e, int i) const { return rot[i * kDim + e]; }
  double t(int e) const { return static_cast<double>(trn[e]) / kTrnDen; }
  friend bool operator==(const Op&, const Op&) = default;
};

// The numerator of p/q over kTrnDen; false when q does not divide it.
bool trnnumerator(long long p, long long q, long long& num);
// The numerator nearest to t (for values known to be such fractions).
long long trnnearest(double t);
// t mod 1 into [0, kTrnDen).
long long trnwrap(long long num);

// a applied after b: (Ra Rb, Ra tb + ta); translations not reduced.
Op product(const Op& a, const Op& b);
// The operator combined with the inversion: (-R, -t).
Op negated(const Op& a);
// Translations reduced into [0, 1) over the first n axes, 0 beyond.
Op wrapped(const Op& a, int n = kDim);
// Inverse (R^-1, -R^-1 t) of an operator of finite order; reduced as
// `wrapped` over all axes.
Op inverse(const Op& a);

// True when the leading n x n block of R is the unit matrix.
bool isunitrot(const Op& a, int n);
// The smallest i in 1..13 with R^i = 1 over the leading n x n block, 0 when
// there is none.
int rotorder(const Op& a, int n);

// x' = R x + t (not reduced), sign -1 for the operator with the inversion.
void applyx(const Op& a, const double* x, double* y, int sign = 1);
void applyx(const Op& a, const float* x, float* y, int sign = 1);
// h' = sign h.R.
void applyh(const Op& a, const int* h, int* hr, int sign = 1);
// Phase shift h.t over the first n axes.
double phase(const Op& a, const int* h, int n);

// The operator in another basis: with x = M x', (M^-1 R M, M^-1 t), M and
// M^-1 6x6 column by column. False when M^-1 R M is not an integer matrix
// (`axis` names the first output axis where it fails) or M^-1 t is no
// multiple of 1/kTrnDen (axis = kDim + the axis).
bool changebasis(const Op& a, const double* m, const double* mi, Op& out, int& axis);

}  // namespace trovan
