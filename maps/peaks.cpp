#include "maps/peaks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// Peaks of the last n-D search (grid indices, setting coordinates, signed
// values) and the state flags of the merging: 0 not yet classified,
// 1 independent, 2 equivalent to an independent peak already taken.
int g_js[kNpkmax + 1];
float g_x[6 * kNpkmax];
float g_p[kNpkmax];
int g_flag[kNpkmax];

// Independent peaks of the last merging, sorted by decreasing height.
int g_nind = 0;
float g_indx[6 * kMamax];
float g_indp[kMamax];
int g_indmult[kMamax];

// Space group modulo whole cell translations: operator s (1-based), with
// the inversion when k = 1, followed by centring translation c.
struct SpgOp {
  int s, k, c;
};
bool g_symready = false;
int g_nsym = 0, g_icent = 0;
std::vector<std::array<double, 6>> g_ctr;  // centring translations, [0, 1)
std::vector<SpgOp> g_spg;

int dimension() {
  const int idm = getidm();
  return idm < 1 ? 1 : (idm > 6 ? 6 : idm);
}

// x - floor(x): into [0, 1), with a value that rounds up to 1 taken as 0.
double frac01(double x) {
  double f = x - std::floor(x);
  return f >= 1.0 ? 0.0 : f;
}

// Does a neighbour of value w out-top (or, for a negative point, undercut)
// the point of value v? Equal values and v = 0 never reject.
inline bool rejects(float v, float w) { return (v > 0 && v < w) || (v < 0 && v > w); }

inline float heightof(float v, PeakHeight kind) {
  switch (kind) {
    case PeakHeight::value:
      return v;
    case PeakHeight::absolute:
      return std::fabs(v);
    case PeakHeight::none:
      break;
  }
  return 0.0f;
}

// Image of x under space group element g: R x + tau (negated with the
// inversion) plus the centring translation; not reduced.
void applyop(const SpgOp& g, const float* x, float* y) {
  getrx(x, y, g.s, g.k);
  for (int e = 0; e < 6; ++e) y[e] = static_cast<float>(double(y[e]) + g_ctr[g.c][e]);
}

void spgmatrix(const SpgOp& g, int* rot, double* trans) {
  getsymrot(g.s, rot);
  getsymtrn(g.s, trans);
  const int sign = g.k != 0 ? -1 : 1;
  for (int i = 0; i < 36; ++i) rot[i] *= sign;
  const int idm = dimension();
  for (int e = 0; e < 6; ++e)
    trans[e] = e < idm ? frac01(sign * trans[e] + g_ctr[g.c][e]) : 0.0;
}

// Lookup raster of the merging: cells of 1/8191 of the cell edge (a prime,
// so that the grid fractions n/N of usual grids do not fall on cell edges),
// much wider than the tolerance of rcpmp1.
constexpr double kRaster = 8191.0;
long long rastercell(float x) {
  return std::llround(frac01(x) * kRaster) % static_cast<long long>(kRaster);
}
// The neighbouring cell when x lies within the tolerance of a cell edge,
// else the cell itself.
long long rasteralt(float x) {
  const double f = frac01(x) * kRaster;
  const double r = f - std::floor(f);
  if (std::fabs(r - 0.5) > 0.1) return rastercell(x);
  const long long other = r < 0.5 ? static_cast<long long>(std::floor(f)) + 1
                                  : static_cast<long long>(std::floor(f));
  return other % static_cast<long long>(kRaster);
}
std::uint64_t cellkey(const long long* c, int idm) {
  std::uint64_t k = 0;
  for (int d = 0; d < idm; ++d) k = k * 8191u + static_cast<std::uint64_t>(c[d]);
  return k;
}

void ensuresym() {
  if (!g_symready) setsym();
}

}  // namespace

PeakHeight peakheightkind() {
  if (ismem() || isfourier()) return PeakHeight::value;
  if (isdfourier()) return PeakHeight::absolute;
  return PeakHeight::none;
}

