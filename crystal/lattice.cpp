// Placeholder lattice module: reads the general-setting lines so that a run
// gets through its keyword input; the basis itself is built later.
#include "crystal/lattice.hpp"

#include "driver/input.hpp"
#include "driver/runstate.hpp"
#include "util/fortran_fmt.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {
float g_ac = 1, g_cc = 1;
float g_det = 0;
float g_vol = 1;
}  // namespace

void setac(float a, float c) {
  g_ac = a;
  g_cc = getsys() >= 3 ? c : a;
}
void getac(float& a, float& c) {
  a = g_ac;
  c = g_cc;
}
void seteps(float, float, float, float) {}

void readlc() {
  float v[6];
  freadr("a=", 1, v[0], 1);
  freadr("b=", 1, v[1], 0);
  freadr("c=", 1, v[2], 0);
  freadr("cosa=", 1, v[3], 0);
  freadr("cosb=", 1, v[4], 0);
  freadr("cosc=", 1, v[5], 0);
  out() << "a,b,c=" << fmt_f(v[0], 10, 4) << fmt_f(v[1], 10, 4) << fmt_f(v[2], 10, 4)
        << " cosa,cosb,cosc=" << fmt_f(v[3], 9, 5) << fmt_f(v[4], 9, 5) << fmt_f(v[5], 9, 5) << '\n';
}

void rdkvctr(int& ndm) {
  freadi("ndm=", 1, ndm, 1);
  out() << "ndm=" << fmt_i(ndm, 3) << '\n';
  for (int m = 0; m < ndm; ++m) {
    float k[3];
    freadrv("k=", 3, k, 1);
    out() << "k=" << fmt_f(k[0], 10, 5) << fmt_f(k[1], 10, 5) << fmt_f(k[2], 10, 5) << '\n';
  }
}

void calltcs() {}
void setumtrx(int) {}

void readvmtrx() {
  int iseging = 0;
  float v[18];
  freadi("iseging=", 1, iseging, 1);
  freadrv("v=", 18, v, 1);
}

void setdqmtrx() {}
void setd() {}
void setdr() {}
float getdet() { return g_det; }
void setdei() {}
void intskp() {}
void mtrtns() {}

void readst1234() {
  float s[9];
  for (const char* key : {"s1=", "s2=", "s3=", "s4="}) freadrv(key, 9, s, 1);
  if (getjbc() == -1) quit("jbc=-1: end of job", kExitOk);
  for (const char* key : {"t1=", "t2=", "t3=", "t4="}) freadrv(key, 9, s, 1);
}

void setvol() {}
float getvol() { return g_vol; }

void getqi00(const int*, float* q) { for (int i = 0; i < 6; ++i) q[i] = 0; }
void getqi0(const int* h, float* q) { getqi00(h, q); }
void getqir(const int* h, float* q) { getqi00(h, q); }
void getqi(const int* h, float* q) { getqi00(h, q); }
void getqe0(const float*, float* e) { for (int i = 0; i < 6; ++i) e[i] = 0; }
void getqe(const float* x, float* e) { getqe0(x, e); }
void getxe00(const float*, float* e) { for (int i = 0; i < 6; ++i) e[i] = 0; }
void getxe(const float* x, float* e) { getxe00(x, e); }
void rltscale(float*) {}
void ltscale(float*) {}

}  // namespace trovan
