// The map drawing: after the map is made and its peaks are listed, the run
// ends by cutting the sections and boxes that the keyword input asks for.
// A two-dimensional section becomes a contour map on a page of its own in
// calcomp1.ps; a three-dimensional box is written to the box files
// (prefix.win, prefix.rho and the CCP4 map prefix.ccp4; prefix_2.* and so
// on for the second and later boxes of a run).
//
// The drawing lines are read and checked with the rest of the keyword input,
// before the map is computed (readdrawings, driver/drawingkeys.hpp), and
// drawn at the end of the run from what was read (drwmap).
//
// Keys (read after the "h=" lines; "new line" keys start a line):
//   ng=                       new line: number of drawings (0: none, no
//                             file), at most 1000
//   iax= ipers= iaver= ismth= new line: 2 section, 3 box; 0 origin and axes in
//                             fractions of the setting cell, 1 in Cartesian
//                             Angstrom; 1 = mean over symmetry images; 0, 1
//                             or 2 passes of 1-2-1 smoothing
//   x=  (6)                   new line, ipers = 0: the origin
//   xe= (3) xi= (3)           new line, ipers = 1: the origin, external and
//                             internal Cartesian components
//   u= (6), v= (6)            one new line each: the axes
//   q= (6)                    new line, boxes only: the third axis
//   div= (2) hmin= lf=        new line, sections: intervals along u and v
//                             ((div1+1)(div2+1) at most jxmax), lowest
//                             contour as a fraction of the map maximum,
//                             number of contour levels (0 to 100);
//                             optional iscale=: in a section with one axis
//                             in physical and one in internal space, the
//                             page length of an Angstrom of the internal
//                             axis against one of the physical axis (0 or
//                             absent: the internal axis is drawn as long as
//                             the physical one)
//   xmin= xmax= ymin= ymax= zmin= zmax=  new line, boxes: the box as
//                             fractions along u, v, q
//   xdiv= ydiv= zdiv= hscl=   new line, boxes: points along u, v, q (their
//                             product at most jxmax) and the factor applied
//                             to the values written
// The drawing covers origin + s u + t v (+ r q).
#pragma once
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "crystal/crystal.hpp"
#include "maps/boxfile.hpp"
#include "maps/peaks.hpp"
#include "util/runstate.hpp"
#include "plot/calcomp.hpp"
#include "plot/section.hpp"
#include "plot/trigmap.hpp"