int findextrema(const float* map, const int* ng, int idm, float thresh, PeakHeight kind, int* js,
                int cap) {
  if (idm < 1) idm = 1;
  if (idm > 6) idm = 6;
  long long st[6], nt = 1;
  int n[6];
  for (int d = 0; d < idm; ++d) {
    n[d] = ng[d] < 1 ? 1 : ng[d];
    st[d] = nt;
    nt *= n[d];
  }
  int c[6] = {0, 0, 0, 0, 0, 0};  // grid coordinates of point j
  long long off[6][3];            // per axis: step -1, 0, +1 (wrapped)
  int found = 0;
  for (long long j = 0; j < nt; ++j) {
    const float v = map[j];
    // Cheapest rejection first: most points lie below the threshold.
    if (heightof(v, kind) > thresh) {
      bool keep = true;
      for (int d = 0; d < idm; ++d) {
        off[d][0] = c[d] == 0 ? (n[d] - 1) * st[d] : -st[d];
        off[d][1] = 0;
        off[d][2] = c[d] == n[d] - 1 ? -(n[d] - 1) * st[d] : st[d];
      }
      // Then the 2 idm neighbours along the axes: a point that is no
      // extremum almost always fails there.
      for (int d = 0; d < idm && keep; ++d)
        if (rejects(v, map[j + off[d][0]]) || rejects(v, map[j + off[d][2]])) keep = false;
      // Only then the whole 3^idm block (the axis neighbours again among
      // them, which cannot change the outcome).
      if (keep && idm > 1) {
        int t[6] = {0, 0, 0, 0, 0, 0};
        for (;;) {
          long long o = 0;
          for (int d = 0; d < idm; ++d) o += off[d][t[d]];
          if (o != 0 && rejects(v, map[j + o])) {
            keep = false;
            break;
          }
          int d = 0;
          while (d < idm && ++t[d] == 3) t[d++] = 0;
          if (d == idm) break;
        }
      }
      if (keep) {
        if (found < cap) js[found] = static_cast<int>(j);
        if (++found > cap) return found;
      }
    }
    for (int d = 0; d < idm; ++d) {
      if (++c[d] < n[d]) break;
      c[d] = 0;
    }
  }
  return found;
}

void gridtox(int j, float* x) {
  const int idm = dimension();
  int ng[6];
  gethmax(ng);
  float xg[6] = {0, 0, 0, 0, 0, 0};
  long long r = j;
  for (int d = 0; d < idm; ++d) {
    const int nd = ng[d] < 1 ? 1 : ng[d];
    const long long h = r % nd;
    r /= nd;
    xg[d] = static_cast<float>(double(h) / nd);
  }
  xgtox(xg, x);
  for (int d = 0; d < 6; ++d) {
    // A coordinate that differs from a whole number by rounding only (the
    // grid fractions n/N are not exact in binary) is that number, so that
    // a point on a cell face reduces to 0 and not to a tiny negative value
    // listed as -0.0000.
    const float w = std::nearbyint(x[d]);
    if (d >= idm || std::fabs(x[d] - w) < 1e-6f) x[d] = d < idm ? w : 0.0f;
  }
  reduc(x);
}

void pksearchnd(float pkmin) { pksearchnd(getabcdr(), pkmin); }

void pksearchnd(const float* map, float pkmin) {
  g_nind = 0;
  if (pkmin == 0) return;
  int hmax[6];
  gethmax(hmax);
  const long long nt = getnt();
  const int idm = getidm();
  out() << "nt in pksearchnd" << fmt_i(nt, 10) << '\n';
  out() << "hmax in pksearchnd";
  for (int h : hmax) out() << fmt_i(h, 5);
  out() << '\n';
  out() << "idm in pksearchnd" << fmt_i(idm, 3) << '\n';

  float pkmax = 0;
  for (long long j = 0; j < nt; ++j) pkmax = std::max(pkmax, map[j]);
  const float thresh = pkmax * pkmin;

  const int num = findextrema(map, hmax, dimension(), thresh, peakheightkind(), g_js, kNpkmax);
  if (num > kNpkmax) {
    out() << "num,npkmax=" << fmt_i(num, 8) << fmt_i(kNpkmax, 8) << '\n';
    out() << "pkmax,pkmin=" << fmt_e(pkmax, 12, 5) << fmt_e(pkmin, 12, 5) << '\n';
    quit("too many peaks. use larger pkmin");
  }
  for (int i = 0; i < num; ++i) {
    gridtox(g_js[i], g_x + 6 * i);
    g_p[i] = map[g_js[i]];
  }
  out() << "num=" << fmt_i(num, 8) << '\n';
  if (num != 0) indatm(num, g_x, g_p);
}

int rcpmp1(const float* y, const float* x0) {
  const int idm = dimension();
  for (int d = 0; d < idm; ++d) {
    const double a = std::fabs(double(y[d]) - double(x0[d])) + 5e-6;
    if (a - std::floor(a) > 1e-5) return 0;
  }
  return 1;
}

