// Run-wide switches and values that the driver reads from the keyword input
// and every later stage consults: the system kind, the map kind, the job
// control, the scale and F(000) block, the MEM step controls, and the
// projection vectors of a projected map.
#pragma once
#include <string>

namespace trovan {

// Map kind by abs(iplot): 1 Patterson, 2 Fourier, 3 difference Fourier,
// 4 and above maximum entropy.
void setiplt(int iplot);
int getiplt();
long long absiplt();  // |iplot|, also for the most negative int
bool ispatterson();
bool isfourier();
bool isdfourier();
bool ismem();

void setsys(int isys);  // 0 general setting, 1..5 built-in quasicrystal bases
int getsys();
void setjbc(int jbc);   // job control; negative asks for the q-system transformation
int getjbc();
void setsmtr(int ismtr);  // superstructure multiplier
int getsmtr();
void setrwmin(float rwmin);
float getrwmin();

// F(000), the scale applied to every amplitude and the three sigma values,
// kept in this order.
struct Tofofc {
  float f000 = 0, fmag = 0, sg00 = 0, sg0 = 0, sg1 = 0;
};
// The block as the keyword input gives it (on the scale of the reflection
// file); it is also the block in force until the reflection file is read.
void settofofc(const Tofofc& t);
// The block in force: after scaletofofc on the scale of the amplitudes; the
// expansion and the maximum-entropy iteration rewrite its F(000) (setf0).
Tofofc gettofofc();
float getf0();
void setf0(float f000);
// Puts the block in force on the scale of the amplitudes: F(000) and the
// three sigma values as the input gave them, times fmag. Always from the
// values as given, so that reading the reflection file again gives the same
// F(000). Returns the block now in force.
Tofofc scaletofofc();

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
void setcnex(const Cnex& c);
Cnex getcnex();

// Projection vectors ("h=" lines): reflections with a non-zero scalar
// product with any of them are left out of a projected map.
constexpr int kMaxPrj = 6;
void setprj(int iprj, const int (*h)[6]);
int getiprj();
void getprjvector(int k, int* h);  // k = 0..iprj-1

void settitle(const std::string& title);
std::string gettitle();

// The switches and values above as one value: the run state of a job.
struct RunState {
  int iplot = 0, isys = 0, jbc = 0, ismtr = 0;
  float rwmin = 0;
  Tofofc tofofc;        // in force
  Tofofc tofofc_input;  // as the keyword input gave it
  Cnex cnex;
  int iprj = 0;
  int prj[kMaxPrj][6] = {};
  std::string title;
};

// The run state of the current job, which the set/get functions above read
// and write. Transitional: the layers will be handed the values they need
// instead.
RunState& runstatenow();

// Every value above back to its state at the start of the program.
void resetrunstate();

}  // namespace trovan
