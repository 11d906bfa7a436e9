#include "density/mem.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
#include "density/memupdate.hpp"
#include "density/synthesis.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "reflections/expand.hpp"
#include "reflections/hklread.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"
#include "util/threads.hpp"
#include "util/vecmath.hpp"
#include "util/vectorclones.hpp"

namespace trovan {

namespace {

void savenewvalue(MemState& st, const Density& d, float f0) {
  st.trial = false;
  st.spare.prev = true;
  st.spare.retry = false;
  st.saved_fcr = d.fcr;
  st.saved_fci = d.fci;
  st.saved_f0 = f0;
}

float restoreoldvalue(MemState& st, Density& d) {
  MemSpare& sp = st.spare;
  sp.prev = false;
  sp.retry = false;
  if (st.trial) {
    d.swap();
    st.trial = false;
    if (sp.last_ok && sp.last_kind != MemTrial::rescaled) {
      sp.retry = true;
      sp.retry_ex = sp.last_ex;
      sp.retry_imode = sp.last_imode;
      sp.retry_kind = sp.last_kind;
    }
  }
  for (std::size_t k = 0; k < st.saved_fcr.size(); ++k) {
    d.fcr[k] = st.saved_fcr[k];
    d.fci[k] = st.saved_fci[k];
  }
  getdmx(d);
  return st.saved_f0;
}

// The loops over the stored density values are cut into blocks of a fixed
// size and the blocks shared among the threads. A sum is made block by
// block and the block sums added in block order: it comes out the same bit
// for bit with any number of threads.
constexpr long long kBlock = 1 << 15;

// Every stored density value must be positive: the update multiplies it.
// Called when a pass over the list found one that is not: names the first.
void notpositive(const Grid& g, Density& d, const float* x, int n) {
  const int* jx = getxr0grid(g, d);
  for (int i = 0; i < n; ++i) {
    if (!(x[i] > 0)) {
      out() << "j,br(j),x" << fmt_i(jx[i], 10) << fmt_e(x[i], 12, 5) << '\n';
      quitat("xr0 <= 0 so mem does not work",
             "the start density read from the density file (icont=1) has values <= 0, as a Fourier map has: "
             "start afresh with icont=0");
    }
  }
}

// The field of a cycle number: i3, widened for four digits and more rather
// than filled with asterisks.
int cyclewidth(int it) {
  int w = 1;
  for (int v = it; v >= 10; v /= 10) ++w;
  return std::max(w, 3);
}

// The weight of each independent reflection in the difference map: 1 over
// the number of grid points its symmetry images and Friedel mates fill.
// The synthesis puts the difference at every image, so without it the map
// would be the gradient of a c2 summed over all images (an axial
// reflection of a cubic crystal counting 6 times, a general one 48 times);
// with it the map is the gradient of the c2 that is measured and tested,
// summed over the independent reflections, each once.
void reflection_weights(const Grid& g, const Observations& obs, std::vector<float>& w) {
  const int n = obs.size();
  const int* js = obs.j.data();
  const int nsymo = static_cast<int>(g.ops.size());
  w.assign(n, 1.0f);
  std::vector<int> seen;
  for (int k = 0; k < n; ++k) {
    int h[6], hr[6];
    getitohkl(g, js[k], h);
    seen.clear();
    for (int i = 1; i <= nsymo; ++i) {
      gethrg(g, h, hr, i, 0);
      if (iskip(g, hr)) continue;
      seen.push_back(getxyztoj(g, hr));
      for (int e = 0; e < 6; ++e) hr[e] = -hr[e];
      seen.push_back(getxyztoj(g, hr));
    }
    std::sort(seen.begin(), seen.end());
    const auto m = std::unique(seen.begin(), seen.end()) - seen.begin();
    if (m > 0) w[k] = 1.0f / static_cast<float>(m);
  }
}

// Reflections in a part of the loops over the list that sum or take the
// largest value (the agreement sums, the fit value): the parts are made by
// all the threads and taken in the list's order, so that what comes out
// does not depend on the number of threads.
constexpr int kFitChunk = 1 << 14;
// Reflections per part of a thread in the loops that call pow for each
// (the moments of the residuals).
constexpr long long kTermGrain = 2048;

// x^(e/2), x a squared normalised residual: for an even e (the moments of
// even order, every default) a whole power by multiplication, some ten times
// as fast as pow and as exact in double, which for a list of a million
// reflections is most of a cycle's time outside the transforms; pow for an
// odd e.
double halfpow(double x, int e) {
  if (e % 2 != 0) return std::pow(x, 0.5 * e);
  double r = 1;
  for (int m = e / 2; m > 0; m >>= 1) {
    if (m & 1) r *= x;
    x *= x;
  }
  return r;
}

// |Fo - Fc|^2 / sigma^2 of independent reflection k, Fc that of the
// density d.
double zsquared(const Density& d, const Observations& obs, int k) {
  const double dr = double(obs.a[k]) - d.fcr[k], di = double(obs.b[k]) - d.fci[k];
  const double sig = obs.sigma[k];
  return (dr * dr + di * di) / (sig * sig);
}

// The order of a satellite: the sum of |m| over the internal indices (0 for
// a main reflection).
int satellite_order(int ndm, const std::array<int, 6>& h) {
  int o = 0;
  for (int i = 3; i < 3 + ndm && i < 6; ++i) o += std::abs(h[i]);
  return o;
}

// Whether the independent reflections include satellites (a modulated
// crystal's data): their main reflections are strong and their satellites
// weak, and fitted with n = 2 the satellites go far below their noise while
// the main reflections stay above it.
bool has_satellites(const Lattice& l, const Observations& obs) {
  if (l.isys != 0 || l.ndm < 1) return false;
  for (const auto& h : obs.h)
    if (satellite_order(l.ndm, h) > 0) return true;
  return false;
}

// The order the data get when fn= is not given: 8 for data with satellites
// (with it a displacive wave comes out single-valued near its amplitude,
// where n = 2 splits the atom and exaggerates the wave); for quasicrystals
// 2 (higher orders cost hundreds of cycles and leave the |q_perp| shells as
// far apart, stalling on the few reflections a positive map cannot fit).
constexpr int kSatelliteOrder = 8;

// The order for the data of an ordinary crystal, when the run stops at the
// noise level: the strong reflections carry sigmas proportional to |F| and
// the fit of c2 = 1 leaves a few of them far outside their noise while the
// weak ones are fitted below it; the map that c2 alone lets through has its
// peaks too high by half or more (5 % data of a Gaussian-atom perovskite:
// R_rho 0.46, O at twice its height). The highest moment holds every
// reflection nearer its noise: over eight noise draws R_rho 0.13-0.28, Sr
// and Ti within 20 %, in fewer cycles; the light O still comes out up to
// 1.8 times its height, more with reflections missing (tools/memnoise). A
// run without the chi-square stop (c2min=0) fits as far as it can and
// follows c2.
constexpr int kPeriodicOrder = 16;

int defaultorder(const Lattice& l, const Observations& obs, float c2min) {
  if (has_satellites(l, obs)) return kSatelliteOrder;
  if (l.isys == 0 && l.ndm == 0 && c2min > 0) return kPeriodicOrder;
  return 2;
}

// The weights of the difference map: 1/m (reflection_weights), times the
// weight of the reflection's class (data with classes), times |z|^(n-2)
// scaled by its largest value (the step is scaled by the largest |h w|
// anyway, and no weight can overflow).
const float* stepweights(MemState& st, const Density& d, const Observations& obs) {
  const bool classes = !st.classw.empty();
  if (st.fn == 2 && !classes) return st.dfw.data();
  const int n = obs.size();
  st.stepw.resize(n);
  if (st.fn == 2) {
    for (int k = 0; k < n; ++k) st.stepw[k] = st.dfw[k] * st.classw[k];
    return st.stepw.data();
  }
  // The powers (most of the time of this function) by
  // all the threads; the largest is the same in any order (std::max keeps
  // its first argument against a NaN, and 0 is never one).
  std::vector<double> p(n);
  parallel_for(n, kTermGrain, [&](long long lo, long long hi) {
    for (long long k = lo; k < hi; ++k) p[k] = halfpow(zsquared(d, obs, static_cast<int>(k)), st.fn - 2);
  });
  double pmax = 0;
  for (int k = 0; k < n; ++k) pmax = std::max(pmax, p[k]);
  if (!(pmax > 0) || !std::isfinite(pmax)) {
    if (!classes) return st.dfw.data();
    for (int k = 0; k < n; ++k) st.stepw[k] = st.dfw[k] * st.classw[k];
    return st.stepw.data();
  }
  parallel_for(n, kTermGrain, [&](long long lo, long long hi) {
    for (long long k = lo; k < hi; ++k)
      st.stepw[k] = static_cast<float>(st.dfw[k] * (classes ? st.classw[k] : 1.0f) * (p[k] / pmax));
  });
  return st.stepw.data();
}

}  // namespace

// What a trial step is judged by: c2 itself for n = 2, else
//   Cn = sum |z|^n / (m_n nind),  m_n = (n-1)!! = E|z|^n of a normal variable,
// as Cn^(2/n), which orders trials the same way, is 1 for normal residuals
// like c2, and stays within single precision when Cn would not (|z| of a
// few hundred, precise data far from fitted, makes z^16 overflow it): the
// sum is taken relative to the largest z^2. With class weights (which
// average 1 over the reflections) each term counts with its class's
// weight: the step is judged by the constraint whose gradient it follows.
float fitvalue(const MemState& st, const Density& d, const Observations& obs, float c2) {
  const bool classes = !st.classw.empty();
  const int n = obs.size();
  if (st.fn == 2) {
    if (!classes) return c2;
    double s = 0;
    for (int k = 0; k < n; ++k) s += st.classw[k] * zsquared(d, obs, k);
    return static_cast<float>(s / n);
  }
  double mn = 1, zmax = 0;
  for (int i = st.fn - 1; i > 1; i -= 2) mn *= i;
  // The largest z^2 by parts, by all the threads (the same in any order, as
  // in stepweights); then the terms, a power each, made by all the threads a
  // part at a time and added in the list's order: the sum of one pass.
  const long long parts = (n + kFitChunk - 1) / kFitChunk;
  std::vector<double> partmax(static_cast<std::size_t>(parts), 0.0);
  parallel_for(parts, 1, [&](long long b0, long long b1) {
    for (long long b = b0; b < b1; ++b) {
      double m = 0;
      for (long long k = b * kFitChunk; k < std::min<long long>(n, (b + 1) * kFitChunk); ++k)
        m = std::max(m, zsquared(d, obs, static_cast<int>(k)));
      partmax[b] = m;
    }
  });
  for (double m : partmax) zmax = std::max(zmax, m);
  if (!(zmax > 0) || !std::isfinite(zmax)) return zmax > 0 ? c2 : 0.0f;
  double s = 0;
  std::vector<double> term(static_cast<std::size_t>(std::min<long long>(n, kFitChunk)));
  for (long long k0 = 0; k0 < n; k0 += kFitChunk) {
    const long long len = std::min<long long>(kFitChunk, n - k0);
    parallel_for(len, kTermGrain, [&](long long lo, long long hi) {
      for (long long i = lo; i < hi; ++i) {
        const int k = static_cast<int>(k0 + i);
        term[i] = (classes ? st.classw[k] : 1.0f) * halfpow(zsquared(d, obs, k) / zmax, st.fn);
      }
    });
    for (long long i = 0; i < len; ++i) s += term[i];
  }
  return static_cast<float>(zmax * std::pow(s / (mn * n), 2.0 / st.fn));
}

namespace {

// The factor by which the c2 of two classes may differ before the listing
// warns: beyond it the map is fitted to the noise of some classes and not
// of others.
constexpr double kClassSpread = 1.5;

}  // namespace

float memfloor(float f000, float vol) { return kMemFloor * f000 / vol; }

void memprior(const Crystal& c, Density& d, float f000) {
  std::vector<unsigned char> m;
  getxr0orbits(c.grid, d, m);
  const float vol = c.lattice.vol;
  const float floor = kPriorFloor * f000 / vol;
  float* x = d.x();
  double total = 0;
  for (int i = 0; i < d.nxr0; ++i) {
    if (!(x[i] > floor)) x[i] = floor;  // a NaN too
    total += double(m[i]) * x[i];
  }
  const float k = static_cast<float>(double(f000) * static_cast<double>(getnt(c.grid)) / (double(vol) * total));
  for (int i = 0; i < d.nxr0; ++i) x[i] *= k;
  getdmx(d);
}

float memweight(float rho, float rhomean, int imode) {
  if (imode == 2) return 1.0f;
  if (imode != 1) {
    out() << "imode=" << imode << '\n';
    quit("invalid imode in expand2");
  }
  // 1/sqrt(V rho + F000/1000) up to the factor sqrt(F000), which the
  // normalisation by the largest |h w| takes out.
  return 1.0f / std::sqrt(rho / rhomean + 1e-3f);
}

float expand1(float rho, float t) { return rho * expv(t); }

namespace {

// sum over blocks of f(lo, hi), f returning the (double) sum of its block.
template <class F>
double blocksum(long long n, F f) {
  const long long nb = (n + kBlock - 1) / kBlock;
  std::vector<double> part(static_cast<std::size_t>(nb), 0.0);
  parallel_for(nb, 2, [&](long long b0, long long b1) {
    for (long long b = b0; b < b1; ++b) part[b] = f(b * kBlock, std::min(n, (b + 1) * kBlock));
  });
  double s = 0;
  for (double v : part) s += v;
  return s;
}

// Blocks of the density list whose stored points are consecutive grid
// points (in P-1 nearly all): there the difference map is read as one run
// and the list of grid indices is not read at all.
void findruns(std::vector<unsigned char>& runs, const int* jx, int n) {
  runs.assign(static_cast<std::size_t>((n + kBlock - 1) / kBlock), 0);
  for (std::size_t b = 0; b < runs.size(); ++b) {
    const long long lo = static_cast<long long>(b) * kBlock, hi = std::min<long long>(n, lo + kBlock);
    bool run = true;
    for (long long i = lo; i < hi && run; ++i) run = jx[i] == jx[lo] + static_cast<int>(i - lo);
    runs[b] = run;
  }
}

// The difference map at the stored points [lo, hi), into q[0 .. hi-lo).
void mapatblock(const std::vector<unsigned char>& runs, const HalfMap& h, const int* jx, long long lo,
                long long hi, float* q) {
  if (runs[lo / kBlock])
    halfmaprun(h, jx[lo], hi - lo, q);
  else
    halfmapat(h, jx + lo, hi - lo, q);
}

// The Sakata-Sato normalisation of a trial whose cell total is `total`
// (sum over stored points of orbit size times value): (V/nt) sum m_i rho_i
// = F(000), with the floor applied to the scaled values (a point raised to
// the floor adds at most a millionth of F(000) to the total). Then the
// extrema and the structure factors of the trial; returns its F000.
float normalise(const Crystal& c, WorkGrid& w, Density& d, const Observations& obs, double total, float f000) {
  const float vol = c.lattice.vol;
  const float floor = memfloor(f000, vol);
  const float k = static_cast<float>(double(f000) * static_cast<double>(getnt(c.grid)) / (double(vol) * total));
  return maphklscaled(c, w, d, obs, k, floor);
}

// Makes the spare list the current one (the trial), once per trial.
void make_trial_current(MemState& st, Density& d) {
  if (!st.trial) {
    d.swap();
    st.trial = true;
  }
}

}  // namespace

// One trial step: difference map, update, normalisation to F(000),
// extrema, new structure factors. False when the step was so large that a
// density value overflowed single precision or is not a number: the caller
// takes it back and halves ex. A value that underflows is held at the
// floor, like one that would merely fall below it.
bool denmodmem(const Crystal& c, const RunState& rs, WorkGrid& w, MemState& st, Density& d,
               const Observations& obs, float ex, float f000, int imode, float& f0new) {
  const int n = d.nxr0;
  const int* jx = getxr0grid(c.grid, d);
  if (st.orbit.size() != static_cast<std::size_t>(n)) {
    getxr0orbits(c.grid, d, st.orbit);
    findruns(st.runs, jx, n);
  }
  const unsigned char* m = st.orbit.data();
  // The trial is written to the spare list, which then becomes current; the
  // accepted density stays intact in the other list until the trial is
  // judged. A further step from an unjudged trial updates it in place.
  const float* x = d.x();
  float* xnew = st.trial ? d.x() : d.spare();
  if (imode != 1 && imode != 2) memweight(1.0f, 1.0f, imode);  // stops the run
  MemSpare& sp = st.spare;
  sp.last_ok = false;
  sp.last_ex = ex;
  sp.last_imode = imode;

  // A retry after a step taken back: the same step in ln rho, scaled by
  // ex / ex of the trial (the difference map would be the same).
  if (!st.trial && sp.retry && sp.retry_imode == imode && sp.retry_ex > 0) {
    const float r = ex / sp.retry_ex;
    std::vector<unsigned char> negpart(static_cast<std::size_t>((n + kBlock - 1) / kBlock), 0);
    const double total = blocksum(n, [&](long long lo, long long hi) {
      bool nonpos = false;
      const double sum = retry_block(xnew, x, m, lo, hi, r, nonpos);
      negpart[lo / kBlock] = nonpos;
      return sum;
    });
    for (unsigned char v : negpart)
      if (v) notpositive(c.grid, d, x, n);
    sp.retry = false;
    sp.last_kind = sp.retry_kind == MemTrial::plain ? MemTrial::plain : MemTrial::rescaled;
    make_trial_current(st, d);
    sp.last_ok = true;
    f0new = normalise(c, w, d, obs, total, f000);
    return true;
  }
  sp.retry = false;

  // The update needs h = V*D with D the difference map (1/V) sum ...: the
  // synthesis before its 1/V scale is h itself. It is left on the half
  // grid and read at the stored points twice: once for the largest |h w|,
  // which sets the step, and once for the update. The first pass writes h w
  // in place of h (the work grid is not read again before the structure
  // factors overwrite it), so that the second does not weigh again: the
  // weights are a division, a root and a division a point. Only blocks read
  // as runs are kept so, weighed where they lie (weighrun) and read there
  // again by the update when they lie whole in a or in pairs of a and b.
  // Other blocks are gathered into a buffer that stays in the core's cache;
  // the gather of halfmapat loads both halves of a pair, whose other point
  // may lie in a kept block, so those blocks are read first and the kept
  // ones weighed after them, never at the same time.
  if (st.dfw.size() != static_cast<std::size_t>(obs.size())) reflection_weights(c.grid, obs, st.dfw);
  const HalfMap h = difxyzv(c, rs, w, d, obs, stepweights(st, d, obs));
  float* const wa = getabcdr(w);
  float* const wb = getabcdi(w);
  const bool keep = imode == 1 && h.a == wa && h.b == wb;
  auto kept = [&](long long lo) { return keep && st.runs[lo / kBlock]; };
  const float rhomean = f000 / c.lattice.vol;
  const long long nb = (n + kBlock - 1) / kBlock;
  std::vector<float> qpart(static_cast<std::size_t>(nb), 0.0f);
  for (const bool inplace : {false, true})
    parallel_for(nb, 2, [&](long long b0, long long b1) {
      thread_local std::vector<float> q(kBlock);
      for (long long b = b0; b < b1; ++b) {
        const long long lo = b * kBlock, hi = std::min<long long>(n, lo + kBlock);
        if (kept(lo) != inplace) continue;
        if (inplace) {
          qpart[b] = weighrun(wa, wb, h.B, jx[lo], hi - lo, x + lo, rhomean, imode);
        } else {
          mapatblock(st.runs, h, jx, lo, hi, q.data());
          qpart[b] = weigh(q.data(), x + lo, hi - lo, rhomean, imode);
        }
      }
    });
  float qmax = 0;
  for (float v : qpart) qmax = v > qmax || v != v ? v : qmax;
  const float step = qmax > 0 && std::isfinite(qmax) ? ex / qmax : 0.0f;
  // The update (continuing the last step when the spare list holds the
  // density before it), and the cell total of the new density over the
  // whole grid (each stored point counts for its orbit).
  const bool cont = sp.prev && !st.trial;
  sp.last_kind = cont ? MemTrial::continued : MemTrial::plain;
  std::vector<unsigned char> badpart(qpart.size(), 0), negpart(qpart.size(), 0);
  const double total = blocksum(n, [&](long long lo, long long hi) {
    thread_local std::vector<float> q(kBlock);
    bool bad = false, nonpos = false;
    double sum = 0;
    // A kept run is read where it lies when it is whole in a, or in pairs
    // of a and b from an even point.
    const long long p0 = jx[lo];
    if (kept(lo) && h.B == 0) {
      sum = update_block(xnew, x, wa + p0, m, lo, hi, step, cont, bad, nonpos);
    } else if (kept(lo) && h.B == 1 && p0 % 2 == 0) {
      sum = update_pairs(xnew, x, wa + p0 / 2, wb + p0 / 2, m, lo, hi, step, cont, bad, nonpos);
    } else {
      mapatblock(st.runs, h, jx, lo, hi, q.data());
      if (!kept(lo)) weigh(q.data(), x + lo, hi - lo, rhomean, imode);
      sum = update_block(xnew, x, q.data(), m, lo, hi, step, cont, bad, nonpos);
    }
    badpart[lo / kBlock] = bad;
    negpart[lo / kBlock] = nonpos;
    return sum;
  });
  for (unsigned char v : negpart)
    if (v) notpositive(c.grid, d, x, n);
  bool bad = !std::isfinite(qmax);
  for (unsigned char v : badpart) bad |= v != 0;
  sp.prev = false;
  make_trial_current(st, d);
  if (bad || !(total > 0) || !std::isfinite(total)) return false;
  sp.last_ok = true;
  f0new = normalise(c, w, d, obs, total, f000);
  return true;
}

namespace {

// ---- the search in a subspace of directions (second stage) --------------
//
// A step along the difference map alone zigzags in a valley of the
// constraint whose walls are steep and whose floor falls gently (a
// quasicrystal's strong inner |q_perp| shell against its weak outer ones,
// main reflections against satellites), and continuing a fixed share of the
// last step carries it along the floor only as far as that share happens to
// suit the valley: the F-icosahedral example took 282 cycles so, most of
// them at c2 below 2 with steps of ex2 0.01-0.05. For a quasicrystal's data
// the second-stage step in ln rho is therefore chosen in the subspace of three
// directions, in the manner of Skilling & Bryan (Mon. Not. R. Astron. Soc.
// 211 (1984) 111): the difference map g (rho g is the steepest descent of
// the constraint in the entropy's metric), the last accepted step
// p = ln(rho_n / rho_n-1) (in place of their second-derivative direction:
// with it the search is a conjugate-gradient one) and the entropy's own
// direction -ln(rho / tau), tau the run's start (the prior). Each is taken
// without its mean over the density (a constant in ln rho is undone by the
// normalisation to F(000)). The structure factors are linear in rho, so
// those of rho e for each direction e (one transform each) give Fc in the
// subspace to first order; there the constraint the trials are judged by
// (the moment of order fn with the class weights) is minimised by Newton's
// rule, and the step taken is the one of highest entropy (its quadratic
// model) among those that bring the constraint down by 1 - kGive of its
// fall to that minimum. The entropy lifts the points a pure descent leaves at the floor
// (the F-icosahedral vertex centre: 0.27 without it, 2.9 and the largest
// peak with it). The step is held within |t| <= ex at every point, a trust
// region within which the exponential stays near its tangent: ex halves on
// a step taken back, doubles after three kept and at once after a kept step
// that the region cut short.
constexpr int kMaxDirs = 3;

// The minimum over a (nd values) of sum_k u_k s_k^(fn/2),
//   s_k = |r_k - sum_j a_j D_jk|^2 / sigma_k^2,
// r the residuals Fo - Fc, D_j the structure factors of direction j, u
// the class weights (empty: 1); a stays 0 when no descent is found.
// Also gives the constraint's value at a = 0 (f0) and at the minimum
// (fmin), and its second derivatives there (hmin, nd x nd).
std::vector<double> subspacemin(const Observations& obs, const std::vector<double>& rr,
                                const std::vector<double>& ri, const std::vector<std::vector<double>>& dr,
                                const std::vector<std::vector<double>>& di, const std::vector<float>& u, int fn,
                                std::vector<double>& hmin, double& f0, double& fmin) {
  const int nd = static_cast<int>(dr.size()), nref = obs.size();
  const double q = 0.5 * fn;
  // s relative to its largest value at a = 0 (z^16 of a poor start would
  // overflow): the minimum is where it is whatever the scale.
  double smax = 0;
  for (int k = 0; k < nref; ++k)
    smax = std::max(smax, (rr[k] * rr[k] + ri[k] * ri[k]) / (double(obs.sigma[k]) * obs.sigma[k]));
  std::vector<double> a(nd, 0.0);
  hmin.assign(nd * nd, 0.0);
  f0 = fmin = 0;
  if (!(smax > 0) || !std::isfinite(smax)) return a;
  auto value = [&](const std::vector<double>& x, std::vector<double>* g, std::vector<double>* h) {
    double f = 0;
    if (g) g->assign(nd, 0.0);
    if (h) h->assign(nd * nd, 0.0);
    for (int k = 0; k < nref; ++k) {
      double er = rr[k], ei = ri[k];
      for (int j = 0; j < nd; ++j) {
        er -= x[j] * dr[j][k];
        ei -= x[j] * di[j][k];
      }
      const double w = 1 / (double(obs.sigma[k]) * obs.sigma[k] * smax);
      const double s = (er * er + ei * ei) * w, uk = u.empty() ? 1.0 : u[k];
      const double sq = q == 1 ? 1.0 : std::pow(s, q - 1);
      f += uk * s * sq;
      if (!g) continue;
      double ds[kMaxDirs];
      for (int j = 0; j < nd; ++j) ds[j] = -2 * (er * dr[j][k] + ei * di[j][k]) * w;
      for (int j = 0; j < nd; ++j) {
        (*g)[j] += uk * q * sq * ds[j];
        for (int l = 0; l < nd; ++l) {
          double hv = uk * q * sq * 2 * (dr[j][k] * dr[l][k] + di[j][k] * di[l][k]) * w;
          if (q != 1 && s > 0) hv += uk * q * (q - 1) * sq / s * ds[j] * ds[l];
          (*h)[at(j, l, nd)] += hv;
        }
      }
    }
    return f;
  };
  std::vector<double> g, h, trial(nd);
  double f = value(a, nullptr, nullptr);
  f0 = f;
  for (int it = 0; it < 30; ++it) {
    value(a, &g, &h);
    double det = 0;
    if (!matinvd(h.data(), nd, det)) break;
    std::vector<double> step(nd, 0.0);
    double gs = 0;
    for (int j = 0; j < nd; ++j) {
      for (int l = 0; l < nd; ++l) step[j] -= h[at(j, l, nd)] * g[l];
      gs += g[j] * step[j];
    }
    if (!(gs < 0)) break;  // not a descent: the Hessian is not positive there
    bool better = false;
    for (double t = 1; t > 1e-4 && !better; t *= 0.5) {
      for (int j = 0; j < nd; ++j) trial[j] = a[j] + t * step[j];
      const double ft = value(trial, nullptr, nullptr);
      if (ft < f) {
        better = true;
        f = ft;
        a = trial;
      }
    }
    if (!better) break;
    double big = 0, rel = 0;
    for (int j = 0; j < nd; ++j) {
      big = std::max(big, std::fabs(a[j]));
      rel = std::max(rel, std::fabs(step[j]));
    }
    if (rel <= 1e-6 * big) break;
  }
  fmin = value(a, &g, &hmin);
  return a;
}

// The step of the subspace that raises the entropy most while the
// constraint comes down to `aim` (between its minimum fmin at amin and its
// value at a = 0): the maximum of the entropy's quadratic model
// S(a) = S + a.s - a.G.a / 2 (G the entropy's metric on the directions)
// subject to the constraint's model fmin + (a - amin).H.(a - amin) / 2 =
// aim, by bisection on the multiplier mu of (G + mu H) a = s + mu H amin.
std::vector<double> entropic(const std::vector<double>& amin, const std::vector<double>& hmin, double fmin,
                             double aim, const std::vector<double>& gm, const std::vector<double>& sg) {
  const int nd = static_cast<int>(amin.size());
  auto solve = [&](double mu, std::vector<double>& a) {
    std::vector<double> mx(nd * nd), rhs(nd);
    for (int j = 0; j < nd; ++j) {
      rhs[j] = sg[j];
      for (int l = 0; l < nd; ++l) {
        mx[at(j, l, nd)] = gm[at(j, l, nd)] + mu * hmin[at(j, l, nd)];
        rhs[j] += mu * hmin[at(j, l, nd)] * amin[l];
      }
    }
    double det = 0;
    if (!matinvd(mx.data(), nd, det)) return false;
    a.assign(nd, 0.0);
    for (int j = 0; j < nd; ++j)
      for (int l = 0; l < nd; ++l) a[j] += mx[at(j, l, nd)] * rhs[l];
    return true;
  };
  auto model = [&](const std::vector<double>& a) {
    double f = fmin;
    for (int j = 0; j < nd; ++j)
      for (int l = 0; l < nd; ++l) f += 0.5 * (a[j] - amin[j]) * hmin[at(j, l, nd)] * (a[l] - amin[l]);
    return f;
  };
  std::vector<double> a, best = amin;
  double lo = -40, hi = 40;  // ln mu
  if (solve(std::exp(lo), a) && model(a) <= aim) return a;
  for (int k = 0; k < 60; ++k) {
    const double mid = 0.5 * (lo + hi);
    if (!solve(std::exp(mid), a)) return best;
    if (model(a) > aim) {
      lo = mid;
    } else {
      hi = mid;
      best = a;
    }
  }
  return best;
}

// The share of the constraint's fall in the subspace that a step gives up
// for entropy: at 0 (descent alone) the F-icosahedral domain centres are
// emptied; 0.3-0.75 keep its vertex centre the largest peak (0.25 did
// not), 0.3 in the fewest cycles. (Tried on a modulated crystal's data, 0.5 left the main
// reflections of the tests' wave at c2 1.34.)
constexpr double kGive = 0.3;

// One trial step of the second stage chosen in the subspace of the
// difference map, the last step and the entropy's direction (see above).
// The trial becomes the current list like one of denmodmem; `made` receives
// the largest change of ln rho at any point, `bound` whether the trust
// region cut the step short. False when the step overflowed (the caller
// takes it back).
bool subspacestep(const Crystal& c, const RunState& rs, WorkGrid& w, MemState& st, Density& d,
                  const Observations& obs, float ex, float f000, float& f0new, float& made, bool& bound) {
  const int n = d.nxr0;
  const int* jx = getxr0grid(c.grid, d);
  const unsigned char* m = st.orbit.data();
  const float* x = d.x();
  MemSpare& sp = st.spare;
  sp.last_ok = false;
  sp.last_ex = ex;
  sp.last_imode = 2;
  sp.last_kind = MemTrial::plain;
  sp.retry = false;
  if (st.dfw.size() != static_cast<std::size_t>(obs.size())) reflection_weights(c.grid, obs, st.dfw);
  // The directions, point by point: the difference map, the last step when
  // the spare list holds the density before it, and -ln(rho / tau), whose
  // gradient the entropy's is.
  std::vector<std::vector<float>> e(1, std::vector<float>(n));
  {
    const HalfMap h = difxyzv(c, rs, w, d, obs, stepweights(st, d, obs));
    for (long long lo = 0; lo < n; lo += kBlock) {
      const long long hi = std::min<long long>(n, lo + kBlock);
      mapatblock(st.runs, h, jx, lo, hi, e[0].data() + lo);
    }
  }
  if (sp.prev) {
    const float* before = d.spare();
    e.emplace_back(n);
    for (int i = 0; i < n; ++i) e.back()[i] = std::log(x[i] / before[i]);
  }
  const bool entropy = st.tau.size() == static_cast<std::size_t>(n);
  std::vector<float> lnr;
  if (entropy) {
    lnr.resize(n);
    for (int i = 0; i < n; ++i) lnr[i] = -std::log(x[i] / st.tau[i]);
    e.push_back(lnr);
  }
  double sm = 0;
  for (int i = 0; i < n; ++i) sm += double(m[i]) * x[i];
  std::vector<std::vector<double>> dr, di;
  for (std::size_t j = 0; j < e.size();) {
    double smd = 0, big = 0;
    for (int i = 0; i < n; ++i) smd += double(m[i]) * x[i] * e[j][i];
    const float mean = static_cast<float>(smd / sm);
    for (int i = 0; i < n; ++i) {
      e[j][i] -= mean;
      big = std::max(big, double(std::fabs(e[j][i])));
    }
    // A direction that is flat (the start's density for the entropy's) or
    // not finite is left out.
    if (!(big > 0) || !std::isfinite(big)) {
      e.erase(e.begin() + static_cast<long>(j));
      continue;
    }
    // Each direction scaled to a largest change of 1, and the structure
    // factors of rho e from the spare list (its content, the density
    // before the last step, is read above and not needed again).
    const float s = static_cast<float>(1 / big);
    float* list = d.spare();
    for (int i = 0; i < n; ++i) {
      e[j][i] *= s;
      list[i] = x[i] * e[j][i];
    }
    d.swap();
    maphkl(c, w, d, obs);
    d.swap();
    dr.emplace_back(d.fcr.begin(), d.fcr.end());
    di.emplace_back(d.fci.begin(), d.fci.end());
    ++j;
  }
  const int nd = static_cast<int>(e.size());
  sp.prev = false;
  std::vector<double> rr(obs.size()), ri(obs.size());
  for (int k = 0; k < obs.size(); ++k) {
    rr[k] = double(obs.a[k]) - st.saved_fcr[k];
    ri[k] = double(obs.b[k]) - st.saved_fci[k];
  }
  std::vector<double> hmin;
  double f0 = 0, fmin = 0;
  std::vector<double> a = subspacemin(obs, rr, ri, dr, di, st.classw, st.fn, hmin, f0, fmin);
  if (entropy && nd > 1 && fmin < f0) {
    std::vector<double> gm(nd * nd, 0.0), sg(nd, 0.0);
    for (int i = 0; i < n; ++i) {
      const double w = double(m[i]) * x[i] / sm;
      for (int j = 0; j < nd; ++j) {
        sg[j] += w * e[j][i] * lnr[i];
        for (int l = 0; l < nd; ++l) gm[at(j, l, nd)] += w * e[j][i] * e[l][i];
      }
    }
    a = entropic(a, hmin, fmin, fmin + kGive * (f0 - fmin), gm, sg);
  }
  // The trust region, and the step itself.
  float* xnew = d.spare();
  float big = 0;
  for (int i = 0; i < n; ++i) {
    float t = 0;
    for (int j = 0; j < nd; ++j) t += static_cast<float>(a[j]) * e[j][i];
    xnew[i] = t;
    big = std::max(big, std::fabs(t));
  }
  // No descent found in the subspace: the first direction (the difference
  // map, unless it is flat) at length ex.
  if (!(big > 0) && nd > 0) {
    for (int i = 0; i < n; ++i) xnew[i] = e[0][i];
    big = 1;
  }
  bound = big > ex;
  const float r = bound ? ex / big : 1.0f;
  made = std::min(big, ex);
  bool bad = false;
  double total = 0;
  for (int i = 0; i < n; ++i) {
    const float v = expand1(x[i], r * xnew[i]);
    bad |= !std::isfinite(v);
    xnew[i] = v;
    total += double(m[i]) * v;
  }
  make_trial_current(st, d);
  if (bad || !(total > 0) || !std::isfinite(total)) return false;
  sp.last_ok = true;
  f0new = normalise(c, w, d, obs, total, f000);
  return true;
}

}  // namespace

void chsdenmodf(int mode) {
  if (mode != 2) quit("density modification mode " + std::to_string(mode) + " is not maximum entropy (2)");
}

// The record of an accepted step.
void record(MemControl& c, float c2, float rfact, float rwfact) {
  c.count = 0;
  c.c2 = c2;
  c.rfact = rfact;
  c.rwfact = rwfact;
}

bool isreturn(MemControl& c, float c2, float rfact, float rwfact) {
  bool reject = false;
  if (!std::isfinite(c2) || !std::isfinite(rfact) || !std::isfinite(rwfact)) {
    // An overflowed agreement is never better than the last accepted one.
    if (c.count >= 0) {
      ++c.count;
      return true;
    }
  } else if (c.count >= 0) {
    ++c.count;
    reject = rfact > 1 || rwfact > 1 || (c2 > c.c2 && rfact > c.rfact && rwfact > c.rwfact);
  }
  if (!reject) record(c, c2, rfact, rwfact);
  return reject;
}

bool getnewex(MemControl& c, bool reject, float& ex) {
  if (!reject) {
    if (c.accepted >= 3) {
      ex *= 2;
      c.accepted = 0;
      c.halvings = 0;
    } else {
      ++c.accepted;
    }
    return false;
  }
  c.accepted = 0;
  // Below this the step can no longer change the density: accept it.
  if (ex <= 1e-10f) return false;
  ++c.halvings;
  // Low-density elimination is not part of this program's MEM: always halve.
  ex *= 0.5f;
  return true;
}

bool isconverge(const MemControl& c, float rfact, float rwfact, float eps) {
  if (c.count <= 5) return false;
  return std::fabs(rfact - c.rfact) < eps && std::fabs(rwfact - c.rwfact) < eps;
}

std::string cycleline(int it, float c2, float rfact, float rwfact, float f0, float dmin, float dmax,
                      int stage, float ex) {
  // dmax keeps its ten columns but shows as many decimals (up to five) as
  // fit: one decimal printed the maximum of a low density (a quasicrystal's
  // uniform start, well below 0.05 e/A^3) as 0.0.
  int digits = 1;
  for (double a = std::fabs(dmax); a >= 10 && digits < 10; a /= 10) ++digits;
  const int dmaxdecimals = std::clamp(8 - digits, 1, 5);
  std::string s = "ic=" + fmt_i(it, cyclewidth(it)) + " c2=" + fmt_e(c2, 12, 5) + " rfact=" + fmt_f(rfact, 8, 5) +
                  " rwfact=" + fmt_f(rwfact, 8, 5) + " f0=" + fmt_f(f0, 6, 0) +
                  " dmin=" + fmt_f(dmin, 9, 5) + " dmax=" + fmt_f(dmax, 10, dmaxdecimals);
  s += stage == 1 ? " ex1=" : " ex2=";
  s += fmt_e(ex, 10, 3);
  return s;
}

namespace {

// The agreement sums over reflections [lo, hi): sum |Fo| (fo), sum
// ||Fo| - |Fc|| (diff), sum |Fo - Fc|^2 / sigma^2 (w) and sum |Fo|^2 /
// sigma^2 (fow), each in eight double lanes added in a fixed order (lane l
// the reflections lo + l + 8 k of the whole groups of eight, lane 0 then
// the remainder, the lanes summed 0 to 7), so that the loop is a vector
// loop and not a chain of dependent additions, one a reflection; `bad` is
// set when a |Fo| or |Fc| is beyond 1e32 or |Fc| is not a number, `fcbad`
// when such an |Fc| is.
struct FitSums {
  double fo = 0, diff = 0, w = 0, fow = 0;
  bool bad = false, fcbad = false;
};

// |Fo| and |Fc| of a reflection as the roots of |F|^2 made in double: the
// squares of single-precision parts are exact there and the sum is rounded
// once (hypot guards against an overflow that cannot happen here, at ten
// times the cost).
inline void fitabs(double ar, double ai, double br, double bi, double& o, double& c) {
  o = std::sqrt(ar * ar + ai * ai);
  c = std::sqrt(br * br + bi * bi);
}

TROVAN_VECTOR_CLONES
FitSums fitsums(const Density& d, const Observations& obs, long long lo, long long hi) {
  const float* __restrict fa = obs.a.data();
  const float* __restrict fb = obs.b.data();
  const float* __restrict sg = obs.sigma.data();
  const float* __restrict cr = d.fcr.data();
  const float* __restrict ci = d.fci.data();
  double fo[8] = {}, diff[8] = {}, w[8] = {}, fow[8] = {};
  int bad[8] = {}, fcbad[8] = {};
  auto add = [&](int l, long long i) {
    const double ar = fa[i], ai = fb[i], br = cr[i], bi = ci[i], sig = sg[i];
    double o, c;
    fitabs(ar, ai, br, bi, o, c);
    const double wt = 1.0 / (sig * sig);
    const double dr = ar - br, di = ai - bi;
    fo[l] += o;
    diff[l] += std::fabs(o - c);
    w[l] += (dr * dr + di * di) * wt;
    fow[l] += o * o * wt;
    fcbad[l] |= !(c <= 1e32);
    bad[l] |= o > 1e32;
  };
  long long i = lo;
  for (; i + 8 <= hi; i += 8)
    for (int l = 0; l < 8; ++l) add(l, i + l);
  for (; i < hi; ++i) add(0, i);
  FitSums s;
  for (int l = 0; l < 8; ++l) {
    s.fo += fo[l];
    s.diff += diff[l];
    s.w += w[l];
    s.fow += fow[l];
    s.fcbad = s.fcbad || fcbad[l] != 0;
    s.bad = s.bad || bad[l] != 0 || fcbad[l] != 0;
  }
  return s;
}

// fitsums over the whole list, by parts of kFitChunk reflections made by
// all the threads and added in the list's order: the same with any number
// of threads.
FitSums fitall(const Density& d, const Observations& obs) {
  const long long n = obs.size(), parts = (n + kFitChunk - 1) / kFitChunk;
  std::vector<FitSums> part(static_cast<std::size_t>(parts));
  parallel_for(parts, 1, [&](long long b0, long long b1) {
    for (long long b = b0; b < b1; ++b) part[b] = fitsums(d, obs, b * kFitChunk, std::min(n, (b + 1) * kFitChunk));
  });
  FitSums s;
  for (const FitSums& p : part) {
    s.fo += p.fo;
    s.diff += p.diff;
    s.w += p.w;
    s.fow += p.fow;
    s.bad = s.bad || p.bad;
    s.fcbad = s.fcbad || p.fcbad;
  }
  return s;
}

// c2, R and Rw from the sums over n reflections.
void agreement(const FitSums& s, int n, float& c2, float& rfact, float& rwfact) {
  c2 = static_cast<float>(s.w / n);
  rfact = s.fo > 0 ? static_cast<float>(s.diff / s.fo) : 0.0f;
  rwfact = s.fow > 0 ? static_cast<float>(std::sqrt(s.w / s.fow)) : 0.0f;
}

}  // namespace

void rfct(const Density& d, const Observations& obs, float& c2, float& rfact, float& rwfact, int ip) {
  if (ip == -1) quit("ip=-1 does not work in this version");
  const int nind = obs.size();
  if (nind < 1) {
    out() << "nind in rfct=" << fmt_i(nind, 8) << '\n';
    quit("nind should be positive ");
  }
  const FitSums sums = fitall(d, obs);
  if (sums.bad || ip == 1) {
    // The listing: each reflection as the file gives it (setting indices,
    // |Fo|, |Fc|, the phase in the file's sign convention, sigma); a
    // structure factor overflowed stops the run at the first one.
    const int idm = obs.idm;
    for (int k = 0; k < nind; ++k) {
      double ao, ac;
      fitabs(obs.a[k], obs.b[k], d.fcr[k], d.fci[k], ao, ac);
      const bool ok = !(ao > 1e32 || ac > 1e32 || !std::isfinite(ac));
      if (ok && ip != 1) continue;
      const int* hd = obs.h[k].data();
      if (!ok) out() << "hd,ao,ac=";
      for (int j = 0; j < idm; ++j) out() << fmt_i(hd[j], 4);
      out() << fmt_e(ao, 12, 4) << fmt_e(ac, 12, 4);
      if (!ok) {
        out() << '\n';
        quit("structure factor overflow in rfct");
      }
      out() << fmt_e(filephase(obs.a[k], obs.b[k], obs.phsign), 12, 4) << fmt_e(obs.sigma[k], 12, 4) << '\n';
    }
  }
  agreement(sums, nind, c2, rfact, rwfact);
}

namespace {
float qperp(const Lattice& l, const std::array<int, 6>& h) {
  float q[6];
  getqi0(l, h.data(), q);
  return std::sqrt(q[3] * q[3] + q[4] * q[4] + q[5] * q[5]);
}

std::string shelllabel(float lo, float hi) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "|q_perp| %.3f-%.3f A^-1", double(lo), double(hi));
  return buf;
}
}  // namespace

