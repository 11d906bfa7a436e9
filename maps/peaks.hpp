// Extrema and peaks of the map, merged by symmetry.
#pragma once

namespace trovan {

void pksearchnd(float pkmin);
// Value and coordinates (fractions of the setting cell) of the minimum and
// the maximum of the map.
void getpeakcrd(float& dmin, float* xmn, float& dmax, float* xmx);

}  // namespace trovan
