#include "density/mem.hpp"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include <unistd.h>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
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

// The share of the last step that the next one continues: in a valley of
// c2 whose walls are steep and whose floor falls gently (strong and weak
// reflections with sigmas a hundred times apart), steps along the
// difference map alone zigzag across it; continuing 0.8 of the previous
// step carries the iteration along the floor.
constexpr float kContinue = 0.8f;

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
      quit("xr0 <= 0 so mem does not work");
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

}  // namespace

float memfloor(float f000, float vol) { return kMemFloor * f000 / vol; }

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

// q = h w(x) in place over a block of len points (w the weight of imode 1,
// memweight, or 1 in imode 2); returns the largest |q|, kept per lane so
// that the loop compiles to vector instructions. A q that is not a number
// is passed over here: it makes the updated value not a number, which the
// update reports.
TROVAN_VECTOR_CLONES
float weigh(float* __restrict q, const float* __restrict x, long long len, float rhomean, int imode) {
  float lane[16] = {};
  long long i = 0;
  if (imode == 1) {
    for (; i + 16 <= len; i += 16)
      for (int l = 0; l < 16; ++l) {
        const float v = q[i + l] * (1.0f / std::sqrt(x[i + l] / rhomean + 1e-3f));
        q[i + l] = v;
        lane[l] = std::fabs(v) > lane[l] ? std::fabs(v) : lane[l];
      }
    for (; i < len; ++i) {
      q[i] *= 1.0f / std::sqrt(x[i] / rhomean + 1e-3f);
      lane[0] = std::fabs(q[i]) > lane[0] ? std::fabs(q[i]) : lane[0];
    }
  } else {
    for (; i + 16 <= len; i += 16)
      for (int l = 0; l < 16; ++l) lane[l] = std::fabs(q[i + l]) > lane[l] ? std::fabs(q[i + l]) : lane[l];
    for (; i < len; ++i) lane[0] = std::fabs(q[i]) > lane[0] ? std::fabs(q[i]) : lane[0];
  }
  float m = 0;
  for (float v : lane) m = v > m ? v : m;
  return m;
}