FitClasses fitclasses(const Lattice& l, const Observations& obs) {
  const int n = obs.size();
  FitClasses c;
  c.of.assign(n, 0);
  if (l.isys == 0 && l.ndm > 0) {
    int top = 0;
    for (int k = 0; k < n; ++k) {
      c.of[k] = satellite_order(l.ndm, obs.h[k]);
      top = std::max(top, c.of[k]);
    }
    c.label.push_back("main reflections");
    for (int o = 1; o <= top; ++o) c.label.push_back("satellites of order " + std::to_string(o));
    return c;
  }
  const int nshell = l.isys != 0 ? std::min(4, n / 50) : 1;
  if (nshell < 2) {
    c.label.push_back("all reflections");
    return c;
  }
  std::vector<std::pair<float, int>> q(n);
  for (int k = 0; k < n; ++k) q[k] = {qperp(l, obs.h[k]), k};
  std::sort(q.begin(), q.end());
  // Shell s takes the ranks from n s / nshell on; reflections of one
  // |q_perp| stay together in the shell of the first of them.
  int s = 0;
  float lo = q[0].first;
  for (int r = 0; r < n; ++r) {
    if (s + 1 < nshell && r >= n * (s + 1) / nshell && q[r].first > q[r - 1].first) {
      c.label.push_back(shelllabel(lo, q[r - 1].first));
      lo = q[r].first;
      ++s;
    }
    c.of[q[r].second] = s;
  }
  c.label.push_back(shelllabel(lo, q[n - 1].first));
  return c;
}

