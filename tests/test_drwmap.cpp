// The map drawing: interpolation, symmetry averaging, smoothing, contours,
// the true-length page geometry, the peaks marked on a section, the boxes
// and the keyword input of the drawings. Numbers rather than pictures;
// every page file written here must also render in Ghostscript.
#include <gemmi/ccp4.hpp>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "crystal_groups.hpp"
#include "driver/drawingkeys.hpp"
#include "util/workgrid.hpp"
#include "e2e_support.hpp"
#include "inprocess.hpp"
#include "tools/sfmodel.hpp"
#include "util/input.hpp"
#include "util/runstate.hpp"
#include "maps/boxfile.hpp"
#include "plot/calcomp.hpp"
#include "plot/contour.hpp"
#include "plot/drwmap.hpp"
#include "plot/mappage.hpp"
#include "plot/section.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

using namespace trovan;
using trovan_test::count_of;
using trovan_test::slurp;
using trovan::testing::ListingTo;
namespace fs = std::filesystem;

namespace {

// ---- a synthetic crystal ---------------------------------------------------

// A 3-D map on an n0 x n1 x n2 grid with a metric for its first three axes
// (the other three are unit and unused).
struct Synthetic {
  std::vector<float> rho;
  MapContext ctx;
};

void setmetric3(MapContext& c, double a, double b, double cc, double alpha, double beta, double gamma) {
  for (double& v : c.metric) v = 0;
  const double ca = std::cos(torad(alpha)), cb = std::cos(torad(beta)), cg = std::cos(torad(gamma));
  const double g[3][3] = {{a * a, a * b * cg, a * cc * cb}, {a * b * cg, b * b, b * cc * ca}, {a * cc * cb, b * cc * ca, cc * cc}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c.metric[j * 6 + i] = g[i][j];
  for (int i = 3; i < 6; ++i) c.metric[i * 6 + i] = 1;
}

MapContext plaincontext(std::vector<float>& rho, int n0, int n1, int n2) {
  MapContext c;
  c.grid.rho = rho.data();
  c.grid.n[0] = n0;
  c.grid.n[1] = n1;
  c.grid.n[2] = n2;
  c.grid.idm = 3;
  for (int i = 0; i < 6; ++i) {
    c.minv[i * 6 + i] = 1;
    c.cart[i * 6 + i] = 1;
  }
  setmetric3(c, 1, 1, 1, 90, 90, 90);
  c.ops.push_back(identityop());
  c.title = "test map";
  c.kind = "Fourier map ";
  c.win = "box.win";
  c.rho = "box.rho";
  return c;
}

// Squared distance (Angstrom^2) from fractional x to p, nearest lattice image.
double dist2(const MapContext& c, const double* x, const double* p) {
  double d[6] = {};
  for (int i = 0; i < 3; ++i) d[i] = x[i] - p[i] - std::nearbyint(x[i] - p[i]);
  double s = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s += d[i] * c.metric[j * 6 + i] * d[j];
  return s;
}

// Gaussians of height h and width sigma (Angstrom) at the given positions.
void fillgaussians(Synthetic& s, const std::vector<std::array<double, 3>>& at, double h, double sigma) {
  const MapGrid& g = s.ctx.grid;
  for (int k = 0; k < g.n[2]; ++k)
    for (int j = 0; j < g.n[1]; ++j)
      for (int i = 0; i < g.n[0]; ++i) {
        const double x[3] = {double(i) / g.n[0], double(j) / g.n[1], double(k) / g.n[2]};
        double v = 0;
        for (const auto& p : at) v += h * std::exp(-dist2(s.ctx, x, p.data()) / (2 * sigma * sigma));
        s.rho[i + g.n[0] * (j + g.n[1] * k)] = static_cast<float>(v);
      }
}

Synthetic hexagonal_peak(double sigma) {
  Synthetic s;
  s.rho.assign(72 * 72 * 32, 0.f);
  s.ctx = plaincontext(s.rho, 72, 72, 32);
  setmetric3(s.ctx, 6, 6, 5, 90, 90, 120);
  fillgaussians(s, {{1.0 / 3, 2.0 / 3, 0.5}}, 10, sigma);
  s.ctx.vmax = 10;
  return s;
}

DrawRequest section_request(const MapContext& c, const double* x0, const double* u, const double* v, int div) {
  DrawRequest rq;
  rq.number = 1;
  rq.iax = 2;
  std::copy(x0, x0 + 6, rq.x0);
  std::copy(u, u + 6, rq.axis[0]);
  std::copy(v, v + 6, rq.axis[1]);
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 2; ++b) {
      double s = 0;
      for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) s += rq.axis[a][i] * c.metric[j * 6 + i] * rq.axis[b][j];
      rq.gram[a][b] = s;
    }
  rq.div[0] = rq.div[1] = div;
  rq.lf = 5;
  rq.hmin = 0.1;
  return rq;
}

// ---- keyword input, listing, temporary directory ----------------------------

class DrawFiles : public trovan_test::InPageFolder {
 protected:
  // Runs the drawing on keyword text; returns the stop message ("" if none).
  std::string run(const MapContext& c, const std::string& text, int ldev = 1) {
    std::istringstream in(text);
    KeyReader rd(in);
    std::string msg;
    try {
      drwmap(c, readdrawings(rd, c, ldev), ldev);
    } catch (const Stop& s) {
      msg = s.what();
      stop_status_ = s.status;
    }
    return msg;
  }
  int stop_status_ = -1;
};

}  // namespace

// ---- interpolation ------------------------------------------------------------

TEST(Interpolate, ExactAtEveryGridPointAndPeriodic) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> val(-5, 5);
  MapGrid g;
  g.idm = 4;
  const int n[4] = {5, 4, 6, 3};
  std::vector<float> rho(5 * 4 * 6 * 3);
  for (float& v : rho) v = val(rng);
  g.rho = rho.data();
  for (int d = 0; d < 4; ++d) g.n[d] = n[d];
  for (int j = 0; j < static_cast<int>(rho.size()); ++j) {
    int r = j, idx[4];
    for (int d = 0; d < 4; ++d) {
      idx[d] = r % n[d];
      r /= n[d];
    }
    double x[6] = {};
    for (int d = 0; d < 4; ++d) x[d] = double(idx[d]) / n[d];
    ASSERT_EQ(interpolate(g, x), rho[j]) << j;
    // Whole cell translations, up and down, land on the same point.
    double y[6] = {};
    for (int d = 0; d < 4; ++d) y[d] = x[d] + (d % 2 ? -2 : 3);
    ASSERT_NEAR(interpolate(g, y), rho[j], 1e-5) << j;
  }
}

TEST(Interpolate, MultilinearBetweenPoints) {
  // f = a + b i + c j + d i j within one cell is reproduced exactly, and
  // half way along an edge the value is the mean of its two ends.
  MapGrid g;
  g.idm = 2;
  g.n[0] = 4;
  g.n[1] = 4;
  std::vector<float> rho(16);
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 4; ++i) rho[i + 4 * j] = static_cast<float>(1 + 2 * i + 3 * j + 0.5 * i * j);
  g.rho = rho.data();
  for (double fi : {0.0, 0.3, 0.77})
    for (double fj : {0.0, 0.5, 0.91}) {
      const double i = 1 + fi, j = 2 + fj;  // inside the cell (1..2, 2..3)
      const double x[6] = {i / 4, j / 4};
      EXPECT_NEAR(interpolate(g, x), 1 + 2 * i + 3 * j + 0.5 * i * j, 1e-5);
    }
  // Across the cell face the grid wraps: between i = 3 and i = 0.
  const double x[6] = {3.5 / 4, 1.0 / 4};
  EXPECT_NEAR(interpolate(g, x), 0.5 * (rho[3 + 4] + rho[0 + 4]), 1e-6);
}

