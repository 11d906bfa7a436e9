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
#include <array>
#include <vector>

#include "crystal/crystal.hpp"
#include "reflections/hklread.hpp"
#include "util/runstate.hpp"
#include "util/workgrid.hpp"

namespace trovan {

// Independent observed reflections at most: each is a symmetry class of
// its own on a grid of at most 2^24 points, with its Friedel mate.
constexpr int kMaxInd = 8388608;

// The independent observed reflections (the maximum-entropy fit's data):
// entry k is the grid index j of the reflection (in the grid basis, never
// 0), its observed complex F = a + i b (with its phase, in the program's
// convention), sigma, and its setting indices h.
struct Observations {
  std::vector<int> j;
  std::vector<float> a, b, sigma;
  std::vector<std::array<int, 6>> h;
  float cfmax = 0;  // the largest |Fo| expanded
  float f000 = 0;   // F(000) of the map (at grid index 0 of the expansion)
  int idm = 6;      // the number of indices of a reflection
  int phsign = 1;   // the phase sign of the reflection file, for listing phases

  int size() const { return static_cast<int>(j.size()); }
};
// obs with its reflections in another order: entry i is obs's entry order[i].
Observations reordered(const Observations& obs, const std::vector<int>& order);

// Reads the reflection table (reflections/hklread.hpp), sorts out the
// records the symmetry forbids or repeats (reflections/screen.hpp), and
// fills the work grid `w` with the coefficients of the map kind `rs`: F(h) for the
// Fourier and maximum-entropy maps, (Fo - Fc) exp(i phi) for the difference map
// (F(000) = 0), |F|^2 under the rotations alone for the Patterson map
// (F(000)^2 at the origin). Classes that lie partly outside the grid are
// left out whole. Returns the independent observed reflections; the
// reflections' whole-degree phases (iphs) are set on the way, and the
// operators of the crystal's grid are made (setsmopprm).
Observations symstf(Crystal& c, const RunState& rs, WorkGrid& w, Reflections& refl);

// 1 when h (setting indices) has a non-zero scalar product with one of the
// projection vectors ("h=" lines): such reflections are left out of a
// projected map.
int isprj(const RunState& rs, const int* h);

// Fills the complex work grid `w` (util/workgrid.hpp) from a list of n
// independent reflections given in the grid basis: j[m] is the grid index
// of reflection m (as gethkltoj gives it, never 0) and fr[m] + i fi[m] its
// structure factor in the program's convention. Both halves of the first nt
// entries are cleared; every reflection is stored at all its images
// h.R_grid as F(h.R) = F(h) exp(+2 pi i h.tau), each with its Friedel mate,
// and F(000) = f000 goes to j = 0. Images outside the grid (iskip) or
// removed by a projection are left out. For a centrosymmetric group the
// images under the inversion are the Friedel mates.
void setffromf0(const Crystal& c, const RunState& rs, WorkGrid& w, int n, const int* j, const float* fr,
                const float* fi, float f000);

// One coefficient of a sparse grid: grid index, real and imaginary part.
struct FCoef {
  int j;
  float re, im;
};
// How a list of reflections spreads into a coefficient list (made by
// getffromf0 and kept by its caller): a maximum-entropy run spreads the same
// reflections every cycle with new values only, so the plan is made once and
// used while the reflections, the grid, its operators and the projections
// are the same.
struct SpreadPlan {
  long long stamp = -1;  // the grid's (Grid::stamp)
  int nsymo = -1;
  std::vector<int> key;
  std::vector<std::array<double, 6>> prj;
  // For every place of the list: its grid index, the reflection it takes
  // (-1: F(000)) and the phase shift (c, s) of its image, conjugated for a
  // Friedel mate.
  std::vector<int> jg, m;
  std::vector<double> c, s;
  std::vector<unsigned char> conj;
  // Counts the times the places were made: what is derived from them (the
  // half-grid places of a maximum-entropy difference map) is made again
  // when it changes.
  long long made = 0;
};
// The plan for these reflections on this grid: p as it is when it holds
// for them, else made again. A caller that reads the indices j in sequence
// anyway passes keyed = false and compares them with p.key on its way (the
// plan then holds for the grid and for n reflections, not yet for their
// indices); when one differs it calls again with keyed = true.
const SpreadPlan& spreadplan(const Crystal& c, const RunState& rs, int n, const int* j, SpreadPlan& p,
                             bool keyed = true);
// The same coefficients as a list instead of a grid: every grid index that
// setffromf0 would set, once, with the value it would hold, in ascending
// order of the index (F(000) included). On a large grid the list is a tiny
// fraction of it, and a synthesis can start from it without clearing the
// whole grid first. `plan` is made again when it does not hold for these
// reflections on this grid.
void getffromf0(const Crystal& c, const RunState& rs, int n, const int* j, const float* fr, const float* fi,
                float f000, SpreadPlan& plan, std::vector<FCoef>& list);

// Stores a coefficient at grid index j as the map kind wants it: F for the
// Fourier, difference and MEM maps, |F|^2 (real) for the Patterson map.
void setbeq(const RunState& rs, WorkGrid& w, float a, float b, int j);
// Appends (j, a, b, sigma) to the independent-reflection list, with the
// reflection's setting indices h.
void setari0(Observations& obs, float a, float b, float sigma, int j, const int* h);

}  // namespace trovan