std::vector<double> classc2(const Density& d, const Observations& obs, const FitClasses& c,
                            std::vector<int>& count) {
  std::vector<double> c2(c.label.size(), 0.0);
  count.assign(c.label.size(), 0);
  for (int k = 0; k < obs.size(); ++k) {
    c2[c.of[k]] += zsquared(d, obs, k);
    ++count[c.of[k]];
  }
  for (std::size_t i = 0; i < c2.size(); ++i)
    if (count[i] > 0) c2[i] /= count[i];
  return c2;
}

void memwarning(const std::string& text) { warn(" " + text); }

void listclasses(const Lattice& l, const Density& d, const Observations& obs, bool warnspread) {
  const FitClasses c = fitclasses(l, obs);
  if (c.label.size() < 2) return;
  std::vector<int> count;
  const std::vector<double> c2 = classc2(d, obs, c, count);
  out() << "c2 per class of reflections:\n";
  int hi = -1, lo = -1;
  for (std::size_t i = 0; i < c2.size(); ++i) {
    if (count[i] == 0) continue;
    std::string name = c.label[i];
    name.resize(std::max<std::size_t>(name.size(), 28), ' ');
    out() << "  " << name << fmt_i(count[i], 8) << " reflections c2=" << fmt_e(static_cast<float>(c2[i]), 12, 5)
          << '\n';
    if (hi < 0 || c2[i] > c2[hi]) hi = static_cast<int>(i);
    if (lo < 0 || c2[i] < c2[lo]) lo = static_cast<int>(i);
  }
  if (warnspread && lo >= 0 && c2[hi] > kClassSpread * c2[lo]) {
    char factor[32];
    std::snprintf(factor, sizeof factor, "%.1f", c2[hi] / c2[lo]);
    memwarning("c2 of the classes differs by a factor " + std::string(factor) + " (" +
               c.label[hi] + " against " + c.label[lo] +
               "): the map fits some classes below their noise and others above it");
  }
}

