// Cutting sections and boxes out of the superspace map: values between grid
// points (by the map's own Fourier series, plot/trigmap.hpp, or by
// multilinear interpolation), the mean over the symmetry images of a point,
// 1-2-1 smoothing, and the peaks that lie in a section plane.
//
// Two coordinate systems meet here. The user gives points and axes in the
// setting cell (the cell the reflections are indexed in and the peak list
// is printed in); the grid is laid out along the primitive grid basis. The
// setting matrix M converts, x = M x_grid, so a setting point is looked up
// at x_grid = M^-1 x. A wrong M^-1 would shift or shear every map drawn, so
// it is always passed in explicitly.
#pragma once
#include <array>
#include <vector>

#include "util/gridview.hpp"

namespace trovan {

// The map on its grid (util/gridview.hpp): rho[j] with j = i1 + N1*(i2 +
// N2*(i3 + ...)) over the first idm axes (first axis fastest), periodic in
// every axis.
using MapGrid = GridView;

// A symmetry operator acting on setting coordinates, x' = R x + t. R is
// 6x6 column by column (element (e, i) at [i*6 + e]). The inversion of a
// centrosymmetric group appears as operators of its own, (-R, -t).
struct AffineOp {
  double r[36] = {};
  double t[6] = {};
};
AffineOp identityop();
// y = R x + t, the image of setting point x.
void applyaffine(const AffineOp& op, const double* x, double* y);

// 6x6 matrix (column by column) times a 6-vector.
void mat6vec(const double* m, const double* x, double* y);

// The value of the map at x_grid (fractions of the grid cell, any real
// values: the map is periodic). Multilinear interpolation between the 2^idm
// surrounding grid points; exact at a grid point. Components beyond idm are
// ignored.
double interpolate(const MapGrid& g, const double* xg);

struct TrigMap;

// Everything needed to evaluate the map at a setting point.
struct Sampler {
  MapGrid grid;
  double minv[36] = {};          // x_grid = minv x; identity from makesampler
  std::vector<AffineOp> ops;     // empty: no averaging
  // With a series (plot/trigmap.hpp): the value is the series at x plus the
  // multilinear interpolation of its rest averaged over restops; the series
  // is taken as it is (symmetrisedtrigmap makes the mean of a series over
  // the images). At a grid point the value is the map's own (the mean over
  // ops), which the series reproduces only to rounding.
  const TrigMap* trig = nullptr;
  std::vector<AffineOp> restops;
};
Sampler makesampler(const MapGrid& g);

// rho at setting point x; with ops, the mean of rho over the images R x + t
// of x under all of them (by multilinear interpolation unless a series is
// given). For a map that has the symmetry of the operators
// the mean equals the plain value; for a noisy or slightly asymmetric map it
// is the symmetrised value a crystallographer expects to see.
double sampleat(const Sampler& s, const double* x);

// A lattice of points x0 + s u + t v + r w, with s running over n[0] points
// from lo[0] to hi[0] (both included; a single point sits at lo), likewise
// t and r. Values go to out[i + n0*(j + n1*k)], first axis fastest.
struct SampleBox {
  double x0[6] = {};
  double axis[3][6] = {};
  int n[3] = {1, 1, 1};
  double lo[3] = {0, 0, 0};
  double hi[3] = {1, 1, 1};
};
void samplebox(const Sampler& s, const SampleBox& b, float* out);
// Parameter (s, t or r) of point i of axis a.
double boxparam(const SampleBox& b, int a, int i);

// `passes` rounds of 1-2-1 smoothing along each axis with more than one
// point: v_i <- (v_(i-1) + 2 v_i + v_(i+1)) / 4. At an end the missing
// neighbour is taken equal to the end value, so the sum (and the mean) of
// the values is unchanged.
void smooth121(float* v, const int* n, int passes);

// A peak marked on a section: its number in the peak list (1-based), its
// value, and where it lies, as fractions (s, t) along u and v.
struct SectionMark {
  int number = 0;
  double value = 0;
  double s = 0, t = 0;
};

// The peaks (setting coordinates, 6 each) and all their symmetry images
// (ops; identity alone when empty) and lattice translates that lie on the
// section x0 + s u + t v, 0 <= s, t <= 1: a point counts when, after the
// best in-plane fit, it is off the plane by no more than half a grid step
// along every grid axis. Duplicate images (special positions) are marked
// once.
std::vector<SectionMark> marksinplane(const std::vector<std::array<double, 6>>& peaks,
                                      const std::vector<double>& values,
                                      const std::vector<AffineOp>& ops, const double* minv,
                                      const int* n, int idm, const double* x0, const double* u,
                                      const double* v);

}  // namespace trovan
