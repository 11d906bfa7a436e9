// Start densities and the current density of a run: Fourier synthesis of
// the expanded coefficients, the uniform MEM start, the asymmetric-unit
// density and its expansion over the whole grid.
#pragma once

namespace trovan {

void initcr1();
void initcr0(float f000);
void setxr0();
void getdmx();
void getbrfromxr0();

}  // namespace trovan