void rfct(const Lattice& l, const Density& d, const Observations& obs, int iwhkl) {
  float c2 = 0, rfact = 0, rwfact = 0;
  rfct(d, obs, c2, rfact, rwfact, iwhkl == 1 ? 1 : (iwhkl == -1 ? -1 : 0));
  out() << "c2=" << fmt_e(c2, 12, 5) << " rfact=" << fmt_f(rfact, 8, 5) << " rwfact="
        << fmt_f(rwfact, 8, 5) << '\n';
  listclasses(l, d, obs, true);
}

namespace {

// Why the iteration ended: the listing's last word on it.
enum class StopReason { c2min, rwmin, converged, cycles, caller };

std::string reason_text(StopReason r) {
  switch (r) {
    case StopReason::c2min: return "c2 <= c2min";
    case StopReason::rwmin: return "rwfact <= rwmin";
    case StopReason::converged: return "converged, rfact and rwfact change less than 1e-6";
    case StopReason::caller: return "stopped by the caller";
    case StopReason::cycles: break;
  }
  return "cycle limit nex1+nex2";
}

// The progress display: one line on standard error, rewritten after every
// cycle, when standard error is a terminal (a user watching a long run);
// nothing otherwise, so that logs and pipes get the listing alone.
struct Progress {
  bool on = isatty(STDERR_FILENO) != 0;
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  std::string stops;

