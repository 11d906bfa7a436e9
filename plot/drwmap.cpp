#include "plot/drwmap.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "crystal/crystal.hpp"
#include "util/runstate.hpp"
#include "maps/boxfile.hpp"
#include "maps/peaks.hpp"
#include "plot/calcomp.hpp"
#include "plot/contour.hpp"
#include "plot/mappage.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"
#include "util/tempfiles.hpp"

namespace trovan {

namespace {

// Fortran-like listing fields.
std::string fvec(const double* v, int n, int w = 9, int d = 4) {
  std::string s;
  for (int i = 0; i < n; ++i) s += fmt_f(v[i], w, d);
  return s;
}

// A number for the page: short, with an exponent only when it needs one.
std::string g4(double v) {
  char b[48];
  std::snprintf(b, sizeof b, "%.4g", v);
  return b;
}

std::string f4(double v, int d = 4) {
  char b[48];
  std::snprintf(b, sizeof b, "%.*f", d, v);
  std::string s = b;
  if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  return s;
}

std::string pvec(const double* v, int n, int d = 4) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += f4(v[i], d);
  }
  return s;
}

double gramof(const double* g, const double* a, const double* b) {
  double s = 0;
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) s += a[i] * g[j * 6 + i] * b[j];
  return s;
}

double angledeg(double ab, double aa, double bb) {
  const double c = ab / std::sqrt(aa * bb);
  return todeg(std::acos(std::clamp(c, -1.0, 1.0)));
}

long long gridpoints(const MapGrid& g) {
  long long nt = 1;
  for (int d = 0; d < g.idm; ++d) nt *= std::max(1, g.n[d]);
  return nt;
}

// True when a[0]*a[1]*a[2] (each at least 1) exceeds limit; never
// overflows, whatever the factors.
bool productabove(const long long* a, long long limit) {
  long long p = 1;
  for (int i = 0; i < 3; ++i) {
    if (a[i] > limit / p) return true;
    p *= a[i];
  }
  return p > limit;
}

}  // namespace

std::string mapkindlabel(const RunState& rs) {
  if (ispatterson(rs)) return "Fo Patterson map ";
  if (isdfourier(rs)) return "D-Fourier map ";
  if (ismem(rs)) return "MEM map ";
  if (isfourier(rs)) return "Fourier map ";
  return "";
}

MapContext mapgeometry(const Crystal& cr, const float* map) {
  MapContext c;
  c.grid.rho = map;
  for (int i = 0; i < 6; ++i) c.grid.n[i] = cr.grid.n[i];
  c.grid.idm = std::clamp(cr.group.idm, 1, 6);

  getsetmtrxinv(cr.setting, c.minv);
  // The metric from the Cartesian images of the setting basis vectors
  // (getqe0: external and internal components in Angstrom), and the way
  // back from Cartesian components to setting fractions (getxe).
  float e[6][6];
  for (int m = 0; m < 6; ++m) {
    float x[6] = {};
    x[m] = 1;
    getqe0(cr.lattice, x, e[m]);
    float f[6];
    getxe(cr.lattice, x, f);  // column m of the Cartesian-to-fraction matrix
    for (int i = 0; i < 6; ++i) c.cart[m * 6 + i] = f[i];
  }
  for (int m = 0; m < 6; ++m)
    for (int n = 0; n < 6; ++n) {
      double s = 0;
      for (int i = 0; i < 6; ++i) s += double(e[m][i]) * e[n][i];
      c.metric[n * 6 + m] = s;
      c.extmetric[n * 6 + m] = double(e[m][0]) * e[n][0] + double(e[m][1]) * e[n][1] + double(e[m][2]) * e[n][2];
    }
  return c;
}

MapContext mapcontext(const Crystal& cr, const RunState& rs, const float* map, const Peaks& peaks) {
  MapContext c = mapgeometry(cr, map);
  // Symmetry images: every operator, and with the inversion when the group
  // is centrosymmetric. Operator 1 is the identity. A Patterson map has the
  // point symmetry of the crystal, not its space group: the rotations
  // without their translations, and always the inversion (it is the
  // autocorrelation of the density, P(x) = P(-x)). Averaging a Patterson
  // map with screw or glide translations would smear it.
  const bool patterson = ispatterson(rs);
  const int nsym = cr.group.nsymo();
  const int ncent = (cr.group.ncent() != 0 || patterson) ? 1 : 0;
  for (int i = 1; i <= nsym; ++i) {
    const Op& sop = cr.group.ops[i - 1];
    const int* rot = sop.rot.data();
    double t[6];
    for (int e = 0; e < 6; ++e) t[e] = sop.t(e);
    if (patterson) std::fill(t, t + 6, 0.0);
    for (int k = 0; k <= ncent; ++k) {
      AffineOp op;
      const double sg = k ? -1 : 1;
      for (int q = 0; q < 36; ++q) op.r[q] = sg * rot[q];
      for (int q = 0; q < 6; ++q) op.t[q] = sg * t[q];
      c.ops.push_back(op);
    }
  }
  if (c.ops.empty()) c.ops.push_back(identityop());

  // The independent peaks as the peak search lists them (by decreasing
  // height), so that the numbers on the page are those of the listing.
  for (const Peak& pk : peaks.list) {
    std::array<double, 6> p{};
    for (int d = 0; d < 6; ++d) p[d] = pk.xr[d];
    c.peaks.push_back(p);
    c.peakheights.push_back(pk.pr);
  }
  c.title = rs.title;
  c.kind = mapkindlabel(rs);
  c.difference = isdfourier(rs);
  c.threed = rs.isys == 0;
  c.mem = ismem(rs);
  // Contour levels are fractions of the largest value of the whole map (of
  // the largest |value| in a difference map), so that every section of a run
  // is drawn on the same scale.
  const long long nt = getnt(cr.grid);
  double vmax = 0, vmin = 0;
  for (long long j = 0; j < nt; ++j) {
    vmax = std::max(vmax, double(c.grid.rho[j]));
    vmin = std::min(vmin, double(c.grid.rho[j]));
  }
  c.vmax = c.difference ? std::max(vmax, -vmin) : (vmax > 0 ? vmax : -vmin);
  c.gridmin = nt > 0 ? double(*std::min_element(c.grid.rho, c.grid.rho + nt)) : 0.0;
  return c;
}

