#include "util/workgrid.hpp"

namespace trovan {

namespace {
float g_abcdri[2 * static_cast<long long>(kGridMax)];
}

float* getabcdr() { return g_abcdri; }
float* getabcdi() { return g_abcdri + kGridMax; }

}  // namespace trovan