  void show(int it, int done, float c2, float rfact) const {
    if (!on) return;
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    char buf[200];
    std::snprintf(buf, sizeof buf, "\rmem cycle %d  c2=%.4g  rfact=%.4f  %.3g s/cycle  stops at %s\033[K",
                  it, double(c2), double(rfact), s / std::max(done, 1), stops.c_str());
    std::fputs(buf, stderr);
    std::fflush(stderr);
  }
  void end(int done, StopReason r) const {
    if (!on) return;
    std::fprintf(stderr, "\rmem stopped after %d cycles: %s\033[K\n", done, reason_text(r).c_str());
    std::fflush(stderr);
  }
};

std::string stop_conditions(float c2min, float rwmin, int ncycle) {
  char buf[160];
  std::string s;
  if (c2min > 0) {
    std::snprintf(buf, sizeof buf, "c2 <= %g, ", double(c2min));
    s += buf;
  }
  if (rwmin > 0) {
    std::snprintf(buf, sizeof buf, "rwfact <= %g, ", double(rwmin));
    s += buf;
  }
  return s + "no change, or cycle " + std::to_string(ncycle);
}

// Back to the accepted density and the trial step made again at length
// `s`: the trial in the spare list is the step at length `cur`, rescaled.
// Its agreement is computed and listed like a trial step.
void remake(const Crystal& c, const RunState& rs, WorkGrid& w, MemState& st, Density& d, const Observations& obs, int it, int imode, float made, float cur,
            float s, float f000, float& c2, float& rfact, float& rwfact, float& f0new, const char* what = " shortened") {
  restoreoldvalue(st, d);
  st.spare.retry = true;
  st.spare.retry_ex = cur;
  st.spare.retry_imode = imode;
  st.spare.retry_kind = MemTrial::plain;
  denmodmem(c, rs, w, st, d, obs, s, f000, imode, f0new);
  rfct(d, obs, c2, rfact, rwfact, 0);
  out() << cycleline(it, c2, rfact, rwfact, f0new, d.dmin, d.dmax, imode, made * s)
        << what << std::endl;
}

// Shortens an accepted trial step (made with step `made` from a density of
// chi-square c2acc above the target) whose c2 fell below kLand times the
// target: regula falsi on the length of the step, along its direction,
// until c2 lies between kLand times the target and the target. Each try is
// listed like a trial step; the agreement of the one kept is returned and
// recorded as accepted.
constexpr float kLand = 0.9f;

void land(const Crystal& c, const RunState& rs, WorkGrid& w, MemState& st, Density& d, const Observations& obs, int it, int imode, float made, float f000,
          float c2acc, float target, float& c2, float& rfact, float& rwfact, float& f0new) {
  float lo = 0, clo = c2acc, hi = 1, chi = c2, cur = 1;
  for (int k = 0; k < 12 && !(c2 >= kLand * target && c2 <= target); ++k) {
    float s = lo + (hi - lo) * (clo - 0.95f * target) / (clo - chi);
    s = std::clamp(s, lo + 0.05f * (hi - lo), hi - 0.05f * (hi - lo));
    remake(c, rs, w, st, d, obs, it, imode, made, cur, s, f000, c2, rfact, rwfact, f0new);
    cur = s;
    if (c2 > target) {
      lo = s;
      clo = c2;
    } else {
      hi = s;
      chi = c2;
    }
  }
  if (c2 > target) {
    // Not landed within the tries: the last try below the target is made
    // again (it lies at `hi`).
    remake(c, rs, w, st, d, obs, it, imode, made, cur, hi, f000, c2, rfact, rwfact, f0new);
  }
  record(st.control, fitvalue(st, d, obs, c2), rfact, rwfact);
}

// ---- the maximum-entropy map at the constraint (exact=1) -----------------
//
// The iteration above is a path downhill in c2 that stops where it crosses
// c2min: another schedule (stage split, step sizes, the continued share)
// crosses it elsewhere, and neither end is the map of maximum entropy at
// that c2. That map is found here as the maximum of
//   Q = S - lambda X,  S = -sum m rho ln(rho/tau),  X = nind c2 / 2,
// at fixed rho total F(000) (tau the start density of the run: the prior,
// or the uniform density), which is unique for each lambda (S strictly
// concave, X convex in rho), with lambda set so that c2 = c2min: a
// Lagrange-multiplier search in the manner of Gull & Daniell (Nature 272
// (1978) 686) and Skilling & Bryan (Mon. Not. R. Astron. Soc. 211 (1984)
// 111); for data with satellites then a lambda for each class (byclass).
// For each lambda, nonlinear conjugate gradients (Polak-Ribiere, with
// restarts), preconditioned by the inverse of the entropy's curvature,
// diag(rho/m):
//  - the gradient of X at point i is -c0 m_i h_i, h the difference map of
//    the program's weights; c0 is measured once from the exact derivative
//    of X along a direction, so that no scale of the synthesis is assumed;
//  - along a direction p, X is exactly quadratic (Fc is linear in rho: the
//    structure factors of p, one transform, give it and the updated Fc), and
//    S is maximised with it by Newton's rule in the step length, kept below
//    the length that would make a value negative;
//  - TEST = |projected gradient|^2 / |ln(rho/tau) - mean|^2 in the entropy
//    metric, 0 at the maximum; the solve ends below kTestLoose or kTestTight.
// lambda starts from the fit of ln(rho/tau) by lambda c0 h + const at the end
// of the iteration and is corrected by the secant rule on ln c2 against
// ln lambda, each solve starting from the last map, until c2 is within
// kC2Tol of c2min.
constexpr double kTestLoose = 1e-3, kTestTight = 1e-5, kC2Tol = 0.01;
constexpr int kSolveSteps = 200, kLambdaTries = 10;

struct Exact {
  const Crystal& cr;
  const RunState& rs;
  WorkGrid& w;
  MemState& st;
  Density& d;
  const Observations& obs;
  int n;
  std::vector<double> fr, fi;  // Fc of the current map, kept by linearity
  std::vector<float> q;
  // The multiplier of each reflection's lambda (its class's, 1 with one
  // constraint) and the difference map's weights with it.
  std::vector<double> mu;
  std::vector<float> wk;
};

// Structure factors of an arbitrary list v (written to the spare list and
// transformed there; d.fcr, d.fci are scratch).
void sfof(Exact& c, const std::vector<double>& v, std::vector<double>& ar, std::vector<double>& ai) {
  float* sp = c.d.spare();
  for (int i = 0; i < c.n; ++i) sp[i] = static_cast<float>(v[i]);
  c.d.swap();
  maphkl(c.cr, c.w, c.d, c.obs);
  c.d.swap();
  ar.assign(c.d.fcr.begin(), c.d.fcr.end());
  ai.assign(c.d.fci.begin(), c.d.fci.end());
}

// The difference map of the residuals Fo - Fc (Fc from c.fr, c.fi) at the
// stored points.
void diffmap(Exact& c, std::vector<double>& h) {
  for (int k = 0; k < c.obs.size(); ++k) {
    c.d.fcr[k] = static_cast<float>(c.fr[k]);
    c.d.fci[k] = static_cast<float>(c.fi[k]);
  }
  const HalfMap hm = difxyzv(c.cr, c.rs, c.w, c.d, c.obs, c.wk.data());
  const int* jx = getxr0grid(c.cr.grid, c.d);
  h.resize(c.n);
  for (long long lo = 0; lo < c.n; lo += kBlock) {
    const long long hi = std::min<long long>(c.n, lo + kBlock);
    mapatblock(c.st.runs, hm, jx, lo, hi, c.q.data());
    for (long long i = lo; i < hi; ++i) h[i] = c.q[i - lo];
  }
}

double exactc2(const Exact& c) {
  double x = 0;
  for (int k = 0; k < c.obs.size(); ++k) {
    const double dr = c.obs.a[k] - c.fr[k], di = c.obs.b[k] - c.fi[k];
    x += (dr * dr + di * di) / (double(c.obs.sigma[k]) * c.obs.sigma[k]);
  }
  return x / c.obs.size();
}

// Conjugate gradients on Q at fixed lambda from rho; returns the steps made
// and TEST at the end.
int cgsolve(Exact& c, std::vector<double>& rho, const std::vector<double>& tau, double lambda, double c0, double tol,
            double& test) {
  const int n = c.n;
  const auto& m = c.st.orbit;
  std::vector<double> h, g(n), z(n), zold(n), p(n, 0.0), ar, ai;
  double gzold = 0;
  bool blocked = false;
  int it = 0;
  for (; it < kSolveSteps; ++it) {
    diffmap(c, h);
    // The gradient g, the preconditioned z, projected on sum m z = 0.
    double smz = 0, sm = 0, su = 0;
    for (int i = 0; i < n; ++i) {
      const double v = -(std::log(rho[i] / tau[i]) + 1) + lambda * c0 * h[i];
      g[i] = m[i] * v;
      z[i] = rho[i] * v;
      smz += m[i] * z[i];
      sm += m[i] * rho[i];
      su += m[i] * rho[i] * std::log(rho[i] / tau[i]);
    }
    const double ubar = su / sm;
    double num = 0, den = 0, gz = 0;
    for (int i = 0; i < n; ++i) {
      z[i] -= rho[i] * smz / sm;
      gz += g[i] * z[i];
      const double u = std::log(rho[i] / tau[i]) - ubar;
      num += m[i] * z[i] * z[i] / rho[i];
      den += m[i] * rho[i] * u * u;
    }
    test = den > 0 ? num / den : 0;
    if (test < tol) break;
    double beta = 0;
    if (it % 50 != 0 && gzold > 0 && !blocked) {
      double t = 0;
      for (int i = 0; i < n; ++i) t += g[i] * (z[i] - zold[i]);
      beta = std::max(0.0, t / gzold);
    }
    for (int i = 0; i < n; ++i) p[i] = z[i] + beta * p[i];
    zold = z;
    gzold = gz;
    // X(a) = X + a x1 + a^2 x2 exactly; S(a) by Newton's rule.
    sfof(c, p, ar, ai);
    double x1 = 0, x2 = 0;
    for (int k = 0; k < c.obs.size(); ++k) {
      const double w = c.mu[k] / (double(c.obs.sigma[k]) * c.obs.sigma[k]);
      const double dr = c.obs.a[k] - c.fr[k], di = c.obs.b[k] - c.fi[k];
      x1 -= (dr * ar[k] + di * ai[k]) * w;
      x2 += 0.5 * (ar[k] * ar[k] + ai[k] * ai[k]) * w;
    }
    double amax = std::numeric_limits<double>::max();
    for (int i = 0; i < n; ++i)
      if (p[i] < 0) amax = std::min(amax, 0.95 * rho[i] / -p[i]);
    double a = 0;
    for (int k = 0; k < 30; ++k) {
      double d1 = -lambda * (x1 + 2 * a * x2), d2 = -2 * lambda * x2;
      for (int i = 0; i < n; ++i) {
        const double r = rho[i] + a * p[i];
        d1 -= m[i] * p[i] * (std::log(r / tau[i]) + 1);
        d2 -= m[i] * p[i] * p[i] / r;
      }
      double an = d2 < 0 ? a - d1 / d2 : a;
      if (an > amax) an = 0.5 * (a + amax);
      if (an < 0) an = 0.5 * a;
      const bool done = std::fabs(an - a) <= 1e-10 * std::fabs(an);
      a = an;
      if (done) break;
    }
    // A conjugate direction that a value near zero blocks (it would turn
    // negative at once) is dropped for the preconditioned gradient alone,
    // which scales each value's change by the value; blocked too, the
    // solve ends.
    if (!(a > 0)) {
      if (blocked || beta == 0) break;
      blocked = true;
      continue;
    }
    blocked = false;
    for (int i = 0; i < n; ++i) rho[i] += a * p[i];
    for (int k = 0; k < c.obs.size(); ++k) {
      c.fr[k] += a * ar[k];
      c.fi[k] += a * ai[k];
    }
  }
  return it;
}

// Each class of reflections fitted to c2 = aim (data with satellites): the
// maximum of S - sum_c lambda_c X_c, X_c the part of X of class c, from the
// map of one lambda. Every lambda_c is multiplied by c2_c / aim (c2 falls
// about as 1/lambda; the classes pull on one another, and steeper rules
// tried, the secant rule class by class or a higher power, oscillate or
// stall) and the map solved again from the last one,
// until every class is within kClassTol of the aim (else a warning).
// Returns the conjugate-gradient steps.
constexpr double kClassTol = 0.1;
constexpr int kClassTries = 20;

int byclass(Exact& c, std::vector<double>& rho, const std::vector<double>& tau, double lambda, double c0, double aim) {
  const FitClasses fc = fitclasses(c.cr.lattice, c.obs);
  const std::size_t nc = fc.label.size();
  if (nc < 2) return 0;
  std::vector<double> muc(nc, 1.0);
  int total = 0;
  for (int k = 0; k < kClassTries; ++k) {
    std::vector<double> sum(nc, 0.0);
    std::vector<int> cnt(nc, 0);
    for (int r = 0; r < c.obs.size(); ++r) {
      const double dr = c.obs.a[r] - c.fr[r], di = c.obs.b[r] - c.fi[r];
      sum[fc.of[r]] += (dr * dr + di * di) / (double(c.obs.sigma[r]) * c.obs.sigma[r]);
      ++cnt[fc.of[r]];
    }
    bool all = true;
    out() << "maximum entropy class by class, c2 of each:";
    for (std::size_t j = 0; j < nc; ++j) {
      if (cnt[j] == 0) continue;
      const double c2j = sum[j] / cnt[j];
      out() << fmt_e(static_cast<float>(c2j), 12, 5);
      all = all && std::fabs(c2j - aim) <= kClassTol * aim;
      muc[j] *= std::clamp(c2j / aim, 0.25, 4.0);
    }
    out() << std::endl;
    if (all && k > 0) return total;
    for (int r = 0; r < c.obs.size(); ++r) {
      c.mu[r] = muc[fc.of[r]];
      c.wk[r] = static_cast<float>(c.st.dfw[r] * c.mu[r]);
    }
    double test = 0;
    total += cgsolve(c, rho, tau, lambda, c0, kTestTight, test);
  }
  memwarning("the classes of reflections were not fitted one by one to within 10 % in " +
             std::to_string(kClassTries) + " solves");
  return total;
}

// From the accepted density at the iteration's end (tau the start density)
// to the maximum-entropy map at c2 = aim; returns the conjugate-gradient
// steps made. d is left at that map with its structure factors.
int maxentmap(const Crystal& cr, const RunState& rs, WorkGrid& w, MemState& st, Density& d, const Observations& obs,
              const std::vector<float>& start, float f000, float aim) {
  Exact c{cr, rs, w, st, d, obs, d.nxr0, {}, {}, std::vector<float>(kBlock), std::vector<double>(obs.size(), 1.0), st.dfw};
  const int n = c.n;
  const auto& m = st.orbit;
  std::vector<double> rho(d.x(), d.x() + n), tau(start.begin(), start.end());
  c.fr.assign(d.fcr.begin(), d.fcr.end());
  c.fi.assign(d.fci.begin(), d.fci.end());
  // c0 from the derivative of X along p = rho h (projected).
  std::vector<double> h, ar, ai, p(n);
  diffmap(c, h);
  double sm = 0, smp = 0, mhp = 0, dx = 0;
  for (int i = 0; i < n; ++i) {
    p[i] = rho[i] * h[i];
    smp += m[i] * p[i];
    sm += m[i] * rho[i];
  }
  for (int i = 0; i < n; ++i) {
    p[i] -= rho[i] * smp / sm;
    mhp += m[i] * h[i] * p[i];
  }
  sfof(c, p, ar, ai);
  for (int k = 0; k < obs.size(); ++k) {
    const double dr = obs.a[k] - c.fr[k], di = obs.b[k] - c.fi[k];
    dx -= (dr * ar[k] + di * ai[k]) / (double(obs.sigma[k]) * obs.sigma[k]);
  }
  const double c0 = mhp != 0 ? -dx / mhp : 0;
  // The first lambda: ln(rho/tau) fitted by lambda c0 h + const.
  double sw = 0, sh = 0, shh = 0, su = 0, suh = 0;
  for (int i = 0; i < n; ++i) {
    const double w = m[i] * rho[i], u = std::log(rho[i] / tau[i]);
    sw += w;
    sh += w * h[i];
    shh += w * h[i] * h[i];
    su += w * u;
    suh += w * u * h[i];
  }
  // When the fit has no positive slope (the map at the end is far from the
  // form u = lambda c0 h + const), lambda balances the two gradients:
  // |u - mean| = lambda c0 |h - mean| in the entropy metric.
  const double vh = shh - sh * sh / sw, vu = [&] {
    double v = 0;
    for (int i = 0; i < n; ++i) v += m[i] * rho[i] * std::pow(std::log(rho[i] / tau[i]) - su / sw, 2);
    return v;
  }();
  double lambda = c0 > 0 && vh > 0 ? (suh - su * sh / sw) / vh / c0 : 0;
  if (!(lambda > 0) && c0 > 0 && vh > 0) lambda = std::sqrt(vu / vh) / c0;
  if (!(lambda > 0) || !std::isfinite(lambda)) {
    maphkl(cr, w, d, obs);  // d.fcr, d.fci were scratch
    memwarning("no maximum-entropy map at the constraint: the map at the iteration's end is kept");
    return 0;
  }
  int total = 0;
  double c2 = 0, test = 0, prev = -1, lastlambda = 0;
  double lo = 0, clo = 0, hi = 0, chi = 0;  // lambdas with c2 above and below aim
  bool found = false;
  for (int k = 0; k < kLambdaTries && !found; ++k) {
    // Loose solves while c2 is far from the aim; within 10 % of it a loose
    // solve can stop at once (its map is already loose-converged for the
    // next lambda too), and the secant rule would then be fed c2 of maps
    // that are not the maxima for their lambdas.
    const double tol = prev < 0 || std::fabs(prev - aim) > 0.1 * aim ? kTestLoose : kTestTight;
    const int steps = cgsolve(c, rho, tau, lambda, c0, tol, test);
    total += steps;
    c2 = exactc2(c);
    out() << "maximum entropy at lambda=" << fmt_e(static_cast<float>(lambda), 12, 5)
          << ": c2=" << fmt_e(static_cast<float>(c2), 12, 5) << " test=" << fmt_e(static_cast<float>(test), 10, 3)
          << " after" << fmt_i(steps, 4) << " conjugate-gradient steps" << std::endl;
    found = std::fabs(c2 - aim) <= kC2Tol * aim && tol == kTestTight;
    if (found) break;
    if (c2 > aim) {
      lo = lambda;
      clo = c2;
    } else {
      hi = lambda;
      chi = c2;
    }
    double next = lambda;  // within kC2Tol: only the tight solve is missing
    if (std::fabs(c2 - aim) > kC2Tol * aim) {
      if (lo > 0 && hi > 0) {
        // ln c2 against ln lambda, interpolated in the bracket.
        const double f = (std::log(aim) - std::log(clo)) / (std::log(chi) - std::log(clo));
        next = std::exp(std::log(lo) + std::clamp(f, 0.1, 0.9) * (std::log(hi) - std::log(lo)));
      } else {
        // Extrapolated along ln c2 against ln lambda through the last two
        // solves; from the first, c2 taken to fall as 1/lambda.
        double slope = -1;
        if (lastlambda > 0 && lastlambda != lambda && prev > 0 && prev != c2)
          slope = std::min(-0.05, (std::log(c2) - std::log(prev)) / (std::log(lambda) - std::log(lastlambda)));
        next = lambda * std::clamp(std::exp((std::log(aim) - std::log(c2)) / slope), 0.25, 4.0);
      }
    }
    prev = c2;
    lastlambda = lambda;
    lambda = next;
  }
  if (found && has_satellites(cr.lattice, obs)) total += byclass(c, rho, tau, lambda, c0, aim);
  float* x = d.x();
  double cell = 0;
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<float>(rho[i]);
    cell += double(m[i]) * x[i];
  }
  normalise(cr, w, d, obs, cell, f000);
  if (!found)
    memwarning("the maximum-entropy map was not reached to c2 within 1 % and test 1e-5 in " +
               std::to_string(total) + " conjugate-gradient steps");
  out() << "the maximum-entropy map at c2=" << fmt_e(aim, 12, 5) << " after" << fmt_i(total, 6)
        << " conjugate-gradient steps" << std::endl;
  return total;
}