namespace trovan {

// Work arrays of a drawing: at most this many sampled points.
constexpr long long kJxmax = 4194304;
// Contour levels of a section (lf=) and drawings of a run (ng=) at most.
constexpr int kMaxLevels = 100;
constexpr int kMaxDrawings = 1000;

// The series of a maximum-entropy map is cut where the coefficients left out
// make this rms, as a fraction of the map's maximum (plot/trigmap.hpp).
constexpr double kMemSeriesTol = 1e-2;

// Everything a drawing needs from the rest of the run.
struct MapContext {
  MapGrid grid;
  double minv[36] = {};    // x_grid = minv x (setting to grid basis)
  double metric[36] = {};  // setting-cell metric, Angstrom^2: |x|^2 = x.G.x
  double extmetric[36] = {};  // its physical-space part: |x_external|^2 = x.G_e.x
  double cart[36] = {};    // x = cart e: Cartesian (3 external, 3 internal; Angstrom) to setting
  bool threed = false;     // the setting's first three axes are a 3-D cell (isys=0)
  std::vector<AffineOp> ops;  // the symmetry images averaged over (inversion included)
  std::vector<std::array<double, 6>> peaks;  // setting coordinates; peak k is number k+1
  std::vector<double> peakheights;
  std::string title;       // "title=" text
  std::string kind;        // "Fourier map ", "D-Fourier map ", ...
  bool difference = false;  // negative contours too
  bool mem = false;         // a maximum-entropy map: its series is cut (plot/trigmap.hpp)
  double gridmin = 0;       // the map's smallest value on the grid
  double vmax = 0;         // contour reference: the map maximum (|extreme| for a difference map)
  std::string win = "map.win", rho = "map.rho";  // box file names (prefix.win, prefix.rho)
  // The map's Fourier series averaged over ops (interp=0), made when first
  // needed (preparetrig) and shared by every drawing.
  std::shared_ptr<const TrigMap> trig;
};

// The geometry of the crystal, all that reading a drawing needs: the map
// `map` (getnt points of the crystal's grid; null while the keyword input is
// read), the grid sizes and dimension, M^-1, the metric and Cartesian
// conversion of the lattice. Known once the keyword input up to the
// drawings is read.
MapContext mapgeometry(const Crystal& cr, const float* map);
// The whole context, after the map is made: the geometry, the symmetry
// operators, the independent peaks of the peak search (numbered as listed),
// the title and map kind, the contour reference. The caller adds the box
// file names.
MapContext mapcontext(const Crystal& cr, const RunState& rs, const float* map, const Peaks& peaks = {});

// Map kind label of a run (its iplot).
std::string mapkindlabel(const RunState& rs);

// One drawing as read, with its geometry in setting fractions.
struct DrawRequest {
  int number = 0;  // 1-based
  int iax = 2, ipers = 0, iaver = 0, ismth = 0;
  int interp = 0;  // values between grid points: 0 the map's Fourier series, 1 multilinear
  double xe[3] = {}, xi[3] = {};  // origin as given when ipers = 1
  double given[3][6] = {};        // axes as given (fractions or Cartesian)
  double x0[6] = {};              // origin, setting fractions
  double axis[3][6] = {};         // u, v, q in setting fractions
  double gram[3][3] = {};         // scalar products of u, v, q (Angstrom^2)
  int div[2] = {1, 1};
  double hmin = 0;
  int lf = 0;
  double iscale = 0;  // page scale of an internal axis against the external one; 0: drawn as long
  double box[6] = {0, 1, 0, 1, 0, 1};  // xmin xmax ymin ymax zmin zmax
  int bdiv[3] = {1, 1, 1};
  double hscl = 1;
  // Sections: 1 the title and the parameter text on the page, 0 the
  // drawing alone (frame, axes, contours, peak marks, scale bar); 1
  // logarithmic levels from hmin max to max; explicit levels (e/A^3,
  // clev=, lf of them) in place of hmin; 1 the section's values also as a
  // text grid (sectiongridname).
  int itext = 1, ilog = 0, igrid = 0;
  std::vector<double> clev;
  // The run's page file (from the ng= line, the same in every request): 0
  // calcomp1.ps, 1 named after the prefix of file2= (prefix.ps).
  int ipage = 0;
};

// The page file's base name of a run with drawings rqs and box prefix
// `win` (prefix.win): "" (calcomp1.ps) or the prefix (ipage=1).
std::string pagebase(const std::vector<DrawRequest>& rqs, const std::string& win);
// The text grid of section `number` of a run: prefix_section<number>.txt.
std::string sectiongridname(const std::string& win, int number);
// The contour levels of a section: explicit (clev, sorted), logarithmic
// (ilog: lf levels in equal ratios from hmin vmax to vmax, hmin > 0), or
// linear (lf levels from hmin vmax in steps of (1 - hmin) vmax / lf).
std::vector<double> sectionlevels(const DrawRequest& rq, double vmax);

// Makes the series of ctx's map that the requests need (interp=0), once for
// a run, and lists what they hold.
void preparetrig(MapContext& ctx, const std::vector<DrawRequest>& rqs);

// Converts the origin and axes of a drawing as read (x0 holds the origin of
// a drawing given in fractions, ipers = 0; xe and xi that of one given in
// Cartesian Angstrom, ipers = 1; `given` the axes) into setting fractions
// with ctx (cart, metric), with their scalar products; echoes the
// conversion and the lengths and angles of the axes, and stops when the
// axes do not span a plane (a volume for a box) or the request does not
// fit (checkfits).
void placedrawing(const MapContext& ctx, DrawRequest& rq);

// Stops with "ixm*iym*izm > nt" or "(ixm+1)*(iym+1)*(izm+1)>jxmax" when the
// request does not fit (ixm, iym, izm: the intervals along its axes). The
// products are compared without overflow, whatever the divisions.
void checkfits(const MapContext& ctx, const DrawRequest& rq);

// Samples the section or box of a request (averaged and smoothed as asked).
// n receives the points along each axis; stops when the work arrays are
// too small.
std::vector<float> samplerequest(const MapContext& ctx, const DrawRequest& rq, int* n);

// The contours of a section drawn with the series (interp=0, no smoothing)
// are traced on a lattice this many times finer than div=: at least
// kContourIntervals intervals along each axis (steps of at most 0.13 cm on
// the page), at most 8 times finer, at most kContourPoints points. 1
// otherwise.
constexpr int kContourIntervals = 120;
constexpr double kContourPoints = 90000;
int contourrefinement(const DrawRequest& rq);

// Draws a section on the open page of the plotter.
void drawsection(Plotter& pl, const MapContext& ctx, const DrawRequest& rq);
// The box files of the nbox-th box of a run (1-based) from the first box's
// binary name prefix.win: prefix.win, prefix.rho, prefix.ccp4 for the
// first, prefix_<nbox>.* for later ones.
std::array<std::string, 3> boxfilenames(const std::string& win, int nbox);
// Where the CCP4 map of a box of n points with the cell `cell` (its own,
// as the other box files hold it) sits for a viewer (maps/boxfile.hpp).
Ccp4Place ccp4place(const MapContext& ctx, const DrawRequest& rq, const int* n, const float* cell);
// Writes the nbox-th box of the run to its three box files; stops, writing
// nothing, when a value times hscl is not a finite number.
void writebox(const MapContext& ctx, const DrawRequest& rq, int nbox = 1);

// Makes the drawings read: sections as pages on device ldev (1 or 2), in
// the page file of a plotter of their own, and boxes.
void drwmap(const MapContext& ctx, const std::vector<DrawRequest>& rqs, int ldev);

}  // namespace trovan
