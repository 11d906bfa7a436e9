#include "util/workgrid.hpp"

#include "util/table.hpp"

namespace trovan {

namespace {
Table<float> g_abcdri;
long long g_nt = 0;
}  // namespace

void sizeworkgrid(long long nt) {
  g_abcdri.assign(2 * static_cast<std::size_t>(nt), "the work grid");
  g_nt = nt;
}
long long getworkgridsize() { return g_nt; }
float* getabcdr() { return g_abcdri.data(); }
float* getabcdi() { return g_abcdri.data() + g_nt; }

void resetworkgrid() {
  g_abcdri.release();
  g_nt = 0;
}

}  // namespace trovan