TEST(Interpolate, SetMatrixInverseConvertsSettingToGrid) {
  // A body-centred-like setting: x = M x_grid with M = [[0,1,1],[1,0,1],[1,1,0]]/2.
  // The sampler must look a setting point up at M^-1 x.
  MapGrid g;
  g.idm = 3;
  g.n[0] = g.n[1] = g.n[2] = 8;
  std::vector<float> rho(512);
  for (int j = 0; j < 512; ++j) rho[j] = static_cast<float>(j);
  g.rho = rho.data();
  Sampler s = makesampler(g);
  const double m[3][3] = {{0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  const double mi[3][3] = {{-1, 1, 1}, {1, -1, 1}, {1, 1, -1}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s.minv[j * 6 + i] = mi[i][j];
  for (int i = 3; i < 6; ++i) s.minv[i * 6 + i] = 1;
  const int gp[3] = {3, 5, 2};
  double xg[3], x[6] = {};
  for (int i = 0; i < 3; ++i) xg[i] = gp[i] / 8.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) x[i] += m[i][j] * xg[j];
  EXPECT_EQ(sampleat(s, x), rho[3 + 8 * (5 + 8 * 2)]);
}

// ---- averaging ---------------------------------------------------------------

namespace {

// The 16 operators of 4/mmm (x,y,z) with translations 0 and the inversion
// included: a group of signed permutations, under which multilinear
// interpolation on a square grid is itself symmetric.
std::vector<AffineOp> ops4mmm() {
  std::vector<AffineOp> ops;
  for (int swap = 0; swap < 2; ++swap)
    for (int sx = -1; sx <= 1; sx += 2)
      for (int sy = -1; sy <= 1; sy += 2)
        for (int sz = -1; sz <= 1; sz += 2) {
          AffineOp op = identityop();
          for (int i = 0; i < 3; ++i) op.r[i * 6 + i] = 0;
          op.r[(swap ? 1 : 0) * 6 + 0] = sx;  // x' = sx * (swap ? y : x)
          op.r[(swap ? 0 : 1) * 6 + 1] = sy;
          op.r[2 * 6 + 2] = sz;
          ops.push_back(op);
        }
  return ops;
}

}  // namespace

TEST(Averaging, AMapWithTheSymmetryIsUnchanged) {
  Synthetic s;
  s.rho.assign(16 * 16 * 12, 0.f);
  s.ctx = plaincontext(s.rho, 16, 16, 12);
  setmetric3(s.ctx, 5, 5, 7, 90, 90, 90);
  const auto ops = ops4mmm();
  // Gaussians at all images of a general position: a 4/mmm-symmetric map.
  std::vector<std::array<double, 3>> at;
  for (const AffineOp& op : ops) {
    const double p[6] = {0.13, 0.31, 0.22};
    double y[6];
    applyaffine(op, p, y);
    at.push_back({y[0], y[1], y[2]});
  }
  fillgaussians(s, at, 5, 0.6);
  Sampler plain = makesampler(s.ctx.grid), aver = plain;
  aver.ops = ops;
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1, 2);
  double maxdiff = 0, maxval = 0;
  for (int k = 0; k < 300; ++k) {
    const double x[6] = {u(rng), u(rng), u(rng)};
    const double a = sampleat(aver, x), b = sampleat(plain, x);
    maxdiff = std::max(maxdiff, std::fabs(a - b));
    maxval = std::max(maxval, std::fabs(b));
  }
  EXPECT_GT(maxval, 0.5);
  EXPECT_LT(maxdiff, 1e-5 * maxval);
}

TEST(Averaging, AnAsymmetricMapBecomesSymmetric) {
  // One Gaussian at a general position: averaging must change it, and the
  // result must take the same value at every image of a point.
  Synthetic s;
  s.rho.assign(16 * 16 * 12, 0.f);
  s.ctx = plaincontext(s.rho, 16, 16, 12);
  setmetric3(s.ctx, 5, 5, 7, 90, 90, 90);
  // A sharp peak on a grid point in general position: its images are at
  // least 0.88 A away, where the peak has fallen below 1.5 %.
  fillgaussians(s, {{3.0 / 16, 5.0 / 16, 0.25}}, 5, 0.3);
  Sampler plain = makesampler(s.ctx.grid), aver = plain;
  aver.ops = ops4mmm();
  const double p[6] = {3.0 / 16, 5.0 / 16, 0.25};
  EXPECT_NEAR(sampleat(plain, p), 5, 1e-5);
  EXPECT_NEAR(sampleat(aver, p), 5.0 / 16, 0.02);
  const double x[6] = {0.21, 0.4, 0.3};
  for (const AffineOp& op : aver.ops) {
    double y[6];
    applyaffine(op, x, y);
    EXPECT_NEAR(sampleat(aver, y), sampleat(aver, x), 1e-5);
  }
}

namespace {

// A primitive 3-D crystal in the standard setting: the group closed from
// `generators` (with the inversion when `icent` is 1), an n^3 grid with its
// index tables, and the work grid of a run on it.
void primitive3(Crystal& cr, RunState& rs, WorkGrid& w, int icent, const std::vector<std::string>& generators, int n) {
  std::ostringstream quiet;
  const ListingTo listing_to(&quiet);
  rs.isys = cr.lattice.isys = cr.setting.isys = 0;
  setsmh(cr.setting, 0);
  setsmx(cr.setting, 0);
  cr.setting.brv = 'p';
  rs.ismtr = cr.setting.ismtr = 0;
  cr.group.icent = icent;
  trovan::testing::close_text(cr, generators);
  int sizes[6] = {n, n, n, 1, 1, 1};
  cr.group.idm = cr.grid.idm = 3;
  setng(cr.grid, sizes);
  calmm(cr.grid);
  setitt(cr.grid);
  sizeworkgrid(w, getnt(cr.grid));
}

}  // namespace

TEST(Averaging, OperatorsAndSettingOfTheRun) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  // The context of a run: a centrosymmetric group read as generators gives
  // every operator with and without the inversion; the metric is the
  // lattice's, and M^-1 the setting's.
  primitive3(cr, rs, w, 1, {"-y,x,z,t,u,v", "y,x,-z,t,u,v"}, 8);  // 4/mmm from 422
  const MapContext c = mapcontext(cr, rs, getabcdr(w));
  EXPECT_EQ(static_cast<int>(c.ops.size()), 2 * cr.group.nsymo());
  EXPECT_EQ(cr.group.nsymo(), 8);
  // The first operator is the identity, the second its inversion.
  const AffineOp id = identityop();
  for (int q = 0; q < 36; ++q) {
    EXPECT_EQ(c.ops[0].r[q], id.r[q]);
    EXPECT_EQ(c.ops[1].r[q], -id.r[q]);
  }
  double mi[36];
  getsetmtrxinv(cr.setting, mi);
  for (int q = 0; q < 36; ++q) EXPECT_EQ(c.minv[q], mi[q]);
  EXPECT_EQ(c.grid.n[0], 8);
}

TEST(Averaging, APattersonMapAveragesOverRotationsAndInversionOnly) {
  Crystal cr;
  RunState rs;
  WorkGrid w;
  // P2_1 (no inversion): a Fourier map is averaged over x and the screw
  // image; a Patterson map over the point group 2/m, without the half
  // translation.
  primitive3(cr, rs, w, 0, {"-x,y+1/2,-z,t,u,v"}, 4);
  rs.iplot = 2;
  const MapContext f = mapcontext(cr, rs, getabcdr(w));
  rs.iplot = 1;
  const MapContext p = mapcontext(cr, rs, getabcdr(w));
  ASSERT_EQ(f.ops.size(), 2u);
  EXPECT_EQ(f.ops[1].t[1], 0.5);
  EXPECT_EQ(f.ops[1].r[0], -1);
  ASSERT_EQ(p.ops.size(), 4u);
  for (const AffineOp& op : p.ops)
    for (double t : op.t) EXPECT_EQ(t, 0.0);
  // identity, inversion, the two-fold, the mirror
  EXPECT_EQ(p.ops[1].r[0], -1);
  EXPECT_EQ(p.ops[1].r[7], -1);
  EXPECT_EQ(p.ops[3].r[7], -1);
  EXPECT_EQ(p.ops[3].r[0], 1);
  EXPECT_EQ(p.kind, "Fo Patterson map ");
  EXPECT_EQ(f.kind, "Fourier map ");
}

