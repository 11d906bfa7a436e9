// The two bases of a run and the transformation between them.
//
// Reflection indices in the reflection file and the symmetry operators are
// given in the setting basis: the user's cell, possibly centred and possibly
// a superstructure cell (ismtr). The grid and the coefficient
// table use the grid basis, a primitive cell. The change of basis is one
// rational 6x6 matrix M:
//
//   h_grid = h . M          (row vectors; smtrh, then ctoph)
//   x      = M . x_grid     (column vectors; ptocx, then smtrx)
//
// so that h.x = h_grid.x_grid: phases, and therefore maps, are the same in
// both bases. An operator (R, tau) of the setting is (M^-1 R M, M^-1 tau) in
// the grid basis.
//
// M = M_s . M_c. The superstructure part M_s is (S/2)^ismtr for the
// icosahedral bases (isys 0..2) and S^ismtr for isys 3..5, with T in place
// of S for negative ismtr (T/2 = (S/2)^-1, T = S^-1). The centring part M_c
// is the identity for 'p'. For the built-in bases (isys 1..5) it is P/2 for
// the six-dimensional body centring ('i') and Q^T/2 for the face centring
// ('f'). For the general setting (isys 0) the letters 'a', 'b', 'c', 'i',
// 'f' and 'r' (obverse, hexagonal axes) centre the three physical axes as in
// the International Tables and leave the internal axes alone; the primitive
// cells are listed in setting.cpp. The operator table then holds one
// operator per coset of the centring translations, and the grid covers the
// primitive cell. M^-1 is integral: every grid-basis index is an allowed
// reflection of the setting.
#pragma once
#include <string>

namespace trovan {

// The setting of a run: the system kind, the centring letter, the number of
// superstructure steps, and the superstructure pairs (S, T) chosen for the
// index and the coordinate form.
struct Setting {
  int isys = 0;
  char brv = 'p';
  int ismtr = 0;
  int pairh = 0;  // pair used by the index form
  int pairx = 0;  // pair used by the coordinate form
};

// The lattice of a centring in setting coordinates: M_c^-1 as integers
// (every centring here has an integral inverse); `centred` false for 'p'
// and for letters the system does not know.
struct Centring {
  bool centred = false;
  long long inv[36] = {};
};
Centring centringof(const Setting& s);
// True when the translation with numerators t over kTrnDen is a vector of
// the centred lattice, M_c^-1 t integral: two operators whose translations
// differ by such a vector are one element of the space group.
bool iscentringvector(const Centring& c, const long long* t);
// The same for a translation given as reals (tolerance 1e-4).
bool iscentringvector(const Setting& s, const double* t);

// Choose the superstructure matrix pair (S, T) from the system kind: isys
// below 3 the icosahedral pair, 3, 4, 5 the pairs of the decagonal,
// octagonal and dodecagonal bases; other values leave the choice as it is.
void setsmh(Setting& s, int isys);
void setsmx(Setting& s, int isys);

// Index form of the superstructure transformation, applied |ismtr| times:
// hr = h.S^ismtr (T for negative ismtr), divided by 2^|ismtr| when
// s.isys <= 2. A component that does not divide exactly stops the run with
// "nonallowd reflections" (the index is no reflection of the cell).
void smtrh(const Setting& s, const int* h, int* hr, int ismtr);

// Centred to primitive indices in place, h := h.M_c (unchanged for 'p'); an
// index that is no reflection of the centred cell stops with "nonallowd
// reflections", a letter the system does not know with "invalid brv".
// itoph and ftoph are the six-dimensional body and face centrings
// (h.P/2, h.Q^T/2) whatever the system.
void itoph(int* h);
void ftoph(int* h);
void ctoph(const Setting& s, int* h);
// True when s.brv is a centring letter of s.isys: p, a, b, c, i, f, r for
// isys 0; p, i, f for the built-in bases. brvletters() lists them.
bool brvknown(const Setting& s);
std::string brvletters(int isys);

// h_grid of a setting index: smtrh with s.ismtr, then ctoph.
void htoph(const Setting& s, const int* h, int* hg);
// The same without stopping, saying why not: 0 h is a reflection (hg set),
// 1 the centring forbids it (a systematic absence), 2 it is no index of the
// superstructure cell, 3 the centring letter is unknown.
int htophstatus(const Setting& s, const int* h, int* hg);

// Coordinate forms. ptocx: x := M_c x in place (primitive grid coordinates
// to the centred cell); "invalid brv" for a letter the system does not know.
void ptocx(const Setting& s, float* x);
// y := M_s x with M_s for smtr as above (smtr = 0: copy).
void smtrx(const Setting& s, const float* x, float* y, int smtr);
// Fractional part of each of the six components; results below -0.001 get
// 1 added, so values within [-0.001, 0) stay as they are.
void reduc(float* x);
// Setting coordinates of a grid-basis position: ptocx, then smtrx with
// s.ismtr (not reduced).
void xgtox(const Setting& s, const float* xg, float* x);

// M and M^-1 of the setting, 6x6 column by column: element (i, j) at
// [j*6 + i].
void getsetmtrx(const Setting& s, double* m);
void getsetmtrxinv(const Setting& s, double* mi);

}  // namespace trovan
