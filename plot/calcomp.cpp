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

// Adds the page point (x, y) (page cm of the drawing's user space) with a
// margin to the extent of the page, turned as the reader holds a landscape
// sheet.
void extend(Plotter& p, double x, double y, double margin) {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  double px = x, py = y;
  if (p.orien == 2) {  // 90 rotate 0 -21.1 translate: (x, y) -> (21.1 - y, x)
    px = kPageShort - y;
    py = x;
  }
  if (p.bbempty) {
    p.bb[0] = px - margin;
    p.bb[1] = py - margin;
    p.bb[2] = px + margin;
    p.bb[3] = py + margin;
    p.bbempty = false;
    return;
  }
  p.bb[0] = std::min(p.bb[0], px - margin);
  p.bb[1] = std::min(p.bb[1], py - margin);
  p.bb[2] = std::max(p.bb[2], px + margin);
  p.bb[3] = std::max(p.bb[3], py + margin);
}


std::string num(double v) {
  char b[48];
  std::snprintf(b, sizeof b, "%.3f", v);
  std::string s = b;
  if (s == "-0.000") s = "0.000";
  return s;
}

float sx(const Plotter& p) { return (p.st.view[2] - p.st.view[0]) / (p.st.win[2] - p.st.win[0]); }
float sy(const Plotter& p) { return (p.st.view[3] - p.st.view[1]) / (p.st.win[3] - p.st.win[1]); }

// User coordinates to page centimetres: window onto view, then the origin.
float pagex(const Plotter& p, float x) { return p.st.ox + p.st.view[0] + (x - p.st.win[0]) * sx(p); }
float pagey(const Plotter& p, float y) { return p.st.oy + p.st.view[1] + (y - p.st.win[1]) * sy(p); }

// Puts the origin so that user (0, 0) lands on page point (x, y).
void origin_at(Plotter& p, float x, float y) {
  p.st.ox = x - (p.st.view[0] - p.st.win[0] * sx(p));
  p.st.oy = y - (p.st.view[1] - p.st.win[1] * sy(p));
}

bool finite2(float x, float y) { return std::isfinite(x) && std::isfinite(y); }

std::string colour_text(const Hsb& c) {
  if (c.s == 0) return num(c.b) + " setgray ";
  return num(c.h) + " " + num(c.s) + " " + num(c.b) + " sethsbcolor ";
}

// Strokes the pen path when it has segments; any call that draws something
// else, changes the graphics state or ends the page calls this first.
void flush_path(Plotter& p) {
  if (p.st.path_open && p.st.path_segs > 0) psout(p, "stroke ");
  p.st.path_open = false;
  p.st.path_segs = 0;
}

void pen_draw(Plotter& p, float x, float y) {
  const float qx = pagex(p, x), qy = pagey(p, y);
  if (!p.st.path_open) {
    psout(p, "newpath " + num(p.st.px) + " " + num(p.st.py) + " mvt");
    p.st.path_open = true;
  }
  psout(p, num(qx) + " " + num(qy) + " lnt");
  extend(p, p.st.px, p.st.py, p.st.width);
  extend(p, qx, qy, p.st.width);
  if (++p.st.path_segs >= kMaxPathSegs) {
    psout(p, "stroke ");
    psout(p, "newpath " + num(qx) + " " + num(qy) + " mvt");
    p.st.path_segs = 0;
  }
  p.st.px = qx;
  p.st.py = qy;
}

// Writes the buffered polygon or polyline (page cm) as a path.
void write_path(Plotter& p, int n) {
  for (int i = 0; i < n; ++i) extend(p, p.bufx[i], p.bufy[i], p.st.width);
  psout(p, "newpath " + num(p.bufx[0]) + " " + num(p.bufy[0]) + " mvt");
  std::string rec;
  int k = 0;
  for (int i = 1; i < n; ++i) {
    rec += num(p.bufx[i]) + " " + num(p.bufy[i]) + " ";
    ++k;
    if (rec.size() > kRecordFill || i == n - 1) {
      psout(p, rec + std::to_string(k) + " plt");
      rec.clear();
      k = 0;
    }
  }
}

