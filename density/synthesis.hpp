// Syntheses on the superspace grid and the density of a run.
//
// Sign and scale conventions: a density is synthesised as
//   rho(x) = (1/V) sum_h F(h) exp(+2 pi i h.x)      (fft with isn = +1)
// and structure factors are computed back as
//   F(h) = (V/nt) sum_x rho(x) exp(-2 pi i h.x)     (fft with isn = -1),
// so that the two are inverse to each other.
//
// The density of a run (`Density`) is kept as a list over the
// symmetry-independent grid points (`Density::x`, with the grid index of
// each point in `getxr0grid`); the full grid is made from it by
// `getbrfromxr0`. The syntheses themselves work in the complex work grid of
// the job (util/workgrid.hpp), which they are handed with the crystal.
#pragma once
#include <array>
#include <vector>

#include "density/fft.hpp"
#include "density/halfgrid.hpp"
#include "crystal/crystal.hpp"
#include "reflections/expand.hpp"
#include "util/runstate.hpp"
#include "util/workgrid.hpp"
#include "util/table.hpp"

namespace trovan {

// What the structure factors of the reflections need from a transform of
// the density: the outputs it must give (the lines that feed no other are
// left out, see FftPrune) and where each reflection's X(k) is read (on the
// half grid, Z at k and at -k). Made once for the reflections of a run and
// kept while they, the grid and its operators are the same.
struct FcPlan {
  long long stamp = -1;
  int idm = 0, e = -2, n = -1;
  // The reflections' grid indices, compared before the plan is used,
  // unless it is `checked`: read in sequence, the reflections' indices are
  // then compared on the way (see Row::jj), and the plan is made again
  // when one differs.
  bool checked = false;
  std::vector<int> key;
  FftPrune prune;
  // The reflections in the order of their Z(k') on the half grid, read row
  // by row of its first axis: the reads of one row, Z(k') at jp + dp,
  // Z(-k') at jm + dm and the rotation of k_e, are a shape
  // (steps[shapes[s] .. shapes[s + 1]]) that many rows share, so a row is
  // a few bases and the transform's output is swept nearly in sequence.
  // Entry i of the read is reflection order[i] (i itself when order is
  // empty), whose grid index must be jj + dj.
  struct Row {
    int i, jp, jm, jj, shape;
  };
  struct Step {
    int dp, dm, dj;
    double c, s;  // exp(-2 pi i k_e / n_e) of the reflection
  };
  std::vector<Row> rows;
  std::vector<int> shapes;
  std::vector<Step> steps;
  std::vector<int> order;
  // Each shape cut into pieces for reading eight reflections of a row at
  // once (pieces[shapepieces[s] .. shapepieces[s + 1]]): up to eight
  // consecutive steps whose points lie within eight neighbouring points on
  // either side, Z(k') from the window at jp + dp, Z(-k') from the one at
  // jm + dm. Lane u is the row's reflection i + first + u; it takes point
  // ip[u] of the first window and im[u] of the second (the bits lp and lm
  // mark the points read at all).
  struct Piece {
    int dp, dm, first, m;
    unsigned lp, lm;
    int ip[8], im[8], dj[8];
    double c[8], s[8];
  };
  std::vector<Piece> pieces;
  std::vector<int> shapepieces;
};

// The density of a run and what its syntheses keep from one call to the next.
//
// A map with the symmetry of a space group is kept as one value per orbit of
// the grid under the group (the smallest grid index of the orbit stands for
// it); a Patterson map, the autocorrelation of the density, invariant under
// the rotations and the inversion but not under the translations of the
// space group, is kept whole, every grid point its own representative; so
// is the map of a group whose orbits on the grid are single points (P1).
//
// Two lists are kept: the current one and a spare, into which the
// maximum-entropy iteration writes a trial density. Accepting the trial or
// going back to the last accepted density is then a matter of which list is
// current; neither is ever copied.
struct Density {
  Table<float> xr0[2];
  int cur = 0;
  int nxr0 = 0;        // values in each list
  bool whole = false;  // every grid point its own value (a Patterson map, or a group with trivial orbits)
  Table<int> rep;      // the orbit map: rep[j] = the list position of grid point j
  // The orbit map row by row along the first axis (made when that axis has
  // even length, the axis the map is paired along): row t of the grid takes
  // either a row of the list in order, rep = base + i at its point i, or,
  // under the inversion, that row mirrored, rep = base + (n0 - i) mod n0;
  // rows[t] is base, ~base for a mirrored row and INT_MIN for any other.
  // A twelfth of rep's size on a grid of 12 a row, it lets the expansion of
  // the list into the grid read the list in sequence instead of through rep.
  Table<int> rows;
  Table<int> all;      // the grid indices 0..nt-1 of a whole map, made when asked for
  float dmin = 0, dmax = 0;  // extremes of the current list
  // Calculated structure factors at the independent observed reflections.
  std::vector<float> fcr, fci;
  // The difference synthesis's coefficient lists and plans, kept from one
  // maximum-entropy cycle to the next (made afresh every cycle, they would
  // cost the system a page fault per page each time).
  std::vector<float> dfr, dfi;
  std::vector<FCoef> dlist;
  SpreadPlan spread;
  HalfPlaces dhalf;
  FcPlan fcplan;

