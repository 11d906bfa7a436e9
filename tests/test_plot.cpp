// The plot library: pen codes, file naming, the prolog path, line types,
// clipping, text and orientation, and that every page renders in
// Ghostscript. Pixel checks read back a ppmraw rendering of the page.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.hpp"
#include "plot/calcomp.hpp"
#include "plot/mappage.hpp"
#include "util/stop.hpp"

using namespace trovan;
using namespace trovan_test;

namespace {

// A page rendered to RGB pixels, row 0 at the top.
struct Image {
  int w = 0, h = 0, res = 0;
  std::vector<unsigned char> rgb;
  // Pixel at (x, y) cm measured from the lower left corner of the sheet.
  bool dark_cm(double x, double y) const {
    const int i = static_cast<int>(x * res / 2.54), j = h - 1 - static_cast<int>(y * res / 2.54);
    return dark(i, j);
  }
  bool dark(int i, int j) const {
    if (i < 0 || j < 0 || i >= w || j >= h) return false;
    const unsigned char* p = &rgb[3 * (static_cast<std::size_t>(j) * w + i)];
    return p[0] + p[1] + p[2] < 384;
  }
  int row(double y) const { return h - 1 - static_cast<int>(y * res / 2.54); }
  int col(double x) const { return static_cast<int>(x * res / 2.54); }
};

Image render_ppm(const fs::path& ps, int res) {
  Image im;
  if (!have_gs()) {
    ADD_FAILURE() << "Ghostscript (gs) is not installed; install it (apt-get install -y ghostscript).";
    return im;
  }
  const fs::path out = ps.parent_path() / (ps.stem().string() + ".ppm");
  std::string log;
  EXPECT_EQ(run_gs(ps, "ppmraw", out.string(), res, &log), 0) << log;
  std::ifstream f(out, std::ios::binary);
  // Header fields, with "#" comment lines between them.
  auto field = [&f]() {
    std::string t;
    while (f >> t && t[0] == '#') std::getline(f, t);
    return t;
  };
  const std::string magic = field();
  im.w = std::atoi(field().c_str());
  im.h = std::atoi(field().c_str());
  field();  // maxval
  f.get();
  EXPECT_EQ(magic, "P6");
  im.res = res;
  im.rgb.resize(3 * static_cast<std::size_t>(im.w) * im.h);
  f.read(reinterpret_cast<char*>(im.rgb.data()), static_cast<std::streamsize>(im.rgb.size()));
  EXPECT_TRUE(f.good());
  return im;
}

// Runs of dark pixels along row j between columns i0 and i1.
int dark_runs(const Image& im, int j, int i0, int i1) {
  int runs = 0;
  bool in = false;
  for (int i = i0; i <= i1; ++i) {
    const bool d = im.dark(i, j);
    if (d && !in) ++runs;
    in = d;
  }
  return runs;
}

// Each test works in a fresh temporary directory with the prolog of the
// source tree, and leaves no page open.
class Plot : public trovan_test::InPageFolder {
 protected:
  fs::path ps() const { return dir_ / "calcomp1.ps"; }
  Plotter p_;  // a new plotter: the state at the start of a program
};

}  // namespace

TEST(PlotNames, EveryPageGoesToCalcomp1) {
  EXPECT_EQ(getpsname(1), "calcomp1.ps");
  EXPECT_EQ(getpsname(2), "calcomp1.ps");
  EXPECT_EQ(getpsname(1000), "calcomp1.ps");
}

TEST(PlotNames, PrologPathFromEnvironment) {
  // Without CLCMPPATH a program in its build tree (the test program) finds
  // the source tree's prolog.
  ::unsetenv("CLCMPPATH");
  EXPECT_EQ(fs::path(getprologpath()), fs::path(TROVAN_SOURCE_DIR "/plot/gprim.ps"));
  ::setenv("CLCMPPATH", "/opt/trovan/plot   ", 1);
  EXPECT_EQ(getprologpath(), "/opt/trovan/plot/gprim.ps");
  // Longer than the old 50-character field: kept whole.
  const std::string longdir = "/a/directory/name/that/is/longer/than/fifty/characters/plot";
  ::setenv("CLCMPPATH", longdir.c_str(), 1);
  EXPECT_EQ(getprologpath(), longdir + "/gprim.ps");
  ::unsetenv("CLCMPPATH");
}