void setsym() {
  const int idm = dimension();
  g_nsym = getnsymo();
  g_icent = getncent();

  // Centring translations: the grid lattice M Z^n modulo whole cell
  // translations, i.e. the closure of the columns of M taken mod 1. M^-1
  // is integral, so the closure is finite (1 / |det M| elements).
  double m[36];
  getsetmtrx(m);
  const double q = 1048576.0;  // translations are small fractions: compare on a 2^-20 raster
  auto key = [&](const std::array<double, 6>& t) {
    std::array<long long, 6> k{};
    for (int e = 0; e < 6; ++e) k[e] = std::llround(t[e] * q) % static_cast<long long>(q);
    return k;
  };
  g_ctr.assign(1, std::array<double, 6>{});
  std::set<std::array<long long, 6>> seen{key(g_ctr[0])};
  for (std::size_t i = 0; i < g_ctr.size(); ++i) {
    for (int col = 0; col < idm; ++col) {
      std::array<double, 6> t{};
      for (int e = 0; e < idm; ++e) t[e] = frac01(g_ctr[i][e] + m[at(e, col)]);
      if (seen.insert(key(t)).second) {
        g_ctr.push_back(t);
        if (g_ctr.size() > static_cast<std::size_t>(kNpkmax))
          quit("too many centring translations in setsym");
      }
    }
  }

  // Space group elements, distinct modulo whole cell translations (an
  // operator list may hold two operators that differ by a centring
  // translation only; they are one element here).
  g_spg.clear();
  std::set<std::vector<long long>> elems;
  const long long iq = static_cast<long long>(q);
  for (int s = 1; s <= g_nsym; ++s)
    for (int k = 0; k <= g_icent; ++k)
      for (int c = 0; c < static_cast<int>(g_ctr.size()); ++c) {
        SpgOp g{s, k, c};
        int rot[36];
        double trans[6];
        spgmatrix(g, rot, trans);
        std::vector<long long> id(rot, rot + 36);
        for (int e = 0; e < 6; ++e) id.push_back(std::llround(trans[e] * q) % iq);
        if (elems.insert(id).second) g_spg.push_back(g);
      }
  g_symready = true;
}

void getsym(int& nsym, int& icent, int& ncent) {
  ensuresym();
  nsym = g_nsym;
  icent = g_icent;
  ncent = static_cast<int>(g_ctr.size());
}

void getcentring(int k, float* c) {
  ensuresym();
  for (int e = 0; e < 6; ++e) c[e] = static_cast<float>(g_ctr[k][e]);
}

int getnspgop() {
  ensuresym();
  return static_cast<int>(g_spg.size());
}

void getspgop(int k, int* rot, double* trans) {
  ensuresym();
  spgmatrix(g_spg[k], rot, trans);
}

int iequiv0(const float* x, const float* x0) {
  ensuresym();
  float y[6];
  for (const SpgOp& g : g_spg) {
    applyop(g, x, y);
    reduc(y);
    if (rcpmp1(y, x0)) return 1;
  }
  return 0;
}

void sitesy1(int n, const float* x, int* mult, int* order) {
  ensuresym();
  const int idm = dimension();
  const int ng = static_cast<int>(g_spg.size());
  std::vector<int> fixing;
  for (int i = 0; i < n; ++i) {
    const float* xi = x + 6 * i;
    // The site group: the elements that carry the position onto itself
    // modulo whole cell translations. Its cosets are the distinct images.
    fixing.clear();
    float y[6];
    for (int g = 0; g < ng; ++g) {
      applyop(g_spg[g], xi, y);
      if (rcpmp1(y, xi)) fixing.push_back(g);
    }
    order[i] = static_cast<int>(fixing.size());
    mult[i] = order[i] > 0 ? ng / order[i] : 0;
    out() << "site" << fmt_i(i + 1, 4) << " multiplicity" << fmt_i(mult[i], 6)
          << " order of site group" << fmt_i(order[i], 4) << " x=";
    for (int d = 0; d < idm; ++d) out() << fmt_f(xi[d], 8, 4);
    out() << '\n';
    for (std::size_t m = 0; m < fixing.size(); ++m) {
      int rot[36];
      double trans[6];
      spgmatrix(g_spg[fixing[m]], rot, trans);
      wtsmop(static_cast<int>(m) + 1, rot, trans, idm);
    }
  }
}

