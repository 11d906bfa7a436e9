// The density file: the whole superspace grid of a run, nt 32-bit reals in
// grid index order, as one record of a Fortran unformatted sequential file
// (a 4-byte little-endian byte count 4*nt before and after the values).
// A continuation run (icont = 1) reads it back, so it is written safely: to
// a temporary file beside it, renamed over the old one only when complete
// (util/tempfiles.hpp). The reader takes only a regular file whose one
// record holds exactly this grid of finite values.
#pragma once
#include <string>

namespace trovan {

void readdxyz(const std::string& name, float* rho, long long nt);
void wrtdxyz(const std::string& name, const float* rho, long long nt);

}  // namespace trovan
