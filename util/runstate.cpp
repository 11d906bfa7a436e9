#include "util/runstate.hpp"


namespace trovan {

namespace {
RunState g_run;
}  // namespace

RunState& runstatenow() { return g_run; }

void setiplt(int iplot) { g_run.iplot = iplot; }
int getiplt() { return g_run.iplot; }
// |iplot| in a wider type: the negation of the most negative int does not
// fit an int.
long long absiplt() { return g_run.iplot < 0 ? -static_cast<long long>(g_run.iplot) : g_run.iplot; }
bool ispatterson() { return absiplt() == 1; }
bool isfourier() { return absiplt() == 2; }
bool isdfourier() { return absiplt() == 3; }
bool ismem() { return absiplt() >= 4; }

void setsys(int isys) { g_run.isys = isys; }
int getsys() { return g_run.isys; }
void setjbc(int jbc) { g_run.jbc = jbc; }
int getjbc() { return g_run.jbc; }
void setsmtr(int ismtr) { g_run.ismtr = ismtr; }
int getsmtr() { return g_run.ismtr; }
void setrwmin(float rwmin) { g_run.rwmin = rwmin; }
float getrwmin() { return g_run.rwmin; }

void settofofc(const Tofofc& t) { g_run.tofofc = g_run.tofofc_input = t; }
Tofofc gettofofc() { return g_run.tofofc; }
float getf0() { return g_run.tofofc.f000; }
void setf0(float f000) { g_run.tofofc.f000 = f000; }
Tofofc scaletofofc() {
  Tofofc t = g_run.tofofc_input;
  t.f000 *= t.fmag;
  t.sg00 *= t.fmag;
  t.sg0 *= t.fmag;
  t.sg1 *= t.fmag;
  g_run.tofofc = t;
  return t;
}

void setcnex(const Cnex& c) { g_run.cnex = c; }
Cnex getcnex() { return g_run.cnex; }

void setprj(int iprj, const int (*h)[6]) {
  g_run.iprj = (iprj < 0) ? 0 : (iprj > kMaxPrj ? kMaxPrj : iprj);
  for (int k = 0; k < g_run.iprj; ++k)
    for (int i = 0; i < 6; ++i) g_run.prj[k][i] = h[k][i];
}
int getiprj() { return g_run.iprj; }
void getprjvector(int k, int* h) {
  for (int i = 0; i < 6; ++i) h[i] = (k >= 0 && k < g_run.iprj) ? g_run.prj[k][i] : 0;
}

void settitle(const std::string& title) { g_run.title = title; }
std::string gettitle() { return g_run.title; }

void resetrunstate() { g_run = RunState{}; }

}  // namespace trovan