namespace {

// Sets up a setting, a group and a grid as the driver does, then checks the
// drawing's own symmetry images (setting operators and M^-1 of the run's
// context) against the grid-basis operators of the index tables: a map
// averaged over the grid-basis images is left unchanged by the drawing's
// averaging at every grid point, and a map without the symmetry is averaged
// to exactly that mean.
void expect_averaging_matches_grid_operators(Crystal& cr, const RunState& rs, int idm, const std::vector<int>& sizes) {
  std::vector<int> n = sizes;
  n.resize(6, 1);
  cr.group.idm = cr.grid.idm = idm;
  setng(cr.grid, n.data());
  calmm(cr.grid);
  setitt(cr.grid);
  setsmopprm(cr.grid, cr.group, cr.setting);
  const int nt = static_cast<int>(getnt(cr.grid));
  WorkGrid w;
  sizeworkgrid(w, nt);
  float* work = getabcdr(w);
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> val(0, 1);
  std::vector<float> raw(nt);
  for (float& v : raw) v = val(rng);
  // The grid-basis mean over the group, by the index tables.
  std::vector<double> mean(nt, 0.0);
  int nimg = 0;
  for (int j = 0; j < nt; ++j) {
    int x[6], xr[6];
    getitoxyz(cr.grid, j, x);
    nimg = 0;
    for (int i = 1; i <= cr.group.nsymo(); ++i)
      for (int k = 0; k <= cr.group.ncent(); ++k, ++nimg) {
        getrxi(cr.grid, x, xr, i, k);
        mean[j] += raw[getxyztoj(cr.grid, xr)];
      }
    mean[j] /= nimg;
  }
  std::copy(raw.begin(), raw.end(), work);
  MapContext c = mapcontext(cr, rs, getabcdr(w));
  ASSERT_EQ(static_cast<int>(c.ops.size()), nimg);
  double m[36];
  getsetmtrx(cr.setting, m);
  Sampler plain = makesampler(c.grid), aver = plain;
  std::copy(c.minv, c.minv + 36, plain.minv);
  std::copy(c.minv, c.minv + 36, aver.minv);
  aver.ops = c.ops;
  auto setting_point = [&](int j, double* x) {
    int g[6];
    getitoxyz(cr.grid, j, g);
    double xg[6] = {};
    for (int d = 0; d < idm; ++d) xg[d] = double(g[d]) / n[d];
    mat6vec(m, xg, x);
  };
  double x[6];
  for (int j = 0; j < nt; ++j) {
    setting_point(j, x);
    ASSERT_NEAR(sampleat(plain, x), raw[j], 1e-6) << j;       // M^-1 finds the point
    ASSERT_NEAR(sampleat(aver, x), mean[j], 1e-5) << j;       // the same images
  }
  // The symmetric map: averaging changes nothing.
  for (int j = 0; j < nt; ++j) work[j] = static_cast<float>(mean[j]);
  for (int j = 0; j < nt; ++j) {
    setting_point(j, x);
    ASSERT_NEAR(sampleat(aver, x), sampleat(plain, x), 1e-5) << j;
  }
}

}  // namespace

TEST(Averaging, SymmetryImagesAgreeWithTheGridOperatorsOfTheRun) {
  Crystal cr;
  RunState rs;
  std::ostringstream quiet;
  const ListingTo listing_to(&quiet);
  // A 4_1 screw: a quarter translation tells R x + t from R x - t.
  trovan::testing::close_text(cr, {"-y,x,z+1/4,t,u,v"});
  expect_averaging_matches_grid_operators(cr, rs, 3, {4, 4, 8});
  // (3+1)-D with an internal translation, centrosymmetric.
  cr.group.icent = 1;
  cr.lattice.ndm = 1;
  trovan::testing::close_text(cr, {"-x,-y,z,-t,u,v", "x,y,-z,t+1/2,u,v"});
  cr.lattice.ndm = 0;
  expect_averaging_matches_grid_operators(cr, rs, 4, {4, 4, 6, 6});
  // Face-centred icosahedral: M is no identity.
  rs.isys = cr.lattice.isys = cr.setting.isys = 2;
  setsmh(cr.setting, 2);
  setsmx(cr.setting, 2);
  cr.setting.brv = 'f';
  using namespace trovan::testing;
  close_rotations(cr, icosahedral_generators(signed_permutation_rotations(icosahedral_basis())));
  expect_averaging_matches_grid_operators(cr, rs, 6, {4, 4, 4, 4, 4, 4});
}

// ---- smoothing ---------------------------------------------------------------

TEST(Smoothing, KeepsTheMean) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> val(-3, 7);
  for (const auto& dims : std::vector<std::array<int, 3>>{{17, 9, 1}, {6, 5, 4}, {2, 1, 1}, {1, 8, 1}}) {
    std::vector<float> v(dims[0] * dims[1] * dims[2]);
    for (float& x : v) x = val(rng);
    double before = 0;
    for (float x : v) before += x;
    for (int passes = 1; passes <= 2; ++passes) {
      std::vector<float> w = v;
      smooth121(w.data(), dims.data(), passes);
      double after = 0;
      for (float x : w) after += x;
      EXPECT_NEAR(after, before, 1e-4 * v.size()) << dims[0] << "x" << dims[1] << "x" << dims[2];
      if (v.size() > 2) {
        EXPECT_NE(w, v);
      }
    }
  }
}

TEST(Smoothing, OneTwoOneWeightsAndAFlatMapStaysFlat) {
  int n[3] = {5, 1, 1};
  std::vector<float> v = {0, 0, 4, 0, 0};
  smooth121(v.data(), n, 1);
  EXPECT_EQ(v, (std::vector<float>{0, 1, 2, 1, 0}));
  std::vector<float> e = {4, 0, 0, 0, 8};
  smooth121(e.data(), n, 1);
  EXPECT_EQ(e, (std::vector<float>{3, 1, 0, 2, 6}));  // ends: (3 v0 + v1) / 4
  int m[3] = {4, 3, 2};
  std::vector<float> f(24, 2.5f);
  smooth121(f.data(), m, 2);
  for (float x : f) EXPECT_FLOAT_EQ(x, 2.5f);
}

// ---- contours ----------------------------------------------------------------

TEST(Contours, AGaussianPeakGivesCirclesOfTheTrueRadiusOnThePage) {
  // A peak in a hexagonal cell (a = 6, c = 5 A, gamma = 120 deg), cut by the
  // section z = 1/2 along a and b. On the page the section must show its
  // true shape: each contour a circle about the peak of radius r with
  // h exp(-r^2 / 2 sigma^2) = level, in cm = r * scale.
  const double sigma = 0.6;
  Synthetic s = hexagonal_peak(sigma);
  const double x0[6] = {0, 0, 0.5}, u[6] = {1, 0, 0}, v[6] = {0, 1, 0};
  const DrawRequest rq = section_request(s.ctx, x0, u, v, 96);
  int n[3];
  const std::vector<float> vals = samplerequest(s.ctx, rq, n);
  ASSERT_EQ(n[0], 97);
  ASSERT_EQ(n[1], 97);
  SectionPage pg;
  ASSERT_TRUE(layoutsection(rq.gram[0][0], rq.gram[0][1], rq.gram[1][1], pg));
  EXPECT_NEAR(pg.lu, 6, 1e-9);
  EXPECT_NEAR(pg.lv, 6, 1e-9);
  EXPECT_NEAR(pg.cosg, -0.5, 1e-9);
  float cx, cy;
  topage(pg, 1.0 / 3, 2.0 / 3, cx, cy);
  for (double r : {0.4, 0.8, 1.2}) {
    const double level = 10 * std::exp(-r * r / (2 * sigma * sigma));
    const auto lines = contourlines(vals.data(), n[0], n[1], level);
    ASSERT_EQ(lines.size(), 1u) << r;
    const ContourLine& ln = lines[0];
    EXPECT_TRUE(ln.closed);
    EXPECT_EQ(ln.x.front(), ln.x.back());
    EXPECT_EQ(ln.y.front(), ln.y.back());
    const double rcm = r * pg.scale;
    double area = 0;
    std::vector<float> px(ln.x.size()), py(ln.x.size());
    for (std::size_t k = 0; k < ln.x.size(); ++k) {
      topage(pg, ln.x[k] / (n[0] - 1), ln.y[k] / (n[1] - 1), px[k], py[k]);
      EXPECT_NEAR(std::hypot(px[k] - cx, py[k] - cy), rcm, 0.03 * rcm) << "r=" << r << " point " << k;
    }
    for (std::size_t k = 0; k + 1 < px.size(); ++k) area += 0.5 * (px[k] * py[k + 1] - px[k + 1] * py[k]);
    EXPECT_NEAR(std::fabs(area), kPi * rcm * rcm, 0.03 * kPi * rcm * rcm) << r;
  }
}

