#include "driver/drawingkeys.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "util/fortran_fmt.hpp"
#include "util/input.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// The echo of n reals, each in a field of 9 with 4 decimals.
std::string fvec(const double* v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += fmt_f(v[i], 9, 4);
  return s;
}

void readvec(KeyReader& rd, const char* key, int n, double* v, int irw) {
  float f[6] = {};
  freadrv(rd, key, n, f, irw);
  for (int i = 0; i < n; ++i) v[i] = f[i];
}

int readng(KeyReader& rd, int& ipage) {
  int ng = 0;
  freadi(rd, "ng=", 1, ng, 1);
  ipage = 0;
  const bool page = keyonline(rd, "ipage=");
  if (page) freadi(rd, "ipage=", 1, ipage, 0);
  out() << "ng=" << fmt_i(ng, 3);
  if (page) out() << " ipage=" << fmt_i(ipage, 2);
  out() << '\n';
  if (ipage != 0 && ipage != 1) quit("ipage should be 0 (calcomp1.ps) or 1 (named after file2=)");
  if (ng < 0) quit("ng should not be negative");
  if (ng > kMaxDrawings) quit("ng should be at most " + std::to_string(kMaxDrawings));
  return ng;
}

}  // namespace

DrawRequest readdrawing(KeyReader& rd, const MapContext& geom, int number) {
  DrawRequest rq;
  rq.number = number;
  freadi(rd, "iax=", 1, rq.iax, 1);
  freadi(rd, "ipers=", 1, rq.ipers, 0);
  freadi(rd, "iaver=", 1, rq.iaver, 0);
  freadi(rd, "ismth=", 1, rq.ismth, 0);
  const bool interp = keyonline(rd, "interp=");
  if (interp) freadi(rd, "interp=", 1, rq.interp, 0);
  out() << "drawing" << fmt_i(number, 3) << " iax=" << fmt_i(rq.iax, 2) << " ipers=" << fmt_i(rq.ipers, 2)
        << " iaver=" << fmt_i(rq.iaver, 2) << " ismth=" << fmt_i(rq.ismth, 2);
  if (interp) out() << " interp=" << fmt_i(rq.interp, 2);
  out() << '\n';
  if (rq.interp != 0 && rq.interp != 1) quit("interp should be 0 (Fourier series) or 1 (multilinear)");
  if (rq.iax != 2 && rq.iax != 3) quit("iax should be 2 (section) or 3 (box)");
  if (rq.ipers != 0 && rq.ipers != 1) quit("ipers should be 0 or 1");
  if (rq.iaver != 0 && rq.iaver != 1) quit("iaver should be 0 or 1");
  if (rq.ismth < 0 || rq.ismth > 2) quit("ismth should be 0,1 or 2");

  // The origin: in fractions it is already where the drawing starts; in
  // Cartesian components placedrawing converts it.
  const int naxes = rq.iax == 3 ? 3 : 2;
  if (rq.ipers == 0) {
    readvec(rd, "x=", 6, rq.x0, 1);
    out() << "x=" << fvec(rq.x0, 6) << '\n';
  } else {
    readvec(rd, "xe=", 3, rq.xe, 1);
    readvec(rd, "xi=", 3, rq.xi, 0);
    out() << "xe=" << fvec(rq.xe, 3) << " xi=" << fvec(rq.xi, 3) << '\n';
  }
  static const char* const keys[3] = {"u=", "v=", "q="};
  for (int a = 0; a < naxes; ++a) {
    readvec(rd, keys[a], 6, rq.given[a], 1);
    out() << keys[a] << fvec(rq.given[a], 6) << '\n';
  }

  if (rq.iax == 2) {
    freadiv(rd, "div=", 2, rq.div, 1);
    float h = 0;
    freadr(rd, "hmin=", 1, h, 0);
    rq.hmin = h;
    freadi(rd, "lf=", 1, rq.lf, 0);
    const bool iscale = keyonline(rd, "iscale=");
    if (iscale) {
      float f = 0;
      freadr(rd, "iscale=", 1, f, 0);
      rq.iscale = f;
    }
    // Optional keys of a figure: the text (itext=), logarithmic or
    // explicit levels (ilog=, clev= with lf values), the text grid (igrid=).
    const bool itext = keyonline(rd, "itext="), ilog = keyonline(rd, "ilog="), igrid = keyonline(rd, "igrid=");
    const bool clev = keyonline(rd, "clev=");
    if (itext) freadi(rd, "itext=", 1, rq.itext, 0);
    if (ilog) freadi(rd, "ilog=", 1, rq.ilog, 0);
    if (igrid) freadi(rd, "igrid=", 1, rq.igrid, 0);
    if (clev) {
      if (rq.lf < 1 || rq.lf > kMaxLevels) quit("clev= needs lf= levels (1 to " + std::to_string(kMaxLevels) + ")");
      std::vector<float> f(static_cast<std::size_t>(rq.lf));
      freadrv(rd, "clev=", rq.lf, f.data(), 0);
      rq.clev.assign(f.begin(), f.end());
    }
    out() << "div=" << fmt_i(rq.div[0], 5) << fmt_i(rq.div[1], 5) << " hmin=" << fmt_f(rq.hmin, 8, 4)
          << " lf=" << fmt_i(rq.lf, 4);
    if (iscale) out() << " iscale=" << fmt_f(rq.iscale, 8, 3);
    if (itext) out() << " itext=" << fmt_i(rq.itext, 2);
    if (ilog) out() << " ilog=" << fmt_i(rq.ilog, 2);
    if (igrid) out() << " igrid=" << fmt_i(rq.igrid, 2);
    if (clev) {
      out() << " clev=";
      for (double v : rq.clev) out() << fmt_e(v, 12, 4);
    }
    out() << '\n';
    if (rq.itext != 0 && rq.itext != 1) quit("itext should be 0 (the drawing alone) or 1 (with its text)");
    if (rq.ilog != 0 && rq.ilog != 1) quit("ilog should be 0 (linear levels) or 1 (logarithmic)");
    if (rq.igrid != 0 && rq.igrid != 1) quit("igrid should be 0 or 1 (the section's values as a text grid)");
    if (rq.ilog == 1 && !clev && !(rq.hmin > 0)) quit("ilog=1 needs hmin above 0");
    for (double v : rq.clev)
      if (!std::isfinite(v)) quit("clev= levels should be finite numbers");
    if (!(rq.iscale >= 0) || !std::isfinite(rq.iscale)) quit("iscale should be 0 (automatic) or positive");
    if (rq.div[0] < 1 || rq.div[1] < 1) quit("div should be 1 or more along u and v");
    if (rq.lf < 0) quit("lf should not be negative");
    if (rq.lf > kMaxLevels) quit("lf should be at most " + std::to_string(kMaxLevels));
    if (!(rq.hmin < 1)) quit("hmin should be less than 1");
  } else {
    static const char* const bkeys[6] = {"xmin=", "xmax=", "ymin=", "ymax=", "zmin=", "zmax="};
    for (int k = 0; k < 6; ++k) {
      float f = 0;
      freadr(rd, bkeys[k], 1, f, k == 0 ? 1 : 0);
      rq.box[k] = f;
    }
    freadi(rd, "xdiv=", 1, rq.bdiv[0], 1);
    freadi(rd, "ydiv=", 1, rq.bdiv[1], 0);
    freadi(rd, "zdiv=", 1, rq.bdiv[2], 0);
    float h = 1;
    freadr(rd, "hscl=", 1, h, 0);
    rq.hscl = h;
    out() << "xmin=" << fmt_f(rq.box[0], 8, 4) << " xmax=" << fmt_f(rq.box[1], 8, 4)
          << " ymin=" << fmt_f(rq.box[2], 8, 4) << " ymax=" << fmt_f(rq.box[3], 8, 4)
          << " zmin=" << fmt_f(rq.box[4], 8, 4) << " zmax=" << fmt_f(rq.box[5], 8, 4) << '\n';
    out() << "xdiv=" << fmt_i(rq.bdiv[0], 5) << " ydiv=" << fmt_i(rq.bdiv[1], 5)
          << " zdiv=" << fmt_i(rq.bdiv[2], 5) << " hscl=" << fmt_e(rq.hscl, 12, 5) << '\n';
    if (rq.bdiv[0] < 1 || rq.bdiv[1] < 1 || rq.bdiv[2] < 1) quit("xdiv, ydiv and zdiv should be 1 or more");
  }
  placedrawing(geom, rq);
  return rq;
}

std::vector<DrawRequest> readdrawings(KeyReader& rd, const MapContext& geom, int ldev) {
  // Every drawing is read and checked before any is made (before the map is
  // even computed, in a run), so that a bad line stops the run without
  // leaving half a page file or a replaced density file behind.
  int ipage = 0;
  const int ng = readng(rd, ipage);
  std::vector<DrawRequest> rqs;
  for (int k = 1; k <= ng; ++k) {
    rqs.push_back(readdrawing(rd, geom, k));
    rqs.back().ipage = ipage;
  }
  const bool sections = std::any_of(rqs.begin(), rqs.end(), [](const DrawRequest& r) { return r.iax == 2; });
  if (sections && ldev != 1 && ldev != 2)
    quit("ldev=" + std::to_string(ldev) + " not allowd: sections are drawn on device 1 or 2 (PostScript)");
  return rqs;
}

}  // namespace trovan
