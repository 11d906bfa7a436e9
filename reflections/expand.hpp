// Expansion of the unique reflections by symmetry and Friedel's law into
// the Fourier coefficients on the reciprocal grid.
#pragma once

namespace trovan {

void symstf();

}  // namespace trovan