TEST(Contours, AModulatedAtomIsASineWaveInTheX1X4Section) {
  // A (3+1)-D map of one atom displaced along x by 0.05 sin(2 pi t): the
  // x1-x4 section through it shows the atomic string as a sine wave. Along
  // every row t of the section the density peaks at s = 0.5 + 0.05 sin(2 pi t).
  const int nx = 40, ny = 8, nz = 8, nt4 = 20;
  std::vector<float> rho(nx * ny * nz * nt4);
  MapContext c = plaincontext(rho, nx, ny, nz);
  c.grid.n[3] = nt4;
  c.grid.idm = 4;
  setmetric3(c, 10, 4, 4, 90, 90, 90);
  for (int l = 0; l < nt4; ++l)
    for (int k = 0; k < nz; ++k)
      for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
          const double t = double(l) / nt4;
          const double cx = 0.5 + 0.05 * std::sin(kTwoPi * t);
          const double dx = (double(i) / nx - cx) * 10, dy = (double(j) / ny) * 4, dz = (double(k) / nz) * 4;
          const double dy2 = std::min(dy, 4 - dy), dz2 = std::min(dz, 4 - dz);
          rho[i + nx * (j + ny * (k + nz * l))] =
              static_cast<float>(10 * std::exp(-(dx * dx + dy2 * dy2 + dz2 * dz2) / (2 * 0.4 * 0.4)));
        }
  const double x0[6] = {0, 0, 0, 0}, u[6] = {1, 0, 0, 0}, v[6] = {0, 0, 0, 1};
  const DrawRequest rq = section_request(c, x0, u, v, 200);
  int n[3];
  const std::vector<float> vals = samplerequest(c, rq, n);
  for (int row = 0; row < n[1]; row += 10) {
    const double t = double(row) / (n[1] - 1);
    int best = 0;
    for (int i = 1; i < n[0]; ++i)
      if (vals[i + n[0] * row] > vals[best + n[0] * row]) best = i;
    const double s = double(best) / (n[0] - 1);
    EXPECT_NEAR(s, 0.5 + 0.05 * std::sin(kTwoPi * t), 0.01) << "t=" << t;
  }
  // One contour of the string: two open lines, one on each side, running
  // from t = 0 to t = 1.
  const auto lines = contourlines(vals.data(), n[0], n[1], 5.0);
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& ln : lines) {
    EXPECT_FALSE(ln.closed);
    EXPECT_NEAR(std::fabs(ln.y.front() - ln.y.back()), n[1] - 1, 1e-4);
  }
}

TEST(Contours, OpenLinesRunFromBorderToBorder) {
  // A ramp along the first axis: the level 2.5 is the straight line i = 2.5.
  std::vector<float> v(6 * 4);
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 6; ++i) v[i + 6 * j] = static_cast<float>(i);
  const auto lines = contourlines(v.data(), 6, 4, 2.5);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_FALSE(lines[0].closed);
  ASSERT_EQ(lines[0].x.size(), 4u);
  for (float x : lines[0].x) EXPECT_FLOAT_EQ(x, 2.5f);
  EXPECT_FLOAT_EQ(std::min(lines[0].y.front(), lines[0].y.back()), 0.f);
  EXPECT_FLOAT_EQ(std::max(lines[0].y.front(), lines[0].y.back()), 3.f);
  EXPECT_TRUE(contourlines(v.data(), 6, 4, 7).empty());
  EXPECT_TRUE(contourlines(v.data(), 6, 4, -1).empty());
}

TEST(Contours, SaddlesFollowTheCentreValue) {
  // Corners (0,0) and (1,1) high, (1,0) and (0,1) low; the centre is 0.5.
  const float v[4] = {1, 0, 0, 1};
  auto near_corner = [](const ContourLine& ln, float cx, float cy) {
    for (std::size_t k = 0; k < ln.x.size(); ++k)
      if (std::fabs(ln.x[k] - cx) + std::fabs(ln.y[k] - cy) > 1.0001f) return false;
    return true;
  };
  // Level 0.4: the centre is above, so the high corners connect through the
  // square and the lines cut off the low corners (1,0) and (0,1).
  auto a = contourlines(v, 2, 2, 0.4);
  ASSERT_EQ(a.size(), 2u);
  for (const auto& ln : a) EXPECT_TRUE(near_corner(ln, 1, 0) || near_corner(ln, 0, 1));
  EXPECT_NE(near_corner(a[0], 1, 0), near_corner(a[1], 1, 0));
  // Level 0.6: the centre is below; the lines cut off the high corners.
  auto b = contourlines(v, 2, 2, 0.6);
  ASSERT_EQ(b.size(), 2u);
  for (const auto& ln : b) EXPECT_TRUE(near_corner(ln, 0, 0) || near_corner(ln, 1, 1));
  EXPECT_NE(near_corner(b[0], 0, 0), near_corner(b[1], 0, 0));
}

TEST(Contours, LevelsFromHminUpToTheMaximum) {
  const auto lv = contourlevels(20, 0.1, 6);
  ASSERT_EQ(lv.size(), 6u);
  EXPECT_DOUBLE_EQ(lv[0], 2);
  for (std::size_t k = 1; k < lv.size(); ++k) EXPECT_NEAR(lv[k] - lv[k - 1], 3, 1e-12);
  EXPECT_NEAR(lv.back() + 3, 20, 1e-12);  // the next level would be the maximum
  EXPECT_TRUE(contourlevels(20, 0.1, 0).empty());
  EXPECT_TRUE(contourlevels(0, 0.1, 5).empty());
}

// ---- the projected structure ----------------------------------------------------