void checkfits(const MapContext& ctx, const DrawRequest& rq) {
  // ixm, iym, izm: the intervals along the axes (none across a section).
  long long ixm = rq.div[0], iym = rq.div[1], izm = 0;
  if (rq.iax == 3) {
    ixm = rq.bdiv[0] - 1;
    iym = rq.bdiv[1] - 1;
    izm = rq.bdiv[2] - 1;
  }
  const long long nt = gridpoints(ctx.grid);
  const long long f1[3] = {std::max(ixm, 1LL), std::max(iym, 1LL), std::max(izm, 1LL)};
  const long long f2[3] = {ixm + 1, iym + 1, izm + 1};
  if (productabove(f1, nt)) {
    out() << "ixm,iym,izm=" << fmt_i(ixm, 8) << fmt_i(iym, 8) << fmt_i(izm, 8) << " nt=" << fmt_i(nt, 10) << '\n';
    const std::string which = rq.iax == 3 ? "box " + std::to_string(rq.number) + ": xdiv=" + std::to_string(rq.bdiv[0]) +
                                                " ydiv=" + std::to_string(rq.bdiv[1]) + " zdiv=" + std::to_string(rq.bdiv[2])
                                          : "section " + std::to_string(rq.number) + ": div=" + std::to_string(rq.div[0]) +
                                                " " + std::to_string(rq.div[1]);
    quitat("ixm*iym*izm > nt", which + " asks for more points than the map's " + std::to_string(nt) +
                                   ": fewer divisions");
  }
  if (productabove(f2, kJxmax)) {
    out() << "ixm,iym,izm=" << fmt_i(ixm, 8) << fmt_i(iym, 8) << fmt_i(izm, 8) << " jxmax=" << fmt_i(kJxmax, 10)
          << '\n';
    quit("(ixm+1)*(iym+1)*(izm+1)>jxmax");
  }
}

void placedrawing(const MapContext& ctx, DrawRequest& rq) {
  const int naxes = rq.iax == 3 ? 3 : 2;
  // Origin and axes in setting fractions; the scalar products of the axes.
  if (rq.ipers == 0) {
    for (int a = 0; a < naxes; ++a) std::copy(rq.given[a], rq.given[a] + 6, rq.axis[a]);
    for (int a = 0; a < naxes; ++a)
      for (int b = 0; b < naxes; ++b) rq.gram[a][b] = gramof(ctx.metric, rq.axis[a], rq.axis[b]);
  } else {
    // Cartesian: positions and axes are linear in the components, and the
    // scalar products are plain sums over the six components.
    const double x0[6] = {rq.xe[0], rq.xe[1], rq.xe[2], rq.xi[0], rq.xi[1], rq.xi[2]};
    mat6vec(ctx.cart, x0, rq.x0);
    for (int a = 0; a < naxes; ++a) mat6vec(ctx.cart, rq.given[a], rq.axis[a]);
    for (int a = 0; a < naxes; ++a)
      for (int b = 0; b < naxes; ++b) {
        double s = 0;
        for (int i = 0; i < 6; ++i) s += rq.given[a][i] * rq.given[b][i];
        rq.gram[a][b] = s;
      }
    out() << "x (fractions)=" << fvec(rq.x0, 6) << '\n';
    for (int a = 0; a < naxes; ++a) out() << "uvq"[a] << " (fractions)=" << fvec(rq.axis[a], 6) << '\n';
  }
  const double(&g)[3][3] = rq.gram;
  out() << "|u|=" << fmt_f(std::sqrt(std::max(0.0, g[0][0])), 10, 4)
        << " |v|=" << fmt_f(std::sqrt(std::max(0.0, g[1][1])), 10, 4);
  if (naxes == 3) out() << " |q|=" << fmt_f(std::sqrt(std::max(0.0, g[2][2])), 10, 4);
  out() << " (A)";
  if (g[0][0] > 0 && g[1][1] > 0) out() << " angle(u,v)=" << fmt_f(angledeg(g[0][1], g[0][0], g[1][1]), 8, 2);
  if (naxes == 3 && g[2][2] > 0 && g[0][0] > 0 && g[1][1] > 0)
    out() << " angle(u,q)=" << fmt_f(angledeg(g[0][2], g[0][0], g[2][2]), 8, 2)
          << " angle(v,q)=" << fmt_f(angledeg(g[1][2], g[1][1], g[2][2]), 8, 2);
  out() << '\n';

  // The axes must span a plane (a volume for a box) of the real crystal.
  const double det2 = g[0][0] * g[1][1] - g[0][1] * g[0][1];
  if (!(det2 > 1e-10 * g[0][0] * g[1][1]) || !(g[0][0] > 0)) quit("u and v do not span a plane");
  if (naxes == 3) {
    const double det3 = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[1][2]) -
                        g[0][1] * (g[0][1] * g[2][2] - g[1][2] * g[0][2]) +
                        g[0][2] * (g[0][1] * g[1][2] - g[1][1] * g[0][2]);
    if (!(det3 > 1e-10 * g[0][0] * g[1][1] * g[2][2])) quit("u, v and q do not span a volume");
  }
  checkfits(ctx, rq);
}

