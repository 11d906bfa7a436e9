// The page of one section: where the section goes on the sheet, with its
// true lengths and angle, and the pieces drawn on it (frame with axis
// labels, contour lines, the marked peaks, a scale bar, the title and the
// lines of text under the map) through the plot library.
//
// The section is the parallelogram origin + s u + t v, 0 <= s, t <= 1. On
// the page u runs to the right and v at the true angle gamma between u and
// v, counter-clockwise, so the picture is an undistorted (right-handed)
// view of the plane, scaled so that its larger extent is kMapSize cm.
#pragma once
#include <string>
#include <vector>

#include "plot/contour.hpp"
#include "plot/section.hpp"

namespace trovan {

constexpr double kMapSize = 16.0;  // cm

struct SectionPage {
  double lu = 0, lv = 0;  // |u|, |v| in Angstrom
  double cosg = 0;        // cosine of the angle between u and v
  double scale = 0;       // cm per Angstrom
  double o[2] = {};       // page cm of s = t = 0
  double pu[2] = {};      // page vector of u
  double pv[2] = {};      // page vector of v
  double bottom = 0;      // lowest page y of the map (cm)
};

// Layout from the 2x2 metric of the section axes (uu, uv, vv in Angstrom^2),
// placed in the upper part of a portrait page. False when u and v do not
// span a plane (then the page is left undrawn).
bool layoutsection(double uu, double uv, double vv, SectionPage& pg);

// Page cm of the section point (s, t).
void topage(const SectionPage& pg, double s, double t, float& x, float& y);

// Contour lines given in lattice coordinates of an nx x ny section lattice
// (point (i, j) is s = i/(nx-1), t = j/(ny-1)). Long lines go to the plot
// library in pieces that fit its line buffer.
void drawcontourlines(const SectionPage& pg, const std::vector<ContourLine>& lines, int nx, int ny);

// The parallelogram with ticks every tenth of u and v, "0", "0.5", "1"
// along both edges and the axis names.
void drawframe(const SectionPage& pg);

// A small circle and the peak number at each mark.
void drawmarks(const SectionPage& pg, const std::vector<SectionMark>& marks);

// A bar of a round length (1, 2 or 5 times a power of ten Angstrom) under
// the map, labelled with its length.
void drawscalebar(const SectionPage& pg);

// The title centred above the map and the text lines under it.
void drawtexts(const SectionPage& pg, const std::string& title, const std::vector<std::string>& lines);

}  // namespace trovan
