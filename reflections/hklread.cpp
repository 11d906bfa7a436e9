#include "reflections/hklread.hpp"

namespace trovan {

namespace {
std::string g_flnm1;
}

void setflnm1(const std::string& name) { g_flnm1 = name; }
void rdhklq(float, const std::string&, int) {}

}  // namespace trovan