namespace {
std::vector<float> samplechecked(const MapContext& ctx, const DrawRequest& rq, int* n, bool check);
}  // namespace

std::vector<float> samplerequest(const MapContext& ctx, const DrawRequest& rq, int* n) {
  return samplechecked(ctx, rq, n, true);
}

int contourrefinement(const DrawRequest& rq) {
  if (rq.iax != 2 || rq.interp != 0 || rq.ismth != 0) return 1;
  // At least kContourIntervals intervals along each axis (the map is at
  // most 16 cm across the page), at most 8 times finer than asked and at
  // most kContourPoints points.
  int r = 1;
  for (int a = 0; a < 2; ++a) r = std::max(r, (kContourIntervals + std::max(1, rq.div[a]) - 1) / std::max(1, rq.div[a]));
  r = std::min(r, 8);
  while (r > 1 && double(rq.div[0] * r + 1) * double(rq.div[1] * r + 1) > kContourPoints) --r;
  return r;
}

namespace {

std::vector<float> samplechecked(const MapContext& ctx, const DrawRequest& rq, int* n, bool check) {
  SampleBox b;
  std::copy(rq.x0, rq.x0 + 6, b.x0);
  if (rq.iax == 2) {
    b.n[0] = rq.div[0] + 1;
    b.n[1] = rq.div[1] + 1;
    b.n[2] = 1;
    std::copy(rq.axis[0], rq.axis[0] + 6, b.axis[0]);
    std::copy(rq.axis[1], rq.axis[1] + 6, b.axis[1]);
  } else {
    for (int a = 0; a < 3; ++a) {
      b.n[a] = rq.bdiv[a];
      b.lo[a] = rq.box[2 * a];
      b.hi[a] = rq.box[2 * a + 1];
      std::copy(rq.axis[a], rq.axis[a] + 6, b.axis[a]);
    }
  }
  if (check) checkfits(ctx, rq);
  Sampler s = makesampler(ctx.grid);
  std::copy(ctx.minv, ctx.minv + 36, s.minv);
  if (rq.iaver == 1) s.ops = ctx.ops;
  // The series (the mean over the images already) and the rest of the map
  // that it leaves, the latter averaged over the images here: the rest has
  // the map's symmetry on the grid, and its mean between grid points keeps
  // it there too. With the series iaver= changes nothing for a map with
  // the symmetry.
  if (rq.interp == 0) s.restops = ctx.ops;
  // The series, made here when the run has not made it (one drawing alone).
  std::shared_ptr<const TrigMap> own;
  if (rq.interp == 0) {
    std::shared_ptr<const TrigMap> t = ctx.trig;
    if (!t) {
      MapContext c = ctx;
      preparetrig(c, {rq});
      t = c.trig;
    }
    own = t;
    s.trig = own.get();
  }
  std::vector<float> vals(static_cast<std::size_t>(b.n[0]) * b.n[1] * b.n[2]);
  samplebox(s, b, vals.data());
  // A MEM map is positive: the ripples of its cut series between the grid
  // points must not draw density below the map's least value (a bound the
  // same at every symmetry image, so the symmetry stays).
  if (s.trig && ctx.mem)
    for (float& v : vals) v = std::max(v, static_cast<float>(ctx.gridmin));
  smooth121(vals.data(), b.n, rq.ismth);
  for (int a = 0; a < 3; ++a) n[a] = b.n[a];
  return vals;
}

}  // namespace

