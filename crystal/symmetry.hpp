// Superspace symmetry operators: the generating elements read in
// coordinate-triplet notation over x, y, z, t, u, v, closed into the full
// list of operators (6x6 integer rotation, six real translations), the
// centrosymmetry flag and the lattice centring letter.
//
// Conventions used by every module that applies an operator:
// - Operators are numbered 1..nsymo; operator 1 is always the identity.
// - An operator (R, tau) acts on fractional superspace coordinates of the
//   setting cell as x' = R x + tau. R is stored column by column: entry
//   (e, i) at [i*6 + e] is the coefficient of input coordinate i in output
//   coordinate e, exactly as the coordinate triplet is written.
// - On reflection indices it acts as a row vector times R: h -> h.R, so that
//   (h.R).x = h.(R x).
// - The density is synthesised with exp(+2 pi i h.x). A map invariant under
//   the operator, rho(R x + tau) = rho(x), has F(h.R) = F(h) exp(+2 pi i h.tau).
// - The inversion of a centrosymmetric group is not stored: the flag k = 1
//   (or -1) in the helpers below combines an operator with it, giving
//   (-R, -tau).
#pragma once
#include <string>

namespace trovan {

constexpr int kMaxSymo = 60;
// Generating elements on input: enough for the lists of the International
// Tables with their redundant elements (identity, centring translations,
// inversion) and a few superspace generators more.
constexpr int kMaxGenerators = 12;

void setiwflag(int flag);  // 1 = list generators and operators

// Reads "nsymo=" (number of generating elements), "icent=", "brv=" from a
// new line, positions the reader at the line holding "symmetry operator",
// reads one generator a line and closes them into the group.
void rdsymo();

// Parses one operator line (comma-separated fields, one per output
// coordinate, n fields) into a rotation (6x6, column by column) and a
// translation. Coordinates are written x, y, z, t, u, v or x1 ... x6 (as
// superspace tables do; the two notations may be mixed), each field a signed
// sum of coordinates and at most one translation p/q; blanks may stand
// between the terms. Anything else stops with "incorrect symmetry
// operation", after a line naming the fault.
void decode(const std::string& text, int* rot, double* trans, int n);

// Order of each of n rotations (rots holds n 6x6 matrices one after the
// other): the smallest i in 1..13 with R^i = 1 over the leading dim x dim
// block, 0 when there is none.
void ordr(const int* rots, int* orders, int n, int dim);

// True when the leading n x n block of r is the unit matrix.
bool isunitmtrx(const int* r, int n);

// Operator slot f (1-based) := generator (rg, tg) applied after operator l:
// R_f = R_g R_l, t_f = R_g t_l + t_g.
void mpso(const int* rg, const double* tg, int l, int f);

// Closes ngen generating elements (rotations one after the other, six
// translations each) into the operator list: the group they generate, one
// operator per element modulo the lattice of the centring getbrv() (and
// modulo the inversion when geticent() is set), whatever the order of the
// generators. A generator already in the group of those before it is left
// out with a note. Translations are reduced into [0, 1). Stops beyond
// kMaxGenerators generators or kMaxSymo operators, and on a generator whose
// rotation has no finite order.
void gensymo(int ngen, const int* rots, const double* trans);

// Listing of operators 1..n of the table (wtsymo) or of one operator
// (wtsmop) as coordinate expressions and translation fractions.
void wtsymo(const int* rots, const double* trans, int n, int dim);
void wtsmop(int k, const int* rot, const double* trans, int dim);
// "x,y,-z,t" style text of the leading dim rows of a rotation.
std::string smoptext(const int* rot, int dim);
// A translation component as a three-character fraction ("0  ", "1/2",
// ...) after reduction into [0, 1); other values as a decimal.
std::string trntext(double t);

void setidm(int idm);
int getidm();
void setbrv(char brv);
char getbrv();
void seticent(int icent);
int geticent();
// 1 when the group is centrosymmetric (icent = 1 or -1): the loops over
// k = 0..getncent() then visit every operator with and without inversion.
int getncent();
int getnsymo();

// Rotation (6x6, column by column) and translation of operator i (1-based).
void getsymrot(int i, int* rot);
void getsymtrn(int i, double* trans);

// Setting-basis helpers (the operator records as read):
// hr = h.R_i, negated when k != 0.
void gethr(const int* h, int* hr, int i, int k);
// Phase shift h.tau_i over the first idm components, negated when k != 0.
double getyt(const int* h, int i, int k);
// xr = R_i x + tau_i, negated when k != 0 (not reduced into the cell).
void getrx(const float* x, float* xr, int i, int k);

// The group back to the identity alone, the dimension to 6, the centring to
// 'p': the state at the start of the program.
void resetsymmetry();

}  // namespace trovan