  float* x() { return xr0[cur].data(); }  // the current list
  const float* x() const { return xr0[cur].data(); }
  float* spare() { return xr0[1 - cur].data(); }
  void swap() { cur = 1 - cur; }
};

// The syntheses of real maps run on a half grid of paired points when the
// grid has an axis of even length (density/halfgrid.hpp); the map is always
// left in the real half of the work grid at every point, the imaginary half
// cleared.
void mapxyz(const Crystal& c, WorkGrid& w);  // Fourier synthesis of the coefficients in w
// Difference coefficients (Fo - Fc)/sigma^2 of the independent reflections
// (Fc from d.fcr, d.fci), each times w[k] when weights are given, spread
// over the work grid.
void setdf(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs,
           const float* wk = nullptr);
// setdf, then synthesis: the difference map in the work grid.
void difxyz(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs);
// The same map times V (the synthesis without its 1/V scale), left in the
// work grid where the synthesis made it: on the half grid when the grid has
// a pairing axis (read it with halfmaprun or halfmapat).
HalfMap difxyzv(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs,
               const float* wk = nullptr);
// Structure factors of the current density at the independent reflections
// (into d.fcr, d.fci); returns F000. The work grid is left as scratch (the
// real density is transformed as a half grid of paired points when the
// grid has an axis of even length).
float maphkl(const Crystal& c, WorkGrid& w, Density& d, const Observations& obs);
// The order of the independent reflections in which a maximum-entropy cycle
// walks the half grid: by the point Z(k') from which each one's structure
// factor is read, the point of its coefficient or of its Friedel mate's
// (pairedindex). A list held in this order is read, and its structure
// factors written, in sequence while the half grid is swept forward (Z(k'))
// and backward (Z(-k')); its coefficients go to places that follow the same
// two sweeps. The entry of the list taken i-th is order[i]; empty when the
// grid has no pairing axis.
std::vector<int> cycleorder(const Grid& g, const Observations& obs);
// scalexr0(d, k, floor) and then maphkl, bit for bit; a whole map is scaled
// as it is paired into the half grid (one pass over the density).
float maphklscaled(const Crystal& c, WorkGrid& w, Density& d, const Observations& obs, float k, float floor);
// The density of the coefficients in the work grid (a Fourier, difference
// or Patterson synthesis), and the uniform density f000/V, the start of a
// maximum-entropy run.
Density initcr1(const Crystal& c, const RunState& rs, WorkGrid& w);
Density initcr0(const Crystal& c, const RunState& rs, WorkGrid& w, float f000);
// The density list := the work grid at the independent points (of the map
// kind of the run: whole for a Patterson map and for trivial orbits).
void setxr0(const Grid& g, const RunState& rs, const WorkGrid& w, Density& d);
void getdmx(Density& d);   // d.dmin and d.dmax of the current list
// The current density list scaled by k and held at or above floor, its
// minimum and maximum found in the same pass.
void scalexr0(Density& d, float k, float floor);
// The work grid := the current density at every grid point.
void getbrfromxr0(const Grid& g, const Density& d, WorkGrid& w);
// After setxr0 of a map read from a file: stops the run when the map in the
// work grid does not have the symmetry of the job (the density list keeps
// one value per orbit, and would make a map of a lower symmetry symmetric
// from its asymmetric unit without a word).
void checkxr0symmetry(const Grid& g, const Density& d, const WorkGrid& w);
// The grid index of every stored value.
const int* getxr0grid(const Grid& g, Density& d);
// How many grid points each stored density value stands for (the size of
// its orbit under the group; 1 for a whole map): the weights of a sum over
// the whole grid, such as F(000) = (V/nt) sum_i m_i rho_i.
void getxr0orbits(const Grid& g, const Density& d, std::vector<unsigned char>& m);

}  // namespace trovan
