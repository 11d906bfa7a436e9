#include "density/synthesis.hpp"

namespace trovan {

void initcr1() {}
void initcr0(float) {}
void setxr0() {}
void getdmx() {}
void getbrfromxr0() {}

}  // namespace trovan
