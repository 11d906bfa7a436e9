// The pen-plotter library: the map drawing writes its pages through it.
//
// The caller works in centimetres on a page with a pen that moves up or
// down, as on the drum plotters crystallographic plotting grew up on. Every
// call becomes PostScript text that relies on the procedures of our prolog
// plot/gprim.ps, which is copied to the head of every output file. The
// prolog is found through the environment variable CLCMPPATH (a directory).
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
// file) lives in static storage in calcomp.cpp.
#pragma once
#include <string>

namespace trovan {

// Page sides in cm.
constexpr float kPageShort = 21.1f;
constexpr float kPageLong = 29.7f;

// Pages per file cycle: page files are calcomp1.ps .. calcomp<cnfil>.ps,
// reused in turn. With one, every page of a run goes to calcomp1.ps.
constexpr int kCnfil = 1;

// Points one `line` call may draw.
constexpr int kLineBuf = 65536;

// Orientation (1 portrait, 2 landscape). Read by plots for each page;
// portrait until set.
void setorien(int iorien);
int getorien();

// The name of the page file for file counter `nfile`: "calcomp" followed by
// ((nfile-1) mod cnfil)+1 and ".ps" (the number is left out above 999).
std::string getpsname(int nfile);
// The prolog path: $CLCMPPATH with trailing blanks removed, then "/gprim.ps".
std::string getprologpath();
// The file counter: plots adds one for each page it starts.
int getnfile();
void setnfile(int nfile);
// Back to the state at the start of the program: no page open (an open
// page file is closed as it stands), portrait, file counter 0, no file to
// continue.
void resetcalcomp();

// Starts a page on device ldev (1 or 2, both PostScript) with the origin at
// (xorg, yorg) cm from the lower left corner. Other devices: "ldev= n  not
// allowd" on the listing and nothing is drawn until the next good plots.
void plots(int ldev, float xorg = 0.f, float yorg = 0.f);
// Pen codes: 2 draw to (x, y); 3 move to (x, y); -2 draw, then (x, y)
// becomes the origin; -3 the origin moves to (x, y); 32 or more ends the
// page and starts a new one on the same device; anything else is ignored.
void plot(float x, float y, int ipen);
// Ends the page ("showpage") and closes the file. The page file is written
// to a temporary file and renamed over calcomp<n>.ps here, when it is
// complete (util/tempfiles.hpp); a write that failed stops the run with
// status 1 and leaves the previous page file unchanged.
void plote();
// Drops a page file that a stopped run left unfinished (its temporary file
// is removed; the previous page file stays as it was).
void psabandon();
// True between a good plots and plote.
bool isplotting();

// Writes the first n characters of text, trailing blanks removed, to the
// page file in records of at most 255 characters.
void psout(int n, const std::string& text);
void psout(const std::string& text);
// Opens the page file of the current file counter and copies the prolog
// into it (the first page of a file); later pages of a run that go to the
// same file are added after the earlier ones.
void psopen();
// Copies the prolog into the page file; "can not open <path>" and a stop
// with status 1 when it is missing.
void gprimv();

// Pens: pen n draws lines n*0.015 cm wide (n < 1 counts as 1); thickl sets
// the width in cm directly.
void newpen(int ipen);
void thickl(float width);
// Line types: 0 solid, 1 dashed, 2 dotted, 3 dash-dot; other values are
// taken modulo 4 (negative ones as solid). The pattern runs in true cm.
void setltype(int ltype);
int getltype();

// Draws the polyline through n points (n <= kLineBuf, otherwise "buf full
// in subroutine line" and the run stops).
void line(const float* x, const float* y, int n);
// A circle about (x, y) of radius r (user units along x); filled with the
// fill colour when ifill != 0, otherwise stroked.
void circle(float x, float y, float r, int ifill);
// Fills the whole page with the fill colour (a background).
void paint();
// Fills the polygon through n points with the fill colour.
void fillarea(const float* x, const float* y, int n);

// Colours as hue, saturation, brightness in [0, 1]; black is (0, 0, 0).
// After plots lines, text and fills are black.
// setcol picks a colour of the small palette for lines: 0 black, 1 red,
// 2 green, 3 blue, 4 magenta, 5 cyan, 6 orange, 7 grey (others: black).
void setcol(int icol);
void linecolor(float h, float s, float b);
void fillcolor(float h, float s, float b);

// Selects the font by its PostScript name ("Courier-Bold" after plots).
void setfont(const std::string& name);
// Text of height h cm at (x, y), turned by ang degrees counter-clockwise.
// symbol: (x, y) is the start of the base line. csymbol: ijust 0 left,
// 1 centred, 2 right end at (x, y).
void symbol(float x, float y, float h, const std::string& text, float ang);
void csymbol(float x, float y, float h, const std::string& text, float ang, int ijust);

// The window (user rectangle) and the view (page rectangle in cm from the
// origin) it is drawn into. A window of zero width or height is refused
// (ignored).
void window(float x0, float y0, float x1, float y1);
void viewpt(float x0, float y0, float x1, float y1);
// icl != 0 clips all later drawing to the view; 0 removes the clip.
void cliparea(int icl);
// Puts the origin at (x, y) cm from the lower left corner of the page; the
// view is placed relative to it and the pen goes to user (0, 0). (plot with
// -3 instead moves the origin relative to where it is.)
void offset(float x, float y);
// The current pen position in user coordinates.
void currps(float& x, float& y);

}  // namespace trovan
