#include "maps/densityfile.hpp"

namespace trovan {

void readdxyz(const std::string&) {}
void wrtdxyz(const std::string&) {}

}  // namespace trovan