TEST_F(Plot, MissingPrologStopsWithStatusOne) {
  ::setenv("CLCMPPATH", (dir_ / "nowhere").c_str(), 1);
  try {
    plots(p_, 1);
    FAIL() << "plots went on without its prolog";
  } catch (const Stop& s) {
    EXPECT_EQ(s.status, 1);
  }
  EXPECT_NE(listing_.str().find("can not open the page prolog gprim.ps: looked at " +
                                (dir_ / "nowhere" / "gprim.ps").string() + "; CLCMPPATH"),
            std::string::npos)
      << listing_.str();
  EXPECT_FALSE(isplotting(p_));
  // With the prolog found again, the next page starts a whole file.
  ::setenv("CLCMPPATH", TROVAN_SOURCE_DIR "/plot", 1);
  plots(p_, 1);
  plot(p_, 1, 1, 3);
  plot(p_, 5, 5, 2);
  plote(p_);
  const std::string s = slurp(ps());
  EXPECT_EQ(count_of(s, "%%BeginProlog"), 1);
  EXPECT_EQ(render_png(ps()), 1);
}

TEST_F(Plot, OtherDevicesDrawNothing) {
  plots(p_, 3);
  EXPECT_NE(listing_.str().find("ldev="), std::string::npos);
  EXPECT_NE(listing_.str().find(" 3 not allowd"), std::string::npos) << listing_.str();
  EXPECT_FALSE(isplotting(p_));
  plot(p_, 1, 1, 3);
  plot(p_, 5, 5, 2);
  plote(p_);
  EXPECT_FALSE(fs::exists(ps()));
}

TEST_F(Plot, PenCodesMoveDrawAndShiftTheOrigin) {
  plots(p_, 1, 5, 4);  // origin 5 cm right, 4 cm up
  plot(p_, 1, 1, 3);   // page (6, 5)
  plot(p_, 3, 1, 2);   // page (8, 5)
  float x, y;
  currps(p_, x, y);
  EXPECT_FLOAT_EQ(x, 3);
  EXPECT_FLOAT_EQ(y, 1);
  plot(p_, 2, 2, -2);  // draw to page (7, 6), which becomes the origin
  currps(p_, x, y);
  EXPECT_FLOAT_EQ(x, 0);
  EXPECT_FLOAT_EQ(y, 0);
  plot(p_, 1, 0, 2);  // page (8, 6)
  plot(p_, 9, 9, 5);  // ignored
  plot(p_, 9, 9, 1);  // ignored
  currps(p_, x, y);
  EXPECT_FLOAT_EQ(x, 1);
  EXPECT_FLOAT_EQ(y, 0);
  plot(p_, -1, -1, -3);  // origin to page (6, 5), no line
  plot(p_, 2, 0, 2);     // page (8, 5)
  plote(p_);
  const std::string s = slurp(ps());
  const std::size_t a = s.find("6.000 5.000 mvt"), b = s.find("8.000 5.000 lnt"),
                    c = s.find("7.000 6.000 lnt"), d = s.find("8.000 6.000 lnt");
  ASSERT_NE(a, std::string::npos) << s;
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(c, std::string::npos);
  ASSERT_NE(d, std::string::npos);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(c, d);
  EXPECT_EQ(count_of(s, " lnt"), 4);  // the ignored codes drew nothing
  EXPECT_EQ(count_of(s, "showpage"), 1);
  EXPECT_EQ(render_png(ps()), 1);
}

TEST_F(Plot, PageSetUpAndPrologCopy) {
  p_.orien = 2;
  plots(p_, 1);
  plote(p_);
  const std::string s = slurp(ps());
  const std::string prolog = slurp(fs::path(TROVAN_SOURCE_DIR) / "plot" / "gprim.ps");
  EXPECT_EQ(s.rfind("%!PS", 0), 0u);
  EXPECT_NE(s.find("%%EndProlog"), std::string::npos);
  const std::size_t b = s.find("%*****begin program*****\n 1 cm 1 cm scale\n90 rotate\n0 -21.1 translate\n"
                               "/cmtx matrix currentmatrix def\n");
  EXPECT_NE(b, std::string::npos) << s;
  EXPECT_GT(b, s.find("%%EndSetup"));
  EXPECT_NE(s.find("clippath 1 setgray fill\n 0 setgray\n"), std::string::npos);
  // A proportional font of every PostScript device, re-encoded for Latin-1.
  EXPECT_NE(s.find("/Helvetica-Latin1 findfont setfont"), std::string::npos);
  EXPECT_EQ(s.find("Courier"), std::string::npos);
  EXPECT_NE(s.find("[0.000 0.000 29.700 21.100] /WINDOW vvar"), std::string::npos);
  EXPECT_EQ(s.substr(s.size() - 9), "showpage\n");
  // Every procedure the library may write is defined in the prolog.
  for (const char* p : {"/cm", "/mvt", "/lnt", "/pls", "/plt", "/vvar", "/textout", "/ctextout",
                        "/rtextout", "/mtextout", "/cliparea", "/Helvetica-Latin1"})
    EXPECT_NE(prolog.find(std::string(p) + " "), std::string::npos) << p;
  EXPECT_EQ(render_png(ps()), 1);
}

