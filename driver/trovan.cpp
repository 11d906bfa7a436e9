#include "driver/trovan.hpp"

namespace trovan {
void run() {}
}  // namespace trovan
