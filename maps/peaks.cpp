#include "maps/peaks.hpp"

namespace trovan {

void pksearchnd(float) {}
void getpeakcrd(float& dmin, float* xmn, float& dmax, float* xmx) {
  dmin = dmax = 0;
  for (int i = 0; i < 6; ++i) xmn[i] = xmx[i] = 0;
}

}  // namespace trovan