// How much longer an accepted second-stage step is tried.
constexpr float kExtend = 2;

// The stall of c2 under the steps of a higher moment: less than kStallFall
// of it gone in the last kStall accepted steps.
constexpr std::size_t kStall = 10;
constexpr float kStallFall = 0.01f;

// A value in a message: as short as %g makes it.
std::string shortnum(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", double(v));
  return buf;
}

// The classes of the data (satellites of each order, |q_perp| shells) as
// constraints of their own in the iteration. One c2 over all reflections is
// met by fitting some classes below their noise and others above it (the
// F-icosahedral example: its strongest reflections, the shell of lowest
// |q_perp|, at c2 2.7, the outer shells at 0.25). The steps follow the
// gradient of sum_c mu_c X_c, X_c the part of c2 of class c, and are judged
// by it; every kAdaptEvery accepted steps each mu_c moves half way towards
// c2_c / c2 (kept within 1/kAdaptMax and kAdaptMax): a class above the
// others pulls harder, one fitted below them is let go. These are the
// weights of de Vries, Briels & Feil (Acta Cryst. A50 (1994) 383), given
// per class of reflections and set by the fit as it goes rather than fixed
// in advance; where all classes fit alike they are 1 and the steps are
// those of c2. The weights are scaled to average 1 over the reflections, so
// the weighted c2 that judges the steps stays on c2's scale.
//
// Weights that accumulated the ratios (the Lagrange multipliers of one
// constraint per class) fitted every shell of the F-icosahedral example to
// within 4 % of the others, but in more than 1000 cycles, and stalled other
// quasicrystal examples short of c2min: the map of the iteration, a path
// from the flat start, cannot reach c2min with every class at it as fast
// as the map of one c2.
struct ClassWeights {
  FitClasses fc;
  std::vector<double> mu;
  int since = 0;
};
constexpr int kAdaptEvery = 5;
constexpr double kAdaptMax = 10;
// Near the noise level (c2 below kClassStall c2min) class weights under
// which c2 falls less than kStallFall in kStall steps give way to c2 alone
// (further out c2 may rise for a while as the weights shift).
constexpr float kClassStall = 1.2f;

