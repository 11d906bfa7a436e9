// The reflection file: indices, amplitudes, phase (and sigma for MEM) per
// record, read with the user's Fortran format, cut at qimax and scaled.
#pragma once
#include <string>

namespace trovan {

constexpr int kNhmax = 45000;  // reflections kept at most

void setflnm1(const std::string& name);  // the reflection file ("file1=")
void rdhklq(float qimax, const std::string& frmt, int isel);

}  // namespace trovan