// Fills the buffer from user coordinates, keeping finite points only.
int buffer_points(Plotter& p, const float* x, const float* y, int n) {
  p.bufx.clear();
  p.bufy.clear();
  for (int i = 0; i < n; ++i) {
    if (!finite2(x[i], y[i])) continue;
    p.bufx.push_back(pagex(p, x[i]));
    p.bufy.push_back(pagey(p, y[i]));
  }
  return static_cast<int>(p.bufx.size());
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

// Text as the fonts of the page hold it: UTF-8 decoded, code points of
// ISO Latin-1 as their bytes in the text font, Greek letters as the Latin
// letters that stand for them in the Symbol font, anything else as '?'.
struct TextRun {
  bool symbol = false;
  std::string bytes;
};

std::vector<TextRun> textruns(const std::string& text) {
  static const char greek_upper[] = "ABGDEZHQIKLMNXOPR?STUFCYW";   // U+0391 ..
  static const char greek_lower[] = "abgdezhqiklmnxoprVstufcyw";   // U+03B1 .. (final sigma V)
  std::vector<TextRun> runs;
  auto put = [&runs](bool sym, char c) {
    if (runs.empty() || runs.back().symbol != sym) runs.push_back({sym, {}});
    runs.back().bytes += c;
  };
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned cp = c;
    int len = 1;
    if (c >= 0xC0 && c < 0xE0) cp = c & 0x1F, len = 2;
    else if (c >= 0xE0 && c < 0xF0) cp = c & 0x0F, len = 3;
    else if (c >= 0xF0) cp = c & 0x07, len = 4;
    bool good = c < 0x80 || len > 1;
    for (int k = 1; k < len; ++k) {
      const unsigned char d = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
      if ((d & 0xC0) != 0x80) good = false;
      cp = (cp << 6) | (d & 0x3F);
    }
    i += good ? len : 1;
    if (!good) cp = '?';
    if (cp < 256) put(false, static_cast<char>(cp));
    else if (cp >= 0x391 && cp <= 0x3A9 && greek_upper[cp - 0x391] != '?') put(true, greek_upper[cp - 0x391]);
    else if (cp >= 0x3B1 && cp <= 0x3C9) put(true, greek_lower[cp - 0x3B1]);
    else if (cp == 0x2212) put(false, '-');  // the minus sign
    else put(false, '?');
  }
  return runs;
}

// Advance widths of the text font (Helvetica) in thousandths of the height,
// for the extent of a text on the page; Symbol's Greek letters are taken
// as 0.6.
double textwidth(const std::vector<TextRun>& runs) {
  auto w = [](unsigned char c) -> int {
    if (c >= '0' && c <= '9') return 556;
    switch (c) {
      case ' ': case '.': case ',': case ':': case ';': case '!': case '/': case 'I': case 0x5C:
      case 'f': case 't': case '[': case ']': case 0xB3: case 0xB2: return 278;
      case 'i': case 'j': case 'l': case 0x27: return 222;
      case '(': case ')': case '-': case 'r': case '^': case '`': return 333;
      case 'm': case 'M': return 833;
      case 'w': case 'C': case 'D': case 'G': case 'H': case 'N': case 'O': case 'Q': case 'R': case 'U': return 722;
      case 'W': return 944;
      case '=': case '+': case '<': case '>': case '~': case 0xB1: return 584;
      case '%': return 889;
      case 0xB0: return 400;
      default: break;
    }
    if (c >= 'A' && c <= 'Z') return 667;
    if (c >= 'a' && c <= 'z') return c == 'c' || c == 'k' || c == 's' || c == 'v' || c == 'x' || c == 'y' || c == 'z' ? 500 : 556;
    if (c >= 0xC0) return 667;
    return 556;
  };
  double s = 0;
  for (const TextRun& r : runs)
    for (char c : r.bytes) s += r.symbol ? 600 : w(static_cast<unsigned char>(c));
  return s / 1000.0;
}

void set_hsb(Hsb& c, float h, float s, float b) {
  auto cl = [](float v) { return std::isfinite(v) ? std::min(1.f, std::max(0.f, v)) : 0.f; };
  c.h = cl(h);
  c.s = cl(s);
  c.b = cl(b);
}

}  // namespace

Plotter::~Plotter() {
  // An unfinished page file is abandoned, not finished: its temporary file
  // goes.
  if (ps.f || !ps.tmp.empty()) droptemp(ps);
}

