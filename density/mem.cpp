#include "density/mem.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

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

namespace trovan {

namespace {

// Agreement record of the last accepted step; `count` is -1 before the
// first test, then the number of trial steps rejected since.
struct Record {
  int count = -1;
  float c2 = 0, rfact = 0, rwfact = 0;
};
Record g_rec;
int g_accepted = 0;  // consecutive accepted steps
int g_halvings = 0;
int g_denmodf = 0;

// The last accepted state: the structure factors calculated from it (the
// next difference map needs them) and its F000. The accepted density list
// itself is not copied: a trial step writes the other of synthesis's two
// lists and makes it current (g_trial), and taking the step back makes the
// untouched accepted list current again.
std::vector<float> g_saved_fcr, g_saved_fci;
float g_saved_f0 = 0;
bool g_trial = false;

void savenewvalue(float f0) {
  g_trial = false;
  const int nind = getnind();
  g_saved_fcr.assign(getfcr(), getfcr() + nind);
  g_saved_fci.assign(getfci(), getfci() + nind);
  g_saved_f0 = f0;
}

float restoreoldvalue() {
  if (g_trial) {
    swapxr0();
    g_trial = false;
  }
  float* fr = getfcr();
  float* fi = getfci();
  for (std::size_t k = 0; k < g_saved_fcr.size(); ++k) {
    fr[k] = g_saved_fcr[k];
    fi[k] = g_saved_fci[k];
  }
  getdmx();
  return g_saved_f0;
}

// Every stored density value must be positive: the update multiplies it.
void check_positive() {
  const int n = getnxr0();
  const float* x = getxr0();
  int bad = 0;
  for (int i = 0; i < n; ++i) bad |= !(x[i] > 0);
  if (!bad) return;
  const int* jx = getxr0grid();
  for (int i = 0; i < n; ++i) {
    if (!(x[i] > 0)) {
      out() << "j,br(j),x" << fmt_i(jx[i], 10) << fmt_e(x[i], 12, 5) << '\n';
      quit("xr0 <= 0 so mem does not work");
    }
  }
}

}  // namespace

// One trial step: difference map, update, extrema, new structure factors.
// False when the step was so large that a density value under- or
// overflowed single precision: the caller takes it back and halves ex.
bool denmodmem(float ex, float f000, int imode, float& f0new) {
  check_positive();
  // The update needs h = V*D with D the difference map (1/V) sum ...: the
  // synthesis before its 1/V scale is h itself, so the grid is not scaled.
  difxyzv();
  const float* ha = getabcdr();
  const float* hb = getabcdi();
  const bool packed = difxyzvpacked();
  const int n = getnxr0();
  // The trial is written to the spare list, which then becomes current; the
  // accepted density stays intact in the other list until the trial is
  // judged. A further step from an unjudged trial updates it in place.
  const float* x = getxr0();
  float* xnew = g_trial ? getxr0() : getxr0spare();
  const int* jx = getxr0grid();
  const float vol = getvol();
  const float dmax = getdmaxcur();
  if (imode != 1 && imode != 2) {
    out() << "imode=" << imode << '\n';
    quit("invalid imode in expand2");
  }
  // expand1 for every stored point, with the mode's branch taken once.
  // The smallest and largest new values tell whether any under- or
  // overflowed (or is not a number: both comparisons then fail).
  float lo = INFINITY, hi = 0;
  bool nan = false;
  auto update = [&](auto h) {
    if (imode == 1) {
      const float c = f000 / 1000.0f;
      for (int i = 0; i < n; ++i) {
        const float s = std::sqrt(vol * x[i] + c);
        const float v = s > 0 ? x[i] * std::exp(ex * h(jx[i]) / s) : x[i];
        xnew[i] = v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        nan |= v != v;
      }
    } else {
      const float s = std::sqrt(vol * dmax);
      const float e = s > 0 ? ex / s : 0.0f;
      for (int i = 0; i < n; ++i) {
        const float v = x[i] * std::exp(e * h(jx[i]));
        xnew[i] = v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        nan |= v != v;
      }
    }
  };
  if (packed)
    update([&](int j) { return (j & 1 ? hb : ha)[j >> 1]; });
  else
    update([&](int j) { return ha[j]; });
  if (!g_trial) {
    swapxr0();
    g_trial = true;
  }
  if (nan || !(lo > 0) || !(hi < INFINITY)) return false;
  getdmx();
  f0new = maphkl();
  return true;
}

float expand1(float rho, float d, float vol, float f000, float dmax, float ex, int imode) {
  const float h = vol * d;
  float s;
  if (imode == 1) {
    s = std::sqrt(vol * rho + f000 / 1000.0f);
  } else if (imode == 2) {
    s = std::sqrt(vol * dmax);
  } else {
    out() << "imode=" << imode << '\n';
    quit("invalid imode in expand2");
  }
  if (!(s > 0)) return rho;  // no scale: nothing to move
  return rho * std::exp(ex * h / s);
}

void chsdenmodf(int mode) { g_denmodf = mode; }

void resetmemcontrol() {
  g_rec = Record{};
  g_accepted = 0;
  g_halvings = 0;
}

bool isreturn(float c2, float rfact, float rwfact) {
  bool reject = false;
  if (!std::isfinite(c2) || !std::isfinite(rfact) || !std::isfinite(rwfact)) {
    // An overflowed agreement is never better than the last accepted one.
    if (g_rec.count >= 0) {
      ++g_rec.count;
      return true;
    }
  } else if (g_rec.count >= 0) {
    ++g_rec.count;
    reject = rfact > 1 || rwfact > 1 ||
             (c2 > g_rec.c2 && rfact > g_rec.rfact && rwfact > g_rec.rwfact);
  }
  if (!reject) g_rec = Record{0, c2, rfact, rwfact};
  return reject;
}

bool getnewex(bool reject, float& ex) {
  if (!reject) {
    if (g_accepted >= 3) {
      ex *= 2;
      g_accepted = 0;
      g_halvings = 0;
    } else {
      ++g_accepted;
    }
    return false;
  }
  g_accepted = 0;
  // Below this the step can no longer change the density: accept it.
  if (ex <= 1e-10f) return false;
  ++g_halvings;
  // Low-density elimination is not part of this program's MEM: always halve.
  ex *= 0.5f;
  return true;
}

bool isconverge(float rfact, float rwfact, float eps) {
  if (g_rec.count <= 5) return false;
  return std::fabs(rfact - g_rec.rfact) < eps && std::fabs(rwfact - g_rec.rwfact) < eps;
}

std::string cycleline(int it, float c2, float rfact, float rwfact, float f0, float dmin, float dmax,
                      int stage, float ex) {
  std::string s = "ic=" + fmt_i(it, 3) + " c2=" + fmt_e(c2, 12, 5) + " rfact=" + fmt_f(rfact, 8, 5) +
                  " rwfact=" + fmt_f(rwfact, 8, 5) + " f0=" + fmt_f(f0, 6, 0) +
                  " dmin=" + fmt_f(dmin, 9, 5) + " dmax=" + fmt_f(dmax, 10, 1);
  s += stage == 1 ? " ex1=" : " ex2=";
  s += fmt_e(ex, 10, 3);
  return s;
}

void rfct(float& c2, float& rfact, float& rwfact, int ip) {
  if (ip == -1) quit("ip=-1 does not work in this version");
  const int nind = getnind();
  if (nind < 1) {
    out() << "nind in rfct=" << fmt_i(nind, 8) << '\n';
    quit("nind should be positive ");
  }
  const int idm = getidm();
  double sfo = 0, sdiff = 0, sw = 0, sfow = 0;
  for (int k = 0; k < nind; ++k) {
    int j = 0;
    float ao_r = 0, ao_i = 0, sig = 0, ac_r = 0, ac_i = 0;
    getfobs(k, j, ao_r, ao_i, sig);
    ac_r = getfcr()[k];
    ac_i = getfci()[k];
    const double ao = std::hypot(double(ao_r), double(ao_i));
    const double ac = std::hypot(double(ac_r), double(ac_i));
    // The reflection as the file gives it: setting indices, and the phase
    // in the file's sign convention.
    int hd[6] = {};
    getfobshkl(k, hd);
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
      out() << fmt_e(ao, 12, 4) << fmt_e(ac, 12, 4) << fmt_e(filephase(ao_r, ao_i), 12, 4)
            << fmt_e(sig, 12, 4) << '\n';
    }
  }
  c2 = static_cast<float>(sw / nind);
  rfact = sfo > 0 ? static_cast<float>(sdiff / sfo) : 0.0f;
  rwfact = sfow > 0 ? static_cast<float>(std::sqrt(sw / sfow)) : 0.0f;
}