namespace {

// The values of a section as a text grid for other programs: comment lines
// (#) with the section's geometry, then one line per point, "s t du dv
// x1 .. x_idm value" (fractions along u and v, distances along them in
// Angstrom, setting coordinates), u running fastest, and an empty line
// after each row (the grid layout plotting programs read).
void writesectiongrid(const MapContext& ctx, const DrawRequest& rq, const std::vector<float>& vals, const int* n,
                      const std::string& name) {
  const int nd = std::clamp(ctx.grid.idm, 1, 6);
  TempOut t = opentemp(name, "section grid file");
  std::string s = "# " + ctx.kind + ctx.title + "\n# section " + std::to_string(rq.number) +
                  ": origin + s u + t v, values in e/A^3\n# origin x= " + pvec(rq.x0, nd, 6) +
                  "\n# u= " + pvec(rq.axis[0], nd, 6) + "\n# v= " + pvec(rq.axis[1], nd, 6) + "\n# " +
                  std::to_string(n[0]) + " x " + std::to_string(n[1]) + " points\n# s t du(A) dv(A)";
  for (int d = 0; d < nd; ++d) s += " x" + std::to_string(d + 1);
  s += " value\n";
  const double lu = std::sqrt(std::max(0.0, rq.gram[0][0])), lv = std::sqrt(std::max(0.0, rq.gram[1][1]));
  char buf[64];
  for (int j = 0; j < n[1]; ++j) {
    const double tt = n[1] > 1 ? double(j) / (n[1] - 1) : 0.0;
    for (int i = 0; i < n[0]; ++i) {
      const double ss = n[0] > 1 ? double(i) / (n[0] - 1) : 0.0;
      std::snprintf(buf, sizeof buf, "%.6f %.6f %.5f %.5f", ss, tt, ss * lu, tt * lv);
      s += buf;
      for (int d = 0; d < nd; ++d) {
        std::snprintf(buf, sizeof buf, " %.6f", rq.x0[d] + ss * rq.axis[0][d] + tt * rq.axis[1][d]);
        s += buf;
      }
      std::snprintf(buf, sizeof buf, " %.6e\n", double(vals[i + std::size_t(n[0]) * j]));
      s += buf;
    }
    s += '\n';
  }
  writetemp(t, s);
  committemp(t);
  out() << "section" << fmt_i(rq.number, 3) << " values written to " << name << '\n';
}

}  // namespace

