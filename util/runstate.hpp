// Run-wide switches and values that the driver reads from the keyword input
// and every later stage consults: the system kind, the map kind, the job
// control, the scale and F(000) block, the MEM step controls, and the
// projection vectors of a projected map. One value (RunState) a job holds
// and hands to the stages that need it.
#pragma once
#include <string>

namespace trovan {

// F(000), the scale applied to every amplitude and the three sigma values,
// kept in this order.
struct Tofofc {
  float f000 = 0, fmag = 0, sg00 = 0, sg0 = 0, sg1 = 0;
};

// MEM step controls: cycles and step factors of the two stages, the
// chi-square target at which the iteration stops (0: no such stop), and the
// order of the moment of the normalised residuals the steps follow (0: the
// order the data call for, see density/mem.hpp); exact = 1 seeks the map of
// maximum entropy at c2min after the iteration (density/mem.cpp).
struct Cnex {
  int nex1 = 0, nex2 = 0;
  float ex1 = 0, ex2 = 0;
  float c2min = 1;
  int fn = 0;
  int exact = 0;  // 1: the maximum-entropy map at c2min after the stop
};

// Projection vectors ("h=" lines): reflections with a non-zero scalar
// product with any of them are left out of a projected map.
constexpr int kMaxPrj = 6;

// The switches and values of a job.
struct RunState {
  int iplot = 0;  // map kind, see absiplt
  int isys = 0;   // 0 general setting, 1..5 built-in quasicrystal bases
  int jbc = 0;    // job control; negative asks for the q-system transformation
  int ismtr = 0;  // superstructure multiplier
  float rwmin = 0;
  Tofofc tofofc;  // as the keyword input gives it (on the scale of the reflection file)
  Cnex cnex;
  int iprj = 0;
  int prj[kMaxPrj][6] = {};
  std::string title;
};

// Map kind by abs(iplot): 1 Patterson, 2 Fourier, 3 difference Fourier,
// 4 and above maximum entropy. |iplot| in a wider type: the negation of the
// most negative int does not fit an int.
inline long long absiplt(const RunState& r) {
  return r.iplot < 0 ? -static_cast<long long>(r.iplot) : r.iplot;
}
inline bool ispatterson(const RunState& r) { return absiplt(r) == 1; }
inline bool isfourier(const RunState& r) { return absiplt(r) == 2; }
inline bool isdfourier(const RunState& r) { return absiplt(r) == 3; }
inline bool ismem(const RunState& r) { return absiplt(r) >= 4; }

// The block on the scale of the amplitudes: F(000) and the three sigma
// values as the input gave them, times fmag.
Tofofc scaletofofc(const RunState& r);

// The projection vectors, at most kMaxPrj.
void setprj(RunState& r, int iprj, const int (*h)[6]);
void getprjvector(const RunState& r, int k, int* h);  // k = 0..iprj-1

}  // namespace trovan