void rfct(int iwhkl) {
  float c2 = 0, rfact = 0, rwfact = 0;
  rfct(c2, rfact, rwfact, iwhkl == 1 ? 1 : (iwhkl == -1 ? -1 : 0));
  out() << "c2=" << fmt_e(c2, 12, 5) << " rfact=" << fmt_f(rfact, 8, 5) << " rwfact="
        << fmt_f(rwfact, 8, 5) << '\n';
}

namespace {
// True when a calculated structure factor of the trial density is beyond
// what the agreement can be measured with (the final agreement stops the
// run on such a value; inside the iteration it means the step was too big).
bool fc_overflow() {
  const int nind = getnind();
  const float* fr = getfcr();
  const float* fi = getfci();
  for (int k = 0; k < nind; ++k) {
    const double ac = std::hypot(double(fr[k]), double(fi[k]));
    if (!(ac <= 1e32)) return true;
  }
  return false;
}
}  // namespace

int memloop(float f000, const std::string&) {
  resetmemcontrol();
  const Cnex cx = getcnex();
  const float rwmin = getrwmin();
  check_positive();
  float f0 = maphkl();  // structure factors of the start
  setf0(f0);
  savenewvalue(f0);
  // The start's agreement is the first record, so that the first trial step
  // is judged against it like every later one (accepting it unseen could
  // keep a step that made the agreement worse, or overflowed).
  {
    float c2 = 0, rfact = 0, rwfact = 0;
    rfct(c2, rfact, rwfact, 0);
    isreturn(c2, rfact, rwfact);
  }
  const int ncycle = cx.nex1 + cx.nex2;
  (void)f000;
  float ex = 0;
  int it = 0;
  for (it = 1; it <= ncycle; ++it) {
    const int imode = it <= cx.nex1 ? 1 : 2;
    if (it == 1 && cx.nex1 > 0) ex = cx.ex1;
    if (it == cx.nex1 + 1) ex = cx.ex2;
    for (;;) {
      float f0new = 0;
      if (!denmodmem(ex, f0, imode, f0new) || fc_overflow()) {
        // exp() of the step, or the structure factors of the new density,
        // under- or overflowed: the step is certainly too large.
        out() << "ic=" << fmt_i(it, 3) << " step too large for single precision, ex"
              << (imode == 1 ? "1=" : "2=") << fmt_e(ex, 10, 3) << " halved\n";
        f0 = restoreoldvalue();
        if (!getnewex(true, ex)) quit("maximum-entropy step underflows even at ex <= 1e-10");
        continue;
      }
      float c2 = 0, rfact = 0, rwfact = 0;
      rfct(c2, rfact, rwfact, 0);
      const bool reject = isreturn(c2, rfact, rwfact);
      const float ex_used = ex;
      const bool back = getnewex(reject, ex);
      out() << cycleline(it, c2, rfact, rwfact, f0new, getdmincur(), getdmaxcur(), imode, ex_used)
            << '\n';
      if (back) {
        f0 = restoreoldvalue();
        if (isconverge(rfact, rwfact, 1e-6f)) return it;
        continue;
      }
      f0 = f0new;
      setf0(f0);
      savenewvalue(f0);
      // rwmin: an accepted step that reaches the requested weighted R ends
      // the iteration (0, the default, never does).
      if (rwmin > 0 && rwfact <= rwmin) return it;
      break;
    }
  }
  return ncycle > 0 ? ncycle : 0;
}

}  // namespace trovan