std::string getpsname(int nfile, const std::string& base) {
  if (!base.empty()) return base + ".ps";
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

void psout(Plotter& p, int n, const std::string& text) {
  if (!p.ps.f) return;
  std::size_t len = n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), text.size());
  while (len > 0 && text[len - 1] == ' ') --len;
  for (std::size_t i = 0; i < len; i += 255) {
    const std::size_t k = std::min<std::size_t>(255, len - i);
    writetemp(p.ps, text.data() + i, k);
    writetemp(p.ps, "\n", 1);
    if (p.record) {
      p.body.append(text.data() + i, k);
      p.body += '\n';
    }
  }
}

void psout(Plotter& p, const std::string& text) { psout(p, static_cast<int>(text.size()), text); }

void gprimv(Plotter& p) {
  // Only a regular file: a FIFO or a device would block or never end.
  std::ifstream in;
  std::string path;
  const std::vector<std::string> places = prologplaces();
  for (const std::string& place : places)
    if (isregularfile(place)) {
      path = place;
      break;
    }
  if (!path.empty()) in.open(path);
  if (!in.is_open() || !in) {
    droptemp(p.ps);
    p.openfile.clear();
    p.st.active = false;
    findprolog();  // stops, naming the places looked at
    quit("can not open " + path, kExitOpen);
  }
  std::string ln;
  while (std::getline(in, ln)) {
    if (!ln.empty() && ln.back() == '\r') ln.pop_back();
    psout(p, ln);
  }
}

namespace {
// Renames the page file being written over its name.
void closeps(Plotter& p) {
  if (!p.ps.f) return;
  const std::filesystem::path done = p.openfile;
  p.openfile.clear();
  committemp(p.ps);
  std::vector<EpsPage> pages;
  pages.swap(p.eps);
  for (const EpsPage& e : pages) {
    TempOut t = opentemp(e.name, "page file");
    writetemp(t, e.text);
    committemp(t);
  }
  p.lastfile = done;  // only a whole file (prolog and pages) is continued
}
}  // namespace

void psopen(Plotter& p) {
  const std::string name = getpsname(p.nfile, p.base);
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(name, ec);
  if (p.ps.f && !ec && abs == p.openfile) {  // the next page of the file being written
    ++p.npage;
    return;
  }
  closeps(p);
  // Within an output set the finished file still waits under its
  // temporary name (util/tempfiles.hpp).
  const std::string done = pendingpath(name);
  const bool again = !ec && abs == p.lastfile && std::filesystem::exists(done, ec);
  p.ps = opentemp(name, "page file");
  p.openfile = abs;
  if (again) {
    // The pages this run finished before go first into the new file.
    std::ifstream old(done, std::ios::binary);
    char buf[65536];
    while (old.read(buf, sizeof buf) || old.gcount() > 0)
      writetemp(p.ps, buf, static_cast<std::size_t>(old.gcount()));
    if (old.bad()) {
      droptemp(p.ps);
      p.openfile.clear();
      cantopen(name);
    }
    ++p.npage;
  } else {
    p.lastfile.clear();
    gprimv(p);
    p.npage = 1;
  }
}

std::string getepsname(int nfile, int page, const std::string& base) {
  std::string ps = getpsname(nfile, base);
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
void writeeps(Plotter& p) {
  const double pt = 72 / 2.54;
  // A margin of 1.5 mm round the drawing, within the sheet.
  const double margin = 0.15;
  double bb[4] = {0, 0, 1, 1};
  if (!p.bbempty)
    for (int i = 0; i < 4; ++i)
      bb[i] = std::clamp(p.bb[i] + (i < 2 ? -margin : margin), 0.0, i % 2 == 0 ? double(kPageShort) : double(kPageLong));
  char box[160], hires[160];
  std::snprintf(box, sizeof box, "%%%%BoundingBox: %d %d %d %d", static_cast<int>(std::floor(bb[0] * pt)),
                static_cast<int>(std::floor(bb[1] * pt)), static_cast<int>(std::ceil(bb[2] * pt)),
                static_cast<int>(std::ceil(bb[3] * pt)));
  std::snprintf(hires, sizeof hires, "%%%%HiResBoundingBox: %.2f %.2f %.2f %.2f", bb[0] * pt, bb[1] * pt, bb[2] * pt,
                bb[3] * pt);
  std::string e = "%!PS-Adobe-3.0 EPSF-3.0\n";
  e += std::string(box) + "\n" + hires + "\n";
  e += "%%Creator: trovan\n%%Title: " + getepsname(p.nfile, p.npage, p.base) + "\n%%Pages: 1\n%%EndComments\n";
  e += "%%BeginProlog\n" + prologprocedures() + "%%EndProlog\n%%Page: 1 1\n";
  e += " 1 cm 1 cm scale\n";
  if (p.orien == 2) e += "90 rotate\n0 -21.1 translate\n";
  e += "/cmtx matrix currentmatrix def\n";
  e += p.body;
  e += "showpage\n%%Trailer\n%%EOF\n";
  p.eps.push_back({getepsname(p.nfile, p.npage, p.base), std::move(e)});
  p.body.clear();
}

// Ends the page; the file stays open for the next page of the run.
void endpage(Plotter& p) {
  if (!p.st.active) return;
  if (p.st.ldev == 1 || p.st.ldev == 2) {
    flush_path(p);
    p.record = false;
    writeeps(p);
    psout(p, "showpage");
  }
  p.st.active = false;
}
}  // namespace

