// The grid and its index tables: grid sizes N1..N6 (which bound the
// reflection indices too), strides, the maps between a grid index j, grid
// coordinates and reflection indices, the symmetry operators in the grid
// basis, and the lists of symmetry-independent reflections and grid points.
//
// Grid index j is 0-based, j = x1 + x2*M1 + ... + xn*M(n-1) with the
// strides M0 = 1, Mi = Mi-1 * Ni over the dimension n of the grid. A
// reflection h is stored at the j of the grid point h mod N (the layout of
// a discrete Fourier transform), so j = 0 is both the origin and F(000).
//
// Everything here works in the grid basis (see crystal/setting.hpp):
// setsmopprm() carries the operators over as R_grid = M^-1 R M,
// tau_grid = M^-1 tau, and the helpers gethrg, getytg and getrxi apply them
// with the sign convention of crystal/symmetry.hpp, so a map built from
// these tables satisfies rho(R x + tau) = rho(x).
#pragma once

#include <cstdint>
#include <vector>

#include "crystal/op.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "util/gridview.hpp"
#include "util/table.hpp"

namespace trovan {

// The most points a grid may have ("nts" in the messages). Memory is the
// real limit (setitt checks it); this one comes from the density file, one
// unformatted record whose 4-byte length marker, read as a signed integer
// by other programs, counts 4 bytes a point.
constexpr long long kGridMax = 536870911;
// What the tables of a job take per grid point: the work grid (8 bytes),
// the independent points and their orbit map (8), and the two density
// lists (8), with room for the smaller tables.
constexpr long long kBytesPerPoint = 28;

// The action of an operator on the grid, component by component of its
// result, through the non-zero elements alone (a superspace operator has one
// to three per row, and the walks over the whole grid apply an operator to
// every point): component e is t[e] + sum value[q] in[col[q]] over q =
// first[e] .. first[e+1]-1. On grid coordinates it is R_grid scaled by N_e /
// N_i with the translation in grid steps; on reflection indices it is
// h.R_grid.
struct Action {
  int first[kDim + 1] = {};
  int col[kDim2] = {}, value[kDim2] = {};
  int t[kDim] = {};
};

// The grid of a run and its index tables.
struct Grid {
  int idm = kDim;                          // dimension n
  int n[kDim] = {1, 1, 1, 1, 1, 1};        // grid sizes N1..N6
  long long mm[kDim + 1] = {1, 1, 1, 1, 1, 1, 1};  // strides M0..M6
  // The operators in the grid basis (R_grid = M^-1 R M, tau_grid = M^-1 tau
  // reduced into [0, 1)), their actions on grid points and on reflections,
  // and the inversion flag of the group they came from.
  std::vector<Op> ops;
  std::vector<Action> xact, hact;
  int ncent = 0;
  bool prepared = false;
  bool first_identity = false;  // operator 1 is the identity: the walks skip it
  // Every operator (and the inversion, for a centrosymmetric group) leaves
  // every grid point and every reflection where it is: each is its own
  // orbit, of size 1 (P1; also any group on a grid too coarse to see it).
  // The lists are then the whole grid in order, made without a walk.
  bool trivial = false;
  long long stamp = 0;          // content key of sizes and operators
  // Tables of the job's grid, allocated when first made.
  Table<std::uint64_t> mark;  // the orbit walk's marks, one bit a point
  Table<int> findx, xindx;
  int nfindx = 0, nxindx = 0;
  // The list of independent reflections is made when it is first read, not
  // by setindfindx: a run needs only its count (the observed reflections are
  // located through their own indices), and on a large grid the list of a
  // low-symmetry group would take tens of megabytes that nothing reads.
  bool findx_made = false;
};

// Grid sizes (six integers, components above the dimension are ignored) and
// the dimension; sizes below 1 stop the run ("hmax should be positive").
// The strides follow (calmm).
void setng(Grid& g, const int* n);
void calmm(Grid& g);
// Product of the grid sizes over the dimension; may exceed kGridMax (the
// driver checks), saturates far above it instead of overflowing.
inline long long getnt(const Grid& g) { return g.mm[g.idm]; }
// Prepares the tables for the grid: checks that the machine has the memory
// they need (the run stops with status 3 when not); the job makes its work
// grid (util/workgrid.hpp) of getnt points when it computes. Does nothing
// when the grid has more than kGridMax points (the driver then stops with
// "nt > nts").
void setitt(Grid& g);
// A map of this grid (getnt values) as a view.
GridView gridview(const Grid& g, const float* map);
// The sizes and the dimension of g, with none of its operators and tables:
// the grid a job's computation starts from (setitt done).
Grid samegrid(const Grid& g);

// Index maps. Components above the dimension are 0 in every result.
void getitoxyz(const Grid& g, int j, int* x);
int getxyztoj(const Grid& g, const int* x);  // x folded into the cell first
void tounitcell(const Grid& g, int* x);      // x_i mod N_i into 0..N_i-1
void tobrillzone(const Grid& g, int* h);     // folded, then h_i > N_i/2 gets -N_i
void getitohkl(const Grid& g, int j, int* h);
// 1 when some |h_i| > (N_i - 1)/2: the reflection has no place of its own
// on the grid (the edge component of an even grid aliases with -h_i).
int iskip(const Grid& g, const int* h);

// The operators of the group in the grid basis of the setting. Stops,
// naming the operator and the axis, when the grid cannot carry an
// operator: R_grid not integral, an axis coupled to one of another size
// that it does not divide, or a translation that is no whole number of
// grid steps.
void setsmopprm(Grid& g, const Group& grp, const Setting& s);
// Grid-basis index image h.R_grid of operator i (1-based), negated when
// k != 0; the phase shift h.tau_grid over the dimension, negated when k != 0.
void gethrg(const Grid& g, const int* h, int* hr, int i, int k);
double getytg(const Grid& g, const int* h, int i, int k);
// Image of integer grid coordinates: R_grid x + tau_grid in grid steps,
// negated when k != 0, folded into the cell.
void getrxi(const Grid& g, const int* x, int* xr, int i, int k);
// The same image as a grid index, for coordinates already in the cell
// (0 <= x_e < N_e): the fast form for walks over the whole grid.
int getrxij(const Grid& g, const int* x, int i, int k);

// Independent reflections and grid points (the operators prepared): the
// smallest j of every orbit under the operators (with the inversion for a
// centrosymmetric group), in increasing order. Each prints its count.
void setindfindx(Grid& g);
void setindxindx(Grid& g);
// The list of independent reflections, made when first read.
const int* getfindx(Grid& g);
// The orbit map of the grid: rep[j] := the position in the independent
// point list of the independent point whose orbit holds grid point j, for
// every j < nt (rep has nt entries); entries of points in no orbit are left
// as they were. Returns the sum of the orbit sizes, nt when the orbits
// cover the grid.
long long getxindxorbits(const Grid& g, int* rep);

}  // namespace trovan
