#include "util/runstate.hpp"


namespace trovan {

namespace {
int g_iplot = 0, g_isys = 0, g_jbc = 0, g_ismtr = 0;
float g_rwmin = 0;
Tofofc g_tofofc;        // in force
Tofofc g_tofofc_input;  // as the keyword input gave it
Cnex g_cnex;
int g_iprj = 0;
int g_prj[kMaxPrj][6] = {};
std::string g_title;
}  // namespace

void setiplt(int iplot) { g_iplot = iplot; }
int getiplt() { return g_iplot; }
// |iplot| in a wider type: the negation of the most negative int does not
// fit an int.
long long absiplt() { return g_iplot < 0 ? -static_cast<long long>(g_iplot) : g_iplot; }
bool ispatterson() { return absiplt() == 1; }
bool isfourier() { return absiplt() == 2; }
bool isdfourier() { return absiplt() == 3; }
bool ismem() { return absiplt() >= 4; }

void setsys(int isys) { g_isys = isys; }
int getsys() { return g_isys; }
void setjbc(int jbc) { g_jbc = jbc; }
int getjbc() { return g_jbc; }
void setsmtr(int ismtr) { g_ismtr = ismtr; }
int getsmtr() { return g_ismtr; }
void setrwmin(float rwmin) { g_rwmin = rwmin; }
float getrwmin() { return g_rwmin; }

void settofofc(const Tofofc& t) { g_tofofc = g_tofofc_input = t; }
Tofofc gettofofc() { return g_tofofc; }
float getf0() { return g_tofofc.f000; }
void setf0(float f000) { g_tofofc.f000 = f000; }
Tofofc scaletofofc() {
  Tofofc t = g_tofofc_input;
  t.f000 *= t.fmag;
  t.sg00 *= t.fmag;
  t.sg0 *= t.fmag;
  t.sg1 *= t.fmag;
  g_tofofc = t;
  return t;
}

void setcnex(const Cnex& c) { g_cnex = c; }
Cnex getcnex() { return g_cnex; }

void setprj(int iprj, const int (*h)[6]) {
  g_iprj = (iprj < 0) ? 0 : (iprj > kMaxPrj ? kMaxPrj : iprj);
  for (int k = 0; k < g_iprj; ++k)
    for (int i = 0; i < 6; ++i) g_prj[k][i] = h[k][i];
}
int getiprj() { return g_iprj; }
void getprjvector(int k, int* h) {
  for (int i = 0; i < 6; ++i) h[i] = (k >= 0 && k < g_iprj) ? g_prj[k][i] : 0;
}

void settitle(const std::string& title) { g_title = title; }
std::string gettitle() { return g_title; }

void resetrunstate() {
  g_iplot = g_isys = g_jbc = g_ismtr = 0;
  g_rwmin = 0;
  g_tofofc = g_tofofc_input = Tofofc{};
  g_cnex = Cnex{};
  g_iprj = 0;
  for (auto& h : g_prj)
    for (int& x : h) x = 0;
  g_title.clear();
}

}  // namespace trovan
