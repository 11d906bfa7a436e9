#include "reflections/expand.hpp"

namespace trovan {

void symstf() {}

}  // namespace trovan
