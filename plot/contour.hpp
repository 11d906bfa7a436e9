// Contour lines of a section by marching squares.
//
// The section is a rectangular lattice of values v[i + nx*j] (i along the
// first section axis, fastest). Each square of four neighbouring values is
// cut where the level falls between two corners, by linear interpolation
// along the edge. A square whose diagonal corners lie on the same side (a
// saddle) is resolved by its centre value, the mean of the four corners:
// the corners on the centre's side stay connected through the square. The
// pieces are joined across shared edges into polylines, closed where they
// come back to their start, open where they leave the section.
#pragma once
#include <vector>

namespace trovan {

// A contour polyline in lattice coordinates (x = i, y = j, fractional).
// A closed line repeats its first point at the end.
struct ContourLine {
  std::vector<float> x, y;
  bool closed = false;
};

// A value counts as above the level when v > level; values that are not
// numbers count as below.
std::vector<ContourLine> contourlines(const float* v, int nx, int ny, double level);

// The contour levels: `lf` levels from hmin*vmax upwards in equal steps of
// (1 - hmin)*vmax/lf, so that the next level after the last would be vmax.
// Empty when lf < 1 or vmax is not above 0.
std::vector<double> contourlevels(double vmax, double hmin, int lf);

}  // namespace trovan
