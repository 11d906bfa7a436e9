// Extrema and peaks of the map, refined between grid points and merged by
// symmetry.
//
// After the density has been reconstructed on the work grid, the peak search
// finds the local extrema of the map in up to six dimensions, refines the
// position and height of each by a quadratic fit over its neighbourhood,
// moves a refined position that lies within kPeakTol grid steps of a special
// position onto it, turns the positions into fractional coordinates of the
// setting cell (the user's cell, possibly centred or a superstructure),
// merges the peaks that are one atom (images of one another under the space
// group, or maxima of one atom split between grid points) into independent
// peaks, finds the site-symmetry group and the multiplicity of each and lists
// them by decreasing height.
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
// centring translation. A Patterson map has the Patterson symmetry instead:
// the rotations with the inversion, no translations, the centring kept.
//
// Distances between positions (the snapping and the merging tolerance) are
// measured in grid steps: the difference of two positions in the grid basis
// times the grid sizes, its length in the metric of the steps that the
// symmetry keeps (getstepmetric).
#pragma once
#include <array>
#include <map>
#include <vector>

#include "crystal/crystal.hpp"
#include "util/gridview.hpp"
#include "util/runstate.hpp"

namespace trovan {

// Tolerance, in grid steps, of the snapping onto special positions and of
// the merging of peaks that are one atom.
constexpr double kPeakTol = 0.3;

// What the search takes as the height of a grid value v.
enum class PeakHeight {
  none,      // runs that are no map the search knows: nothing is recorded
  value,     // Fourier, maximum-entropy and Patterson maps: maxima only
  absolute,  // difference maps: |v|, so that deep minima are found as well
};
// The height kind of a run's map (its iplot).
PeakHeight peakheightkind(const RunState& rs);

// Neighbourhood search on a periodic grid of sizes ng[0..idm-1] (first axis
// fastest, grid index j = n1 + n2 N1 + ...). A point of value v is rejected
// by a neighbour of value w of its 3^idm block (across the cell faces by
// periodic wrapping) when v > 0 and v < w, or v < 0 and v > w; equal values
// and v = 0 never reject; a point with nothing below it (v = 0, a grid of
// one point) is no extremum. Equal values make a plateau: the points of one
// value that no neighbour exceeds, connected through their blocks. A
// plateau is one extremum, found at its first point in grid order, when
// some point of it has a neighbour below it (for v < 0: above it); a
// plateau with nothing below it (a flat map) is none. So two grid points of
// one value either side of a mirror are one extremum (the merging by
// symmetry would make them one peak anyway), and a flat-topped maximum is
// one however many points its top holds. An extremum whose height is
// strictly above `thresh` is appended to js (increasing order). Time and
// memory are bounded by the grid: each point of a plateau is walked once,
// marked in one bit a grid point. Returns the number found.
int findextrema(const float* map, const int* ng, int idm, float thresh, PeakHeight kind,
                std::vector<int>& js);

// Refinement of an extremum between grid points. About the grid point j
// the map is fitted by a quadratic, by least squares over the point and its
// nearest neighbours in the metric of the grid steps, shell by shell (all
// neighbours at one distance or none, so that the fit keeps the symmetry of
// the lattice), until they determine the quadratic. The quadratic is fitted
// to ln|v| when every value used has the sign of the peak (exact for a
// Gaussian peak), to v itself otherwise. Its maximum (its
// minimum for a negative peak) gives the offset in grid steps along each
// grid axis; the refined height is the grid value raised by the rise of the
// quadratic from the grid point to that maximum. Directions (eigenvectors in
// the metric) in which the fit is no maximum, or whose maximum lies farther
// than the points fitted, keep the grid point; axes of fewer than 3 points
// are not refined.
//
// The set-up for a grid: the axes refined, the points used (offsets in
// steps along those axes, at most 3, the grid point first) and the
// least-squares solution operator (one row per coefficient: the value, the
// gradient along each axis, then the second derivatives d2/dt_a^2, then
// d2/dt_a dt_b for a < b).
struct PeakFit {
  int m = 0;          // axes refined
  int axis[6] = {};   // their grid axes
  std::vector<std::array<signed char, 6>> offsets;
  std::vector<double> solve;  // coefficients x offsets, row by row
  double chol[36] = {};       // L of the metric G = L L^T, (a, b) at [a*6 + b]
  double radius = 0;          // distance of the farthest point used
  double reach = 0;           // half the diagonal of a grid cell: the farthest refinement moves
};
// `metric`: the metric of the grid steps, (i, j) at [j*6 + i] for the idm
// grid axes (the scalar products of the steps along grid axes i and j).
PeakFit peakfit(const int* ng, int idm, const double* metric);
void refinepeak(const PeakFit& fit, const float* map, const int* ng, int idm, int j,
                double* delta, float& height);

// One independent peak of a search: the grid point that represents it (its
// setting coordinates and value), its refined position (snapped onto its
// special position) and height, and its site multiplicity.
struct Peak {
  float x[6] = {};
  float p = 0;
  float xr[6] = {};
  float pr = 0;
  int mult = 0;
};
// The independent peaks of a search, by decreasing grid value (the order of
// the listing: peak k is number k+1). Empty when pkmin = 0 or nothing was
// found.
struct Peaks {
  std::vector<Peak> list;
};

// The grid steps the distances between peaks are measured in: M^-1
// (setting to grid basis), the grid sizes, the metric of the steps
// (getstepmetric) and, per grid axis, the largest step component of a
// displacement of unit length in that metric.
struct GridSteps {
  double minv[36] = {};
  int ng[6] = {1, 1, 1, 1, 1, 1};
  double q[36] = {};
  double reach[6] = {};
};
// The grid steps of a setting M (with its inverse), grid sizes hmax
// (sizes below 1 count as 1) and the distinct rotations of its point group
// (setting coordinates, column by column), over the first idm axes.
GridSteps gridsteps(const double* m, const double* minv, const int* hmax, int idm,
                    const std::vector<std::array<int, 36>>& rotations);

// The symmetry description the merging uses, built by setsym from the
// crystal and the map kind: the centring translations of the setting cell
// (from M), the distinct space group elements modulo whole cell
// translations (the Patterson symmetry for a Patterson map: the rotations
// and the inversion, no translation of the operators), the number of
// operators nsym, the centrosymmetry flag icent (0 or 1; 1 for a Patterson
// map), the grid steps, the setting (coordinates of grid points) and the
// height kind of the map.
struct PeakSymmetry {
  // A space group element modulo whole cell translations: x' = R x + t in
  // setting coordinates (t reduced into [0, 1) over the map's axes), and
  // the order of R.
  struct Element {
    Op op;
    int order = 1;
  };
  int idm = 1;
  int nsym = 0, icent = 0;
  std::vector<std::array<double, 6>> ctr;  // centring translations, [0, 1)
  std::vector<Element> spg;
  std::map<std::vector<long long>, int> spgindex;
  GridSteps steps;
  Setting setting;
  PeakHeight height = PeakHeight::none;
};
PeakSymmetry setsym(const Crystal& c, const RunState& rs);

// The search on the map of the crystal's grid with its symmetry. pkmin is a fraction
// of the map maximum (the maximum taken as 0 when the map is nowhere
// positive); pkmin = 0 returns at once and prints nothing. Prints the peak
// count and, when there are peaks, refines them and calls indatm, whose
// list it returns. The fit uses the metric of the grid steps of the
// symmetry (getstepmetric), or the one given.
Peaks pksearchnd(const PeakSymmetry& ps, const GridView& g, float pkmin);
Peaks pksearchnd(const PeakSymmetry& ps, const GridView& g, float pkmin, const double* metric);
// The same on `map`, a map of the crystal's grid, with setsym(c, rs).
Peaks pksearchnd(const Crystal& c, const RunState& rs, const float* map, float pkmin);

// Setting coordinates of grid point j of the grid of ps, reduced.
void gridtox(const PeakSymmetry& ps, int j, float* x);
// Setting coordinates of the grid-basis position of grid point j moved by
// delta grid steps along the grid axes, reduced.
void gridtox(const PeakSymmetry& ps, int j, const double* delta, float* x);

// Moves a position (setting coordinates) onto the special position within
// kPeakTol grid steps that has the largest site group, if there is one:
// the position averaged over that site group. Returns the order of the site
// group of the position returned (1: a general position).
int snapspecial(const PeakSymmetry& ps, float* x);

// Merges na peaks into independent peaks: grid-point coordinates x[6*i..],
// grid values p[i], in grid order, and the refined coordinates xr and
// heights pr (the grid ones when left out). The refined positions are
// snapped onto special positions; peaks whose refined positions, or images
// of them, lie within kPeakTol grid steps of one another are one peak, the
// first in stored order represents them. Prints the counts, the site-symmetry
// groups and the list sorted by decreasing grid value, and returns that list.
Peaks indatm(const PeakSymmetry& ps, int na, const float* x, const float* p);
Peaks indatm(const PeakSymmetry& ps, int na, const float* x, const float* p, const float* xr, const float* pr);

// 1 when some element of the space group carries position x onto x0 modulo
// whole cell translations, else 0.
int iequiv0(const PeakSymmetry& ps, const float* x, const float* x0);
// 1 when the first idm components of y and x0 agree modulo integers: each
// difference within 5e-6 of a whole number.
int rcpmp1(int idm, const float* y, const float* x0);

// getsym gives the number of operators, the centrosymmetry flag and the
// number of centring translations, the null translation included (1 for a
// primitive cell).
void getsym(const PeakSymmetry& ps, int& nsym, int& icent, int& ncent);
// Centring translation k (0-based, k = 0 is the null translation).
void getcentring(const PeakSymmetry& ps, int k, float* c);
// The metric of the grid steps (idm axes, (a, b) at [b*6 + a]): the sum of
// S^T S over the rotations S of the point group written in steps along the
// grid axes, scaled to unit steps. The symmetry keeps it, so that a
// displacement and its images have one length; for the signed permutations
// of a cubic or hypercubic point group it is the identity, for a hexagonal
// net the metric of the net.
void getstepmetric(const PeakSymmetry& ps, double* q);
// The distinct space group elements (x' = R x + t, t reduced into [0, 1)):
// their number and element k (0-based). The first is the identity.
int getnspgop(const PeakSymmetry& ps);
void getspgop(const PeakSymmetry& ps, int k, int* rot, double* trans);

// Site symmetry of n positions x[6*i..]: prints the group of each (the
// elements fixing the position, as coordinate triplets like the operator
// listing) and returns in mult[i] the number of distinct images of the
// position in the setting cell and in order[i] the order of its site group
// (mult * order = getnspgop()).
void sitesy1(const PeakSymmetry& ps, int n, const float* x, int* mult, int* order);

// Values and setting coordinates of the first lowest and the first highest
// value of the map (scanned in grid order).
void getpeakcrd(const Setting& set, const GridView& g, float& dmin, float* xmn, float& dmax, float* xmx);

}  // namespace trovan
