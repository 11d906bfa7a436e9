#include "plot/mappage.hpp"

#include <algorithm>
#include <cmath>

#include "plot/calcomp.hpp"

namespace trovan {

namespace {

// The map sits in a kMapSize square whose lower left corner is here (page
// cm, portrait); the title is above it, the text block below.
constexpr double kMapLeft = 2.55;
constexpr double kMapLow = 11.2;
constexpr double kTitleY = 28.3;
constexpr double kTextHeight = 0.30;
constexpr double kTextStep = 0.48;
constexpr double kTextLeft = 1.3;

std::string fixed(double v, int d) {
  char b[48];
  std::snprintf(b, sizeof b, "%.*f", d, v);
  std::string s = b;
  if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-') s.erase(0, 1);
  return s;
}

void segment(float x0, float y0, float x1, float y1) {
  plot(x0, y0, 3);
  plot(x1, y1, 2);
  plot(x1, y1, 3);  // strokes the piece
}

}  // namespace

bool layoutsection(double uu, double uv, double vv, SectionPage& pg) {
  pg = SectionPage{};
  if (!(uu > 0) || !(vv > 0) || !std::isfinite(uv)) return false;
  pg.lu = std::sqrt(uu);
  pg.lv = std::sqrt(vv);
  pg.cosg = std::clamp(uv / (pg.lu * pg.lv), -1.0, 1.0);
  const double sing = std::sqrt(std::max(0.0, 1 - pg.cosg * pg.cosg));
  if (!(sing > 1e-6)) return false;
  // The parallelogram in Angstrom: u along x, v at the angle gamma.
  const double ux = pg.lu, vx = pg.lv * pg.cosg, vy = pg.lv * sing;
  const double xs[4] = {0, ux, vx, ux + vx};
  const double xmin = *std::min_element(xs, xs + 4), xmax = *std::max_element(xs, xs + 4);
  const double width = xmax - xmin, height = vy;
  pg.scale = kMapSize / std::max(width, height);
  // Centred horizontally in the square and hung from its top edge, so that
  // the text under a wide, low map follows it closely.
  const double w = width * pg.scale, h = height * pg.scale;
  pg.o[0] = kMapLeft + 0.5 * (kMapSize - w) - xmin * pg.scale;
  pg.o[1] = kMapLow + (kMapSize - h);
  pg.pu[0] = ux * pg.scale;
  pg.pu[1] = 0;
  pg.pv[0] = vx * pg.scale;
  pg.pv[1] = vy * pg.scale;
  pg.bottom = pg.o[1];
  return true;
}

void topage(const SectionPage& pg, double s, double t, float& x, float& y) {
  x = static_cast<float>(pg.o[0] + s * pg.pu[0] + t * pg.pv[0]);
  y = static_cast<float>(pg.o[1] + s * pg.pu[1] + t * pg.pv[1]);
}

void drawcontourlines(const SectionPage& pg, const std::vector<ContourLine>& lines, int nx, int ny) {
  const double ds = nx > 1 ? 1.0 / (nx - 1) : 0, dt = ny > 1 ? 1.0 / (ny - 1) : 0;
  std::vector<float> px, py;
  for (const ContourLine& ln : lines) {
    const int n = static_cast<int>(ln.x.size());
    if (n < 2) continue;
    px.resize(n);
    py.resize(n);
    for (int k = 0; k < n; ++k) topage(pg, ln.x[k] * ds, ln.y[k] * dt, px[k], py[k]);
    // Pieces of at most kLineBuf points, each starting where the last ended.
    for (int start = 0; start < n - 1; start += kLineBuf - 1) {
      const int m = std::min(kLineBuf, n - start);
      line(px.data() + start, py.data() + start, m);
    }
  }
}

void drawframe(const SectionPage& pg) {
  newpen(3);
  setltype(0);
  float x[5], y[5];
  topage(pg, 0, 0, x[0], y[0]);
  topage(pg, 1, 0, x[1], y[1]);
  topage(pg, 1, 1, x[2], y[2]);
  topage(pg, 0, 1, x[3], y[3]);
  x[4] = x[0];
  y[4] = y[0];
  line(x, y, 5);
  newpen(2);
  // Outward unit normals of the u edge (away from v) and of the v edge
  // (away from u), in page cm.
  const double lu = std::hypot(pg.pu[0], pg.pu[1]), lv = std::hypot(pg.pv[0], pg.pv[1]);
  double nu[2] = {pg.pu[1] / lu, -pg.pu[0] / lu};
  if (nu[0] * pg.pv[0] + nu[1] * pg.pv[1] > 0) nu[0] = -nu[0], nu[1] = -nu[1];
  double nv[2] = {pg.pv[1] / lv, -pg.pv[0] / lv};
  if (nv[0] * pg.pu[0] + nv[1] * pg.pu[1] > 0) nv[0] = -nv[0], nv[1] = -nv[1];
  const double tick = 0.2, lab = 0.3;
  for (int k = 0; k <= 10; ++k) {
    const double f = k / 10.0, len = (k % 5 == 0) ? tick * 1.6 : tick;
    float ax, ay;
    topage(pg, f, 0, ax, ay);
    segment(ax, ay, static_cast<float>(ax + len * nu[0]), static_cast<float>(ay + len * nu[1]));
    topage(pg, 0, f, ax, ay);
    segment(ax, ay, static_cast<float>(ax + len * nv[0]), static_cast<float>(ay + len * nv[1]));
  }
  // Tick values (fractions of the axis) and the axis names outside the edges.
  for (int k = 0; k <= 2; ++k) {
    const double f = 0.5 * k;
    const std::string txt = k == 0 ? "0" : k == 1 ? "0.5" : "1";
    float ax, ay;
    topage(pg, f, 0, ax, ay);
    csymbol(static_cast<float>(ax + (tick * 1.6 + 0.1) * nu[0]),
            static_cast<float>(ay + (tick * 1.6 + 0.1 + lab) * nu[1]), static_cast<float>(lab), txt, 0, 1);
    if (k > 0) {
      topage(pg, 0, f, ax, ay);
      csymbol(static_cast<float>(ax + (tick * 1.6 + 0.1) * nv[0] - 0.25), static_cast<float>(ay - 0.1),
              static_cast<float>(lab), txt, 0, 2);
    }
  }
  // The axis names at the far ends of their edges: u past the corner
  // s = 1, v above the corner t = 1, each along its own direction.
  float ax, ay;
  topage(pg, 1, 0, ax, ay);
  csymbol(static_cast<float>(ax + 0.6 * pg.pu[0] / lu), static_cast<float>(ay + 0.6 * pg.pu[1] / lu - 0.15), 0.4f,
          "u", 0, 1);
  topage(pg, 0, 1, ax, ay);
  csymbol(static_cast<float>(ax + 0.45 * pg.pv[0] / lv), static_cast<float>(ay + 0.45 * pg.pv[1] / lv), 0.4f, "v", 0,
          1);
  newpen(1);
}

void drawmarks(const SectionPage& pg, const std::vector<SectionMark>& marks) {
  if (marks.empty()) return;
  setcol(1);
  newpen(2);
  setltype(0);
  for (const SectionMark& mk : marks) {
    float x, y;
    topage(pg, mk.s, mk.t, x, y);
    circle(x, y, 0.12f, 0);
    symbol(x + 0.17f, y + 0.15f, 0.36f, std::to_string(mk.number), 0);
  }
  setcol(0);
  newpen(1);
}

void drawscalebar(const SectionPage& pg) {
  if (!(pg.scale > 0)) return;
  // The largest round length whose bar is at most 5 cm long.
  const double target = 5.0 / pg.scale;
  double p = std::pow(10.0, std::floor(std::log10(target)));
  double len = p;
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p <= target * (1 + 1e-9)) len = m * p;
  const double cm = len * pg.scale;
  const float x1 = static_cast<float>(kMapLeft + kMapSize), x0 = static_cast<float>(x1 - cm);
  const float y = static_cast<float>(pg.bottom - 1.4);
  newpen(4);
  segment(x0, y, x1, y);
  newpen(2);
  segment(x0, y - 0.12f, x0, y + 0.12f);
  segment(x1, y - 0.12f, x1, y + 0.12f);
  const int dec = len >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(len) - 1e-9));
  csymbol(0.5f * (x0 + x1), y + 0.22f, 0.3f, fixed(len, dec) + " A", 0, 1);
  newpen(1);
}

void drawtexts(const SectionPage& pg, const std::string& title, const std::vector<std::string>& lines) {
  setcol(0);
  csymbol(static_cast<float>(kMapLeft + 0.5 * kMapSize), static_cast<float>(kTitleY), 0.45f, title, 0, 1);
  double y = pg.bottom - 2.4;
  for (const std::string& s : lines) {
    symbol(static_cast<float>(kTextLeft), static_cast<float>(y), static_cast<float>(kTextHeight), s, 0);
    y -= kTextStep;
  }
}

}  // namespace trovan