void setclassweights(MemState& st, const ClassWeights& cw) {
  st.classw.resize(cw.fc.of.size());
  for (std::size_t k = 0; k < cw.fc.of.size(); ++k) st.classw[k] = static_cast<float>(cw.mu[cw.fc.of[k]]);
}

// Adapts the weights after an accepted step (d the accepted density, c2 its
// chi-square) and lists them; true when they changed (the record of the
// step is then to be made again with them).
bool adaptclasses(ClassWeights& cw, MemState& st, const Density& d, const Observations& obs, int it, float c2) {
  if (cw.mu.empty() || ++cw.since < kAdaptEvery || !(c2 > 0)) return false;
  cw.since = 0;
  std::vector<int> count;
  const std::vector<double> c2c = classc2(d, obs, cw.fc, count);
  double sum = 0;
  for (std::size_t j = 0; j < cw.mu.size(); ++j) {
    if (count[j] > 0) cw.mu[j] = 0.5 * (cw.mu[j] + std::clamp(c2c[j] / c2, 1 / kAdaptMax, kAdaptMax));
    sum += cw.mu[j] * count[j];
  }
  for (double& m : cw.mu) m *= obs.size() / sum;
  setclassweights(st, cw);
  out() << "ic=" << fmt_i(it, cyclewidth(it)) << " class weights";
  for (std::size_t j = 0; j < cw.mu.size(); ++j)
    if (count[j] > 0) out() << fmt_f(static_cast<float>(cw.mu[j]), 7, 3);
  out() << " for c2 of each";
  for (std::size_t j = 0; j < cw.mu.size(); ++j)
    if (count[j] > 0) out() << fmt_f(static_cast<float>(c2c[j]), 9, 3);
  out() << std::endl;
  return true;
}

// What the steps follow, for the listing.
std::string lead(const MemState& st) {
  std::string s = st.fn == 2 ? "c2" : "moment " + std::to_string(st.fn);
  return st.classw.empty() ? s : s + " with the class weights";
}

// The steps made plainer when they stall short of the noise level: the
// moment gives way to c2 first, then the class weights to one c2 over all
// reflections (which every example reaches). Returns what the steps
// followed before, or nothing when they follow c2 alone already.
std::string plainer(MemState& st, ClassWeights& cw) {
  const std::string was = lead(st);
  if (st.fn != 2) {
    st.fn = 2;
  } else if (!st.classw.empty()) {
    st.classw.clear();
    cw.mu.clear();
  } else {
    return "";
  }
  return was;
}

int finish(int done, StopReason r, const Progress& p, const Lattice& l, const Density& d, const Observations& obs,
           const MemWatch& watch, const MemCycle& last) {
  const std::string why = reason_text(r);
  out() << "mem stopped after" << fmt_i(done, 6) << " cycles: " << why << std::endl;
  // The spread is warned of once, after the final agreement.
  listclasses(l, d, obs, false);
  p.end(done, r);
  if (watch) {
    MemCycle e = last;
    e.cycle = done;
    e.end = why.c_str();
    watch(e);
  }
  return done;
}

