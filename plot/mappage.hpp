// The page of one section: where the section goes on the sheet, with its
// true lengths and angle, and the pieces drawn on it (frame with axis
// labels, contour lines, the marked peaks, a scale bar, the title and the
// lines of text under the map) through the plot library, on the page of
// the plotter `pl` each is handed.
//
// The section is the parallelogram origin + s u + t v, 0 <= s, t <= 1. On
// the page u runs to the right and v at the true angle gamma between u and
// v, counter-clockwise, so the picture is an undistorted (right-handed)
// view of the plane, scaled so that its larger extent is kMapSize cm.
#pragma once
#include <string>
#include <vector>

#include "plot/calcomp.hpp"
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
  int bars = 1;           // scale bars under the map (the text follows them)
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
void drawcontourlines(Plotter& pl, const SectionPage& pg, const std::vector<ContourLine>& lines, int nx, int ny);

// One axis of a section as the page labels it: its name and its ticks,
// each at the fraction s of the axis with the value it shows.
struct SectionTick {
  double s = 0;
  std::string label;  // empty: a minor tick
};
struct SectionAxis {
  std::string name;
  std::vector<SectionTick> ticks;
};

// The ticks of the axis origin + s dir, 0 <= s <= 1, over ncomp components
// named names[i]. Along one component (dir has a single non-zero one, i) the
// ticks are the values of that coordinate and the axis is names[i];
// otherwise they are the distance from the origin, of `length` at s = 1,
// and the axis is named `alongname`. Labelled ticks fall on round values
// (1, 2, 2.5 or 5 times a power of ten, five to ten of them), with minor
// ticks half-way between.
SectionAxis makeaxis(const double* origin, const double* dir, int ncomp, const char* const* names, double length,
                     const std::string& alongname);

// The parallelogram with the ticks and names of its two axes outside the
// u edge (below) and the v edge (left); the names are drawn as given.
void drawframe(Plotter& pl, const SectionPage& pg, const SectionAxis& au, const SectionAxis& av);

// Text split at blanks into lines of at most `width` characters (a word
// longer than that stands on a line of its own, cut).
std::vector<std::string> wraptext(const std::string& text, std::size_t width);

// A small circle and the peak number at each mark.
void drawmarks(Plotter& pl, const SectionPage& pg, const std::vector<SectionMark>& marks);

// A bar of a round length (1, 2 or 5 times a power of ten Angstrom) under
// the map, labelled with its length; `what` follows the length in the
// label. `factor` (page length of an Angstrom relative to the map's scale)
// draws the bar of an axis drawn on a scale of its own, one row lower
// (row 1).
void drawscalebar(Plotter& pl, const SectionPage& pg, double factor = 1, const std::string& what = "", int row = 0);

// The title centred above the map (wrapped onto further lines when it is
// wider than the page) and the text lines under it (wrapped likewise).
void drawtexts(Plotter& pl, const SectionPage& pg, const std::string& title, const std::vector<std::string>& lines);

}  // namespace trovan