void plots(Plotter& p, int ldev, float xorg, float yorg) {
  endpage(p);
  p.st.ldev = ldev;
  p.st.xorg = xorg;
  p.st.yorg = yorg;
  if (ldev != 1 && ldev != 2) {
    out() << " ldev=" << fmt_i(ldev, 12) << " not allowd\n";
    return;
  }
  const int keep_ldev = ldev;
  p.st = PageState{};
  p.st.ldev = keep_ldev;
  p.st.xorg = xorg;
  p.st.yorg = yorg;
  ++p.nfile;
  psopen(p);
  p.st.active = true;
  const bool land = p.orien == 2;
  psout(p, "%%Page: " + std::to_string(p.npage) + " " + std::to_string(p.npage));
  psout(p, "%*****begin program*****");
  psout(p, " 1 cm 1 cm scale ");
  if (land) {
    psout(p, "90 rotate");
    psout(p, "0 -21.1 translate");
  }
  psout(p, "/cmtx matrix currentmatrix def");
  const float w = land ? kPageLong : kPageShort, h = land ? kPageShort : kPageLong;
  window(p, 0, 0, w, h);
  viewpt(p, 0, 0, w, h);
  psout(p, "clippath 1 setgray fill");
  // From here on the page is also the body of its EPS file (which must not
  // paint the sheet it is placed on).
  p.body.clear();
  p.bbempty = true;
  p.record = true;
  psout(p, " 0 setgray ");
  setfont(p, kTextFont);
  newpen(p, 1);
  setltype(p, 0);
  setcol(p, 0);
  fillcolor(p, 0, 0, 0);
  plot(p, xorg, yorg, -3);
}

void plot(Plotter& p, float x, float y, int ipen) {
  if (ipen >= 32) {
    if (p.st.ldev == 0) return;
    const int ldev = p.st.ldev;
    const float xo = p.st.xorg, yo = p.st.yorg;
    endpage(p);
    plots(p, ldev, xo, yo);
    return;
  }
  if (!p.st.active || !finite2(x, y)) return;
  switch (ipen) {
    case 2:
      pen_draw(p, x, y);
      break;
    case 3:
      flush_path(p);
      p.st.px = pagex(p, x);
      p.st.py = pagey(p, y);
      break;
    case -2:
      pen_draw(p, x, y);
      origin_at(p, p.st.px, p.st.py);
      x = y = 0;
      break;
    case -3:
      flush_path(p);
      p.st.px = pagex(p, x);
      p.st.py = pagey(p, y);
      origin_at(p, p.st.px, p.st.py);
      x = y = 0;
      break;
    default:
      return;
  }
  p.st.cx = x;
  p.st.cy = y;
}

void plote(Plotter& p) {
  endpage(p);
  closeps(p);
}

void newpen(Plotter& p, int ipen) { thickl(p, 0.015f * static_cast<float>(ipen < 1 ? 1 : ipen)); }

void thickl(Plotter& p, float width) {
  if (!p.st.active || !std::isfinite(width) || width < 0) return;
  flush_path(p);
  p.st.width = width;
  psout(p, num(width) + " setlinewidth ");
}

void setltype(Plotter& p, int ltype) {
  if (!p.st.active) return;
  flush_path(p);
  const int t = ltype < 0 ? 0 : ltype % 4;
  p.st.ltype = t;
  // Dash patterns in cm: the on and off lengths along the line.
  static const char* const pat[4] = {"[]", "[0.25 0.12]", "[0.03 0.1]", "[0.3 0.1 0.03 0.1]"};
  psout(p, std::string(pat[t]) + " pls ");
}