TEST_F(Plot, PenCode999StartsANewPageInTheSameFile) {
  plots(p_, 1);
  const int n0 = p_.nfile;
  plot(p_, 2, 2, 3);
  plot(p_, 10, 10, 2);
  plot(p_, 0, 0, 999);
  EXPECT_TRUE(isplotting(p_));
  EXPECT_EQ(p_.nfile, n0 + 1);
  plot(p_, 2, 10, 3);
  plot(p_, 10, 2, 2);
  plote(p_);
  // A second run of plots/plote in the same run adds a third page.
  plots(p_, 2);
  symbol(p_, 2, 2, 1, "third", 0);
  plote(p_);
  const std::string s = slurp(ps());
  EXPECT_EQ(count_of(s, "showpage"), 3);
  EXPECT_EQ(count_of(s, "%%BeginProlog"), 1);
  EXPECT_EQ(count_of(s, "%*****begin program*****"), 3);
  EXPECT_EQ(render_png(ps()), 3);
}

// Each job draws with a plotter of its own: one that goes out of scope in
// the middle of a page (a run that stopped) removes its temporary file and
// leaves the previous page file whole; the next job's plotter starts a
// file of its own instead of adding to the pages of an earlier one.
TEST_F(Plot, APlotterOwnsItsPageFile) {
  plots(p_, 1);
  plot(p_, 2, 2, 3);
  plot(p_, 10, 10, 2);
  plote(p_);
  const std::string first = slurp(ps());
  auto files = [this] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir_)) n += e.is_regular_file();
    return n;
  };
  EXPECT_EQ(files(), 2);  // calcomp1.ps and calcomp1_1.eps
  {
    Plotter stopped;
    plots(stopped, 1);
    symbol(stopped, 2, 2, 1, "unfinished", 0);
    EXPECT_TRUE(isplotting(stopped));
    EXPECT_EQ(files(), 3);
  }
  EXPECT_EQ(files(), 2) << "the temporary page file was left behind";
  EXPECT_EQ(slurp(ps()), first);
  {
    Plotter next;
    plots(next, 1);
    plote(next);
  }
  const std::string s = slurp(ps());
  EXPECT_EQ(count_of(s, "showpage"), 1);
  EXPECT_EQ(count_of(s, " lnt"), 0);  // none of the first job's page
  EXPECT_EQ(render_png(ps()), 1);
}

TEST_F(Plot, LineTypesDashAlongTheLine) {
  plots(p_, 1);
  thickl(p_, 0.06f);
  const float xs[2] = {2, 12};
  for (int t = 0; t < 4; ++t) {
    setltype(p_, t);
    EXPECT_EQ(p_.st.ltype, t);
    const float ys[2] = {5.f + 5 * t, 5.f + 5 * t};
    line(p_, xs, ys, 2);
  }
  setltype(p_, 5);
  EXPECT_EQ(p_.st.ltype, 1);
  plote(p_);
  const Image im = render_ppm(ps(), 200);
  ASSERT_GT(im.w, 0);
  // Page 21.1 x 29.7 cm.
  EXPECT_NEAR(im.w, 21.1 * 200 / 2.54, 3);
  EXPECT_NEAR(im.h, 29.7 * 200 / 2.54, 3);
  const int i0 = im.col(1.5), i1 = im.col(12.5);
  // Solid: one run from 2 to 12 cm.
  EXPECT_EQ(dark_runs(im, im.row(5), i0, i1), 1);
  EXPECT_TRUE(im.dark_cm(2.1, 5));
  EXPECT_TRUE(im.dark_cm(11.9, 5));
  EXPECT_FALSE(im.dark_cm(12.2, 5));
  // Dashed 0.25 on, 0.12 off: 10 cm / 0.37 cm = 27 dashes.
  EXPECT_NEAR(dark_runs(im, im.row(10), i0, i1), 10 / 0.37, 2);
  // Dotted 0.03 on, 0.1 off: about 77 dots.
  EXPECT_NEAR(dark_runs(im, im.row(15), i0, i1), 10 / 0.13, 4);
  // Dash-dot: two marks every 0.53 cm.
  EXPECT_NEAR(dark_runs(im, im.row(20), i0, i1), 2 * 10 / 0.53, 3);
}

