#include "util/runstate.hpp"

namespace trovan {

Tofofc scaletofofc(const RunState& r) {
  Tofofc t = r.tofofc;
  t.f000 *= t.fmag;
  t.sg00 *= t.fmag;
  t.sg0 *= t.fmag;
  t.sg1 *= t.fmag;
  return t;
}

void setprj(RunState& r, int iprj, const int (*h)[6]) {
  r.iprj = (iprj < 0) ? 0 : (iprj > kMaxPrj ? kMaxPrj : iprj);
  for (int k = 0; k < r.iprj; ++k)
    for (int i = 0; i < 6; ++i) r.prj[k][i] = h[k][i];
}

void getprjvector(const RunState& r, int k, int* h) {
  for (int i = 0; i < 6; ++i) h[i] = (k >= 0 && k < r.iprj) ? r.prj[k][i] : 0;
}

}  // namespace trovan
