#include "reflections/expand.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "crystal/crystal.hpp"
#include "reflections/hklread.hpp"
#include "reflections/screen.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/runstate.hpp"
#include "util/stop.hpp"
#include "util/workgrid.hpp"

namespace trovan {

namespace {
// A real as a list-directed write shows it.
std::string ld(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%16.8g", v);
  return buf;
}

// The projection vectors in the grid basis: h.p = h_grid.(M^-1 p).
std::vector<std::array<double, 6>> projections(const Setting& set, const RunState& rs) {
  std::vector<std::array<double, 6>> out;
  const int n = rs.iprj;
  if (n == 0) return out;
  double mi[36];
  getsetmtrxinv(set, mi);
  for (int k = 0; k < n; ++k) {
    int p[6];
    getprjvector(rs, k, p);
    std::array<double, 6> q{};
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) q[i] += mi[at(i, j)] * p[j];
    out.push_back(q);
  }
  return out;
}

bool projected(const int* hg, const std::vector<std::array<double, 6>>& prj) {
  for (const auto& q : prj) {
    double s = 0;
    for (int i = 0; i < 6; ++i) s += hg[i] * q[i];
    if (std::fabs(s) > 0.5) return true;
  }
  return false;
}

struct SpreadCount {
  long long used = 0, skipped = 0;
};

// The one expansion: every reflection m (grid index j[m]) at its images
// h.R_grid with the phase shift exp(+2 pi i h.tau) = c + i s (none, c = 1
// and s = 0, for |F|^2 under the rotations alone: `rotations_only`), each
// with its Friedel mate (conj), handed to put(grid index, m, c, s, conj).
template <class Put>
void spread(const Grid& g, int n, const int* j, bool rotations_only, const std::vector<std::array<double, 6>>& prj,
            SpreadCount& count, Put put) {
  const int nt = static_cast<int>(getnt(g));
  const int nsymo = static_cast<int>(g.ops.size());
  for (int m = 0; m < n; ++m) {
    if (j[m] <= 0 || j[m] >= nt) quit("grid index out of range in setffromf0");
    int h[6], hr[6];
    getitohkl(g, j[m], h);
    for (int i = 1; i <= nsymo; ++i) {
      gethrg(g, h, hr, i, 0);
      if (projected(hr, prj)) continue;
      if (iskip(g, hr)) {
        ++count.skipped;
        continue;
      }
      double c = 1, s = 0;
      if (!rotations_only) {
        const double phi = kTwoPi * getytg(g, h, i, 0);
        c = std::cos(phi);
        s = std::sin(phi);
      }
      put(getxyztoj(g, hr), m, c, s, false);
      for (int e = 0; e < 6; ++e) hr[e] = -hr[e];
      put(getxyztoj(g, hr), m, c, s, true);
      count.used += 2;
    }
  }
}

// The value of an image of F = fr + i fi: rotated by c + i s in double
// (not at all under the rotations alone) and rounded once, conjugated for
// a Friedel mate.
inline void imagevalue(float fr, float fi, double c, double s, bool conj, bool rotations_only,
                       float& re, float& im) {
  double r = fr, i = fi;
  if (!rotations_only) {
    r = fr * c - fi * s;
    i = fi * c + fr * s;
  }
  re = static_cast<float>(r);
  im = static_cast<float>(conj ? -i : i);
}

// The expansion with the values: put(grid index, real part, imaginary part).
template <class Put>
void spreadvalues(const Grid& g, int n, const int* j, const float* fr, const float* fi, bool rotations_only,
                  const std::vector<std::array<double, 6>>& prj, SpreadCount& count, Put put) {
  spread(g, n, j, rotations_only, prj, count, [&](int jr, int m, double c, double s, bool conj) {
    float re, im;
    imagevalue(fr[m], fi[m], c, s, conj, rotations_only, re, im);
    put(jr, re, im);
  });
}

// The reflection conditions of the centring, for the screening: 1 when the
// centring forbids h. An index that is no reflection of the superstructure
// cell, or an unknown centring letter, stops the run.
int centringforbids(const Setting& set, const int* h) {
  int hg[6];
  switch (htophstatus(set, h, hg)) {
    case 0: return 0;
    case 1: return 1;
    case 2: quit("nonallowd reflections");
    default: quit("invalid brv");
  }
}

// Every element of the group on indices: the operators and, in a
// centrosymmetric group, their images under the inversion (-R, -tau).
std::vector<SymElement> groupelements(const Group& grp) {
  std::vector<SymElement> g;
  for (int i = 1; i <= grp.nsymo(); ++i)
    for (int k = 0; k <= grp.ncent(); ++k) {
      SymElement e;
      const Op& op = grp.ops[i - 1];
      for (int q = 0; q < kDim2; ++q) e.r[q] = op.rot[q];
      for (int q = 0; q < kDim; ++q) e.t[q] = op.t(q);
      if (k != 0) {
        for (int& v : e.r) v = -v;
        for (double& v : e.t) v = -v;
      }
      g.push_back(e);
    }
  return g;
}

void wthkl(const int* h, int idm) {
  for (int i = 0; i < idm; ++i) out() << fmt_i(h[i], 4);
}

}  // namespace

