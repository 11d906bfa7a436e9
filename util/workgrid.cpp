#include "util/workgrid.hpp"

#include <utility>

#include "util/table.hpp"

namespace trovan {

namespace {
// The work grid of the current job: real parts, then imaginary parts.
// Transitional: the syntheses will be handed the grid they work on.
Table<float> g_abcdri;
}  // namespace

void sizeworkgrid(long long nt) { g_abcdri.assign(2 * static_cast<std::size_t>(nt), "the work grid"); }
long long getworkgridsize() { return static_cast<long long>(g_abcdri.size() / 2); }
float* getabcdr() { return g_abcdri.data(); }
float* getabcdi() { return g_abcdri.data() + g_abcdri.size() / 2; }

Table<float> takeworkgrid() { return std::move(g_abcdri); }

void resetworkgrid() { g_abcdri.release(); }

}  // namespace trovan