TEST(Marks, PeaksInThePlaneTheirImagesAndTranslates) {
  std::vector<float> rho(8 * 8 * 8, 0.f);
  MapContext c = plaincontext(rho, 8, 8, 8);
  const double x0[6] = {0, 0, 0.5}, u[6] = {1, 0, 0}, v[6] = {0, 1, 0};
  // Peak 1 in the plane; peak 2 a third of a grid step off it (marked);
  // peak 3 a whole grid step off (not marked); peak 4 at z = -0.5, a lattice
  // translate of the plane.
  const std::vector<std::array<double, 6>> peaks = {
      {0.25, 0.5, 0.5}, {0.7, 0.1, 0.5 + 0.33 / 8}, {0.4, 0.4, 0.5 + 1.0 / 8}, {0.6, 0.9, -0.5}};
  const std::vector<double> h = {9, 8, 7, 6};
  auto marks = marksinplane(peaks, h, {}, c.minv, c.grid.n, 3, x0, u, v);
  std::vector<int> nums;
  for (const auto& m : marks) nums.push_back(m.number);
  EXPECT_EQ(nums, (std::vector<int>{1, 2, 4}));
  EXPECT_NEAR(marks[0].s, 0.25, 1e-9);
  EXPECT_NEAR(marks[0].t, 0.5, 1e-9);
  EXPECT_NEAR(marks[2].s, 0.6, 1e-9);
  EXPECT_NEAR(marks[2].t, 0.9, 1e-9);
  EXPECT_EQ(marks[0].value, 9);
  // With a mirror z -> -z the image of a peak at z = -1/2 + 0 lies in the
  // plane too; a peak on the mirror (z = 0) is off the plane either way.
  AffineOp m = identityop();
  m.r[2 * 6 + 2] = -1;
  const std::vector<std::array<double, 6>> p2 = {{0.1, 0.2, 0.5}, {0.3, 0.3, 0.0}};
  auto marks2 = marksinplane(p2, {1, 1}, {identityop(), m}, c.minv, c.grid.n, 3, x0, u, v);
  ASSERT_EQ(marks2.size(), 1u);  // the two images of peak 1 coincide: one mark
  EXPECT_EQ(marks2[0].number, 1);
  // A four-fold axis along z through the origin carries (0.1, 0.2) to
  // (-0.2, 0.1), i.e. (0.8, 0.1) in the cell: two marks for one peak.
  AffineOp r4 = identityop();
  r4.r[0 * 6 + 0] = 0;
  r4.r[1 * 6 + 1] = 0;
  r4.r[1 * 6 + 0] = -1;  // x' = -y
  r4.r[0 * 6 + 1] = 1;   // y' = x
  auto marks3 = marksinplane({{0.1, 0.2, 0.5}}, {1}, {identityop(), r4}, c.minv, c.grid.n, 3, x0, u, v);
  ASSERT_EQ(marks3.size(), 2u);
  EXPECT_NEAR(marks3[1].s, 0.8, 1e-9);
  EXPECT_NEAR(marks3[1].t, 0.1, 1e-9);
}

// ---- boxes -----------------------------------------------------------------------

namespace {

// Reads a binary box file back as a program that displays it would.
std::vector<double> decode_win(const fs::path& p, int* counts, double* cell) {
  const std::string s = slurp(p);
  EXPECT_GE(s.size(), 134u);
  std::sscanf(s.substr(0, 39).c_str(), "%lf %lf %lf", &cell[0], &cell[1], &cell[2]);
  std::sscanf(s.substr(39, 39).c_str(), "%lf %lf %lf", &cell[3], &cell[4], &cell[5]);
  std::sscanf(s.substr(78, 30).c_str(), "%d %d %d", &counts[0], &counts[1], &counts[2]);
  double dmin = 0, dmax = 0;
  std::sscanf(s.substr(108, 26).c_str(), "%lf %lf", &dmin, &dmax);
  const std::size_t n = static_cast<std::size_t>(counts[0]) * counts[1] * counts[2];
  EXPECT_EQ(s.size(), 134 + 2 * n);
  std::vector<double> out;
  for (std::size_t k = 0; k < n && 134 + 2 * k + 1 < s.size(); ++k) {
    const unsigned w = static_cast<unsigned char>(s[134 + 2 * k]) | (static_cast<unsigned char>(s[135 + 2 * k]) << 8);
    const unsigned v = (w & 0x8000u) ? ((w ^ 0xFFFFu) << 5) : w;
    out.push_back(v * (dmax - dmin) / 1048575.0 + dmin);
  }
  return out;
}

}  // namespace

