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

void segment(Plotter& pl, float x0, float y0, float x1, float y1) {
  plot(pl, x0, y0, 3);
  plot(pl, x1, y1, 2);
  plot(pl, x1, y1, 3);  // strokes the piece
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

void drawcontourlines(Plotter& pl, const SectionPage& pg, const std::vector<ContourLine>& lines, int nx, int ny) {
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
      line(pl, px.data() + start, py.data() + start, m);
    }
  }
}

namespace {

// A round step (1, 2, 2.5 or 5 times a power of ten) for about `span`/6.
double nicestep(double span) {
  const double raw = span / 6;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 2.5, 5.0})
    if (m * p >= raw * (1 - 1e-9)) return m * p;
  return 10 * p;
}

// Decimals that show every multiple of `step`.
int decimalsof(double step) {
  for (int d = 0; d < 6; ++d) {
    const double q = step * std::pow(10.0, d);
    if (std::fabs(q - std::nearbyint(q)) < 1e-6 * q) return d;
  }
  return 6;
}

}  // namespace

SectionAxis makeaxis(const double* origin, const double* dir, int ncomp, const char* const* names, double length,
                     const std::string& alongname) {
  SectionAxis ax;
  int single = -1, nonzero = 0;
  double big = 0;
  for (int i = 0; i < ncomp; ++i) big = std::max(big, std::fabs(dir[i]));
  for (int i = 0; i < ncomp; ++i)
    if (std::fabs(dir[i]) > 1e-9 * big) {
      single = i;
      ++nonzero;
    }
  double o = 0, d = length;
  if (nonzero == 1) {
    o = origin[single];
    d = dir[single];
    ax.name = names[single];
  } else {
    ax.name = alongname;
  }
  if (!(std::fabs(d) > 0) || !std::isfinite(d) || !std::isfinite(o)) return ax;
  const double lo = std::min(o, o + d), hi = std::max(o, o + d);
  const double step = nicestep(hi - lo), half = step / 2;
  const int dec = decimalsof(step);
  for (double k = std::ceil((lo - 1e-9 * step) / half); k * half <= hi + 1e-9 * step; k += 1) {
    const double v = k * half;
    SectionTick t;
    t.s = std::clamp((v - o) / d, 0.0, 1.0);
    if (std::fmod(std::fabs(k), 2.0) < 0.5) t.label = fixed(v, dec);
    ax.ticks.push_back(t);
  }
  return ax;
}

void drawframe(Plotter& pl, const SectionPage& pg, const SectionAxis& au, const SectionAxis& av) {
  newpen(pl, 3);
  setltype(pl, 0);
  float x[5], y[5];
  topage(pg, 0, 0, x[0], y[0]);
  topage(pg, 1, 0, x[1], y[1]);
  topage(pg, 1, 1, x[2], y[2]);
  topage(pg, 0, 1, x[3], y[3]);
  x[4] = x[0];
  y[4] = y[0];
  line(pl, x, y, 5);
  newpen(pl, 2);
  // Outward unit normals of the u edge (away from v) and of the v edge
  // (away from u), in page cm.
  const double lu = std::hypot(pg.pu[0], pg.pu[1]), lv = std::hypot(pg.pv[0], pg.pv[1]);
  double nu[2] = {pg.pu[1] / lu, -pg.pu[0] / lu};
  if (nu[0] * pg.pv[0] + nu[1] * pg.pv[1] > 0) nu[0] = -nu[0], nu[1] = -nu[1];
  double nv[2] = {pg.pv[1] / lv, -pg.pv[0] / lv};
  if (nv[0] * pg.pu[0] + nv[1] * pg.pu[1] > 0) nv[0] = -nv[0], nv[1] = -nv[1];
  const double tick = 0.2, lab = 0.3;
  // Ticks and their values: below the u edge centred on the tick, left of
  // the v edge ending before it.
  for (const SectionTick& t : au.ticks) {
    float ax, ay;
    topage(pg, t.s, 0, ax, ay);
    const double len = t.label.empty() ? tick : tick * 1.6;
    segment(pl, ax, ay, static_cast<float>(ax + len * nu[0]), static_cast<float>(ay + len * nu[1]));
    if (!t.label.empty())
      csymbol(pl, static_cast<float>(ax + (len + 0.1) * nu[0]), static_cast<float>(ay + (len + 0.1) * nu[1] - lab),
              static_cast<float>(lab), t.label, 0, 1);
  }
  for (const SectionTick& t : av.ticks) {
    float ax, ay;
    topage(pg, 0, t.s, ax, ay);
    const double len = t.label.empty() ? tick : tick * 1.6;
    segment(pl, ax, ay, static_cast<float>(ax + len * nv[0]), static_cast<float>(ay + len * nv[1]));
    if (!t.label.empty())
      csymbol(pl, static_cast<float>(ax + (len + 0.12) * nv[0]), static_cast<float>(ay + (len + 0.12) * nv[1] - 0.1),
              static_cast<float>(lab), t.label, 0, 2);
  }
  // The axis names: under the middle of the u edge, past its tick values,
  // and above the far end of the v edge, along its direction.
  float ax, ay;
  topage(pg, 0.5, 0, ax, ay);
  csymbol(pl, static_cast<float>(ax + 1.25 * nu[0]), static_cast<float>(ay + 1.25 * nu[1] - 0.35), 0.36f,
          au.name, 0, 1);
  topage(pg, 0, 1, ax, ay);
  csymbol(pl, static_cast<float>(ax + 0.5 * pg.pv[0] / lv), static_cast<float>(ay + 0.5 * pg.pv[1] / lv), 0.36f,
          av.name, 0, 1);
  newpen(pl, 1);
}

