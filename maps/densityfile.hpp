// The density file: the whole grid as one record of nt 32-bit reals.
#pragma once
#include <string>

namespace trovan {

void readdxyz(const std::string& name);
void wrtdxyz(const std::string& name);

}  // namespace trovan