void line(Plotter& p, const float* x, const float* y, int n) {
  if (!p.st.active || n <= 0) return;
  if (n > kLineBuf) quit("buf full in subroutine line");
  flush_path(p);
  const int m = buffer_points(p, x, y, n);
  if (m >= 2) {
    write_path(p, m);
    psout(p, "stroke ");
  }
  if (m >= 1) {
    p.st.px = p.bufx[m - 1];
    p.st.py = p.bufy[m - 1];
    for (int i = n - 1; i >= 0; --i)
      if (finite2(x[i], y[i])) {
        p.st.cx = x[i];
        p.st.cy = y[i];
        break;
      }
  }
}

void circle(Plotter& p, float x, float y, float r, int ifill) {
  if (!p.st.active || !finite2(x, y) || !std::isfinite(r)) return;
  flush_path(p);
  const std::string arc = "newpath " + num(pagex(p, x)) + " " + num(pagey(p, y)) + " " +
                          num(std::fabs(r * sx(p))) + " 0 360 arc ";
  extend(p, pagex(p, x), pagey(p, y), std::fabs(r * sx(p)) + p.st.width);
  if (ifill != 0) {
    psout(p, colour_text(p.st.fcol));
    psout(p, arc);
    psout(p, "closepath fill ");
    psout(p, colour_text(p.st.lcol));
  } else {
    psout(p, arc);
    psout(p, "closepath stroke ");
  }
}

void paint(Plotter& p) {
  if (!p.st.active) return;
  flush_path(p);
  // A unit square scaled by the long side covers the page in either
  // orientation.
  extend(p, 0, 0, 0);
  extend(p, p.orien == 2 ? kPageLong : kPageShort, p.orien == 2 ? kPageShort : kPageLong, 0);
  psout(p, "gsave cmtx setmatrix " + colour_text(p.st.fcol));
  psout(p, "29.7 29.7 scale newpath 0 0 mvt 1 0 lnt 1 1 lnt 0 1 lnt closepath fill grestore");
}

void fillarea(Plotter& p, const float* x, const float* y, int n) {
  if (!p.st.active || n <= 0) return;
  if (n > kLineBuf) quit("buf full in subroutine line");
  flush_path(p);
  const int m = buffer_points(p, x, y, n);
  if (m < 3) return;
  psout(p, colour_text(p.st.fcol));
  write_path(p, m);
  psout(p, "closepath fill ");
  psout(p, colour_text(p.st.lcol));
}

void setcol(Plotter& p, int icol) {
  // Hue, saturation, brightness of the palette colours.
  static const float pal[8][3] = {{0, 0, 0},    {0, 1, 1},        {0.333f, 1, 0.7f}, {0.667f, 1, 1},
                                  {0.833f, 1, 1}, {0.5f, 1, 0.8f}, {0.083f, 1, 1},    {0, 0, 0.5f}};
  const int k = (icol >= 0 && icol < 8) ? icol : 0;
  linecolor(p, pal[k][0], pal[k][1], pal[k][2]);
}

void linecolor(Plotter& p, float h, float s, float b) {
  if (!p.st.active) return;
  flush_path(p);
  set_hsb(p.st.lcol, h, s, b);
  psout(p, colour_text(p.st.lcol));
}

void fillcolor(Plotter& p, float h, float s, float b) {
  if (!p.st.active) return;
  set_hsb(p.st.fcol, h, s, b);
}

void setfont(Plotter& p, const std::string& name) {
  if (!p.st.active || name.empty()) return;
  flush_path(p);
  p.st.font = name;
  psout(p, "/" + name + " findfont setfont");
}

void symbol(Plotter& p, float x, float y, float h, const std::string& text, float ang) {
  csymbol(p, x, y, h, text, ang, 0);
}