std::vector<std::string> wraptext(const std::string& text, std::size_t width) {
  std::vector<std::string> out;
  std::string cur;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t j = text.find(' ', i);
    std::string word = text.substr(i, j == std::string::npos ? std::string::npos : j - i);
    i = j == std::string::npos ? text.size() : j + 1;
    if (word.empty()) {
      if (!cur.empty() && cur.size() < width) cur += ' ';  // keep double blanks inside a line
      continue;
    }
    if (!cur.empty() && cur.size() + 1 + word.size() > width) {
      while (!cur.empty() && cur.back() == ' ') cur.pop_back();
      out.push_back(cur);
      cur.clear();
    }
    if (!cur.empty() && cur.back() != ' ') cur += ' ';
    while (word.size() > width) {
      out.push_back(word.substr(0, width));
      word.erase(0, width);
    }
    cur += word;
  }
  while (!cur.empty() && cur.back() == ' ') cur.pop_back();
  if (!cur.empty() || out.empty()) out.push_back(cur);
  return out;
}

void drawmarks(Plotter& pl, const SectionPage& pg, const std::vector<SectionMark>& marks) {
  if (marks.empty()) return;
  setcol(pl, 1);
  newpen(pl, 2);
  setltype(pl, 0);
  for (const SectionMark& mk : marks) {
    float x, y;
    topage(pg, mk.s, mk.t, x, y);
    // A short leader pointing at the peak from up and right, and the
    // number at its end: the maximum itself stays visible.
    segment(pl, x + 0.1f, y + 0.1f, x + 0.3f, y + 0.3f);
    symbol(pl, x + 0.33f, y + 0.3f, 0.36f, std::to_string(mk.number), 0);
  }
  setcol(pl, 0);
  newpen(pl, 1);
}

void drawscalebar(Plotter& pl, const SectionPage& pg, double factor, const std::string& what, int row) {
  const double cmper = pg.scale * factor;  // page cm of one Angstrom
  if (!(cmper > 0)) return;
  // The largest round length whose bar is at most 5 cm long.
  const double target = 5.0 / cmper;
  double p = std::pow(10.0, std::floor(std::log10(target)));
  double len = p;
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p <= target * (1 + 1e-9)) len = m * p;
  const double cm = len * cmper;
  const float x1 = static_cast<float>(kMapLeft + kMapSize), x0 = static_cast<float>(x1 - cm);
  const float y = static_cast<float>(pg.bottom - 1.9 - 0.75 * row);
  newpen(pl, 4);
  segment(pl, x0, y, x1, y);
  newpen(pl, 2);
  segment(pl, x0, y - 0.12f, x0, y + 0.12f);
  segment(pl, x1, y - 0.12f, x1, y + 0.12f);
  const int dec = len >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(len) - 1e-9));
  csymbol(pl, x0 - 0.25f, y - 0.1f, 0.3f, fixed(len, dec) + " Å" + (what.empty() ? "" : " " + what), 0, 2);
  newpen(pl, 1);
}

void drawtexts(Plotter& pl, const SectionPage& pg, const std::string& title, const std::vector<std::string>& lines) {
  setcol(pl, 0);
  // Helvetica is about 0.55 of its height wide: the title (0.45 cm) takes
  // some 66 characters across the page, the text lines (0.30 cm) 100.
  const std::vector<std::string> head = wraptext(title, 66);
  // A long title grows upwards, towards the top edge of the sheet.
  double y = std::min(29.1, kTitleY + 0.6 * (static_cast<double>(head.size()) - 1));
  for (const std::string& s : head) {
    csymbol(pl, static_cast<float>(kMapLeft + 0.5 * kMapSize), static_cast<float>(y), 0.45f, s, 0, 1);
    y -= 0.6;
  }
  y = pg.bottom - 2.4 - 0.75 * pg.bars;
  for (const std::string& s : lines)
    for (const std::string& piece : wraptext(s, 100)) {
      symbol(pl, static_cast<float>(kTextLeft), static_cast<float>(y), static_cast<float>(kTextHeight), piece, 0);
      y -= kTextStep;
    }
}

}  // namespace trovan