void drawsection(Plotter& pl, const MapContext& ctx, const DrawRequest& rq) {
  int n[3];
  // The section as asked (checked, and for the text grid), and on the
  // finer lattice its contours are drawn from: the series is smooth between
  // the grid points, and a lattice of the map's grid spacing would draw an
  // atom as a polygon whose shape depends on where the lattice cuts it.
  std::vector<float> vals = samplerequest(ctx, rq, n);
  if (rq.igrid == 1) writesectiongrid(ctx, rq, vals, n, sectiongridname(ctx.win, rq.number));
  const int refine = contourrefinement(rq);
  if (refine > 1) {
    DrawRequest fine = rq;
    fine.div[0] *= refine;
    fine.div[1] *= refine;
    vals = samplechecked(ctx, fine, n, false);
  }
  float smin = 0, smax = 0;
  getdminmax(vals.data(), static_cast<long long>(vals.size()), smin, smax);

  // An axis without a physical-space component lies in internal space. In
  // a section with one axis of each kind the lengths of the two mean
  // different things (a wave of 1 A amplitude along t against a cell edge of
  // 10 A along x), and true to scale the page would be a thin strip: the
  // internal axis gets a scale of its own, by default the one that draws it
  // as long as the physical axis.
  const double len[2] = {std::sqrt(std::max(0.0, rq.gram[0][0])), std::sqrt(std::max(0.0, rq.gram[1][1]))};
  bool internal[2];
  for (int a = 0; a < 2; ++a)
    internal[a] = !(gramof(ctx.extmetric, rq.axis[a], rq.axis[a]) > 1e-6 * rq.gram[a][a]);
  double f[2] = {1, 1};
  const bool mixed = internal[0] != internal[1];
  const int ia = internal[0] ? 0 : 1;  // the internal axis of a mixed section
  if (mixed) f[ia] = rq.iscale > 0 ? rq.iscale : len[1 - ia] / len[ia];
  SectionPage pg;
  if (!layoutsection(rq.gram[0][0] * f[0] * f[0], rq.gram[0][1] * f[0] * f[1], rq.gram[1][1] * f[1] * f[1], pg))
    quit("u and v do not span a plane");

  // Positive levels solid, the same levels below zero dashed in every kind
  // of map (the holes of a difference map, the truncation ripples of a
  // Fourier map), so that they read apart even in black and white.
  const std::vector<double> levels = sectionlevels(rq, ctx.vmax);
  int nlines = 0;
  newpen(pl, 1);
  setltype(pl, 0);
  setcol(pl, 0);
  for (double lv : levels) {
    const auto lines = contourlines(vals.data(), n[0], n[1], lv);
    nlines += static_cast<int>(lines.size());
    drawcontourlines(pl, pg, lines, n[0], n[1]);
  }
  int nneg = 0;
  setltype(pl, 1);
  setcol(pl, 3);
  std::vector<float> neg(vals.size());
  for (std::size_t i = 0; i < vals.size(); ++i) neg[i] = -vals[i];
  for (double lv : levels) {
    if (!(lv > 0)) continue;
    // Below -lv: contour the negated section at +lv.
    const auto lines = contourlines(neg.data(), n[0], n[1], lv);
    nneg += static_cast<int>(lines.size());
    drawcontourlines(pl, pg, lines, n[0], n[1]);
  }
  setltype(pl, 0);
  setcol(pl, 0);

  const std::vector<SectionMark> marks = marksinplane(ctx.peaks, ctx.peakheights, ctx.ops, ctx.minv,
                                                      ctx.grid.n, ctx.grid.idm, rq.x0, rq.axis[0], rq.axis[1]);
  // The axes labelled with coordinates: of the setting (x1 ... x6) for
  // ipers=0, Cartesian Angstrom for ipers=1.
  const int nd = std::clamp(ctx.grid.idm, 1, 6);  // coordinates shown on the page
  static const char* const setnames[6] = {"x1", "x2", "x3", "x4", "x5", "x6"};
  static const char* const cartnames[6] = {"xe1 (Å)", "xe2 (Å)", "xe3 (Å)", "xi1 (Å)", "xi2 (Å)", "xi3 (Å)"};
  const std::string along[2] = {"distance along u (Å)", "distance along v (Å)"};
  SectionAxis axes[2];
  for (int a = 0; a < 2; ++a) {
    if (rq.ipers == 1) {
      const double o[6] = {rq.xe[0], rq.xe[1], rq.xe[2], rq.xi[0], rq.xi[1], rq.xi[2]};
      axes[a] = makeaxis(o, rq.given[a], 6, cartnames, len[a], along[a]);
    } else {
      axes[a] = makeaxis(rq.x0, rq.axis[a], nd, setnames, len[a], along[a]);
    }
    if (axes[a].name != along[a]) axes[a].name += a == 0 ? " (u)" : " (v)";
  }
  pg.bars = mixed ? 2 : 1;
  drawframe(pl, pg, axes[0], axes[1]);
  drawmarks(pl, pg, marks);
  if (mixed) {
    drawscalebar(pl, pg, f[1 - ia], std::string("along ") + (ia == 0 ? "v" : "u"), 0);
    drawscalebar(pl, pg, f[ia], std::string("along ") + (ia == 0 ? "u" : "v") + " (internal)", 1);
  } else {
    drawscalebar(pl, pg);
  }

  // The text under the map: everything needed to redraw or cite it
  // (itext=0: none, the drawing alone for a figure).
  std::vector<std::string> t;
  std::string what = "section " + std::to_string(rq.number);
  if (rq.iaver) what += ", mean over " + std::to_string(ctx.ops.size()) + " symmetry images";
  if (rq.ismth) what += ", " + std::to_string(rq.ismth) + " pass" + (rq.ismth > 1 ? "es" : "") + " of 1-2-1 smoothing";
  t.push_back(what);
  if (rq.ipers == 1) {
    t.push_back("origin xe= " + pvec(rq.xe, 3, 3) + "  xi= " + pvec(rq.xi, 3, 3) + " (Å)");
    t.push_back("u= " + pvec(rq.given[0], 6, 3) + " (Å)");
    t.push_back("v= " + pvec(rq.given[1], 6, 3) + " (Å)");
    t.push_back("origin x= " + pvec(rq.x0, nd));
  } else {
    t.push_back("origin x= " + pvec(rq.x0, nd));
    t.push_back("u= " + pvec(rq.axis[0], nd));
    t.push_back("v= " + pvec(rq.axis[1], nd));
  }
  t.push_back("|u|= " + f4(len[0], 3) + " Å  |v|= " + f4(len[1], 3) + " Å  angle(u,v)= " +
              f4(todeg(std::acos(pg.cosg)), 2) + "°");
  if (mixed)
    t.push_back(std::string(ia == 0 ? "u" : "v") + " lies in internal space and is drawn " + f4(f[ia], 3) +
                " times the scale of " + (ia == 0 ? "v" : "u") +
                (rq.iscale > 0 ? " (iscale=" + f4(rq.iscale, 3) + ")" : " (iscale= not given: drawn as long)"));
  if (levels.empty()) {
    t.push_back("no contours");
  } else {
    std::string how;
    if (!rq.clev.empty())
      how = "contours at the levels given (clev=), ";
    else if (rq.ilog == 1)
      how = "contours from " + g4(levels.front()) + " (" + f4(rq.hmin, 3) + " of max " + g4(ctx.vmax) +
            ") in equal ratios of " + g4(levels.size() > 1 ? levels[1] / levels[0] : 1.0) + ", ";
    else
      how = "contours from " + g4(levels.front()) + " (" + f4(rq.hmin, 3) + " of max " + g4(ctx.vmax) +
            ") in steps of " + g4(levels.size() > 1 ? levels[1] - levels[0] : (1 - rq.hmin) * ctx.vmax) + ", ";
    t.push_back(how + std::to_string(levels.size()) + " levels in e/Å³; negative ones dashed");
    std::string lv = "levels:";
    for (double l : levels) {
      lv += ' ';
      lv += g4(l);
    }
    t.push_back(lv);
  }
  t.push_back("section: ρ min " + g4(smin) + "  max " + g4(smax) + " e/Å³   grid " + std::to_string(rq.div[0]) +
              " x " + std::to_string(rq.div[1]) +
              (refine > 1 ? " (contoured on a " + std::to_string(refine) + " times finer one)" : "") +
              (rq.interp == 0 ? ", values between grid points from the map's Fourier series"
                              : ", values between grid points multilinear"));
  if (!marks.empty())
    t.push_back("marks: peaks of the peak list (numbered as listed) within half a grid step of the plane, "
                "pointed at from beside them");
  if (rq.itext != 0) drawtexts(pl, pg, ctx.kind + ctx.title, t);

  out() << "section" << fmt_i(rq.number, 3) << " min=" << fmt_e(smin, 12, 5) << " max=" << fmt_e(smax, 12, 5)
        << " levels=" << fmt_i(static_cast<long long>(levels.size()), 4) << " lines=" << fmt_i(nlines, 6);
  if (ctx.difference || nneg > 0) out() << " negative lines=" << fmt_i(nneg, 6);
  out() << '\n';
  if (!levels.empty()) {
    out() << "contour levels:";
    for (std::size_t k = 0; k < levels.size(); ++k) {
      if (k && k % 8 == 0) out() << "\n               ";
      out() << fmt_e(levels[k], 12, 4);
    }
    out() << '\n';
  }
  out() << "peaks on the section:" << fmt_i(static_cast<long long>(marks.size()), 5);
  for (const SectionMark& mk : marks) out() << fmt_i(mk.number, 5);
  out() << '\n';
}

