// Extrema and peaks of the map, merged by symmetry.
//
// After the density has been reconstructed on the work grid, the peak search
// finds the local extrema of the map in up to six dimensions, turns their
// grid positions into fractional coordinates of the setting cell (the
// user's cell, possibly centred or a superstructure), merges the peaks that
// are images of one another under the space group into independent peaks,
// finds the site-symmetry group and the multiplicity of each and lists them
// by decreasing height.
//
// Coordinates. A grid point with grid coordinates n (0 <= n_d < N_d) lies at
// x_grid = n / N in the primitive grid basis; its setting coordinates are
// x = M x_grid (centring first, then the superstructure: ptocx, smtrx), each
// component reduced into [-0.001, 1) (reduc).
//
// Symmetry. The operators (R, tau) act on setting coordinates as
// x' = R x + tau (with the inversion, -R x - tau, for a centrosymmetric
// group). The map is periodic with the lattice of the grid basis, which in
// setting coordinates is M Z^n: besides the whole cell translations it holds
// the centring translations c = M m (mod 1) of an 'f' or 'i' cell or of a
// superstructure. The space group, modulo whole cell translations, is
// therefore every operator, with and without inversion, combined with every
// centring translation.
#pragma once

namespace trovan {

constexpr int kNpkmax = 100000;  // peaks of one search ("npkmax", "namax")
constexpr int kMamax = 500;      // independent peaks ("mamax")

// What the search takes as the height of a grid value v.
enum class PeakHeight {
  none,      // runs that are no density map (Patterson): nothing is recorded
  value,     // Fourier and maximum-entropy maps: maxima only
  absolute,  // difference maps: |v|, so that deep minima are found as well
};
// The height kind of the current run (getiplt).
PeakHeight peakheightkind();

// Neighbourhood search on a periodic grid of sizes ng[0..idm-1] (first axis
// fastest, grid index j = n1 + n2 N1 + ...). A point of value v is rejected
// by a neighbour of value w of its 3^idm block (across the cell faces by
// periodic wrapping) when v > 0 and v < w, or v < 0 and v > w; equal values
// and v = 0 never reject, so every point of a flat top is kept. A kept point
// whose height is strictly above `thresh` is recorded: its grid index goes
// to js (increasing order) while fewer than `cap` are stored. Returns the
// number of points found, counting stops at cap + 1.
int findextrema(const float* map, const int* ng, int idm, float thresh, PeakHeight kind, int* js,
                int cap);

// The search on the work grid (density/workgrid.hpp, real half, getnt()
// points, sizes from gethmax). pkmin is a fraction of the map maximum (the
// maximum taken as 0 when the map is nowhere positive); pkmin = 0 returns at
// once and prints nothing. Prints the peak count and, when there are peaks,
// calls indatm.
void pksearchnd(float pkmin);
void pksearchnd(const float* map, float pkmin);

// Setting coordinates of grid point j (see above), reduced.
void gridtox(int j, float* x);

// Merges na peaks (coordinates x[6*i..6*i+5], signed heights p[i], in grid
// order) into independent peaks: the first member of each class in stored
// order represents it. Prints the counts, the site-symmetry groups and the
// list sorted by decreasing height, and keeps that list for getnpeak/getpeak.
void indatm(int na, const float* x, const float* p);

// iequiv0, sitesy1 and the accessors below use the symmetry description
// that setsym built last (indatm builds it anew; it is built on first use
// otherwise): call setsym again after the symmetry or the setting changes.
//
// 1 when some element of the space group carries position x onto x0 modulo
// whole cell translations, else 0.
int iequiv0(const float* x, const float* x0);
// 1 when the first idm components of y and x0 agree modulo integers: each
// difference within 5e-6 of a whole number.
int rcpmp1(const float* y, const float* x0);

// Symmetry description used by the merging: setsym builds the centring
// translations of the setting cell from M and the list of distinct space
// group elements (modulo whole cell translations). getsym gives the number
// of operators, the centrosymmetry flag (0 or 1) and the number of centring
// translations, the null translation included (1 for a primitive cell).
void setsym();
void getsym(int& nsym, int& icent, int& ncent);
// Centring translation k (0-based, k = 0 is the null translation).
void getcentring(int k, float* c);
// The distinct space group elements (x' = R x + t, t reduced into [0, 1)):
// their number and element k (0-based). The first is the identity.
int getnspgop();
void getspgop(int k, int* rot, double* trans);

// Site symmetry of n positions x[6*i..]: prints the group of each (the
// elements fixing the position, as coordinate triplets like the operator
// listing) and returns in mult[i] the number of distinct images of the
// position in the setting cell and in order[i] the order of its site group
// (mult * order = getnspgop()).
void sitesy1(int n, const float* x, int* mult, int* order);

// Values and setting coordinates of the first lowest and the first highest
// value of the map (scanned in grid order).
void getpeakcrd(float& dmin, float* xmn, float& dmax, float* xmx);
void getpeakcrd(const float* map, float& dmin, float* xmn, float& dmax, float* xmx);

// The independent peaks of the last search, by decreasing height: their
// number (0 before any search or when none was found) and peak i (0-based):
// setting coordinates (six), signed height, site multiplicity.
int getnpeak();
void getpeak(int i, float* x, float& height, int& mult);

// No peaks and no symmetry description, as at the start of the program.
void resetpeaks();

}  // namespace trovan