int memrun(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs, float f000,
           const Cnex& cx, float rwmin, const MemWatch& watch) {
  MemState st;
  const int ncycle = std::max(cx.nex1, 0) + std::max(cx.nex2, 0);
  Progress progress;
  progress.stops = stop_conditions(cx.c2min, rwmin, ncycle);
  for (int i = 0; i < d.nxr0; ++i)
    if (!(d.x()[i] > 0)) notpositive(c.grid, d, d.x(), d.nxr0);
  getxr0orbits(c.grid, d, st.orbit);
  findruns(st.runs, getxr0grid(c.grid, d), d.nxr0);
  reflection_weights(c.grid, obs, st.dfw);
  st.fn = cx.fn > 0 ? cx.fn : defaultorder(c.lattice, obs, cx.c2min);
  // Data with classes: each class a constraint of its own (adaptclasses).
  ClassWeights cw;
  if (cx.c2min > 0) {
    cw.fc = fitclasses(c.lattice, obs);
    if (cw.fc.label.size() > 1) {
      cw.mu.assign(cw.fc.label.size(), 1.0);
      setclassweights(st, cw);
    }
  }
  if (st.fn != 2)
    out() << "the steps follow moment " << st.fn << " of |Fo-Fc|/sigma (fn=" << st.fn
          << (cx.fn > 0                            ? ""
              : has_satellites(c.lattice, obs) ? ", the order for data with satellites"
                                               : ", the order for an ordinary crystal's data")
          << "); the run stops at c2 <= c2min\n";
  // A start whose cell total is not the F(000) in use (a continuation after
  // f000= was changed, the density of another job) is first scaled to it,
  // as every trial will be: else the first trial's scaling alone would
  // change the agreement, and the steps would be judged against a start
  // they can never be compared with.
  float f0 = 0;
  {
    const int n = d.nxr0;
    const float* x = d.x();
    double total = 0;
    for (int i = 0; i < n; ++i) total += double(st.orbit[i]) * x[i];
    const double cell = total * double(c.lattice.vol) / double(getnt(c.grid));
    if (std::fabs(cell - f000) > 1e-4 * std::fabs(f000)) {
      out() << "start density scaled to f000=" << fmt_e(f000, 12, 5) << ": its cell total was "
            << fmt_e(static_cast<float>(cell), 12, 5) << '\n';
      f0 = normalise(c, w, d, obs, total, f000);
    } else {
      f0 = maphkl(c, w, d, obs);  // structure factors of the start
    }
  }
  savenewvalue(st, d, f0);
  st.spare = MemSpare{};  // the spare list holds nothing of this run yet
  // The start, the prior of the maximum-entropy map at the constraint.
  std::vector<float> start;
  if (cx.exact) start.assign(d.x(), d.x() + d.nxr0);
  // The entropy's direction of the subspace search needs the start too; it
  // is kept only for the data that search serves (a quasicrystal's shells),
  // not to cost every other run a copy of its density.
  const bool shells = cw.fc.label.size() > 1 && !has_satellites(c.lattice, obs);
  if (shells) st.tau.assign(d.x(), d.x() + d.nxr0);
  else std::vector<float>().swap(st.tau);
  float c2acc = 0;  // c2 of the last accepted density
  MemCycle last;    // the agreement of the last accepted density, for the watcher
  // The start's agreement is the first record, so that the first trial step
  // is judged against it like every later one (accepting it unseen could
  // keep a step that made the agreement worse, or overflowed). A start that
  // already fits the data to c2min (a continuation) is not refined further.
  {
    float c2 = 0, rfact = 0, rwfact = 0;
    rfct(d, obs, c2, rfact, rwfact, 0);
    // A step is taken back whenever R or Rw is above 1: from a start that
    // far from the data (the density of another crystal or setting) no
    // step could ever be kept, and the run would end as if converged.
    if (ncycle > 0 && (rfact > 1.001f || rwfact > 1.001f)) {
      out() << "c2=" << fmt_e(c2, 12, 5) << " rfact=" << fmt_f(rfact, 8, 5) << " rwfact=" << fmt_f(rwfact, 8, 5)
            << '\n';
      quit("the start density does not fit the data (rfact or rwfact above 1): every step would be taken "
           "back; start from the uniform density (icont=0)");
    }
    // An agreement that is not a finite number (an amplitude near the top
    // of single precision) can never be improved on: every step would be
    // taken back and the start written as if converged.
    if (!std::isfinite(c2) || !std::isfinite(rfact) || !std::isfinite(rwfact)) {
      out() << "c2=" << fmt_e(c2, 12, 5) << " rfact=" << fmt_f(rfact, 8, 5) << " rwfact=" << fmt_f(rwfact, 8, 5)
            << '\n';
      quit("the agreement of the start density is not a finite number (c2=" + shortnum(c2) +
           "): amplitudes or sigmas too large for single precision; scale them down with fmag=");
    }
    isreturn(st.control, fitvalue(st, d, obs, c2), rfact, rwfact);
    c2acc = c2;
    last = {0, c2, rfact, rwfact, nullptr};
    if (ncycle > 0 && cx.c2min > 0 && c2 <= cx.c2min)
      return finish(0, StopReason::c2min, progress, c.lattice, d, obs, watch, last);
  }
  float ex = 0;
  std::vector<float> c2s;  // c2 after each accepted step (while a moment leads)
  for (int it = 1; it <= ncycle; ++it) {
    const int imode = it <= cx.nex1 ? 1 : 2;
    if (it == 1 && cx.nex1 > 0) ex = cx.ex1;
    if (it == cx.nex1 + 1) ex = cx.ex2;
    for (;;) {
      float f0new = 0, made = ex;
      bool bound = false;
      // Second-stage steps of a quasicrystal's data (|q_perp| shells) are
      // chosen in a subspace of directions (subspacestep); a step taken back
      // is retried shorter along the same direction. Other data keep the
      // continued steps: with the subspace a modulated crystal's data reach
      // the stop in fewer cycles (58 and 90 to 51 and 68 in the examples)
      // but with the main reflections further above their noise (1.32 and
      // 1.43 to 1.54 and 1.93: the class weights have fewer cycles to
      // adapt), and the noisy perovskite's O came out 1.34 times its height
      // (the difference map and the last step as the subspace).
      const bool subspace = imode == 2 && shells && !st.spare.retry && !st.trial;
      const bool made_ok = subspace ? subspacestep(c, rs, w, st, d, obs, ex, f000, f0new, made, bound)
                                    : denmodmem(c, rs, w, st, d, obs, ex, f000, imode, f0new);
      // The agreement sums of the new structure factors, which show too
      // whether one of them overflowed.
      FitSums sums;
      if (made_ok) sums = fitall(d, obs);
      if (!made_ok || sums.fcbad) {
        // exp() of the step, or the structure factors of the new density,
        // overflowed: the step is certainly too large.
        out() << "ic=" << fmt_i(it, cyclewidth(it))
              << " step too large for single precision, ex" << (imode == 1 ? "1=" : "2=")
              << fmt_e(ex, 10, 3) << " halved" << std::endl;
        f0 = restoreoldvalue(st, d);
        if (!getnewex(st.control, true, ex)) quit("maximum-entropy step overflows even at ex <= 1e-10");
        continue;
      }
      float c2 = 0, rfact = 0, rwfact = 0;
      if (sums.bad) rfct(d, obs, c2, rfact, rwfact, 0);  // an |Fo| beyond 1e32: listed, and the run stops
      agreement(sums, obs.size(), c2, rfact, rwfact);
      const bool reject = isreturn(st.control, fitvalue(st, d, obs, c2), rfact, rwfact);
      const float ex_used = ex;
      const bool back = getnewex(st.control, reject, ex);
      // A step in the subspace that the trust region cut short and that was
      // kept: the region doubles at once (the model's minimum lies further
      // out, and the three kept steps of the plain rule would crawl there).
      if (subspace && bound && !back) ex = std::max(ex, 2 * ex_used);
      // A step that crosses c2min by far has gone on fitting the noise:
      // it is shortened until it ends just below the target.
      const bool overshoot = !back && cx.c2min > 0 && c2 < kLand * cx.c2min && c2acc > cx.c2min;
      // Each line is flushed as it is written: a run's progress shows in a
      // log file or a pipe as it happens, not in blocks. A step that is not
      // kept says so; the last line of a cycle number is the step kept.
      out() << cycleline(it, c2, rfact, rwfact, f0new, d.dmin, d.dmax, imode, made)
            << (back ? " taken back" : overshoot ? " too far" : "") << std::endl;
      progress.show(it, it, c2, rfact);
      if (overshoot) land(c, rs, w, st, d, obs, it, imode, made, f000, c2acc, cx.c2min, c2, rfact, rwfact, f0new);
      // A second-stage step that lowered c2 is tried at kExtend times its
      // length (the same step in ln rho, rescaled: one transform, no new
      // difference map); the longer one is kept when it lowers the fit
      // further, and the next steps start from its length.
      if (!back && !overshoot && imode == 2 && !subspace && c2 < c2acc) {
        float c2e = 0, re = 0, rwe = 0, f0e = 0;
        const float fit1 = st.control.c2;
        remake(c, rs, w, st, d, obs, it, imode, ex_used, 1, kExtend, f000, c2e, re, rwe, f0e, " extended");
        const float fite = fitvalue(st, d, obs, c2e);
        if (fite < fit1 && re <= 1 && rwe <= 1 && !(cx.c2min > 0 && c2e < kLand * cx.c2min)) {
          c2 = c2e;
          rfact = re;
          rwfact = rwe;
          f0new = f0e;
          record(st.control, fite, re, rwe);
          ex = std::max(ex, ex_used * kExtend);
        } else {
          remake(c, rs, w, st, d, obs, it, imode, ex_used, kExtend, 1, f000, c2, rfact, rwfact, f0new, " kept");
          record(st.control, fit1, rfact, rwfact);
        }
      }
      if (back) {
        f0 = restoreoldvalue(st, d);
        if (isconverge(st.control, rfact, rwfact, 1e-6f)) {
          // No step lowers Cn any more, short of the noise level (a few
          // reflections that no positive map fits hold it up): the rest of
          // the way follows c2 itself.
          if (!(cx.c2min > 0 && c2acc <= cx.c2min)) {
            const std::string was = plainer(st, cw);
            if (!was.empty()) {
              out() << "ic=" << fmt_i(it, cyclewidth(it)) << " no step lowers " << was
                    << " any more: the steps follow " << lead(st) << " from here" << std::endl;
              c2s.clear();
              st.spare.retry = false;
              st.control.count = 0;
              st.control.c2 = fitvalue(st, d, obs, c2acc);
              continue;
            }
          }
          return finish(it - 1, StopReason::converged, progress, c.lattice, d, obs, watch, last);
        }
        continue;
      }
      f0 = f0new;
      c2acc = c2;
      savenewvalue(st, d, f0);
      if (adaptclasses(cw, st, d, obs, it, c2)) st.control.c2 = fitvalue(st, d, obs, c2);
      last = {it, c2, rfact, rwfact, nullptr};
      const bool go_on = !watch || watch(last);
      // The chi-square stop: the data are fitted to their noise.
      if (cx.c2min > 0 && c2 <= cx.c2min) {
        if (cx.exact) maxentmap(c, rs, w, st, d, obs, start, f000, cx.c2min);
        return finish(it, StopReason::c2min, progress, c.lattice, d, obs, watch, last);
      }
      // rwmin: an accepted step that reaches the requested weighted R ends
      // the iteration (0, the default, never does).
      if (rwmin > 0 && rwfact <= rwmin) return finish(it, StopReason::rwmin, progress, c.lattice, d, obs, watch, last);
      if (!go_on) return finish(it, StopReason::caller, progress, c.lattice, d, obs, watch, last);
      // Near the minimum of a higher moment c2 may stay above c2min (that
      // minimum need not lie at c2 = 1): the steps lower the moment ever
      // more slowly and c2 no more. The rest of the way follows c2.
      if ((st.fn != 2 || (!st.classw.empty() && c2 < kClassStall * cx.c2min)) && cx.c2min > 0) {
        c2s.push_back(c2);
        const std::size_t k = c2s.size();
        if (k > kStall && !(c2s[k - 1] < (1 - kStallFall) * c2s[k - 1 - kStall])) {
          plainer(st, cw);
          out() << "ic=" << fmt_i(it, cyclewidth(it)) << " c2 fell less than " << shortnum(kStallFall * 100)
                << " % in " << kStall << " cycles: the steps follow " << lead(st) << " from here" << std::endl;
          c2s.clear();
          st.spare.retry = false;
          st.control.c2 = fitvalue(st, d, obs, c2acc);
        }
      }
      break;
    }
  }
  finish(ncycle, StopReason::cycles, progress, c.lattice, d, obs, watch, last);
  // The cycles ran out before the fit reached the noise of the data (a job
  // that asked for no cycle at all wanted the start as it is).
  if (ncycle > 0 && cx.c2min > 0 && c2acc > cx.c2min)
    warn(" mem stopped by its cycle limit nex1+nex2=" + std::to_string(ncycle) + " at c2=" + shortnum(c2acc) +
         ", short of c2min=" + shortnum(cx.c2min) +
         ": the map is not fitted to the noise level; raise nex2= or continue (icont=1)");
  return ncycle;
}

// Reflections from which on a run holds them in the order of the half grid
// (cycleorder). Each cycle walks its per-reflection arrays (Fo, sigma, Fc,
// the weights, the differences: some 40 bytes a reflection) while it puts
// the coefficients on the half grid and reads the structure factors back;
// in the order of the file both sides are visited at random, a cache miss a
// reflection once the arrays outgrow a core's cache (2 MiB here). Held in
// the grid's order the list and the grid are swept in sequence. Below this
// the arrays stay in the cache, and the sums over the reflections (c2, R,
// Rw, added in the list's order) keep the order, and so the last bits, of
// the file.
constexpr int kGridOrderFrom = 1 << 16;

}  // namespace

std::vector<int> memorder(const Grid& g, const Observations& obs) {
  return obs.size() >= kGridOrderFrom ? cycleorder(g, obs) : std::vector<int>{};
}

int memloop(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs, float f000,
            const Cnex& cx, float rwmin, const MemWatch& watch) {
  const std::vector<int> order = memorder(c.grid, obs);
  if (order.empty()) return memrun(c, rs, w, d, obs, f000, cx, rwmin, watch);
  // The run holds its own copy of the reflections in the grid's order; the
  // structure factors it leaves go back to the order of obs, in which they
  // are listed and written (also when the run stops with an error).
  struct Back {
    Density& d;
    const std::vector<int>& order;
    ~Back() {
      if (d.fcr.size() != order.size() || d.fci.size() != order.size()) return;
      std::vector<float> r(order.size()), i(order.size());
      for (std::size_t t = 0; t < order.size(); ++t) {
        r[static_cast<std::size_t>(order[t])] = d.fcr[t];
        i[static_cast<std::size_t>(order[t])] = d.fci[t];
      }
      d.fcr.swap(r);
      d.fci.swap(i);
    }
  } back{d, order};
  return memrun(c, rs, w, d, reordered(obs, order), f000, cx, rwmin, watch);
}

}  // namespace trovan