int isprj(const RunState& rs, const int* h) {
  const int n = rs.iprj;
  for (int k = 0; k < n; ++k) {
    int p[6];
    getprjvector(rs, k, p);
    long long s = 0;
    for (int i = 0; i < 6; ++i) s += static_cast<long long>(h[i]) * p[i];
    if (s != 0) return 1;
  }
  return 0;
}

void setbeq(const RunState& rs, WorkGrid& w, float a, float b, int j) {
  float* ar = getabcdr(w);
  float* ai = getabcdi(w);
  if (ismem(rs) || isfourier(rs) || isdfourier(rs)) {
    ar[j] = a;
    ai[j] = b;
  } else if (ispatterson(rs)) {
    ar[j] = a * a + b * b;
  } else {
    quit("invalid iplot");
  }
}

void setari0(Observations& obs, float a, float b, float sigma, int j, const int* h) {
  if (obs.size() >= kMaxInd) quit("more than " + std::to_string(kMaxInd) + " independent reflections");
  obs.j.push_back(j);
  obs.a.push_back(a);
  obs.b.push_back(b);
  obs.sigma.push_back(sigma);
  std::array<int, 6> hh{};
  for (int i = 0; i < 6; ++i) hh[i] = h[i];
  obs.h.push_back(hh);
}

void setffromf0(const Crystal& c, const RunState& rs, WorkGrid& w, int n, const int* j, const float* fr,
                const float* fi, float f000) {
  if (getnt(c.grid) > getworkgridsize(w)) quit("nt > nts in setffromf0");
  const long long nt = getnt(c.grid);
  float* a = getabcdr(w);
  float* b = getabcdi(w);
  for (long long m = 0; m < nt; ++m) a[m] = b[m] = 0.0f;
  SpreadCount count;
  spreadvalues(c.grid, n, j, fr, fi, false, projections(c.setting, rs), count, [&](int jr, float re, float im) {
    a[jr] = re;
    b[jr] = im;
  });
  a[0] = f000;
  b[0] = 0.0f;
}

namespace {

void makeplan(const Grid& g, int n, const int* j, const std::vector<std::array<double, 6>>& prj, SpreadPlan& p) {
  struct Made {
    int jg, m;
    double c, s;
    bool conj;
  };
  std::vector<Made> made;
  SpreadCount count;
  spread(g, n, j, false, prj, count, [&](int jr, int m, double c, double s, bool conj) {
    made.push_back({jr, m, c, s, conj});
  });
  made.push_back({0, -1, 1.0, 0.0, false});
  std::stable_sort(made.begin(), made.end(), [](const Made& x, const Made& y) { return x.jg < y.jg; });
  p.jg.clear(), p.m.clear(), p.c.clear(), p.s.clear(), p.conj.clear();
  for (std::size_t r = 0; r < made.size(); ++r)
    if (r + 1 == made.size() || made[r + 1].jg != made[r].jg) {
      p.jg.push_back(made[r].jg);
      p.m.push_back(made[r].m);
      p.c.push_back(made[r].c);
      p.s.push_back(made[r].s);
      p.conj.push_back(made[r].conj);
    }
}

}  // namespace

const SpreadPlan& spreadplan(const Crystal& c, const RunState& rs, int n, const int* j, SpreadPlan& p,
                             bool keyed) {
  const std::vector<std::array<double, 6>> prj = projections(c.setting, rs);
  const long long stamp = c.grid.stamp;
  const int nsymo = static_cast<int>(c.grid.ops.size());
  if (p.stamp != stamp || p.nsymo != nsymo || p.prj != prj || p.key.size() != static_cast<std::size_t>(n) ||
      (keyed && !std::equal(j, j + n, p.key.begin()))) {
    makeplan(c.grid, n, j, prj, p);
    p.stamp = stamp;
    p.nsymo = nsymo;
    p.prj = prj;
    p.key.assign(j, j + n);
    ++p.made;
  }
  return p;
}

