#include "crystal/setting.hpp"

namespace trovan {

void setsmh(int) {}
void setsmx(int) {}

}  // namespace trovan