// The update of the stored values [lo, hi): xnew = x exp(step q), plus
// kContinue ln(x / xnew) in the exponent when the step continues the last
// one (xnew then holds the density before it); q[i - lo] is the weighted
// map at point i. Returns the cell total of the new values (orbit size
// times value, summed in lanes in a fixed order); sets bad when a value
// overflowed or is not a number, and nonpos when a value of x is not
// positive. xnew may be x itself (a further step from a trial not yet
// judged).
TROVAN_VECTOR_CLONES
double update_block(float* xnew, const float* x, const float* __restrict q, const unsigned char* __restrict m,
                    long long lo, long long hi, float step, bool cont, bool& bad, bool& nonpos) {
  // x before it is updated (xnew may be x).
  int neg = 0;
  for (long long i = lo; i < hi; ++i) neg |= !(x[i] > 0);
  if (cont)
    for (long long i = lo; i < hi; ++i) xnew[i] = expand1(x[i], step * q[i - lo] + kContinue * logv(x[i] / xnew[i]));
  else
    for (long long i = lo; i < hi; ++i) xnew[i] = expand1(x[i], step * q[i - lo]);
  double lane[16] = {};
  int over = 0;
  long long i = lo;
  for (; i + 16 <= hi; i += 16)
    for (int l = 0; l < 16; ++l) {
      lane[l] += static_cast<double>(m[i + l]) * xnew[i + l];
      over |= !(xnew[i + l] <= FLT_MAX);
    }
  for (; i < hi; ++i) {
    lane[0] += static_cast<double>(m[i]) * xnew[i];
    over |= !(xnew[i] <= FLT_MAX);
  }
  double sum = 0;
  for (double v : lane) sum += v;
  bad = over != 0;
  nonpos = neg != 0;
  return sum;
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
  scalexr0(d, k, floor);
  return maphkl(c, w, d, obs);
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
    double total = 0;
    for (int i = 0; i < n; ++i) {
      if (!(x[i] > 0)) notpositive(c.grid, d, x, n);
      const float v = expand1(x[i], r * logv(xnew[i] / x[i]));
      xnew[i] = v;
      total += double(m[i]) * v;
    }
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
  // grid and read at the stored points twice, block by block into a buffer
  // that stays in the core's cache: once for the largest |h w|, which sets
  // the step, and once for the update.
  if (st.dfw.size() != static_cast<std::size_t>(obs.size())) reflection_weights(c.grid, obs, st.dfw);
  const HalfMap h = difxyzv(c, rs, w, d, obs, st.dfw.data());
  const float rhomean = f000 / c.lattice.vol;
  const long long nb = (n + kBlock - 1) / kBlock;
  std::vector<float> qpart(static_cast<std::size_t>(nb), 0.0f);
  parallel_for(nb, 2, [&](long long b0, long long b1) {
    thread_local std::vector<float> q(kBlock);
    for (long long b = b0; b < b1; ++b) {
      const long long lo = b * kBlock, hi = std::min<long long>(n, lo + kBlock);
      mapatblock(st.runs, h, jx, lo, hi, q.data());
      qpart[b] = weigh(q.data(), x + lo, hi - lo, rhomean, imode);
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
    mapatblock(st.runs, h, jx, lo, hi, q.data());
    weigh(q.data(), x + lo, hi - lo, rhomean, imode);
    bool bad = false, nonpos = false;
    const double sum = update_block(xnew, x, q.data(), m, lo, hi, step, cont, bad, nonpos);
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

void rfct(const Density& d, const Observations& obs, float& c2, float& rfact, float& rwfact, int ip) {
  if (ip == -1) quit("ip=-1 does not work in this version");
  const int nind = obs.size();
  if (nind < 1) {
    out() << "nind in rfct=" << fmt_i(nind, 8) << '\n';
    quit("nind should be positive ");
  }
  const int idm = obs.idm;
  double sfo = 0, sdiff = 0, sw = 0, sfow = 0;
  for (int k = 0; k < nind; ++k) {
    const float ao_r = obs.a[k], ao_i = obs.b[k], sig = obs.sigma[k];
    const float ac_r = d.fcr[k], ac_i = d.fci[k];
    const double ao = std::hypot(double(ao_r), double(ao_i));
    const double ac = std::hypot(double(ac_r), double(ac_i));
    // The reflection as the file gives it: setting indices, and the phase
    // in the file's sign convention.
    const int* hd = obs.h[k].data();
    if (ao > 1e32 || ac > 1e32 || !std::isfinite(ac)) {
      out() << "hd,ao,ac=";
      for (int i = 0; i < idm; ++i) out() << fmt_i(hd[i], 4);
      out() << fmt_e(ao, 12, 4) << fmt_e(ac, 12, 4) << '\n';
      quit("structure factor overflow in rfct");
    }
    const double w = 1.0 / (double(sig) * sig);
    const double dr = double(ao_r) - ac_r, di = double(ao_i) - ac_i;
    sfo += ao;
    sdiff += std::fabs(ao - ac);
    sw += (dr * dr + di * di) * w;
    sfow += ao * ao * w;
    if (ip == 1) {
      for (int i = 0; i < idm; ++i) out() << fmt_i(hd[i], 4);
      out() << fmt_e(ao, 12, 4) << fmt_e(ac, 12, 4) << fmt_e(filephase(ao_r, ao_i, obs.phsign), 12, 4)
            << fmt_e(sig, 12, 4) << '\n';
    }
  }
  c2 = static_cast<float>(sw / nind);
  rfact = sfo > 0 ? static_cast<float>(sdiff / sfo) : 0.0f;
  rwfact = sfow > 0 ? static_cast<float>(std::sqrt(sw / sfow)) : 0.0f;
}

void rfct(const Density& d, const Observations& obs, int iwhkl) {
  float c2 = 0, rfact = 0, rwfact = 0;
  rfct(d, obs, c2, rfact, rwfact, iwhkl == 1 ? 1 : (iwhkl == -1 ? -1 : 0));
  out() << "c2=" << fmt_e(c2, 12, 5) << " rfact=" << fmt_f(rfact, 8, 5) << " rwfact="
        << fmt_f(rwfact, 8, 5) << '\n';
}

namespace {
// True when a calculated structure factor of the trial density is beyond
// what the agreement can be measured with (the final agreement stops the
// run on such a value; inside the iteration it means the step was too big).
bool fc_overflow(const Density& d) {
  const int nind = static_cast<int>(d.fcr.size());
  const float* fr = d.fcr.data();
  const float* fi = d.fci.data();
  for (int k = 0; k < nind; ++k) {
    const double ac = std::hypot(double(fr[k]), double(fi[k]));
    if (!(ac <= 1e32)) return true;
  }
  return false;
}
}  // namespace

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
            float s, float f000, float& c2, float& rfact, float& rwfact, float& f0new) {
  restoreoldvalue(st, d);
  st.spare.retry = true;
  st.spare.retry_ex = cur;
  st.spare.retry_imode = imode;
  st.spare.retry_kind = MemTrial::plain;
  denmodmem(c, rs, w, st, d, obs, s, f000, imode, f0new);
  rfct(d, obs, c2, rfact, rwfact, 0);
  out() << cycleline(it, c2, rfact, rwfact, f0new, d.dmin, d.dmax, imode, made * s)
        << " shortened" << std::endl;
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
  record(st.control, c2, rfact, rwfact);
}

int finish(int done, StopReason r, const Progress& p, const MemWatch& watch, const MemCycle& last) {
  const std::string why = reason_text(r);
  out() << "mem stopped after" << fmt_i(done, 6) << " cycles: " << why << std::endl;
  p.end(done, r);
  if (watch) {
    MemCycle e = last;
    e.cycle = done;
    e.end = why.c_str();
    watch(e);
  }
  return done;
}

}  // namespace

int memloop(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs, float f000,
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
    isreturn(st.control, c2, rfact, rwfact);
    c2acc = c2;
    last = {0, c2, rfact, rwfact, nullptr};
    if (ncycle > 0 && cx.c2min > 0 && c2 <= cx.c2min)
      return finish(0, StopReason::c2min, progress, watch, last);
  }
  float ex = 0;
  for (int it = 1; it <= ncycle; ++it) {
    const int imode = it <= cx.nex1 ? 1 : 2;
    if (it == 1 && cx.nex1 > 0) ex = cx.ex1;
    if (it == cx.nex1 + 1) ex = cx.ex2;
    for (;;) {
      float f0new = 0;
      if (!denmodmem(c, rs, w, st, d, obs, ex, f000, imode, f0new) || fc_overflow(d)) {
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
      rfct(d, obs, c2, rfact, rwfact, 0);
      const bool reject = isreturn(st.control, c2, rfact, rwfact);
      const float ex_used = ex;
      const bool back = getnewex(st.control, reject, ex);
      // A step that crosses c2min by far has gone on fitting the noise:
      // it is shortened until it ends just below the target.
      const bool overshoot = !back && cx.c2min > 0 && c2 < kLand * cx.c2min && c2acc > cx.c2min;
      // Each line is flushed as it is written: a run's progress shows in a
      // log file or a pipe as it happens, not in blocks. A step that is not
      // kept says so; the last line of a cycle number is the step kept.
      out() << cycleline(it, c2, rfact, rwfact, f0new, d.dmin, d.dmax, imode, ex_used)
            << (back ? " taken back" : overshoot ? " too far" : "") << std::endl;
      progress.show(it, it, c2, rfact);
      if (overshoot) land(c, rs, w, st, d, obs, it, imode, ex_used, f000, c2acc, cx.c2min, c2, rfact, rwfact, f0new);
      if (back) {
        f0 = restoreoldvalue(st, d);
        if (isconverge(st.control, rfact, rwfact, 1e-6f))
          return finish(it - 1, StopReason::converged, progress, watch, last);
        continue;
      }
      f0 = f0new;
      c2acc = c2;
      savenewvalue(st, d, f0);
      last = {it, c2, rfact, rwfact, nullptr};
      const bool go_on = !watch || watch(last);
      // The chi-square stop: the data are fitted to their noise.
      if (cx.c2min > 0 && c2 <= cx.c2min) return finish(it, StopReason::c2min, progress, watch, last);
      // rwmin: an accepted step that reaches the requested weighted R ends
      // the iteration (0, the default, never does).
      if (rwmin > 0 && rwfact <= rwmin) return finish(it, StopReason::rwmin, progress, watch, last);
      if (!go_on) return finish(it, StopReason::caller, progress, watch, last);
      break;
    }
  }
  return finish(ncycle, StopReason::cycles, progress, watch, last);
}

}  // namespace trovan