TEST_F(Plot, ClippingKeepsDrawingInsideTheView) {
  plots(p_, 1);
  thickl(p_, 0.1f);
  window(p_, 0, 0, 1, 1);
  viewpt(p_, 5, 5, 10, 10);  // user unit square onto page 5..10 cm
  cliparea(p_, 1);
  const float xs[2] = {-1, 2}, ys[2] = {0.5f, 0.5f};  // page 0..15 cm at 7.5 cm
  line(p_, xs, ys, 2);
  circle(p_, 0.5f, 0.5f, 0.8f, 0);  // radius 4 cm: its top and bottom are cut off
  cliparea(p_, 0);
  const float ys2[2] = {1.5f, 1.5f};  // page 12.5 cm, not clipped
  line(p_, xs, ys2, 2);
  plote(p_);
  EXPECT_EQ(render_png(ps()), 1);
  const Image im = render_ppm(ps(), 100);
  ASSERT_GT(im.w, 0);
  EXPECT_TRUE(im.dark_cm(5.2, 7.5));
  EXPECT_TRUE(im.dark_cm(9.8, 7.5));
  EXPECT_FALSE(im.dark_cm(4.7, 7.5));
  EXPECT_FALSE(im.dark_cm(10.3, 7.5));
  EXPECT_FALSE(im.dark_cm(1, 7.5));
  EXPECT_FALSE(im.dark_cm(7.5, 11.5));  // top of the circle, clipped away
  EXPECT_TRUE(im.dark_cm(1, 12.5));     // after the clip was removed
  EXPECT_TRUE(im.dark_cm(14, 12.5));
}

TEST_F(Plot, LandscapePageWithText) {
  p_.orien = 2;
  plots(p_, 1);
  fillcolor(p_, 0, 0, 0);
  const float rx[4] = {1, 3, 3, 1}, ry[4] = {1, 1, 2, 2};
  fillarea(p_, rx, ry, 4);
  symbol(p_, 5, 10, 1.0f, "TROVAN", 0);
  csymbol(p_, 14.85f, 15, 1.0f, "centred (text) \\ here", 0, 1);
  csymbol(p_, 25, 5, 0.7f, "right", 90, 2);
  plote(p_);
  EXPECT_EQ(render_png(ps()), 1);
  const Image im = render_ppm(ps(), 72);
  ASSERT_GT(im.w, 0);
  // Landscape page point (x, y) lies at (21.1 - y, x) on the portrait sheet.
  auto dark_l = [&](double x, double y) { return im.dark_cm(21.1 - y, x); };
  EXPECT_TRUE(dark_l(2, 1.5));
  EXPECT_FALSE(im.dark_cm(2, 1.5));  // where a portrait page would have it
  // The text "TROVAN" from x = 5 cm, cap height about 0.6 cm above y = 10.
  int ink = 0, stray = 0;
  for (double x = 5; x < 8.6; x += 0.05)
    for (double y = 10.05; y < 10.6; y += 0.05) ink += dark_l(x, y);
  for (double x = 5; x < 8.6; x += 0.05)
    for (double y = 11.2; y < 12; y += 0.05) stray += dark_l(x, y);
  EXPECT_GT(ink, 40);
  EXPECT_EQ(stray, 0);
  // Centred text: as much ink reaches left of 14.85 cm as right of it.
  double left = 99, right = -99;
  for (double x = 5; x < 25; x += 0.02)
    for (double y = 15.05; y < 15.6; y += 0.05)
      if (dark_l(x, y)) {
        left = std::min(left, x);
        right = std::max(right, x);
      }
  EXPECT_NEAR(14.85 - left, right - 14.85, 0.15);
  // Right-justified text turned by 90 degrees ends at (25, 5) and runs down.
  int below = 0, above = 0;
  for (double y = 2; y < 5; y += 0.05) below += dark_l(24.8, y);
  for (double y = 5.2; y < 8; y += 0.05) above += dark_l(24.8, y);
  EXPECT_GT(below, 5);
  EXPECT_EQ(above, 0);
}