void csymbol(Plotter& p, float x, float y, float h, const std::string& text, float ang, int ijust) {
  if (!p.st.active || !finite2(x, y) || !std::isfinite(h) || !std::isfinite(ang)) return;
  flush_path(p);
  const std::vector<TextRun> runs = textruns(text);
  {
    // The text's box (the font's widths, descenders 0.25 of the height
    // below the base line), turned by ang about its point.
    const double w = std::fabs(h) * textwidth(runs);
    const double x0 = ijust == 1 ? -w / 2 : ijust == 2 ? -w : 0.0;
    const double ca = std::cos(ang * 3.14159265358979 / 180), sa = std::sin(ang * 3.14159265358979 / 180);
    for (double cx : {x0, x0 + w})
      for (double cy : {-0.25 * std::fabs(h), 0.8 * std::fabs(h)})
        extend(p, pagex(p, x) + cx * ca - cy * sa, pagey(p, y) + cx * sa + cy * ca, 0.05);
  }
  psout(p, "gsave " + num(pagex(p, x)) + " " + num(pagey(p, y)) + " translate " + num(ang) + " rotate");
  psout(p, "/" + p.st.font + " findfont " + num(std::fabs(h)) + " scalefont setfont ");
  if (runs.size() > 1 || (runs.size() == 1 && runs[0].symbol)) {
    // Pieces in two fonts: the prolog's mtextout measures and shows them.
    psout(p, "0 0 mvt [");
    for (const TextRun& r : runs)
      psout(p, "(" + ps_string(r.bytes) + ") /" + (r.symbol ? std::string("Symbol") : p.st.font));
    psout(p, "] " + num(std::fabs(h)) + " " + std::to_string(std::clamp(ijust, 0, 2)) + " mtextout");
    psout(p, "grestore");
    return;
  }
  // Long texts are continued with a backslash at the end of the record,
  // which PostScript drops from the string.
  std::string body = ps_string(runs.empty() ? std::string() : runs[0].bytes);
  std::string rec = "0 0 mvt (";
  while (body.size() > 180) {
    // Never split an escape (a backslash and one character, or three octal
    // digits for a byte beyond ASCII).
    std::size_t cut = 0;
    for (std::size_t q = 0; q < 180;) {
      cut = q;
      q += body[q] != '\\' ? 1 : (body[q + 1] >= '0' && body[q + 1] <= '7' ? 4 : 2);
      if (q <= 180) cut = q;
    }
    if (cut == 0) cut = 180;
    psout(p, rec + body.substr(0, cut) + "\\");
    body.erase(0, cut);
    rec.clear();
  }
  const char* op = ijust == 1 ? ") ctextout" : ijust == 2 ? ") rtextout" : ") textout ";
  psout(p, rec + body + op);
  psout(p, "grestore");
}

namespace {
// Stores a rectangle of the plot state and hands it to the prolog's
// variable of that name (WINDOW: user coordinates, VIEW: the page part).
void setrect(Plotter& p, float* r, const char* var, float x0, float y0, float x1, float y1) {
  flush_path(p);
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
  psout(p, t);
}
}  // namespace

void window(Plotter& p, float x0, float y0, float x1, float y1) {
  if (!p.st.active || x1 == x0 || y1 == y0 || !finite2(x0, y0) || !finite2(x1, y1)) return;
  setrect(p, p.st.win, "WINDOW", x0, y0, x1, y1);
}

void viewpt(Plotter& p, float x0, float y0, float x1, float y1) {
  if (!p.st.active || !finite2(x0, y0) || !finite2(x1, y1)) return;
  setrect(p, p.st.view, "VIEW", x0, y0, x1, y1);
}

void cliparea(Plotter& p, int icl) {
  if (!p.st.active) return;
  flush_path(p);
  psout(p, "cmtx setmatrix initclip");
  if (icl != 0) {
    const float x0 = p.st.ox + std::min(p.st.view[0], p.st.view[2]);
    const float x1 = p.st.ox + std::max(p.st.view[0], p.st.view[2]);
    const float y0 = p.st.oy + std::min(p.st.view[1], p.st.view[3]);
    const float y1 = p.st.oy + std::max(p.st.view[1], p.st.view[3]);
    psout(p, num(x0) + " " + num(y0) + " " + num(x1) + " " + num(y1) + " cliparea clip newpath");
  }
}

void offset(Plotter& p, float x, float y) {
  if (!p.st.active || !finite2(x, y)) return;
  flush_path(p);
  p.st.ox = x;
  p.st.oy = y;
  p.st.px = pagex(p, 0);
  p.st.py = pagey(p, 0);
  p.st.cx = p.st.cy = 0;
}

void currps(const Plotter& p, float& x, float& y) {
  x = p.st.cx;
  y = p.st.cy;
}

}  // namespace trovan
