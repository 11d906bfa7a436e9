#include "plot/calcomp.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include <sys/stat.h>

#include "util/files.hpp"
#include "util/fortran_fmt.hpp"
#include "util/stop.hpp"
#include "util/tempfiles.hpp"

namespace trovan {

namespace {

// A path is stroked and restarted after this many segments, which keeps
// paths short for interpreters with small path limits.
constexpr int kMaxPathSegs = 1000;
// A record of coordinates for plt is closed once it is this long, well
// under the 255 characters of a record, so psout never splits a token.
constexpr std::size_t kRecordFill = 200;

struct Hsb {
  float h = 0, s = 0, b = 0;
};

struct PlotState {
  int ldev = 0;          // device of the last plots (also for pen code >= 32)
  bool active = false;   // a page is open
  float xorg = 0, yorg = 0;  // origin given to the last plots
  // Origin: page position (cm) of user (0, 0) before the view offset.
  float ox = 0, oy = 0;
  float cx = 0, cy = 0;  // pen, user coordinates
  float px = 0, py = 0;  // pen, page cm
  float win[4] = {0, 0, kPageShort, kPageLong};
  float view[4] = {0, 0, kPageShort, kPageLong};
  int ltype = 0;
  float width = 0;
  Hsb lcol, fcol;
  std::string font = "Courier-Bold";
  bool path_open = false;  // a path with its start written
  int path_segs = 0;
};

PlotState g_st;
int g_orien = 1;
int g_nfile = 0;
int g_npage = 0;  // pages written to the current file
// The page file being written: a temporary file renamed over its name by
// plote, so that a run that stops or is killed in the middle of its pages,
// or a disk that fills, leaves the previous page file whole, and two runs in
// one folder leave the whole file of one of them.
TempOut g_ps;
std::filesystem::path g_openfile;  // the page file g_ps will become
// The file the last page of this run was written to; a later page for the
// same file is added after the pages already there instead of overwriting
// them.
std::filesystem::path g_lastfile;
std::vector<float> g_bufx, g_bufy;  // the line buffer, page cm

// Each page is also written as an encapsulated PostScript file of its own
// (calcomp1_<page>.eps) with a tight bounding box, for a paper: the text of
// the page as it is drawn, and the extent of what it draws (page cm, as the
// reader holds the sheet). The pages wait in memory and are written, each
// through its temporary file, when the page file is complete: a run may
// draw any number of pages without holding a file open for each.
std::string g_body;      // the page's drawing since its set-up
bool g_record = false;   // psout adds to g_body
double g_bb[4] = {0, 0, 0, 0};  // x0 y0 x1 y1 of what the page draws
bool g_bbempty = true;
struct EpsPage {
  std::string name, text;
};
std::vector<EpsPage> g_eps;  // the finished pages, waiting for the page file

// Adds the page point (x, y) (page cm of the drawing's user space) with a
// margin to the extent of the page, turned as the reader holds a landscape
// sheet.
void extend(double x, double y, double margin) {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  double px = x, py = y;
  if (g_orien == 2) {  // 90 rotate 0 -21.1 translate: (x, y) -> (21.1 - y, x)
    px = kPageShort - y;
    py = x;
  }
  if (g_bbempty) {
    g_bb[0] = px - margin;
    g_bb[1] = py - margin;
    g_bb[2] = px + margin;
    g_bb[3] = py + margin;
    g_bbempty = false;
    return;
  }
  g_bb[0] = std::min(g_bb[0], px - margin);
  g_bb[1] = std::min(g_bb[1], py - margin);
  g_bb[2] = std::max(g_bb[2], px + margin);
  g_bb[3] = std::max(g_bb[3], py + margin);
}

void dropeps() { g_eps.clear(); }


std::string num(double v) {
  char b[48];
  std::snprintf(b, sizeof b, "%.3f", v);
  std::string s = b;
  if (s == "-0.000") s = "0.000";
  return s;
}

float sx() { return (g_st.view[2] - g_st.view[0]) / (g_st.win[2] - g_st.win[0]); }
float sy() { return (g_st.view[3] - g_st.view[1]) / (g_st.win[3] - g_st.win[1]); }

// User coordinates to page centimetres: window onto view, then the origin.
float pagex(float x) { return g_st.ox + g_st.view[0] + (x - g_st.win[0]) * sx(); }
float pagey(float y) { return g_st.oy + g_st.view[1] + (y - g_st.win[1]) * sy(); }

// Puts the origin so that user (0, 0) lands on page point (x, y).
void origin_at(float x, float y) {
  g_st.ox = x - (g_st.view[0] - g_st.win[0] * sx());
  g_st.oy = y - (g_st.view[1] - g_st.win[1] * sy());
}

bool finite2(float x, float y) { return std::isfinite(x) && std::isfinite(y); }

std::string colour_text(const Hsb& c) {
  if (c.s == 0) return num(c.b) + " setgray ";
  return num(c.h) + " " + num(c.s) + " " + num(c.b) + " sethsbcolor ";
}

// Strokes the pen path when it has segments; any call that draws something
// else, changes the graphics state or ends the page calls this first.
void flush_path() {
  if (g_st.path_open && g_st.path_segs > 0) psout("stroke ");
  g_st.path_open = false;
  g_st.path_segs = 0;
}

void pen_draw(float x, float y) {
  const float qx = pagex(x), qy = pagey(y);
  if (!g_st.path_open) {
    psout("newpath " + num(g_st.px) + " " + num(g_st.py) + " mvt");
    g_st.path_open = true;
  }
  psout(num(qx) + " " + num(qy) + " lnt");
  extend(g_st.px, g_st.py, g_st.width);
  extend(qx, qy, g_st.width);
  if (++g_st.path_segs >= kMaxPathSegs) {
    psout("stroke ");
    psout("newpath " + num(qx) + " " + num(qy) + " mvt");
    g_st.path_segs = 0;
  }
  g_st.px = qx;
  g_st.py = qy;
}

// Writes the buffered polygon or polyline (page cm) as a path.
void write_path(int n) {
  for (int i = 0; i < n; ++i) extend(g_bufx[i], g_bufy[i], g_st.width);
  psout("newpath " + num(g_bufx[0]) + " " + num(g_bufy[0]) + " mvt");
  std::string rec;
  int k = 0;
  for (int i = 1; i < n; ++i) {
    rec += num(g_bufx[i]) + " " + num(g_bufy[i]) + " ";
    ++k;
    if (rec.size() > kRecordFill || i == n - 1) {
      psout(rec + std::to_string(k) + " plt");
      rec.clear();
      k = 0;
    }
  }
}

// Fills the buffer from user coordinates, keeping finite points only.
int buffer_points(const float* x, const float* y, int n) {
  g_bufx.clear();
  g_bufy.clear();
  for (int i = 0; i < n; ++i) {
    if (!finite2(x[i], y[i])) continue;
    g_bufx.push_back(pagex(x[i]));
    g_bufy.push_back(pagey(y[i]));
  }
  return static_cast<int>(g_bufx.size());
}

// A PostScript string body: backslash, parentheses and unprintable bytes
// escaped.
std::string ps_string(const std::string& s) {
  std::string r;
  for (unsigned char c : s) {
    if (c == '(' || c == ')' || c == '\\') {
      r += '\\';
      r += static_cast<char>(c);
    } else if (c < 32 || c > 126) {
      char b[8];
      std::snprintf(b, sizeof b, "\\%03o", c);
      r += b;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r;
}

void set_hsb(Hsb& c, float h, float s, float b) {
  auto cl = [](float v) { return std::isfinite(v) ? std::min(1.f, std::max(0.f, v)) : 0.f; };
  c.h = cl(h);
  c.s = cl(s);
  c.b = cl(b);
}

}  // namespace

void resetcalcomp() {
  dropeps();
  g_body.clear();
  g_record = false;
  g_bbempty = true;
  // An open page file is abandoned, not finished: its temporary file goes.
  if (g_ps.f) droptemp(g_ps);
  g_ps = TempOut{};
  g_st = PlotState{};
  g_orien = 1;
  g_nfile = 0;
  g_npage = 0;
  g_lastfile.clear();
  g_bufx.clear();
  g_bufy.clear();
}

void setorien(int iorien) { g_orien = iorien; }
int getorien() { return g_orien; }
int getnfile() { return g_nfile; }
void setnfile(int nfile) { g_nfile = nfile; }
bool isplotting() { return g_st.active; }

std::string getpsname(int nfile) {
  const int n = ((nfile - 1) % kCnfil + kCnfil) % kCnfil + 1;
  std::string digits = (n >= 1 && n <= 999) ? std::to_string(n) : "";
  return "calcomp" + digits + ".ps";
}

namespace {

bool isregularfile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The folder of the running program ("" when the system does not say).
std::filesystem::path programdir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace

std::vector<std::string> prologplaces() {
  const char* e = std::getenv("CLCMPPATH");
  std::string p = e ? e : "";
  while (!p.empty() && (p.back() == ' ' || p.back() == '\t')) p.pop_back();
  // A folder the user names is the only place looked at: a prolog of their
  // own is never replaced by the installed one behind their back.
  if (e) return {p + "/gprim.ps"};
  std::vector<std::string> places;
  const std::filesystem::path bin = programdir();
#ifdef TROVAN_PROLOG_FROM_BIN
  if (!bin.empty()) places.push_back((bin / TROVAN_PROLOG_FROM_BIN / "gprim.ps").lexically_normal().string());
#endif
#ifdef TROVAN_PROLOG_INSTALLED
  places.push_back(std::string(TROVAN_PROLOG_INSTALLED) + "/gprim.ps");
#endif
#if defined(TROVAN_PROLOG_SOURCE) && defined(TROVAN_BUILD_DIR)
  // A program (or test program) in its build tree uses the source tree's.
  std::error_code ec;
  if (!bin.empty() && std::filesystem::equivalent(bin, TROVAN_BUILD_DIR, ec))
    places.push_back(std::string(TROVAN_PROLOG_SOURCE) + "/gprim.ps");
#endif
  places.erase(std::unique(places.begin(), places.end()), places.end());
  return places;
}

std::string getprologpath() {
  const std::vector<std::string> places = prologplaces();
  for (const std::string& p : places)
    if (isregularfile(p)) return p;
  return places.empty() ? std::string("/gprim.ps") : places.front();
}

std::string findprolog() {
  const std::vector<std::string> places = prologplaces();
  for (const std::string& p : places)
    if (isregularfile(p)) return p;
  std::string where;
  for (const std::string& p : places) where += (where.empty() ? "" : ", ") + p;
  const bool env = std::getenv("CLCMPPATH") != nullptr;
  quit("can not open the page prolog gprim.ps: looked at " + (where.empty() ? std::string("nothing") : where) +
           (env ? "; CLCMPPATH names a folder without it: set CLCMPPATH to the folder that holds gprim.ps"
                : "; set CLCMPPATH to the folder that holds gprim.ps (plot/ of the source tree)"),
       kExitOpen);
}

void psout(int n, const std::string& text) {
  if (!g_ps.f) return;
  std::size_t len = n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), text.size());
  while (len > 0 && text[len - 1] == ' ') --len;
  for (std::size_t i = 0; i < len; i += 255) {
    const std::size_t k = std::min<std::size_t>(255, len - i);
    writetemp(g_ps, text.data() + i, k);
    writetemp(g_ps, "\n", 1);
    if (g_record) {
      g_body.append(text.data() + i, k);
      g_body += '\n';
    }
  }
}

void psout(const std::string& text) { psout(static_cast<int>(text.size()), text); }

void gprimv() {
  // Only a regular file: a FIFO or a device would block or never end.
  std::ifstream in;
  std::string path;
  const std::vector<std::string> places = prologplaces();
  for (const std::string& p : places)
    if (isregularfile(p)) {
      path = p;
      break;
    }
  if (!path.empty()) in.open(path);
  if (!in.is_open() || !in) {
    droptemp(g_ps);
    g_openfile.clear();
    g_st.active = false;
    findprolog();  // stops, naming the places looked at
    quit("can not open " + path, kExitOpen);
  }
  std::string ln;
  while (std::getline(in, ln)) {
    if (!ln.empty() && ln.back() == '\r') ln.pop_back();
    psout(ln);
  }
}

namespace {
// Renames the page file being written over its name.
void closeps() {
  if (!g_ps.f) return;
  const std::filesystem::path done = g_openfile;
  g_openfile.clear();
  committemp(g_ps);
  std::vector<EpsPage> pages;
  pages.swap(g_eps);
  for (const EpsPage& p : pages) {
    TempOut t = opentemp(p.name, "page file");
    writetemp(t, p.text);
    committemp(t);
  }
  g_lastfile = done;  // only a whole file (prolog and pages) is continued
}
}  // namespace

void psopen() {
  const std::string name = getpsname(g_nfile);
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(name, ec);
  if (g_ps.f && !ec && abs == g_openfile) {  // the next page of the file being written
    ++g_npage;
    return;
  }
  closeps();
  const bool again = !ec && abs == g_lastfile && std::filesystem::exists(abs, ec);
  g_ps = opentemp(name, "page file");
  g_openfile = abs;
  if (again) {
    // The pages this run finished before go first into the new file.
    std::ifstream old(name, std::ios::binary);
    char buf[65536];
    while (old.read(buf, sizeof buf) || old.gcount() > 0)
      writetemp(g_ps, buf, static_cast<std::size_t>(old.gcount()));
    if (old.bad()) {
      droptemp(g_ps);
      g_openfile.clear();
      cantopen(name);
    }
    ++g_npage;
  } else {
    g_lastfile.clear();
    gprimv();
    g_npage = 1;
  }
}

std::string getepsname(int nfile, int page) {
  std::string ps = getpsname(nfile);
  ps.resize(ps.size() - 3);  // ".ps"
  return ps + "_" + std::to_string(page) + ".eps";
}

namespace {

// The procedures of the prolog, without its document set-up (an EPS file
// must not set the page device): the lines between %%BeginProlog and
// %%EndProlog.
std::string prologprocedures() {
  std::ifstream in(findprolog());
  std::string ln, procs;
  bool inside = false;
  while (std::getline(in, ln)) {
    if (!ln.empty() && ln.back() == '\r') ln.pop_back();
    if (ln.rfind("%%EndProlog", 0) == 0) break;
    if (inside) procs += ln + "\n";
    if (ln.rfind("%%BeginProlog", 0) == 0) inside = true;
  }
  return procs;
}

// The page just drawn as an EPS file: the prolog's procedures, the page's
// scale (and turn), its drawing, and a bounding box round what it draws.
void writeeps() {
  const double pt = 72 / 2.54;
  // A margin of 1.5 mm round the drawing, within the sheet.
  const double margin = 0.15;
  double bb[4] = {0, 0, 1, 1};
  if (!g_bbempty)
    for (int i = 0; i < 4; ++i)
      bb[i] = std::clamp(g_bb[i] + (i < 2 ? -margin : margin), 0.0, i % 2 == 0 ? double(kPageShort) : double(kPageLong));
  char box[160], hires[160];
  std::snprintf(box, sizeof box, "%%%%BoundingBox: %d %d %d %d", static_cast<int>(std::floor(bb[0] * pt)),
                static_cast<int>(std::floor(bb[1] * pt)), static_cast<int>(std::ceil(bb[2] * pt)),
                static_cast<int>(std::ceil(bb[3] * pt)));
  std::snprintf(hires, sizeof hires, "%%%%HiResBoundingBox: %.2f %.2f %.2f %.2f", bb[0] * pt, bb[1] * pt, bb[2] * pt,
                bb[3] * pt);
  std::string e = "%!PS-Adobe-3.0 EPSF-3.0\n";
  e += std::string(box) + "\n" + hires + "\n";
  e += "%%Creator: trovan\n%%Title: " + getepsname(g_nfile, g_npage) + "\n%%Pages: 1\n%%EndComments\n";
  e += "%%BeginProlog\n" + prologprocedures() + "%%EndProlog\n%%Page: 1 1\n";
  e += " 1 cm 1 cm scale\n";
  if (g_orien == 2) e += "90 rotate\n0 -21.1 translate\n";
  e += "/cmtx matrix currentmatrix def\n";
  e += g_body;
  e += "showpage\n%%Trailer\n%%EOF\n";
  g_eps.push_back({getepsname(g_nfile, g_npage), std::move(e)});
  g_body.clear();
}

// Ends the page; the file stays open for the next page of the run.
void endpage() {
  if (!g_st.active) return;
  if (g_st.ldev == 1 || g_st.ldev == 2) {
    flush_path();
    g_record = false;
    writeeps();
    psout("showpage");
  }
  g_st.active = false;
}
}  // namespace

void plots(int ldev, float xorg, float yorg) {
  endpage();
  g_st.ldev = ldev;
  g_st.xorg = xorg;
  g_st.yorg = yorg;
  if (ldev != 1 && ldev != 2) {
    out() << " ldev=" << fmt_i(ldev, 12) << " not allowd\n";
    return;
  }
  const int keep_ldev = ldev;
  g_st = PlotState{};
  g_st.ldev = keep_ldev;
  g_st.xorg = xorg;
  g_st.yorg = yorg;
  ++g_nfile;
  psopen();
  g_st.active = true;
  const bool land = g_orien == 2;
  psout("%%Page: " + std::to_string(g_npage) + " " + std::to_string(g_npage));
  psout("%*****begin program*****");
  psout(" 1 cm 1 cm scale ");
  if (land) {
    psout("90 rotate");
    psout("0 -21.1 translate");
  }
  psout("/cmtx matrix currentmatrix def");
  const float w = land ? kPageLong : kPageShort, h = land ? kPageShort : kPageLong;
  window(0, 0, w, h);
  viewpt(0, 0, w, h);
  psout("clippath 1 setgray fill");
  // From here on the page is also the body of its EPS file (which must not
  // paint the sheet it is placed on).
  g_body.clear();
  g_bbempty = true;
  g_record = true;
  psout(" 0 setgray ");
  setfont("Courier-Bold");
  newpen(1);
  setltype(0);
  setcol(0);
  fillcolor(0, 0, 0);
  plot(xorg, yorg, -3);
}

void plot(float x, float y, int ipen) {
  if (ipen >= 32) {
    if (g_st.ldev == 0) return;
    const int ldev = g_st.ldev;
    const float xo = g_st.xorg, yo = g_st.yorg;
    endpage();
    plots(ldev, xo, yo);
    return;
  }
  if (!g_st.active || !finite2(x, y)) return;
  switch (ipen) {
    case 2:
      pen_draw(x, y);
      break;
    case 3:
      flush_path();
      g_st.px = pagex(x);
      g_st.py = pagey(y);
      break;
    case -2:
      pen_draw(x, y);
      origin_at(g_st.px, g_st.py);
      x = y = 0;
      break;
    case -3:
      flush_path();
      g_st.px = pagex(x);
      g_st.py = pagey(y);
      origin_at(g_st.px, g_st.py);
      x = y = 0;
      break;
    default:
      return;
  }
  g_st.cx = x;
  g_st.cy = y;
}

void plote() {
  endpage();
  closeps();
}

void psabandon() {
  g_st.active = false;
  g_record = false;
  dropeps();
  droptemp(g_ps);
  g_openfile.clear();
}

void newpen(int ipen) { thickl(0.015f * static_cast<float>(ipen < 1 ? 1 : ipen)); }

void thickl(float width) {
  if (!g_st.active || !std::isfinite(width) || width < 0) return;
  flush_path();
  g_st.width = width;
  psout(num(width) + " setlinewidth ");
}

void setltype(int ltype) {
  if (!g_st.active) return;
  flush_path();
  const int t = ltype < 0 ? 0 : ltype % 4;
  g_st.ltype = t;
  // Dash patterns in cm: the on and off lengths along the line.
  static const char* const pat[4] = {"[]", "[0.25 0.12]", "[0.03 0.1]", "[0.3 0.1 0.03 0.1]"};
  psout(std::string(pat[t]) + " pls ");
}

int getltype() { return g_st.ltype; }

void line(const float* x, const float* y, int n) {
  if (!g_st.active || n <= 0) return;
  if (n > kLineBuf) quit("buf full in subroutine line");
  flush_path();
  const int m = buffer_points(x, y, n);
  if (m >= 2) {
    write_path(m);
    psout("stroke ");
  }
  if (m >= 1) {
    g_st.px = g_bufx[m - 1];
    g_st.py = g_bufy[m - 1];
    for (int i = n - 1; i >= 0; --i)
      if (finite2(x[i], y[i])) {
        g_st.cx = x[i];
        g_st.cy = y[i];
        break;
      }
  }
}

void circle(float x, float y, float r, int ifill) {
  if (!g_st.active || !finite2(x, y) || !std::isfinite(r)) return;
  flush_path();
  const std::string arc = "newpath " + num(pagex(x)) + " " + num(pagey(y)) + " " +
                          num(std::fabs(r * sx())) + " 0 360 arc ";
  extend(pagex(x), pagey(y), std::fabs(r * sx()) + g_st.width);
  if (ifill != 0) {
    psout(colour_text(g_st.fcol));
    psout(arc);
    psout("closepath fill ");
    psout(colour_text(g_st.lcol));
  } else {
    psout(arc);
    psout("closepath stroke ");
  }
}

void paint() {
  if (!g_st.active) return;
  flush_path();
  // A unit square scaled by the long side covers the page in either
  // orientation.
  extend(0, 0, 0);
  extend(g_orien == 2 ? kPageLong : kPageShort, g_orien == 2 ? kPageShort : kPageLong, 0);
  psout("gsave cmtx setmatrix " + colour_text(g_st.fcol));
  psout("29.7 29.7 scale newpath 0 0 mvt 1 0 lnt 1 1 lnt 0 1 lnt closepath fill grestore");
}

void fillarea(const float* x, const float* y, int n) {
  if (!g_st.active || n <= 0) return;
  if (n > kLineBuf) quit("buf full in subroutine line");
  flush_path();
  const int m = buffer_points(x, y, n);
  if (m < 3) return;
  psout(colour_text(g_st.fcol));
  write_path(m);
  psout("closepath fill ");
  psout(colour_text(g_st.lcol));
}

void setcol(int icol) {
  // Hue, saturation, brightness of the palette colours.
  static const float pal[8][3] = {{0, 0, 0},    {0, 1, 1},        {0.333f, 1, 0.7f}, {0.667f, 1, 1},
                                  {0.833f, 1, 1}, {0.5f, 1, 0.8f}, {0.083f, 1, 1},    {0, 0, 0.5f}};
  const int k = (icol >= 0 && icol < 8) ? icol : 0;
  linecolor(pal[k][0], pal[k][1], pal[k][2]);
}

void linecolor(float h, float s, float b) {
  if (!g_st.active) return;
  flush_path();
  set_hsb(g_st.lcol, h, s, b);
  psout(colour_text(g_st.lcol));
}

void fillcolor(float h, float s, float b) {
  if (!g_st.active) return;
  set_hsb(g_st.fcol, h, s, b);
}

void setfont(const std::string& name) {
  if (!g_st.active || name.empty()) return;
  flush_path();
  g_st.font = name;
  psout("/" + name + " findfont setfont");
}

void symbol(float x, float y, float h, const std::string& text, float ang) {
  csymbol(x, y, h, text, ang, 0);
}

void csymbol(float x, float y, float h, const std::string& text, float ang, int ijust) {
  if (!g_st.active || !finite2(x, y) || !std::isfinite(h) || !std::isfinite(ang)) return;
  flush_path();
  {
    // The text's box (Courier: 0.6 of the height per character, descenders
    // 0.25 below the base line), turned by ang about its point.
    const double w = 0.6 * std::fabs(h) * static_cast<double>(text.size());
    const double x0 = ijust == 1 ? -w / 2 : ijust == 2 ? -w : 0.0;
    const double ca = std::cos(ang * 3.14159265358979 / 180), sa = std::sin(ang * 3.14159265358979 / 180);
    for (double cx : {x0, x0 + w})
      for (double cy : {-0.25 * std::fabs(h), 0.8 * std::fabs(h)})
        extend(pagex(x) + cx * ca - cy * sa, pagey(y) + cx * sa + cy * ca, 0.05);
  }
  psout("gsave " + num(pagex(x)) + " " + num(pagey(y)) + " translate " + num(ang) + " rotate");
  psout("/" + g_st.font + " findfont " + num(std::fabs(h)) + " scalefont setfont ");
  // Long texts are continued with a backslash at the end of the record,
  // which PostScript drops from the string.
  std::string body = ps_string(text);
  std::string rec = "0 0 mvt (";
  while (body.size() > 180) {
    std::size_t cut = 180;
    while (cut > 0 && body[cut - 1] == '\\') --cut;  // never split an escape
    if (cut == 0) cut = 180;
    psout(rec + body.substr(0, cut) + "\\");
    body.erase(0, cut);
    rec.clear();
  }
  const char* op = ijust == 1 ? ") ctextout" : ijust == 2 ? ") rtextout" : ") textout ";
  psout(rec + body + op);
  psout("grestore");
}

namespace {
// Stores a rectangle of the plot state and hands it to the prolog's
// variable of that name (WINDOW: user coordinates, VIEW: the page part).
void setrect(float* r, const char* var, float x0, float y0, float x1, float y1) {
  flush_path();
  r[0] = x0;
  r[1] = y0;
  r[2] = x1;
  r[3] = y1;
  std::string t = "[";
  for (float v : {x0, y0, x1, y1}) {
    t += num(v);
    t += ' ';
  }
  t.back() = ']';
  t += " /";
  t += var;
  t += " vvar ";
  psout(t);
}
}  // namespace

void window(float x0, float y0, float x1, float y1) {
  if (!g_st.active || x1 == x0 || y1 == y0 || !finite2(x0, y0) || !finite2(x1, y1)) return;
  setrect(g_st.win, "WINDOW", x0, y0, x1, y1);
}

void viewpt(float x0, float y0, float x1, float y1) {
  if (!g_st.active || !finite2(x0, y0) || !finite2(x1, y1)) return;
  setrect(g_st.view, "VIEW", x0, y0, x1, y1);
}

void cliparea(int icl) {
  if (!g_st.active) return;
  flush_path();
  psout("cmtx setmatrix initclip");
  if (icl != 0) {
    const float x0 = g_st.ox + std::min(g_st.view[0], g_st.view[2]);
    const float x1 = g_st.ox + std::max(g_st.view[0], g_st.view[2]);
    const float y0 = g_st.oy + std::min(g_st.view[1], g_st.view[3]);
    const float y1 = g_st.oy + std::max(g_st.view[1], g_st.view[3]);
    psout(num(x0) + " " + num(y0) + " " + num(x1) + " " + num(y1) + " cliparea clip newpath");
  }
}

void offset(float x, float y) {
  if (!g_st.active || !finite2(x, y)) return;
  flush_path();
  g_st.ox = x;
  g_st.oy = y;
  g_st.px = pagex(0);
  g_st.py = pagey(0);
  g_st.cx = g_st.cy = 0;
}

void currps(float& x, float& y) {
  x = g_st.cx;
  y = g_st.cy;
}

}  // namespace trovan