namespace {
std::string prefixof(const std::string& win) {
  std::string prefix = win;
  if (prefix.size() >= 4 && prefix.compare(prefix.size() - 4, 4, ".win") == 0) prefix.resize(prefix.size() - 4);
  return prefix;
}
}  // namespace

std::string pagebase(const std::vector<DrawRequest>& rqs, const std::string& win) {
  if (rqs.empty() || rqs.front().ipage != 1) return "";
  return prefixof(win);
}

std::string sectiongridname(const std::string& win, int number) {
  return prefixof(win) + "_section" + std::to_string(number) + ".txt";
}

std::vector<double> sectionlevels(const DrawRequest& rq, double vmax) {
  if (!rq.clev.empty()) {
    std::vector<double> lv = rq.clev;
    std::sort(lv.begin(), lv.end());
    return lv;
  }
  if (rq.ilog == 1) {
    std::vector<double> lv;
    if (rq.lf < 1 || !(vmax > 0) || !(rq.hmin > 0)) return lv;
    // lf levels in equal ratios: hmin max, ..., up to (not including) max,
    // as the linear levels stop a step below it.
    const double r = std::pow(1 / rq.hmin, 1.0 / rq.lf);
    for (int k = 0; k < rq.lf; ++k) lv.push_back(rq.hmin * vmax * std::pow(r, k));
    return lv;
  }
  return contourlevels(vmax, rq.hmin, rq.lf);
}

std::array<std::string, 3> boxfilenames(const std::string& win, int nbox) {
  // win is the prefix and ".win"; a later box of the run appends _<n> to
  // the prefix, so that every box of a run is kept.
  std::string prefix = win;
  if (prefix.size() >= 4 && prefix.compare(prefix.size() - 4, 4, ".win") == 0) prefix.resize(prefix.size() - 4);
  if (nbox > 1) {
    prefix += '_';
    prefix += std::to_string(nbox);
  }
  return {prefix + ".win", prefix + ".rho", prefix + ".ccp4"};
}

namespace {

// Whether the box's axes u, v, q (each along its range, xmin to xmax, ...)
// form a left-handed set in physical space: the handedness of their
// physical parts (the axes x1, x2, x3 of a modulated crystal's setting
// have small internal parts). A box whose axes do not span physical space
// (one along t) has no handedness a 3-D viewer could get wrong.
bool lefthandedbox(const MapContext& ctx, const DrawRequest& rq) {
  double e[3][6];
  if (rq.ipers == 1) {
    for (int a = 0; a < 3; ++a) std::copy(rq.given[a], rq.given[a] + 6, e[a]);
  } else {
    double toc[36];
    std::copy(ctx.cart, ctx.cart + 36, toc);
    double det = 0;
    if (!matinvd(toc, 6, det)) return false;
    for (int a = 0; a < 3; ++a) mat6vec(toc, rq.axis[a], e[a]);
  }
  double len = 1;
  for (int a = 0; a < 3; ++a) len *= std::sqrt(e[a][0] * e[a][0] + e[a][1] * e[a][1] + e[a][2] * e[a][2]);
  double d = e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1]) - e[0][1] * (e[1][0] * e[2][2] - e[1][2] * e[2][0]) +
             e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0]);
  if (!(std::fabs(d) > 1e-3 * len)) return false;
  for (int a = 0; a < 3; ++a)
    if (rq.box[2 * a + 1] < rq.box[2 * a]) d = -d;
  return d < 0;
}

}  // namespace