TEST_F(DrawFiles, BoxDecodesBackWithinTheCodePrecision) {
  // A known smooth function sampled at grid points of the box axes.
  std::vector<float> rho(12 * 10 * 8);
  for (int k = 0; k < 8; ++k)
    for (int j = 0; j < 10; ++j)
      for (int i = 0; i < 12; ++i)
        rho[i + 12 * (j + 10 * k)] = static_cast<float>(3 + std::sin(kTwoPi * i / 12) + 0.5 * std::cos(kTwoPi * j / 10) * k);
  MapContext c = plaincontext(rho, 12, 10, 8);
  setmetric3(c, 4, 5, 6, 90, 100, 90);
  const std::string text =
      "ng=1\n"
      "iax=3 ipers=0 iaver=0 ismth=0\n"
      "x= 0 0 0 0 0 0\n"
      "u= 1 0 0 0 0 0\n"
      "v= 0 1 0 0 0 0\n"
      "q= 0 0 1 0 0 0\n"
      "xmin=0 xmax=0.5 ymin=0 ymax=0.9 zmin=0.25 zmax=0.75\n"
      "xdiv=7 ydiv=10 zdiv=5 hscl=2.5\n";
  ASSERT_EQ(run(c, text), "") << listing_.str();
  int counts[3];
  double cell[6];
  const auto got = decode_win(dir_ / "box.win", counts, cell);
  EXPECT_EQ(counts[0], 7);
  EXPECT_EQ(counts[1], 10);
  EXPECT_EQ(counts[2], 5);
  // The box as a cell: 0.5 a, 0.9 b, 0.5 c and the angles between the axes.
  EXPECT_NEAR(cell[0], 2.0, 1e-4);
  EXPECT_NEAR(cell[1], 4.5, 1e-4);
  EXPECT_NEAR(cell[2], 3.0, 1e-4);
  EXPECT_NEAR(cell[3], 90, 1e-3);
  EXPECT_NEAR(cell[4], 100, 1e-3);
  EXPECT_NEAR(cell[5], 90, 1e-3);
  // Expected values: the function at the box points (grid points along
  // every axis: steps of 1/12, 1/10, 1/8), times hscl.
  std::vector<double> want;
  for (int k = 0; k < 5; ++k)
    for (int j = 0; j < 10; ++j)
      for (int i = 0; i < 7; ++i) {
        const int gi = i, gj = j, gk = 2 + k;
        want.push_back(2.5 * rho[gi + 12 * (gj + 10 * gk)]);
      }
  ASSERT_EQ(got.size(), want.size());
  const double lo = *std::min_element(want.begin(), want.end()), hi = *std::max_element(want.begin(), want.end());
  const double tol = 32.0 * (hi - lo) / 1048575.0 + 1e-5 * hi;
  for (std::size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(got[k], want[k], tol) << k;
  // The text file holds the same values in %12.5e.
  std::istringstream rhotext(slurp(dir_ / "box.rho"));
  std::string word;
  rhotext >> word;
  EXPECT_EQ(word, "cell");
  double skip;
  for (int k = 0; k < 6; ++k) rhotext >> skip;
  int cn[3];
  rhotext >> cn[0] >> cn[1] >> cn[2] >> skip >> skip >> skip;
  EXPECT_EQ(cn[2], 5);
  for (std::size_t k = 0; k < want.size(); ++k) {
    double x = 0;
    ASSERT_TRUE(rhotext >> x) << k;
    EXPECT_NEAR(x, want[k], 1e-5 * std::fabs(want[k]) + 1e-6) << k;
  }
  EXPECT_FALSE(fs::exists(dir_ / "calcomp1.ps"));  // a box draws no page
}

// ---- the keyword input and the pages ------------------------------------------------

TEST_F(DrawFiles, NoDrawingsWriteNoPageFile) {
  std::vector<float> rho(8 * 8 * 8, 1.f);
  MapContext c = plaincontext(rho, 8, 8, 8);
  ASSERT_EQ(run(c, "ng=0\n"), "");
  EXPECT_FALSE(fs::exists(dir_ / "calcomp1.ps"));
  EXPECT_NE(listing_.str().find("ng=  0"), std::string::npos);
}

TEST_F(DrawFiles, SectionsDrawOnePageEachAndRender) {
  Synthetic s = hexagonal_peak(0.5);
  s.ctx.peaks = {{1.0 / 3, 2.0 / 3, 0.5, 0, 0, 0}};
  s.ctx.peakheights = {10};
  // Cartesian to fractions: the inverse of the basis a = (6, 0, 0),
  // b = (-3, 3 sqrt 3, 0), c = (0, 0, 5).
  for (double& x : s.ctx.cart) x = 0;
  const double r3 = std::sqrt(3.0);
  s.ctx.cart[0] = 1.0 / 6;
  s.ctx.cart[6] = 1 / (6 * r3);
  s.ctx.cart[7] = 1 / (3 * r3);
  s.ctx.cart[14] = 0.2;
  for (int i = 3; i < 6; ++i) s.ctx.cart[i * 6 + i] = 1;
  // Two sections of the peak (the second averaged and smoothed), a box in
  // between, and a Cartesian section through the peak along a and c.
  const std::string text =
      "ng=4\n"
      "iax=2 ipers=0 iaver=0 ismth=0\n"
      "x= 0 0 0.5 0 0 0\n"
      "u= 1 0 0 0 0 0\n"
      "v= 0 1 0 0 0 0\n"
      "div=48 48 hmin=0.1 lf=9\n"
      "iax=3 ipers=0 iaver=0 ismth=1\n"
      "x= 0 0 0 0 0 0\n"
      "u= 1 0 0 0 0 0\n"
      "v= 0 1 0 0 0 0\n"
      "q= 0 0 1 0 0 0\n"
      "xmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1\n"
      "xdiv=4 ydiv=4 zdiv=4 hscl=1\n"
      "iax=2 ipers=0 iaver=1 ismth=2\n"
      "x= 0 0 0.5 0 0 0\n"
      "u= 1 0 0 0 0 0\n"
      "v= 0 1 0 0 0 0\n"
      "div=48 48 hmin=0.1 lf=9\n"
      "iax=2 ipers=1 iaver=0 ismth=0\n"
      "xe= 0 0 0 xi= 0 0 0\n"
      "u= 6 0 0 0 0 0\n"
      "v= 0 0 5 0 0 0\n"
      "div=30 25 hmin=0.05 lf=4\n";
  ASSERT_EQ(run(s.ctx, text), "") << listing_.str();
  const fs::path ps = dir_ / "calcomp1.ps";
  ASSERT_TRUE(fs::exists(ps));
  const std::string body = slurp(ps);
  EXPECT_EQ(count_of(body, "showpage"), 3);
  EXPECT_EQ(count_of(body, "%%BeginProlog"), 1);
  EXPECT_EQ(trovan_test::render_png(ps), 3);
  EXPECT_TRUE(fs::exists(dir_ / "box.win"));
  EXPECT_TRUE(fs::exists(dir_ / "box.rho"));
  const std::string lst = listing_.str();
  EXPECT_NE(lst.find("drawing  1 iax= 2 ipers= 0 iaver= 0 ismth= 0"), std::string::npos) << lst;
  EXPECT_NE(lst.find("div=   48   48 hmin=  0.1000 lf=   9"), std::string::npos) << lst;
  EXPECT_NE(lst.find("xe=   0.0000   0.0000   0.0000 xi="), std::string::npos) << lst;
  // The peak lies in the first and third sections and is marked.
  EXPECT_EQ(count_of(lst, "peaks on the section:    1    1"), 2) << lst;
  // The Cartesian section: 6 A along x is a, 5 A along z is c here.
  EXPECT_NE(lst.find("u (fractions)=   1.0000   0.0000   0.0000"), std::string::npos) << lst;
  EXPECT_NE(lst.find("v (fractions)=   0.0000   0.0000   1.0000"), std::string::npos) << lst;
  EXPECT_NE(lst.find("|u|=    6.0000 |v|=    5.0000"), std::string::npos) << lst;
  EXPECT_NE(body.find("(Fourier map test map) ctextout"), std::string::npos);
}

TEST_F(DrawFiles, DifferenceMapsDrawNegativeLevelsDashed) {
  // A positive and a negative peak in the section.
  Synthetic s;
  s.rho.assign(32 * 32 * 8, 0.f);
  s.ctx = plaincontext(s.rho, 32, 32, 8);
  setmetric3(s.ctx, 8, 8, 4, 90, 90, 90);
  fillgaussians(s, {{0.25, 0.25, 0}}, 4, 0.7);
  Synthetic t = s;
  fillgaussians(t, {{0.75, 0.6, 0}}, 3, 0.7);
  for (std::size_t k = 0; k < s.rho.size(); ++k) s.rho[k] -= t.rho[k];
  s.ctx.grid.rho = s.rho.data();
  s.ctx.difference = true;
  s.ctx.kind = "D-Fourier map ";
  s.ctx.vmax = 4;
  const std::string text =
      "ng=1\n"
      "iax=2 ipers=0 iaver=0 ismth=0\n"
      "x= 0 0 0 0 0 0\n"
      "u= 1 0 0 0 0 0\n"
      "v= 0 1 0 0 0 0\n"
      "div=64 64 hmin=0.2 lf=4\n";
  ASSERT_EQ(run(s.ctx, text), "") << listing_.str();
  const std::string body = slurp(dir_ / "calcomp1.ps");
  // Dashes switched on for the negative levels and off again.
  EXPECT_NE(body.find("[0.25 0.12] pls"), std::string::npos);
  const std::string lst = listing_.str();
  // Levels 0.8, 1.6, 2.4, 3.2: four rings about +4, three about -3.
  EXPECT_NE(lst.find("lines=     4 negative lines=     3"), std::string::npos) << lst;
  EXPECT_EQ(trovan_test::render_png(dir_ / "calcomp1.ps"), 1);
}

TEST_F(DrawFiles, BadDrawingsStopWithTheirMessage) {
  std::vector<float> rho(8 * 8 * 8, 1.f);
  MapContext c = plaincontext(rho, 8, 8, 8);
  const std::string head = "ng=1\n";
  EXPECT_EQ(run(c, head + "iax=2 ipers=0 iaver=0 ismth=3\n"), "ismth should be 0,1 or 2");
  EXPECT_EQ(stop_status_, kExitError);
  EXPECT_EQ(run(c, head + "iax=4 ipers=0 iaver=0 ismth=0\n"), "iax should be 2 (section) or 3 (box)");
  EXPECT_EQ(run(c, head + "iax=2 ipers=2 iaver=0 ismth=0\n"), "ipers should be 0 or 1");
  EXPECT_EQ(run(c, head + "iax=2 ipers=0 iaver=5 ismth=0\n"), "iaver should be 0 or 1");
  const std::string axes = "x= 0 0 0 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\n";
  EXPECT_EQ(run(c, head + "iax=2 ipers=0 iaver=0 ismth=0\n" + "x= 0 0 0 0 0 0\nu= 1 0 0 0 0 0\nv= 2 0 0 0 0 0\n" +
                       "div=10 10 hmin=0.1 lf=3\n"),
            "u and v do not span a plane");
  // 600 x 600 section points fit the work arrays but not the 512 grid points.
  EXPECT_EQ(run(c, head + "iax=2 ipers=0 iaver=0 ismth=0\n" + axes + "div=600 600 hmin=0.1 lf=3\n"),
            "ixm*iym*izm > nt");
  std::vector<float> big(256 * 256 * 256, 0.f);
  MapContext cb = plaincontext(big, 256, 256, 256);
  EXPECT_EQ(run(cb, head + "iax=2 ipers=0 iaver=0 ismth=0\n" + axes + "div=2100 2100 hmin=0.1 lf=3\n"),
            "(ixm+1)*(iym+1)*(izm+1)>jxmax");
  EXPECT_EQ(run(c, head + "iax=2 ipers=0 iaver=0 ismth=0\n" + axes + "div=0 10 hmin=0.1 lf=3\n"),
            "div should be 1 or more along u and v");
  // Nothing was drawn: every drawing is checked before the first page.
  EXPECT_FALSE(fs::exists(dir_ / "calcomp1.ps"));
}

TEST_F(DrawFiles, ALaterBadDrawingStopsBeforeAnyPage) {
  std::vector<float> rho(8 * 8 * 8, 1.f);
  MapContext c = plaincontext(rho, 8, 8, 8);
  const std::string good = "iax=2 ipers=0 iaver=0 ismth=0\nx= 0 0 0 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\ndiv=4 4 hmin=0.1 lf=3\n";
  EXPECT_EQ(run(c, "ng=2\n" + good + "iax=2 ipers=0 iaver=0 ismth=7\n"), "ismth should be 0,1 or 2");
  EXPECT_FALSE(fs::exists(dir_ / "calcomp1.ps"));
}

TEST_F(DrawFiles, ASectionOnAnotherDeviceStopsBeforeAnythingIsWritten) {
  std::vector<float> rho(8 * 8 * 8, 1.f);
  MapContext c = plaincontext(rho, 8, 8, 8);
  const std::string section =
      "iax=2 ipers=0 iaver=0 ismth=0\nx= 0 0 0 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\ndiv=4 4 hmin=0.1 lf=3\n";
  const std::string box =
      "iax=3 ipers=0 iaver=0 ismth=0\nx= 0 0 0 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\nq= 0 0 1 0 0 0\n"
      "xmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1\nxdiv=2 ydiv=2 zdiv=2 hscl=1\n";
  for (int ldev : {0, 3, 99, -1}) {
    EXPECT_EQ(run(c, "ng=2\n" + box + section, ldev),
              "ldev=" + std::to_string(ldev) + " not allowd: sections are drawn on device 1 or 2 (PostScript)");
    EXPECT_EQ(stop_status_, kExitError);
    EXPECT_FALSE(fs::exists(dir_ / "calcomp1.ps"));
    EXPECT_FALSE(fs::exists(dir_ / "box.win"));
  }
  // A box needs no page device.
  ASSERT_EQ(run(c, "ng=1\n" + box, 0), "");
  EXPECT_TRUE(fs::exists(dir_ / "box.win"));
  EXPECT_FALSE(fs::exists(dir_ / "calcomp1.ps"));
}

// A drawing job that stops in the middle of its pages (the box after the
// first page overflows single precision) leaves neither a page file nor a
// temporary one, and the next job in the process writes its own page alone.
TEST_F(DrawFiles, AJobStoppedAmongItsPagesLeavesNothingForTheNext) {
  std::vector<float> rho(8 * 8 * 8, 10.f);
  MapContext c = plaincontext(rho, 8, 8, 8);
  const std::string section =
      "iax=2 ipers=0 iaver=0 ismth=0\nx= 0 0 0 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\ndiv=4 4 hmin=0.1 lf=3\n";
  const std::string box =
      "iax=3 ipers=0 iaver=0 ismth=0\nx= 0 0 0 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\nq= 0 0 1 0 0 0\n"
      "xmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1\nxdiv=2 ydiv=2 zdiv=2 hscl=1e38\n";
  auto files = [this] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(run(c, "ng=2\n" + section + box),
            "box 2: a value times hscl= is not a finite number: choose a smaller hscl=");
  EXPECT_TRUE(files().empty()) << files().front();
  ASSERT_EQ(run(c, "ng=1\n" + section), "");
  EXPECT_EQ(files(), (std::vector<std::string>{"calcomp1.ps", "calcomp1_1.eps"}));
  EXPECT_EQ(count_of(slurp(dir_ / "calcomp1.ps"), "showpage"), 1);
  EXPECT_EQ(trovan_test::render_png(dir_ / "calcomp1.ps"), 1);
}

// ---- the bundled example, end to end ----------------------------------------------

TEST(DrawExample, PerovskiteEndsWithItsSectionsDrawnAndItsBoxWritten) {
  const fs::path dir = trovan_test::scratch_dir("drwmap_example");
  const fs::path ex = trovan_test::source_dir() / "examples/perovskite";
  fs::copy_file(ex / "perovskite.hkl", dir / "perovskite.hkl");
  const auto r = trovan_test::run_trovan(dir, trovan_test::slurp(ex / "perovskite.inp"),
                                         "CLCMPPATH='" + (trovan_test::source_dir() / "plot").string() + "'");
  ASSERT_EQ(r.status, 0) << r.out;
  const fs::path ps = dir / "calcomp1.ps";
  ASSERT_TRUE(fs::exists(ps)) << r.out;
  EXPECT_EQ(count_of(slurp(ps), "showpage"), 2);
  EXPECT_EQ(trovan_test::render_png(ps), 2);
  // The z = 1/2 section holds Ti (peak 2) and, on its edges, four images of
  // the O at (1/2, 1/2, 0); the (110) section Sr at its four corners, Ti and
  // two O images.
  EXPECT_TRUE(r.has("peaks on the section:    5    2    3    3    3    3")) << r.out;
  EXPECT_TRUE(r.has("peaks on the section:    7    1    1    1    1    2    3    3")) << r.out;
  // The box: 17^3 codes after the 134-byte header, and its text twin.
  ASSERT_TRUE(fs::exists(dir / "perovskite.win"));
  EXPECT_EQ(fs::file_size(dir / "perovskite.win"), 134u + 2u * 17 * 17 * 17);
  EXPECT_TRUE(fs::exists(dir / "perovskite.rho"));
  fs::remove_all(dir);
}

// ---- values between grid points with the symmetry of the map ----------------------

namespace {

// A crystal run in the test process, and a cube of physical space centred on
// the origin (Cartesian, 2L on a side, n points a side) in which a mirror
// x -> -x and the threefold rotation x -> y -> z -> x of its group meet.
struct SymmetryCase {
  const char* name;
  std::function<std::string(const fs::path&)> input;  // keyword input, files in the folder
  double l;
  int n;
};

std::string icosahedral_f_input(const fs::path& d) {
  const fs::path ex = trovan_test::source_dir() / "examples/icosahedral";
  fs::copy_file(ex / "icosahedral_f.hkl", d / "icosahedral_f.hkl");
  std::string inp = slurp(ex / "icosahedral_f.inp");
  inp = inp.substr(0, inp.find("\nng=") + 1) + "ng=0\n";
  return trovan_test::point_into(inp, d);
}

std::string copper_input(const fs::path& d) {
  const auto cu = trovan::examples::copper();
  trovan_test::write_file(d / "c.hkl", cu.reflection_file());
  return cu.keyword_input((d / "c.hkl").string(), (d / "c.den").string());
}

class SymmetricValues : public ::testing::TestWithParam<SymmetryCase> {};

}  // namespace

TEST_P(SymmetricValues, MirrorAndRotationImagesOfABoxAgree) {
  const SymmetryCase& cs = GetParam();
  const fs::path dir = trovan_test::scratch_dir(std::string("symvalues_") + cs.name);
  const std::string input = cs.input(dir);
  const auto r = trovan_test::run_inprocess(input);
  ASSERT_EQ(r.status, 0) << r.out;
  std::ostringstream quiet;
  const ListingTo listing_to(&quiet);
  // The run state of the job (its map kind) from its keyword input, the
  // crystal and map from what the run returned.
  std::istringstream in(input);
  const Job job = read_job(in);
  const MapContext c = mapcontext(r.job.crystal, job.run, getabcdr(r.job.map), r.job.peaks);
  DrawRequest rq;
  rq.iax = 3;
  rq.ipers = 1;
  for (int a = 0; a < 3; ++a) {
    rq.xe[a] = -cs.l;
    rq.given[a][a] = 2 * cs.l;
    rq.bdiv[a] = cs.n;
  }
  placedrawing(c, rq);
  const int n = cs.n;
  auto at = [n](const std::vector<float>& v, int i, int j, int k) { return double(v[i + n * (j + n * k)]); };
  // Largest difference between the box and its images, as a fraction of
  // the map's maximum.
  auto asymmetry = [&](int interp) {
    rq.interp = interp;
    int got[3];
    const std::vector<float> v = samplerequest(c, rq, got);
    double d = 0;
    for (int k = 0; k < n; ++k)
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
          d = std::max(d, std::fabs(at(v, i, j, k) - at(v, n - 1 - i, j, k)));  // x -> -x
          d = std::max(d, std::fabs(at(v, i, j, k) - at(v, k, i, j)));          // x -> y -> z -> x
        }
    return d / c.vmax;
  };
  // The map's own Fourier series commutes with the group; multilinear
  // interpolation along the skew axes of the grid basis does not.
  EXPECT_LT(asymmetry(0), 1e-4) << cs.name;
  EXPECT_GT(asymmetry(1), 1e-2) << cs.name;
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Centred, SymmetricValues,
                         ::testing::Values(SymmetryCase{"icosahedral_f", icosahedral_f_input, 10.0, 21},
                                           SymmetryCase{"copper_fm3m", copper_input, 1.2, 13}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- figures for a paper ------------------------------------------------------------

namespace {

// The %%HiResBoundingBox of an EPS file, in cm.
std::array<double, 4> epsbox(const std::string& eps) {
  std::array<double, 4> b{};
  const std::size_t p = eps.find("%%HiResBoundingBox:");
  EXPECT_NE(p, std::string::npos);
  std::sscanf(eps.c_str() + p + 19, "%lf %lf %lf %lf", &b[0], &b[1], &b[2], &b[3]);
  for (double& v : b) v *= 2.54 / 72;
  return b;
}

}  // namespace

TEST_F(DrawFiles, AFigureWithoutTextHoldsOnlyTheDrawing) {
  Synthetic s = hexagonal_peak(0.5);
  s.ctx.peaks = {{1.0 / 3, 2.0 / 3, 0.5, 0, 0, 0}};
  s.ctx.peakheights = {10};
  // The same section with its text and without (itext=0); the pages named
  // after the box prefix (ipage=1: box.ps, box_1.eps, box_2.eps).
  const std::string sec = "iax=2 ipers=0 iaver=0 ismth=0\nx= 0 0 0.5 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\n";
  ASSERT_EQ(run(s.ctx, "ng=2 ipage=1\n" + sec + "div=36 36 hmin=0.1 lf=5\n" + sec +
                          "div=36 36 hmin=0.1 lf=5 itext=0 igrid=1\n"),
            "")
      << listing_.str();
  EXPECT_FALSE(fs::exists(dir_ / "calcomp1.ps"));
  ASSERT_TRUE(fs::exists(dir_ / "box.ps"));
  EXPECT_EQ(trovan_test::render_png(dir_ / "box.ps"), 2);
  const std::string with = slurp(dir_ / "box_1.eps"), without = slurp(dir_ / "box_2.eps");
  EXPECT_NE(with.find("test map"), std::string::npos);
  EXPECT_NE(with.find("origin x="), std::string::npos);
  EXPECT_EQ(without.find("test map"), std::string::npos);
  EXPECT_EQ(without.find("origin x="), std::string::npos);
  // The scale bar in Angstrom: the letter A ring, Latin-1 byte 305 (octal).
  EXPECT_NE(without.find(" \\305) rtextout"), std::string::npos);
  // The drawing alone: the frame (16 cm across at most), its tick labels
  // and axis names and the scale bar under it; the title above and the
  // lines of text below are gone.
  const auto a = epsbox(with), b = epsbox(without);
  EXPECT_GT(b[1], a[1] + 2.0);  // several lines of text below
  EXPECT_LT(b[3], a[3] - 0.5);  // the title above
  EXPECT_LE(b[2] - b[0], kMapSize + 3.0);
  EXPECT_LE(b[3] - b[1], kMapSize + 5.0);
  EXPECT_GE(b[0], a[0] - 1e-6);
  EXPECT_LE(b[2], a[2] + 1e-6);
  // The second section's values as a text grid: 37 x 37 points with their
  // coordinates, each the map's value at its grid point of the plane z = 1/2.
  std::istringstream grid(slurp(dir_ / "box_section2.txt"));
  std::string ln;
  int points = 0;
  while (std::getline(grid, ln)) {
    if (ln.empty() || ln[0] == '#') continue;
    double st[2], d[2], x[6], v;
    ASSERT_EQ(std::sscanf(ln.c_str(), "%lf %lf %lf %lf %lf %lf %lf %lf", &st[0], &st[1], &d[0], &d[1], &x[0], &x[1],
                          &x[2], &v),
              8)
        << ln;
    EXPECT_NEAR(x[2], 0.5, 1e-9);
    EXPECT_NEAR(d[0], 6 * st[0], 1e-4);  // |u| = a = 6 A
    const int i = static_cast<int>(std::lround(st[0] * 36)), j = static_cast<int>(std::lround(st[1] * 36));
    // 72 grid steps along a and b in 36 intervals: point i is grid point 2i.
    EXPECT_NEAR(v, s.rho[(2 * i) % 72 + 72 * ((2 * j) % 72 + 72 * 16)], 1e-5 * 10) << ln;
    ++points;
  }
  EXPECT_EQ(points, 37 * 37);
}

TEST(Contours, LevelsLinearLogarithmicOrGiven) {
  struct Case {
    int ilog;
    std::vector<double> clev;
    std::vector<double> want;
  };
  const Case cases[] = {
      {0, {}, {2, 5.6, 9.2, 12.8, 16.4}},          // hmin max in steps of (1 - hmin) max / lf
      {1, {}, {0.2, 0.2 * std::pow(100, 0.25), 2, 0.2 * std::pow(100, 0.75)}},  // equal ratios up to max
      {0, {5, -1, 2.5}, {-1, 2.5, 5}},             // as given, in order
  };
  for (const Case& c : cases) {
    DrawRequest rq;
    rq.ilog = c.ilog;
    rq.clev = c.clev;
    rq.hmin = c.ilog ? 0.01 : 0.1;
    rq.lf = c.ilog ? 4 : 5;
    const std::vector<double> lv = sectionlevels(rq, 20);
    ASSERT_EQ(lv.size(), c.want.size());
    for (std::size_t k = 0; k < lv.size(); ++k) EXPECT_NEAR(lv[k], c.want[k], 1e-9) << k;
  }
}

TEST_F(DrawFiles, ABoxOfAModulatedCellHasItsPhysicalLengths) {
  // The basic cell of a modulated crystal: a3 has a small internal part, so
  // its superspace length (6.3067 A) exceeds its physical one (6.3 A).
  std::vector<float> rho(16 * 16 * 16);
  for (std::size_t j = 0; j < rho.size(); ++j) rho[j] = static_cast<float>(1 + std::sin(0.37 * double(j)));
  MapContext c = plaincontext(rho, 16, 16, 16);
  setmetric3(c, 4.2, 5, 6.3, 90, 90, 90);
  std::copy(c.metric, c.metric + 36, c.extmetric);
  setmetric3(c, 4.2, 5, 6.3067, 90, 90, 90);
  c.threed = true;
  ASSERT_EQ(run(c, "ng=1\niax=3 ipers=0 iaver=0 ismth=0\nx= 0 0 -0.25 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\n"
                   "q= 0 0 1 0 0 0\nxmin=0 xmax=1 ymin=0 ymax=0.5 zmin=0 zmax=1\nxdiv=17 ydiv=9 zdiv=17 hscl=1\n"),
            "")
      << listing_.str();
  int counts[3];
  double cell[6];
  decode_win(dir_ / "box.win", counts, cell);
  EXPECT_NEAR(cell[2], 6.3, 1e-4);
  EXPECT_NEAR(cell[1], 2.5, 1e-4);
  // The CCP4 map: part of the cell (its physical lengths), divided 16 ways,
  // from the grid point (0, 0, -4).
  gemmi::Ccp4<float> map;
  map.read_ccp4_file((dir_ / "box.ccp4").string());
  EXPECT_NEAR(map.header_float(13), 6.3, 1e-4);
  EXPECT_NEAR(map.header_float(12), 5.0, 1e-4);
  EXPECT_EQ(map.header_i32(7), -4);
  EXPECT_EQ(map.header_i32(10), 16);
  EXPECT_EQ(map.header_i32(9), 16);
}
