// The maximum-entropy iteration and its agreement factors.
#pragma once
#include <string>

namespace trovan {

void chsdenmodf(int mode);
void memloop(float f000, const std::string& densityfile);
void rfct(int iwhkl);

}  // namespace trovan