void indatm(int na, const float* x, const float* p) {
  out() << "number of peaks " << fmt_i(na, 8) << '\n';
  setsym();
  int nsym = 0, icent = 0, ncent = 0;
  getsym(nsym, icent, ncent);
  if (na > kNpkmax) quit("na > namax");
  g_nind = 0;
  for (int i = 0; i < na; ++i) g_flag[i] = 0;

  // Peaks filed by the raster cell of their position, so that the peaks
  // lying at an image of a position are looked up instead of searched for
  // by a pass over all peaks for every element of the group.
  const int idm = dimension();
  std::vector<std::pair<std::uint64_t, int>> cells(na);
  for (int i = 0; i < na; ++i) {
    long long c[6];
    for (int d = 0; d < idm; ++d) c[d] = rastercell(x[6 * i + d]);
    cells[i] = {cellkey(c, idm), i};
  }
  std::sort(cells.begin(), cells.end());
  auto flagimage = [&](const float* y) {
    // A component within the tolerance of a cell edge may match a peak
    // filed in the neighbouring cell: look in both.
    long long c[6], alt[6];
    int nalt = 0, which[6];
    for (int d = 0; d < idm; ++d) {
      c[d] = rastercell(y[d]);
      const long long a = rasteralt(y[d]);
      if (a != c[d]) {
        alt[nalt] = a;
        which[nalt++] = d;
      }
    }
    for (int mask = 0; mask < (1 << nalt); ++mask) {
      long long cc[6];
      for (int d = 0; d < idm; ++d) cc[d] = c[d];
      for (int b = 0; b < nalt; ++b)
        if (mask & (1 << b)) cc[which[b]] = alt[b];
      const std::uint64_t key = cellkey(cc, idm);
      auto it = std::lower_bound(cells.begin(), cells.end(), std::make_pair(key, -1));
      for (; it != cells.end() && it->first == key; ++it) {
        const int j = it->second;
        if (g_flag[j] == 0 && rcpmp1(x + 6 * j, y)) g_flag[j] = 2;
      }
    }
  };

  static float xind[6 * kMamax], pind[kMamax];
  int nind = 0;
  for (int i = 0; i < na; ++i) {
    if (g_flag[i] != 0) continue;
    if (++nind > kMamax) quit("number of independent atoms > mamax");
    for (int e = 0; e < 6; ++e) xind[6 * (nind - 1) + e] = x[6 * i + e];
    pind[nind - 1] = p[i];
    g_flag[i] = 1;
    // Every peak at an image of this one belongs to its class.
    float y[6];
    for (const SpgOp& g : g_spg) {
      applyop(g, x + 6 * i, y);
      flagimage(y);
    }
  }
  out() << "number of independent peaks " << fmt_i(nind, 6) << '\n';

  static int mult[kMamax], order[kMamax], perm[kMamax];
  sitesy1(nind, xind, mult, order);

  out() << "  no  multpl. peak     coordinates\n";
  static float sorted[kMamax];
  for (int i = 0; i < nind; ++i) sorted[i] = pind[i];
  qsortd(sorted, perm, nind);
  for (int i = 0; i < nind; ++i) {
    const int b = perm[i] - 1;
    out() << fmt_i(i + 1, 4) << fmt_i(mult[b], 9) << fmt_e(sorted[i], 12, 5);
    for (int d = 0; d < idm; ++d) out() << fmt_f(xind[6 * b + d], 8, 4);
    out() << '\n';
    for (int e = 0; e < 6; ++e) g_indx[6 * i + e] = xind[6 * b + e];
    g_indp[i] = sorted[i];
    g_indmult[i] = mult[b];
  }
  g_nind = nind;
}

void getpeakcrd(float& dmin, float* xmn, float& dmax, float* xmx) {
  getpeakcrd(getabcdr(), dmin, xmn, dmax, xmx);
}

void getpeakcrd(const float* map, float& dmin, float* xmn, float& dmax, float* xmx) {
  const long long nt = getnt();
  long long jmin = 0, jmax = 0;
  for (long long j = 1; j < nt; ++j) {
    if (map[j] > map[jmax]) jmax = j;
    if (map[j] < map[jmin]) jmin = j;
  }
  dmin = map[jmin];
  dmax = map[jmax];
  gridtox(static_cast<int>(jmin), xmn);
  gridtox(static_cast<int>(jmax), xmx);
}

int getnpeak() { return g_nind; }

void resetpeaks() {
  // The peak tables are read only up to their counts.
  g_nind = 0;
  g_symready = false;
  g_nsym = g_icent = 0;
  g_ctr.clear();
  g_spg.clear();
}

void getpeak(int i, float* x, float& height, int& mult) {
  for (int e = 0; e < 6; ++e) x[e] = g_indx[6 * i + e];
  height = g_indp[i];
  mult = g_indmult[i];
}

}  // namespace trovan
