// The pen-plotter library: the map drawing writes its pages through it.
//
// The caller works in centimetres on a page with a pen that moves up or
// down, as on the drum plotters crystallographic plotting grew up on. Every
// call becomes PostScript text that relies on the procedures of our prolog
// plot/gprim.ps, which is copied to the head of every output file. The
// prolog is found in the folder the environment variable CLCMPPATH names;
// without it beside the installed program (bin/../share/trovan/gprim.ps)
// and, for a program run from its build tree, in the source tree's plot/.
//
// Coordinates: a point (x, y) given to plot, line, circle, fillarea and the
// text calls is a user coordinate. It is mapped from the window (a user
// rectangle) onto the view (a rectangle in cm) and then shifted by the
// origin (page cm): page = origin + view0 + (x - window0) * scale. After plots the window and the view are both the whole
// page and the origin is where plots put it, so user coordinates are plain
// centimetres from the origin. The PostScript user space of a page is
// centimetres from the lower left corner of the page as the reader holds it
// (turned by 90 degrees in landscape), so line types and text heights are
// true centimetres whatever the window.
//
// The page is 21.1 cm x 29.7 cm, or 29.7 cm x 21.1 cm in landscape.
//
// All plot state (device, pen, origin, colours, window, view, the open
// file, the pages waiting for their EPS files) is a Plotter value that the
// caller owns and hands to every call: one for the pages of a job.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "util/tempfiles.hpp"

namespace trovan {

// Page sides in cm.
constexpr float kPageShort = 21.1f;
constexpr float kPageLong = 29.7f;

// Pages per file cycle: page files are calcomp1.ps .. calcomp<cnfil>.ps,
// reused in turn. With one, every page of a run goes to calcomp1.ps.
constexpr int kCnfil = 1;

// The text font: the prolog's Helvetica in the ISO Latin-1 encoding.
inline constexpr const char* kTextFont = "Helvetica-Latin1";

// Points one `line` call may draw.
constexpr int kLineBuf = 65536;

// The name of the page file for file counter `nfile`: "calcomp" followed by
// ((nfile-1) mod cnfil)+1 and ".ps" (the number is left out above 999).
// With a base name (the page file named by the run, ipage=1) the page file
// is base + ".ps" whatever the counter.
std::string getpsname(int nfile, const std::string& base = "");
// The EPS file of page `page` of the page file of file counter nfile:
// "calcomp1_<page>.eps" beside calcomp1.ps. Every page is written to it as
// well, with a tight bounding box (the extent of what it draws), and renamed
// over its name together with the page file when that is complete.
// With a base name: base + "_<page>.eps".
std::string getepsname(int nfile, int page, const std::string& base = "");
// The places the prolog is looked for, in order: $CLCMPPATH (trailing
// blanks removed) + "/gprim.ps" alone when the variable is set; otherwise
// the installed prolog and, for a build-tree program, the source tree's.
std::vector<std::string> prologplaces();
// The first of them that is a regular file, else the first place.
std::string getprologpath();
// The prolog to copy; when there is none, stops with status 1 naming
// CLCMPPATH and the places looked at ("can not open the page prolog ...").
// A run calls it before it opens any page file.
std::string findprolog();
// A colour as hue, saturation, brightness in [0, 1].
struct Hsb {
  float h = 0, s = 0, b = 0;
};

// The page being drawn: device, pen, origin, window and view, line type and
// width, colours, font, and the pen path not yet stroked.
struct PageState {
  int ldev = 0;          // device of the last plots (also for pen code >= 32)
  bool active = false;   // a page is open
  float xorg = 0, yorg = 0;  // origin given to the last plots
  // Origin: page position (cm) of user (0, 0) before the view offset.
  float ox = 0, oy = 0;
  float cx = 0, cy = 0;  // pen, user coordinates
  float px = 0, py = 0;  // pen, page cm
  float win[4] = {0, 0, kPageShort, kPageLong};
  float view[4] = {0, 0, kPageShort, kPageLong};
  int ltype = 0;  // line type (setltype)
  float width = 0;
  Hsb lcol, fcol;
  std::string font = "Helvetica-Latin1";
  bool path_open = false;  // a path with its start written
  int path_segs = 0;
};

// An encapsulated page waiting for the page file to be complete.
struct EpsPage {
  std::string name, text;
};

// The plot library's state for the pages of one job. A new plotter is the
// state at the start of a program: portrait, file counter 0, no page open.
// It owns the page file being written: a plotter that goes out of scope
// with a page file unfinished (a run that stopped in the middle of its
// pages) removes its temporary file and leaves the previous page file as
// it was.
struct Plotter {
  PageState st;
  int orien = 1;  // read by plots for each page: 1 portrait, 2 landscape
  std::string base;  // the page file's name without ".ps"; empty: calcomp<n>
  int nfile = 0;  // file counter: plots adds one for each page it starts
  int npage = 0;  // pages written to the current file
  // The page file being written: a temporary file renamed over its name by
  // plote, so that a run that stops or is killed in the middle of its
  // pages, or a disk that fills, leaves the previous page file whole, and
  // two runs in one folder leave the whole file of one of them.
  TempOut ps;
  std::filesystem::path openfile;  // the page file ps will become
  // The file the last page of this plotter was written to; a later page for
  // the same file is added after the pages already there instead of
  // overwriting them.
  std::filesystem::path lastfile;
  std::vector<float> bufx, bufy;  // the line buffer, page cm
  // Each page is also written as an encapsulated PostScript file of its own
  // (calcomp1_<page>.eps) with a tight bounding box, for a paper: the text
  // of the page as it is drawn, and the extent of what it draws (page cm,
  // as the reader holds the sheet). The pages wait here and are written,
  // each through its temporary file, when the page file is complete: a run
  // may draw any number of pages without holding a file open for each.
  std::string body;         // the page's drawing since its set-up
  bool record = false;      // psout adds to body
  double bb[4] = {0, 0, 0, 0};  // x0 y0 x1 y1 of what the page draws
  bool bbempty = true;
  std::vector<EpsPage> eps;  // the finished pages, waiting for the page file

