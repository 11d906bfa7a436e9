// The map drawing: after the map is made and its peaks are listed, the run
// ends by cutting the sections and boxes that the keyword input asks for.
// A two-dimensional section becomes a contour map on a page of its own in
// calcomp1.ps; a three-dimensional box is written to the two box files
// (prefix.win, prefix.rho).
//
// The drawing lines are read and checked with the rest of the keyword input,
// before the map is computed (readdrawings), and drawn at the end of the
// run from what was read (drawmaps).
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
//                             number of contour levels (0 to 100)
//   xmin= xmax= ymin= ymax= zmin= zmax=  new line, boxes: the box as
//                             fractions along u, v, q
//   xdiv= ydiv= zdiv= hscl=   new line, boxes: points along u, v, q (their
//                             product at most jxmax) and the factor applied
//                             to the values written
// The drawing covers origin + s u + t v (+ r q).
#pragma once
#include <array>
#include <string>
#include <vector>

#include "plot/section.hpp"

namespace trovan {

// Work arrays of a drawing: at most this many sampled points.
constexpr long long kJxmax = 4194304;
// Contour levels of a section (lf=) and drawings of a run (ng=) at most.
constexpr int kMaxLevels = 100;
constexpr int kMaxDrawings = 1000;

// Box file names (prefix + ".win", prefix + ".rho").
void setboxnames(const char* win, const char* rho);
// The box file names back to those of the start of the program.
void resetdrwmap();

// Everything a drawing needs from the rest of the run.
struct MapContext {
  MapGrid grid;
  double minv[36] = {};    // x_grid = minv x (setting to grid basis)
  double metric[36] = {};  // setting-cell metric, Angstrom^2: |x|^2 = x.G.x
  double cart[36] = {};    // x = cart e: Cartesian (3 external, 3 internal; Angstrom) to setting
  std::vector<AffineOp> ops;  // the symmetry images averaged over (inversion included)
  std::vector<std::array<double, 6>> peaks;  // setting coordinates; peak k is number k+1
  std::vector<double> peakheights;
  std::string title;       // "title=" text
  std::string kind;        // "Fourier map ", "D-Fourier map ", ...
  bool difference = false;  // negative contours too
  double vmax = 0;         // contour reference: the map maximum (|extreme| for a difference map)
  std::string win, rho;    // box file names
};

// The geometry of the run, all that reading a drawing needs: the work grid
// (getnt() points, sizes gethmax, getidm axes), M^-1, the metric and
// Cartesian conversion of the lattice, the box file names. Known once the
// keyword input up to the drawings is read.
MapContext currentmapgeometry();
// The whole context, after the map is made: the geometry, the symmetry
// operators, the independent peaks of the peak search (numbered as listed),
// the title and map kind, the contour reference.
MapContext currentmapcontext();

// Map kind label of the run (getiplt).
std::string mapkindlabel();

// One drawing as read, with its geometry in setting fractions.
struct DrawRequest {
  int number = 0;  // 1-based
  int iax = 2, ipers = 0, iaver = 0, ismth = 0;
  double xe[3] = {}, xi[3] = {};  // origin as given when ipers = 1
  double given[3][6] = {};        // axes as given (fractions or Cartesian)
  double x0[6] = {};              // origin, setting fractions
  double axis[3][6] = {};         // u, v, q in setting fractions
  double gram[3][3] = {};         // scalar products of u, v, q (Angstrom^2)
  int div[2] = {1, 1};
  double hmin = 0;
  int lf = 0;
  double box[6] = {0, 1, 0, 1, 0, 1};  // xmin xmax ymin ymax zmin zmax
  int bdiv[3] = {1, 1, 1};
  double hscl = 1;
};

// Reads drawing `number` from the keyword input, echoes it and checks it;
// converts the origin and axes with ctx (cart, metric).
DrawRequest readdrawing(const MapContext& ctx, int number);

// Stops with "ixm*iym*izm > nt" or "(ixm+1)*(iym+1)*(izm+1)>jxmax" when the
// request does not fit (ixm, iym, izm: the intervals along its axes). The
// products are compared without overflow, whatever the divisions.
void checkfits(const MapContext& ctx, const DrawRequest& rq);

// Samples the section or box of a request (averaged and smoothed as asked).
// n receives the points along each axis; stops when the work arrays are
// too small.
std::vector<float> samplerequest(const MapContext& ctx, const DrawRequest& rq, int* n);

// Draws a section on the open page.
void drawsection(const MapContext& ctx, const DrawRequest& rq);
// Writes a box to the two box files; stops, writing nothing, when a value
// times hscl is not a finite number.
void writebox(const MapContext& ctx, const DrawRequest& rq);

// Reads "ng=" and every drawing with their checks, converting with the
// geometry `geom` (currentmapgeometry() in a run). A section needs a page
// device: with ldev other than 1 or 2 the run stops ("ldev=<n> not
// allowd: ..."), before anything is drawn or written.
std::vector<DrawRequest> readdrawings(const MapContext& geom, int ldev);
// Makes the drawings read: pages go to device ldev.
void drawmaps(const MapContext& ctx, const std::vector<DrawRequest>& rqs, int ldev);
// Both, on the keyword input (for a context made by the caller).
void drwmap(const MapContext& ctx, int ldev);
// The end of a run: the drawings read before the computation, made with
// the run's context.
void drwmap(const std::vector<DrawRequest>& rqs, int ldev);

}  // namespace trovan