void getffromf0(const Crystal& c, const RunState& rs, int n, const int* j, const float* fr, const float* fi,
                float f000, SpreadPlan& p, std::vector<FCoef>& list) {
  spreadplan(c, rs, n, j, p);
  // The values as setffromf0 computes them: rotated in double, rounded once.
  list.resize(p.jg.size());
  for (std::size_t w = 0; w < list.size(); ++w) {
    const int m = p.m[w];
    if (m < 0) {
      list[w] = {0, f000, 0.0f};
      continue;
    }
    list[w].j = p.jg[w];
    imagevalue(fr[m], fi[m], p.c[w], p.s[w], p.conj[w] != 0, false, list[w].re, list[w].im);
  }
}

Observations reordered(const Observations& obs, const std::vector<int>& order) {
  Observations r = obs;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::size_t k = static_cast<std::size_t>(order[i]);
    r.j[i] = obs.j[k];
    r.a[i] = obs.a[k];
    r.b[i] = obs.b[k];
    r.sigma[i] = obs.sigma[k];
    r.h[i] = obs.h[k];
  }
  return r;
}

Observations symstf(Crystal& c, const RunState& rs, WorkGrid& w, Reflections& refl) {
  const Grid& g = c.grid;
  const long long nt = getnt(g);
  const int idm = c.group.idm;
  const int nsymo = c.group.nsymo();
  const int nref = refl.size();
  if (nt > getworkgridsize(w)) quit("nt > nts in symstf");
  float* ar = getabcdr(w);
  float* ai = getabcdi(w);
  for (long long j = 0; j < nt; ++j) ar[j] = ai[j] = 0;

  if (!(ismem(rs) || isfourier(rs) || isdfourier(rs) || ispatterson(rs))) quit("invalid iplot");
  const Tofofc t = scaletofofc(rs);
  // The origin term: F(000) for a Fourier or maximum-entropy map, none for a
  // difference map, F(000)^2 for a Patterson map (its coefficients are |F|^2).
  ar[0] = isdfourier(rs) ? 0.0f : (ispatterson(rs) ? t.f000 * t.f000 : t.f000);
  if (!std::isfinite(ar[0])) quit("f000 squared out of range for the Patterson map: reduce fmag=");
  out() << "expansion by symmetry: grid points, reflections kept, symmetry operators, F(000), scale\n";
  out() << " nt,is,nsymo,f000,fact=" << fmt_i(nt, 12) << fmt_i(nref, 12) << fmt_i(nsymo, 12)
        << ld(t.f000) << ld(1.0) << '\n';

  if (nref > kNhmax) quit("is > nhmax in symstf");
  if (nref == 0) quit("is =0 in symstf");
  setsmopprm(c.grid, c.group, c.setting);

  std::vector<HklRecord> records(nref);
  for (int k = 0; k < nref; ++k) {
    HklRecord& r = records[k];
    for (int i = 0; i < 6; ++i) r.h[i] = refl.h[k][i];
    r.cs = refl.cosphs[k];
    r.sn = refl.sinphs[k];
    r.fo = refl.fo[k];
    r.fc = refl.fc[k];
    r.sigma = refl.sigma[k];
    // The phase in whole degrees, as the file gives it.
    double deg = filephasedeg(todeg(atan3(r.sn, r.cs)), refl.phsign);
    deg += deg >= 0 ? 0.0001 : -0.0001;
    refl.iphs[k] = static_cast<int>(deg);
    bool zero = true;
    for (int i = 0; i < 6; ++i) zero = zero && r.h[i] == 0;
    if (zero) {
      out() << "hr=";
      for (int l = 0; l < 6; ++l) out() << fmt_i(0, 4);
      out() << '\n' << "if hr=0 0 0 0 0 0 note that blank line\n" << "in flnm1 is inhibited\n";
      quit("index=0 in symstf");
    }
    if (ismem(rs) && !(r.sigma > 0)) {
      std::string h;
      for (int i = 0; i < idm; ++i) h += fmt_i(r.h[i], 4);
      quit("sigma should be positive for the maximum-entropy fit: reflection" + h);
    }
  }

  // What the group forbids, and records of one class, before anything is
  // stored.
  ScreenRules rules;
  rules.group = groupelements(c.group);
  rules.centring_forbids = [&c](const int* h) { return centringforbids(c.setting, h); };
  rules.phases = !ispatterson(rs);
  rules.phsign = refl.phsign;
  rules.idm = idm;
  ScreenReport rep;
  const std::vector<HklRecord> kept = screenhkl(records, rules, rep);
  std::vector<HklRecord>().swap(records);
  if (rep.absent > 0) {
    warn(fmt_i(rep.absent, 9) + " systematically absent reflections left out (the first ten):");
    for (const HklRecord& r : rep.absent_first) {
      wthkl(r.h, idm);
      out() << fmt_f(r.fo, 10, 2) << '\n';
    }
  }
  if (rep.merged_classes > 0) {
    std::string text = fmt_i(rep.merged_records, 9) + " symmetry-equivalent records merged into" +
                       fmt_i(rep.merged_classes, 9) + " reflections; largest disagreement " +
                       fmt_f(rep.worst_fo, 10, 2) + " in Fo at";
    for (int i = 0; i < idm; ++i) text += fmt_i(rep.worst_h[i], 4);
    if (rules.phases) {
      text += ',';
      text += fmt_f(rep.worst_phase, 7, 1);
      text += " degrees in phase";
    }
    warn(text);
  }

  // Strongest reflections first (the order of the independent list).
  const int nkept = static_cast<int>(kept.size());
  std::vector<float> keys(nkept);
  std::vector<int> order(nkept);
  for (int k = 0; k < nkept; ++k) keys[k] = ispatterson(rs) ? kept[k].fo : kept[k].fc;
  if (nkept > 0) qsortd(keys.data(), order.data(), nkept);

  const auto prj = projections(c.setting, rs);
  std::vector<int> js;
  std::vector<float> fr, fi;
  js.reserve(nkept);
  fr.reserve(nkept);
  fi.reserve(nkept);
  Observations obs;
  obs.phsign = refl.phsign;
  obs.idm = idm;
  long long skipped = 0, partial_classes = 0;
  for (int kk = 0; kk < nkept; ++kk) {
    const HklRecord& r = kept[order[kk] - 1];
    int hg[6];
    htoph(c.setting, r.h, hg);
    // A reflection whose symmetry class lies only partly on the grid is left
    // out whole: its images inside alone would give a map without the
    // symmetry of the group (and the asymmetric unit would not represent
    // it). Images that a projection removes do not count.
    int inside = 0, outside = 0;
    for (int i = 1; i <= nsymo; ++i) {
      int hr[6];
      gethrg(g, hg, hr, i, 0);
      if (projected(hr, prj)) continue;
      if (iskip(g, hr)) ++outside;
      else ++inside;
    }
    if (outside > 0) {
      skipped += inside + outside;
      if (inside > 0) ++partial_classes;
      continue;
    }
    float a = r.fo * r.cs, b = r.fo * r.sn;
    if (isdfourier(rs)) {
      a -= r.fc * r.cs;
      b -= r.fc * r.sn;
    }
    if (ispatterson(rs)) {
      a = r.fo * r.fo;
      b = 0;
    }
    if (r.fo > obs.cfmax) obs.cfmax = r.fo;
    const int j = getxyztoj(g, hg);
    js.push_back(j);
    fr.push_back(a);
    fi.push_back(b);
    if (!projected(hg, prj)) setari0(obs, r.fo * r.cs - (isdfourier(rs) ? r.fc * r.cs : 0.0f),
                                     r.fo * r.sn - (isdfourier(rs) ? r.fc * r.sn : 0.0f), r.sigma, j, r.h);
  }
  SpreadCount count;
  spreadvalues(g, static_cast<int>(js.size()), js.data(), fr.data(), fi.data(), ispatterson(rs), prj, count,
         [&](int jr, float re, float im) {
           ar[jr] = re;
           ai[jr] = im;
         });
  obs.f000 = ar[0];
  out() << "f000 used in the calculation =" << ld(ar[0]) << '\n';
  out() << "coefficients on the grid (every symmetry image and Friedel mate), and those beyond it "
           "(raise hmax=)\n";
  out() << "number of reflections used   =" << fmt_i(count.used, 12) << '\n';
  out() << "number of skipped reflections=" << fmt_i(skipped + count.skipped, 12) << '\n';
  // Reflections beyond the grid are missing from the map: its resolution is
  // less than the data's.
  if (skipped + count.skipped > 0)
    warn(fmt_i(skipped + count.skipped, 12) +
         " reflection coefficients (symmetry images counted) lie beyond the grid and are left out of the map: "
         "raise hmax=");
  if (partial_classes > 0)
    out() << "reflections left out whole, their symmetry class lying partly outside the grid="
          << fmt_i(partial_classes, 12) << '\n';
  if (count.used == 0) quit("nref=0");
  return obs;
}

}  // namespace trovan
