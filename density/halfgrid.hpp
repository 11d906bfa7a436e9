// Real maps transformed as half grids of paired points.
//
// A density and a difference map are real, and their coefficients obey
// Friedel's law X(-k) = conj X(k): each is half the information of a complex
// grid. Along an axis e of even length n_e = 2 m the real values x are
// paired as one complex number per two neighbours,
//   z(j') = x(..., 2 j'_e, ...) + i x(..., 2 j'_e + 1, ...),
// a complex grid of nt/2 points (axis e of length m, the others as they
// are), held in the first nt/2 entries of the two halves of the work grid.
// With B the product of the lengths of the axes before e, half-grid point q
// holds the full-grid points p(q) = q + B floor(q/B) (real part) and
// p(q) + B (imaginary part). One transform of the half grid does the work of
// the full one:
//
// Analysis (isn = -1, structure factors of a real map): with Z the
// transform of z and Z(-k) its value at the index negated on every axis,
//   E(k) = (Z(k) + conj Z(-k)) / 2       the transform of the even planes,
//   O(k) = (Z(k) - conj Z(-k)) / (2 i)   the transform of the odd planes,
//   X(k) = E(k') + exp(-2 pi i k_e / n_e) O(k'),   k' = k with k_e mod m.
//
// Synthesis (isn = +1) from Hermitian coefficients X: the even and odd
// planes are the syntheses of X(k') + X(k'+m) and w^k'_e (X(k') - X(k'+m)),
// w = exp(+2 pi i / n_e) (k'+m on axis e), so z is the synthesis of
//   Z(k') = X(k') (1 + i w^k'_e) + X(k'+m) (1 - i w^k'_e).
// For coefficients that are not Hermitian this gives another map than the
// real part of the full synthesis; the program's coefficients always are
// (every reflection is stored with its Friedel mate).
#pragma once
#include <climits>
#include <cstddef>

#include <vector>

#include "density/fft.hpp"
#include "reflections/expand.hpp"

