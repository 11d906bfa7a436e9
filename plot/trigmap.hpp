// Values of the map between its grid points by trigonometric interpolation:
// the finite Fourier series whose coefficients are those of the grid itself,
//     rho(x) = sum_h c_h exp(2 pi i h.x),
// evaluated at any setting point x. Unlike multilinear interpolation in the
// grid basis, the series commutes with every operator of the group: an
// operator (R, t) permutes the frequencies h -> R^T h, so the value at the
// image R x + t of x is the value at x for a map with that symmetry. A
// section through mirror-related atoms draws them alike, whatever the
// angles of the grid basis; a band-limited map (a Fourier map whose
// reflections fit the grid) is reproduced exactly between the grid points.
//
// The grid's coefficients are periodic in h (h and h + N m give the same
// grid values), so each one must be given a single frequency, its alias of
// smallest length in a metric the group keeps. Where aliases are equally
// short (the Nyquist frequencies of an even grid) the coefficient is shared
// out evenly among them, and the choice stays symmetric.
//
// A maximum-entropy map has coefficients out to the edge of its grid. Only
// the largest are kept, until the omitted ones make an rms of no more than
// a fraction `tol` of the map's largest |value|; the rest, the
// map minus the synthesis of the kept terms on the grid, is added by
// multilinear interpolation averaged over the images of the point under the
// group (plot/section.hpp, Sampler): the rest has the map's symmetry on the
// grid, so the mean is covariant too and every grid point is still
// reproduced exactly.
#pragma once
#include <memory>
#include <vector>

#include "plot/section.hpp"

namespace trovan {

struct TrigMap {
  int idm = 0;
  // Term k: frequency h[6k .. 6k+5] in setting reciprocal coordinates
  // (cycles per setting cell), and its coefficient with the weight of its
  // Friedel mate (2 c_h, c_0 alone): rho = sum_k Re(c_k exp(2 pi i h_k.x)).
  std::vector<double> h, cre, cim;
  // The map minus the synthesis of the kept terms, on the map's grid
  // (restgrid: its sizes; rho is the data of `rest`).
  std::shared_ptr<const std::vector<float>> rest;
  MapGrid restgrid;
  double minv[36] = {};  // x_grid = minv x
  double maxrest = 0;    // largest |rest| on the grid
  double maxabs = 0;     // largest |value| of the map
  long long kept = 0, nonzero = 0;  // coefficient classes kept, and all that are not zero

  long long terms() const { return static_cast<long long>(cre.size()); }
};

// The interpolant of map g (minv: setting to grid basis; metric: the
// setting cell's metric, Angstrom^2, to which the aliases are measured after
// it is averaged over the operators ops so that the group keeps it). tol = 0
// keeps every coefficient that is not zero (a Fourier map's reflections).
TrigMap maketrigmap(const MapGrid& g, const double* minv, const double* metric, const std::vector<AffineOp>& ops,
                     double tol = 1e-3);

// The interpolant of the mean of the map over the images of ops:
// rho_mean(x) = (1/|G|) sum_g rho(R_g x + t_g), a series of its own whose
// frequencies are the images R^T h of the original ones. Its rest is left
// to the caller to average (sampleat with the ops on t.restgrid).
TrigMap symmetrisedtrigmap(const TrigMap& t, const std::vector<AffineOp>& ops);

// The series alone at setting point x (without the rest).
double trigseries(const TrigMap& t, const double* x);

// The series alone at every point of the box b (as samplebox orders them),
// by phase recurrences along the box's axes; shared among the threads.
void trigseriesbox(const TrigMap& t, const SampleBox& b, double* out);

}  // namespace trovan