TEST_F(Plot, EveryCallRendersAndRecordsStayShort) {
  plots(p_, 2, 2, 2);
  fillcolor(p_, 0, 0, 0.9f);
  paint(p_);  // light grey background
  fillcolor(p_, 0.6f, 0.5f, 1);
  const float px[3] = {1, 6, 3}, py[3] = {1, 2, 6};
  fillarea(p_, px, py, 3);
  setcol(p_, 1);
  newpen(p_, 3);
  std::vector<float> cx(5000), cy(5000);
  for (int i = 0; i < 5000; ++i) {
    const double a = 2 * M_PI * i / 4999;
    cx[i] = static_cast<float>(10 + 4 * std::cos(a));
    cy[i] = static_cast<float>(15 + 4 * std::sin(a));
  }
  cx[100] = NAN;  // a bad point is left out, not written
  line(p_, cx.data(), cy.data(), 5000);
  linecolor(p_, 0.3f, 1, 0.8f);
  circle(p_, 10, 15, 2, 0);
  circle(p_, 10, 15, 1, 1);
  setltype(p_, 3);
  for (int i = 0; i < 3000; ++i) plot(p_, 0.001f * i, 20 + std::sin(0.01f * i), i == 0 ? 3 : 2);
  setfont(p_, "Helvetica");
  symbol(p_, 1, 25, 0.5f, std::string(400, 'x') + "(end)", 0);
  window(p_, 0, 0, 0, 1);  // refused: zero width
  setcol(p_, 42);
  plot(p_, 1, 1, -3);
  offset(p_, 3, 3);
  plote(p_);
  const std::string s = slurp(ps());
  EXPECT_EQ(s.find("nan"), std::string::npos);
  std::istringstream in(s);
  std::string rec;
  std::size_t longest = 0;
  while (std::getline(in, rec)) longest = std::max(longest, rec.size());
  EXPECT_LE(longest, 255u);
  EXPECT_EQ(render_png(ps()), 1);
}

TEST_F(Plot, LineBufferOverflowStops) {
  plots(p_, 1);
  std::vector<float> x(kLineBuf + 1, 1.f), y(kLineBuf + 1, 1.f);
  try {
    line(p_, x.data(), y.data(), kLineBuf + 1);
    FAIL() << "an overlong line was accepted";
  } catch (const Stop& s) {
    EXPECT_NE(s.status, 0);
  }
  EXPECT_NE(listing_.str().find("buf full in subroutine line"), std::string::npos);
}

namespace {

struct AxisCase {
  double origin[6], dir[6], length;
  const char* name;  // the axis name expected
};

class SectionAxes : public ::testing::TestWithParam<AxisCase> {};

// Every labelled tick sits where the coordinate it shows lies along the
// edge: origin + s dir has that value (the distance s |dir| along an axis
// of several components); five to ten of them span the edge.
TEST_P(SectionAxes, TickLabelsAreTheCoordinatesAtTheirPlace) {
  const AxisCase& c = GetParam();
  static const char* const names[6] = {"x1", "x2", "x3", "x4", "x5", "x6"};
  const SectionAxis ax = makeaxis(c.origin, c.dir, 6, names, c.length, "distance along u (A)");
  EXPECT_EQ(ax.name, c.name);
  int single = -1, nonzero = 0;
  for (int i = 0; i < 6; ++i)
    if (c.dir[i] != 0) single = i, ++nonzero;
  int labelled = 0;
  for (const SectionTick& t : ax.ticks) {
    ASSERT_GE(t.s, 0.0);
    ASSERT_LE(t.s, 1.0);
    if (t.label.empty()) continue;
    ++labelled;
    const double at = nonzero == 1 ? c.origin[single] + t.s * c.dir[single] : t.s * c.length;
    EXPECT_NEAR(std::stod(t.label), at, 1e-9 + 1e-6 * std::fabs(at)) << t.label;
  }
  EXPECT_GE(labelled, 3);
  EXPECT_LE(labelled, 11);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SectionAxes,
    ::testing::Values(AxisCase{{-0.5, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0}, 4.2, "x1"},
                      AxisCase{{0, 0, 0, 0.25, 0, 0}, {0, 0, 0, -0.5, 0, 0}, 0.5, "x4"},
                      AxisCase{{-20, -20, 0, 0, 0, 0}, {0, 40, 0, 0, 0, 0}, 40, "x2"},
                      AxisCase{{0, 0, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}, 5.5225, "distance along u (A)"},
                      AxisCase{{0.1, 0.2, 0.3, 0, 0, 0}, {0, 0, 0.003, 0, 0, 0}, 0.02, "x3"}));

}  // namespace
