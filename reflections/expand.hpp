// Expansion of the unique reflections by symmetry and Friedel's law into
// the Fourier coefficients on the reciprocal grid, and the list of
// independent observed reflections that the maximum-entropy fit uses.
//
// Sign convention (the program's, see reflections/hklread.hpp): a reflection
// h with structure factor F(h) has the symmetry image h.R with
// F(h.R) = F(h) exp(+2 pi i h.tau) for every operator (R, tau), and the
// Friedel mate F(-h) = conj F(h); with the synthesis
// rho(x) = (1/V) sum F(h) exp(+2 pi i h.x) the map then satisfies
// rho(R x + tau) = rho(x).
//
// One expansion serves every map: symstf fills the grid for the Fourier,
// difference, Patterson and maximum-entropy start, and setffromf0 spreads
// the difference coefficients of each maximum-entropy cycle. Both work in
// the grid basis (crystal/gridindex.hpp: h_grid.R_grid, h_grid.tau_grid,
// which give the same images and phase shifts as the setting's operators),
// leave out the images a projection removes, and store every image with its
// Friedel mate.
#pragma once
#include <vector>

namespace trovan {

// Independent observed reflections at most: each is a symmetry class of
// its own on a grid of at most 2^24 points, with its Friedel mate.
constexpr int kMaxInd = 8388608;

// Reads the reflection table (reflections/hklread.hpp), sorts out the
// records the symmetry forbids or repeats (reflections/screen.hpp), and
// fills the work grid with the coefficients of the map kind: F(h) for the
// Fourier and maximum-entropy maps, (Fo - Fc) exp(i phi) for the difference map
// (F(000) = 0), |F|^2 under the rotations alone for the Patterson map
// (F(000)^2 at the origin). Classes that lie partly outside the grid are
// left out whole.
void symstf();

// 1 when h (setting indices) has a non-zero scalar product with one of the
// projection vectors ("h=" lines): such reflections are left out of a
// projected map.
int isprj(const int* h);

// Fills the complex work grid (util/workgrid.hpp) from a list of n
// independent reflections given in the grid basis: j[m] is the grid index
// of reflection m (as gethkltoj gives it, never 0) and fr[m] + i fi[m] its
// structure factor in the program's convention. Both halves of the first nt
// entries are cleared; every reflection is stored at all its images
// h.R_grid as F(h.R) = F(h) exp(+2 pi i h.tau), each with its Friedel mate,
// and F(000) = f000 goes to j = 0. Images outside the grid (iskip) or
// removed by a projection are left out. For a centrosymmetric group the
// images under the inversion are the Friedel mates.
void setffromf0(int n, const int* j, const float* fr, const float* fi, float f000);

// One coefficient of a sparse grid: grid index, real and imaginary part.
struct FCoef {
  int j;
  float re, im;
};
// The same coefficients as a list instead of a grid: every grid index that
// setffromf0 would set, once, with the value it would hold, in ascending
// order of the index (F(000) included). On a large grid the list is a tiny
// fraction of it, and a synthesis can start from it without clearing the
// whole grid first.
void getffromf0(int n, const int* j, const float* fr, const float* fi, float f000,
                std::vector<FCoef>& list);

// Stores a coefficient at grid index j as the map kind wants it: F for the
// Fourier, difference and MEM maps, |F|^2 (real) for the Patterson map.
void setbeq(float a, float b, int j);
// Appends (j, a, b, sigma) to the independent-reflection list, with the
// reflection's setting indices h.
void setari0(float a, float b, float sigma, int& cnind, int j, const int* h);

int getnind();
// k = 0..nind-1: grid index, observed complex F (with its phase, in the
// program's convention) and sigma; the setting indices of the reflection.
void getfobs(int k, int& j, float& a, float& b, float& sigma);
void getfobshkl(int k, int* h);
const int* getfobsj();
float getcfmax();

// The list of independent observed reflections back to empty, as at the start.
void resetexpand();

}  // namespace trovan