namespace trovan {

// The axis along which a real grid of lengths n[0..m-1] is paired: the
// first of even length whose half is a length the transform takes; -1 when
// there is none (the full complex transform is used then).
int getpairaxis(const int* n, int m);

// The lengths of the half grid paired along axis e.
void gethalfgrid(const int* n, int m, int e, int* half);

// Synthesis of the real map whose Hermitian coefficients fill a (real parts)
// and b (imaginary parts) over the grid n[0..m-1]: afterwards a holds the
// map times `scale` at every grid point and b is cleared. The transform
// runs on the half grid when the grid has a pairing axis.
void synthreal(float* a, float* b, const int* n, int m, float scale);
// The same synthesis from the list of the non-zero coefficients (each grid
// index once, a Hermitian set): only the half grid is cleared and the
// coefficients go straight to their paired places, Z(k') taking X(k') and
// X(k'+m) as above.
void synthrealfrom(float* a, float* b, const int* n, int m, float scale, const FCoef* c,
                   std::size_t count);

// A real map as a synthesis leaves it on the half grid paired along an
// axis e whose faster axes hold B points: the value at full grid point
// p = l + B u (l < B) is the real part (a) of half point l + B floor(u/2)
// for even u, the imaginary part (b) for odd u. B = 0: the map is whole in
// a, value at p in a[p] (a grid without a pairing axis).
struct HalfMap {
  const float* a;
  const float* b;
  long long B;
};
// The map at the full grid points p0 .. p0+len-1, into out.
void halfmaprun(const HalfMap& h, long long p0, long long len, float* out);
// The map at the full grid points p[0..len-1], into out.
void halfmapat(const HalfMap& h, const int* p, long long len, float* out);
// The synthesis from a list as synthrealfrom, the map left where the
// transform made it (only the half grid is written): what a caller that
// wants the map at some points only reads with halfmaprun or halfmapat.
HalfMap synthhalffrom(float* a, float* b, const int* n, int m, float scale, const FCoef* c,
                      std::size_t count);

// The places of a spread list (reflections/expand.hpp) on the half grid,
// for a synthesis made again and again from new values at the same places
// (the difference map of every maximum-entropy cycle). Each place is kept
// as its half-grid point q, its reflection and an entry of a short table of
// what turns the reflection's value into its share of Z(q): the phase shift
// of its image, whether it is a Friedel mate, and its factor (1 + i w) or
// (1 - i w). A half-grid point takes at most two places, X(k') and
// X(k'+m), each grid index holding one coefficient: the places of X(k')
// (the lower ones) come first and are stored, those of X(k'+m) after them
// and are added, each part in the order of the reflection list. Within a
// part no two places share a point, so the threads share each part by
// ranges and read the reflections' values nearly in sequence (with
// nearly a million reflections a gather at random costs more than the
// transform); 0 + x + y = 0 + y + x makes the sum that of any order.
struct HalfPlaces {
  struct Place {
    int q, m, f;  // half-grid point, entry of the reflection list (-1: F(000)), factor
  };
  struct Factor {
    double c, s;   // phase shift of the image
    float cw, sw;  // w = cw + i sw of its k'
    bool conj, upper;  // a Friedel mate; X(k'+m) rather than X(k')
    bool identity;     // no phase shift (c = 1, s = 0): every place of P1
  };
  long long made = -1;  // SpreadPlan::made of the plan they were made from
  std::vector<int> n;
  std::vector<Place> at;  // the lower places, then the upper ones
  long long nlower = 0;
  // The lower places take every point the transform reads (the points
  // whose every coordinate is marked in `prune`: all of them when the
  // reflections fill a box, as a P1 job's do): nothing is cleared first.
  bool filled = false;
  std::vector<Factor> factor;
  // No place has a phase shift (P1): each factor as the share's p + i r
  // (see halfgrid.cpp) and the sign of the imaginary part (-1 for a mate).
  // The places are then kept in plainat (at is empty): q, and m shifted
  // left by plainshift with the factor in the low bits.
  bool plain = false;
  struct Plain {
    float p, r, sign;
    float ps, rs;  // p sign, r sign
  };
  std::vector<Plain> plainf;
  struct PlainPlace {
    int q, mf;
  };
  std::vector<PlainPlace> plainat;
  int plainshift = 0;
  // The plain places again, point by point: a run is len consecutive
  // half-grid points from q, each with its lower place (reflection ml +
  // i dml, factor fl + i dfl) and its upper one (mu + i dmu, fu + i dfu),
  // either side kNone when the run's points have none. Built when no two
  // places of one side share a point, the factors fit a byte and a run
  // holds more than two places on average (the list in the half grid's
  // order); plainat is then empty. A point's share is then (0 + lower) +
  // upper, what the store and the add give, in one pass over the grid
  // instead of two. A run may begin with a head, a point before q that
  // holds only a lower place (reflection mh, factor fh; mh kNone for no
  // head): in P1 a row of the half grid starts with X(0) of the pairing
  // axis, whose partner X(m) lies outside the reflections, and is then one
  // run rather than two (24 bytes where two runs took 40).
  static constexpr int kNone = INT_MIN;
  struct PlainRun {
    int q, mh, ml, mu;
    unsigned char len, fh, fl, fu;
    signed char dml, dmu, dfl, dfu;
  };
  std::vector<PlainRun> plainrun;
  // The runs again in vector registers, eight points at a time: for each
  // run its lower side's and upper side's entry of plainlanes (low and high
  // byte), kNoLanes for a run placed point by point. A run takes them when
  // it has at most eight points, its lower reflections step up by one and
  // its upper ones down by one (a P1 row and the mates of its mirrored
  // row), and the eight values read from each side lie in the list. An
  // entry holds the factors of the eight points from a factor f stepping by
  // df (zero past the table's end), as finiteshare takes them. Filled only
  // where the processor has the vectors (plainlanes empty otherwise).
  static constexpr unsigned short kNoLanes = 0xffff;
  struct PlainLanes {
    float p[8], rs[8], ps[8], r[8];
  };
  std::vector<PlainLanes> plainlanes;
  std::vector<unsigned short> plainrunlanes;
  int nrefl = 0;  // entries of the plan's reflection list
  FftPrune prune;  // the half grid's input marks
  // The differences of a cycle in the list's order, real and imaginary
  // parts side by side (kept with the places: its size is the run's), and
  // whether every one is finite.
  std::vector<float> values;
  bool finite = false;
};
// Makes h for the plan p on the grid n[0..m-1] unless it is already made
// for it; false when the grid has no pairing axis (h is not used then).
bool halfplaces(const int* n, int m, const SpreadPlan& p, HalfPlaces& h);
// synthhalffrom(a, b, n, m, 1, list) of the list getffromf0 makes from
// fr, fi and f000 with the plan h was made from, bit for bit, without the
// list.
HalfMap synthhalfplaces(float* a, float* b, const int* n, int m, const HalfPlaces& h, const float* fr,
                        const float* fi, float f000);
// The same for the difference map of a maximum-entropy cycle, in two
// steps. First its values (Fo - Fc) / w, w = sigma^2 (over wk[k] when wk is
// given), made from the observed and calculated structure factors of the
// count reflections into h.values, in the list's order (no list of
// coefficients with their grid indices is made). On the way the reflections' grid indices j are compared with
// key, those of the plan h was made from (when key is given): false when
// one differs, and then the plan and h are to be made again before the
// values are placed (the values, in the list's order, stay good).
struct DiffValues {
  const float *fo_a, *fo_b, *sigma, *fcr, *fci, *wk;
  int count;
  const int *j, *key;
};
bool diffvalues(HalfPlaces& h, const DiffValues& v);
// Then the values of h.values placed and transformed.
HalfMap synthhalfdiff(float* a, float* b, const int* n, int m, const HalfPlaces& h);

// Analysis: X(k) at full-grid coordinates k (0 <= k_i < n_i) of the real map
// whose half grid (paired along e) a, b has been transformed with isn = -1.
void pairedcoef(const float* a, const float* b, const int* n, int m, int e, const int* k,
                double& xr, double& xi);
// The same in two steps, for coefficients wanted again and again: where
// X(k) is read (Z(k') at jp, Z(-k') at jm) and its rotation
// exp(-2 pi i k_e / n_e) = c + i s, then X(k) from them.
struct PairedIndex {
  long long jp, jm;
  double c, s;
};
PairedIndex pairedindex(const int* n, int m, int e, const int* k);
void pairedcoef(const float* a, const float* b, const PairedIndex& q, double& xr, double& xi);

}  // namespace trovan