  Plotter() = default;
  Plotter(const Plotter&) = delete;
  Plotter& operator=(const Plotter&) = delete;
  ~Plotter();
};

// Starts a page on device ldev (1 or 2, both PostScript) with the origin at
// (xorg, yorg) cm from the lower left corner. Other devices: "ldev= n  not
// allowd" on the listing and nothing is drawn until the next good plots.
void plots(Plotter& p, int ldev, float xorg = 0.f, float yorg = 0.f);
// Pen codes: 2 draw to (x, y); 3 move to (x, y); -2 draw, then (x, y)
// becomes the origin; -3 the origin moves to (x, y); 32 or more ends the
// page and starts a new one on the same device; anything else is ignored.
void plot(Plotter& p, float x, float y, int ipen);
// Ends the page ("showpage") and closes the file. The page file is written
// to a temporary file and renamed over calcomp<n>.ps here, when it is
// complete (util/tempfiles.hpp); a write that failed stops the run with
// status 1 and leaves the previous page file unchanged.
void plote(Plotter& p);
// True between a good plots and plote.
inline bool isplotting(const Plotter& p) { return p.st.active; }

// Writes the first n characters of text, trailing blanks removed, to the
// page file in records of at most 255 characters.
void psout(Plotter& p, int n, const std::string& text);
void psout(Plotter& p, const std::string& text);
// Opens the page file of the current file counter and copies the prolog
// into it (the first page of a file); later pages of a run that go to the
// same file are added after the earlier ones.
void psopen(Plotter& p);
// Copies the prolog into the page file; "can not open <path>" and a stop
// with status 1 when it is missing.
void gprimv(Plotter& p);

// Pens: pen n draws lines n*0.015 cm wide (n < 1 counts as 1); thickl sets
// the width in cm directly.
void newpen(Plotter& p, int ipen);
void thickl(Plotter& p, float width);
// Line types: 0 solid, 1 dashed, 2 dotted, 3 dash-dot; other values are
// taken modulo 4 (negative ones as solid). The pattern runs in true cm.
void setltype(Plotter& p, int ltype);

// Draws the polyline through n points (n <= kLineBuf, otherwise "buf full
// in subroutine line" and the run stops).
void line(Plotter& p, const float* x, const float* y, int n);
// A circle about (x, y) of radius r (user units along x); filled with the
// fill colour when ifill != 0, otherwise stroked.
void circle(Plotter& p, float x, float y, float r, int ifill);
// Fills the whole page with the fill colour (a background).
void paint(Plotter& p);
// Fills the polygon through n points with the fill colour.
void fillarea(Plotter& p, const float* x, const float* y, int n);

// Colours as hue, saturation, brightness in [0, 1]; black is (0, 0, 0).
// After plots lines, text and fills are black.
// setcol picks a colour of the small palette for lines: 0 black, 1 red,
// 2 green, 3 blue, 4 magenta, 5 cyan, 6 orange, 7 grey (others: black).
void setcol(Plotter& p, int icol);
void linecolor(Plotter& p, float h, float s, float b);
void fillcolor(Plotter& p, float h, float s, float b);

// Selects the font by its PostScript name (kTextFont after plots). Text is
// UTF-8: in kTextFont the letters of ISO Latin-1 (A ring, degree sign,
// superscript two and three, mu) print as themselves and Greek letters come
// from the Symbol font; anything else prints as '?'.
void setfont(Plotter& p, const std::string& name);
// Text of height h cm at (x, y), turned by ang degrees counter-clockwise.
// symbol: (x, y) is the start of the base line. csymbol: ijust 0 left,
// 1 centred, 2 right end at (x, y).
void symbol(Plotter& p, float x, float y, float h, const std::string& text, float ang);
void csymbol(Plotter& p, float x, float y, float h, const std::string& text, float ang, int ijust);

// The window (user rectangle) and the view (page rectangle in cm from the
// origin) it is drawn into. A window of zero width or height is refused
// (ignored).
void window(Plotter& p, float x0, float y0, float x1, float y1);
void viewpt(Plotter& p, float x0, float y0, float x1, float y1);
// icl != 0 clips all later drawing to the view; 0 removes the clip.
void cliparea(Plotter& p, int icl);
// Puts the origin at (x, y) cm from the lower left corner of the page; the
// view is placed relative to it and the pen goes to user (0, 0). (plot with
// -3 instead moves the origin relative to where it is.)
void offset(Plotter& p, float x, float y);
// The current pen position in user coordinates.
void currps(const Plotter& p, float& x, float& y);

}  // namespace trovan
