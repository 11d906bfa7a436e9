#include "crystal/gridindex.hpp"

#include "crystal/symmetry.hpp"

namespace trovan {

namespace {
int g_n[6] = {1, 1, 1, 1, 1, 1};
long long g_mm[7] = {1, 1, 1, 1, 1, 1, 1};
}  // namespace

void setng(const int* n) {
  for (int i = 0; i < 6; ++i) g_n[i] = n[i];
}
void getng(int* n) {
  for (int i = 0; i < 6; ++i) n[i] = g_n[i];
}
void gethmax(int* n) { getng(n); }

void calmm() {
  // Strides M0 = 1, Mi = Mi-1 * Ni; saturated far above 2^24 so that a
  // huge grid reaches the size check instead of overflowing.
  const long long cap = 1LL << 40;
  g_mm[0] = 1;
  const int idm = getidm();
  for (int i = 1; i <= 6; ++i) {
    long long ni = (i <= idm) ? g_n[i - 1] : 1;
    long long m = g_mm[i - 1] * (ni > 0 ? ni : 0);
    g_mm[i] = m > cap ? cap : m;
  }
}

void setitt() {}

long long getnt() { return g_mm[getidm()]; }

void setsmopprm() {}
void setindfindx() {}
void setindxindx() {}

}  // namespace trovan
