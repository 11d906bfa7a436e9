// The grid and its index tables: grid sizes N1..N6 (which bound the
// reflection indices too), strides, the maps between a grid index j, grid
// coordinates and reflection indices, the symmetry operators in the grid
// basis, and the lists of symmetry-independent reflections and grid points.
//
// Grid index j is 0-based, j = x1 + x2*M1 + ... + xn*M(n-1) with the
// strides M0 = 1, Mi = Mi-1 * Ni over the dimension n = getidm(). A
// reflection h is stored at the j of the grid point h mod N (the layout of
// a discrete Fourier transform), so j = 0 is both the origin and F(000).
//
// Everything here works in the grid basis (see crystal/setting.hpp):
// setsmopprm() carries the operators over as R_grid = M^-1 R M,
// tau_grid = M^-1 tau, and the helpers gethrg, getytg and getrxi apply them
// with the sign convention of crystal/symmetry.hpp, so a map built from
// these tables satisfies rho(R x + tau) = rho(x).
#pragma once

#include "util/workgrid.hpp"
#include "util/gridview.hpp"

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

// Grid sizes (six integers, components above the dimension are ignored).
void setng(const int* n);
void getng(int* n);
// The grid sizes under their second name (they bound the reflection
// indices too): a forwarder to getng.
void gethmax(int* n);
// Strides from the grid sizes and getidm(); sizes below 1 stop the run.
void calmm();
void getmm(long long* mm);  // M0..M6
// Prepares the tables for the grid: checks that the machine has the memory
// they need (the run stops with status 3 when not), and makes the work grid
// hold the grid's points, all zero. Does nothing when the grid has more than
// kGridMax points (the driver then stops with "nt > nts").
void setitt();
// Product of the grid sizes over the dimension; may exceed kGridMax (the
// driver checks), saturates far above it instead of overflowing.
long long getnt();
// A map of this grid as a view (sizes from getng, dimension from getidm);
// without a map, the real half of the work grid.
GridView gridview(const float* map = nullptr);

// Index maps. Components above the dimension are 0 in every result.
void getitoxyz(int j, int* x);
int getxyztoj(const int* x);  // x folded into the cell first
// getitoxyz under its second name, a forwarder.
void getindx(int j, int* x);
void tounitcell(int* x);   // x_i mod N_i into 0..N_i-1
void tobrillzone(int* h);  // folded, then h_i > N_i/2 gets -N_i
void getitohkl(int j, int* h);
// The grid index of a reflection: getxyztoj under the name of the reflection
// side (negative indices wrap), a forwarder.
int gethkltoj(const int* h);
// 1 when some |h_i| > (N_i - 1)/2: the reflection has no place of its own
// on the grid (the edge component of an even grid aliases with -h_i).
int iskip(const int* h);

// Grid-basis operators (needs the grid, the symmetry and the setting).
// Stops, naming the operator and the axis, when the grid cannot carry an
// operator: R_grid not integral, an axis coupled to one of another size
// that it does not divide, or a translation that is no whole number of
// grid steps.
void setsmopprm();
// A number that changes whenever the grid or the operators on it do
// (setng, calmm, setsmopprm, resetgridindex): a table made from them can
// tell whether it still holds.
long long getgridstamp();
void getrgrid(int i, int* rot);       // R_grid of operator i (1-based)
// Grid-basis index image h.R_grid, negated when k != 0.
void gethrg(const int* h, int* hr, int i, int k);
// Phase shift h.tau_grid over the dimension, negated when k != 0.
double getytg(const int* h, int i, int k);
// Image of integer grid coordinates: R_grid x + tau_grid in grid steps,
// negated when k != 0, folded into the cell.
void getrxi(const int* x, int* xr, int i, int k);
// The same image as a grid index (getxyztoj of getrxi), for coordinates
// already in the cell (0 <= x_e < N_e): the fast form for walks over the
// whole grid.
int getrxij(const int* x, int i, int k);

// Independent reflections and grid points: the smallest j of every orbit
// under the operators (with the inversion for a centrosymmetric group), in
// increasing order. Each prints its count.
void setindfindx();
void setindxindx();
int getnfindx();
// getnfindx() entries, made when first read after setindfindx (with the
// grid and operators then in force): a run that only needs the count never
// fills the list.
const int* getfindx();
int getnxindx();
const int* getxindx();  // getnxindx() entries
// The orbit map of the grid: rep[j] := the position in getxindx() of the
// independent point whose orbit holds grid point j, for every j < nt (rep
// has nt entries); entries of points in no orbit are left as they were.
// Returns the sum of the orbit sizes, nt when the orbits cover the grid.
long long getxindxorbits(int* rep);

// Grid sizes 1, no operators prepared, both lists empty: the state at the
// start of the program.
void resetgridindex();

}  // namespace trovan