Ccp4Place ccp4place(const MapContext& ctx, const DrawRequest& rq, const int* n, const float* cell) {
  Ccp4Place p = owncellplace(n, cell);
  // The first point, and the extent of the box along each axis, in setting
  // fractions.
  double first[6], ext[3][6];
  for (int e = 0; e < 6; ++e) {
    first[e] = rq.x0[e];
    for (int a = 0; a < 3; ++a) {
      first[e] += rq.box[2 * a] * rq.axis[a][e];
      ext[a][e] = (rq.box[2 * a + 1] - rq.box[2 * a]) * rq.axis[a][e];
    }
  }
  // A box that spans a lattice vector along an axis ends where it began:
  // its last layer is its first again.
  for (int a = 0; a < 3; ++a) {
    double eg[6];
    mat6vec(ctx.minv, ext[a], eg);
    bool lattice = false, whole = true;
    for (int d = 0; d < ctx.grid.idm; ++d) {
      if (std::fabs(eg[d] - std::nearbyint(eg[d])) > 1e-6) whole = false;
      if (std::fabs(eg[d]) > 0.5) lattice = true;
    }
    p.skiplast[a] = whole && lattice && n[a] > 1;
  }

  // Along the axes of the three-dimensional cell, on a division of it: part
  // of the crystal's cell.
  bool incell = ctx.threed && rq.ipers == 0;
  int sampling[3] = {1, 1, 1}, start[3] = {0, 0, 0};
  for (int a = 0; a < 3 && incell; ++a) {
    for (int e = 0; e < 6; ++e)
      if (e != a && std::fabs(rq.axis[a][e]) > 1e-9) incell = false;
    const double span = ext[a][a];
    if (!(span > 0) || n[a] < 2) {
      incell = false;
      break;
    }
    const double m = double(n[a] - 1) / span;  // intervals per cell edge
    const double s0 = first[a] * m;             // the first point in them
    if (!(m >= 0.999) || m > 1e6 || std::fabs(m - std::nearbyint(m)) > 1e-4 * m ||
        std::fabs(s0 - std::nearbyint(s0)) > 1e-4 || std::fabs(s0) > 1e8) {
      incell = false;
      break;
    }
    sampling[a] = static_cast<int>(std::nearbyint(m));
    start[a] = static_cast<int>(std::nearbyint(s0));
  }
  if (incell) {
    p.incell = true;
    double e[3][6] = {};
    for (int a = 0; a < 3; ++a) e[a][a] = 1;
    double gg[3][3];
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) gg[a][b] = gramof(ctx.extmetric, e[a], e[b]);
    for (int a = 0; a < 3; ++a) {
      p.cell[a] = static_cast<float>(std::sqrt(gg[a][a]));
      p.sampling[a] = sampling[a];
      p.start[a] = start[a];
    }
    p.cell[3] = static_cast<float>(angledeg(gg[1][2], gg[1][1], gg[2][2]));
    p.cell[4] = static_cast<float>(angledeg(gg[0][2], gg[0][0], gg[2][2]));
    p.cell[5] = static_cast<float>(angledeg(gg[0][1], gg[0][0], gg[1][1]));
    return p;
  }
  // A cell of its own with its first point as the origin: Cartesian
  // (physical) Angstrom, the frame of xe=.
  double toc[36];
  std::copy(ctx.cart, ctx.cart + 36, toc);
  double det = 0, c[6] = {};
  if (rq.ipers == 1) {
    for (int e = 0; e < 3; ++e) {
      c[e] = rq.xe[e];
      for (int a = 0; a < 3; ++a) c[e] += rq.box[2 * a] * rq.given[a][e];
    }
  } else if (matinvd(toc, 6, det)) {
    mat6vec(toc, first, c);
  }
  for (int e = 0; e < 3; ++e) p.origin[e] = static_cast<float>(c[e]);
  p.lefthanded = lefthandedbox(ctx, rq);
  return p;
}

void writebox(const MapContext& ctx, const DrawRequest& rq, int nbox) {
  int n[3];
  std::vector<float> vals = samplerequest(ctx, rq, n);
  for (float& v : vals) v = static_cast<float>(v * rq.hscl);
  // The map is finite; only the scale can make a value overflow single
  // precision, and an infinite value in a box file means nothing to a viewer.
  for (float v : vals)
    if (!std::isfinite(v))
      quit("box " + std::to_string(rq.number) + ": a value times hscl= is not a finite number: choose a smaller hscl=");
  // The box as a cell of its own for a viewer: edge lengths (Angstrom) and
  // the angles alpha (v, q), beta (u, q), gamma (u, v) in degrees. Along the
  // physical axes of a three-dimensional cell (ipers=0 of isys=0) the
  // lengths are physical: the superspace length of a modulated crystal's a3
  // holds its small internal part too, which a viewer of the physical
  // structure must not see.
  // An axis is physical when most of its length is (a modulated crystal's
  // x1, x2, x3); an axis along t keeps its superspace length.
  bool physical[3];
  for (int a = 0; a < 3; ++a)
    physical[a] = rq.ipers == 0 && ctx.threed &&
                  gramof(ctx.extmetric, rq.axis[a], rq.axis[a]) > 0.5 * rq.gram[a][a];
  double g[3][3];
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      g[a][b] = physical[a] && physical[b] ? gramof(ctx.extmetric, rq.axis[a], rq.axis[b]) : rq.gram[a][b];
  float cell[6];
  for (int a = 0; a < 3; ++a) cell[a] = static_cast<float>(std::sqrt(g[a][a]) * std::fabs(rq.box[2 * a + 1] - rq.box[2 * a]));
  cell[3] = static_cast<float>(angledeg(g[1][2], g[1][1], g[2][2]));
  cell[4] = static_cast<float>(angledeg(g[0][2], g[0][0], g[2][2]));
  cell[5] = static_cast<float>(angledeg(g[0][1], g[0][0], g[1][1]));
  std::array<std::string, 3> names = boxfilenames(ctx.win, nbox);
  if (nbox == 1) names[1] = ctx.rho;
  dxyzbinout(vals.data(), n, cell, names[0]);
  dxyzascout(vals.data(), n, cell, names[1]);
  const Ccp4Place place = ccp4place(ctx, rq, n, cell);
  dxyzccp4out(vals.data(), n, place, names[2], "trovan box " + std::to_string(rq.number) + ": " + ctx.title);
  float bmin = 0, bmax = 0;
  getdminmax(vals.data(), static_cast<long long>(vals.size()), bmin, bmax);
  out() << "box" << fmt_i(rq.number, 3) << " points=" << fmt_i(n[0], 5) << fmt_i(n[1], 5) << fmt_i(n[2], 5)
        << " cell=" << fmt_f(cell[0], 9, 3) << fmt_f(cell[1], 9, 3) << fmt_f(cell[2], 9, 3) << fmt_f(cell[3], 8, 2)
        << fmt_f(cell[4], 8, 2) << fmt_f(cell[5], 8, 2) << " min=" << fmt_e(bmin, 12, 5) << " max=" << fmt_e(bmax, 12, 5)
        << '\n';
  out() << "box written to " << names[0] << ", " << names[1] << " and " << names[2] << '\n';
  if (place.incell)
    out() << "ccp4 map: part of the crystal's cell, divided" << fmt_i(place.sampling[0], 5) << fmt_i(place.sampling[1], 5)
          << fmt_i(place.sampling[2], 5) << ", first point at" << fmt_i(place.start[0], 6) << fmt_i(place.start[1], 6)
          << fmt_i(place.start[2], 6) << '\n';
  else
    out() << "ccp4 map: the box as a cell of its own, first point at (Cartesian, A)" << fmt_f(place.origin[0], 10, 4)
          << fmt_f(place.origin[1], 10, 4) << fmt_f(place.origin[2], 10, 4) << '\n';
}

void preparetrig(MapContext& ctx, const std::vector<DrawRequest>& rqs) {
  if (ctx.trig || std::none_of(rqs.begin(), rqs.end(), [](const DrawRequest& r) { return r.interp == 0; })) return;
  // The series with the aliases it was given, then its mean over the
  // images: a coefficient near the edge of the grid may have been given an
  // alias the group does not keep, and the mean makes the series covariant
  // whatever the choice (it equals the map on the grid, which has the
  // symmetry). For a map with the symmetry the mean is the series itself.
  const TrigMap t = maketrigmap(ctx.grid, ctx.minv, ctx.metric, ctx.ops, ctx.mem ? kMemSeriesTol : 0.0);
  ctx.trig = std::make_shared<const TrigMap>(symmetrisedtrigmap(t, ctx.ops));
  out() << "values between grid points: Fourier series of" << fmt_i(ctx.trig->terms(), 9) << " terms ("
        << fmt_i(t.kept, 9) << " of" << fmt_i(t.nonzero, 9)
        << " coefficient pairs and their images), rest at most "
        << fmt_e(t.maxabs > 0 ? t.maxrest / t.maxabs : 0.0, 10, 3) << " of max|rho|\n";
}

void drwmap(const MapContext& ctx0, const std::vector<DrawRequest>& rqs, int ldev) {
  MapContext ctx = ctx0;
  preparetrig(ctx, rqs);
  // The pages of this run: a page file left unfinished by a stop is removed
  // with the plotter.
  Plotter pl;
  pl.base = pagebase(rqs, ctx.win);
  int pages = 0, boxes = 0;
  for (const DrawRequest& rq : rqs) {
    if (rq.iax == 2) {
      if (pages == 0) {
        pl.orien = 1;
        plots(pl, ldev);
      } else {
        plot(pl, 0, 0, 999);
      }
      ++pages;
      drawsection(pl, ctx, rq);
    } else {
      writebox(ctx, rq, ++boxes);
    }
  }
  if (pages > 0) plote(pl);
}

}  // namespace trovan
