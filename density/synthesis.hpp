// Syntheses on the superspace grid and the current density of a run.
//
// Sign and scale conventions: a density is synthesised as
//   rho(x) = (1/V) sum_h F(h) exp(+2 pi i h.x)      (fft with isn = +1)
// and structure factors are computed back as
//   F(h) = (V/nt) sum_x rho(x) exp(-2 pi i h.x)     (fft with isn = -1),
// so that the two are inverse to each other.
//
// The current density is kept as a list over the symmetry-independent grid
// points (`getxr0`, with the grid index of each point in `getxr0grid`); the
// full grid is made from it by `getbrfromxr0`.
#pragma once
#include <vector>

#include "density/halfgrid.hpp"

namespace trovan {

// The syntheses of real maps run on a half grid of paired points when the
// grid has an axis of even length (density/halfgrid.hpp); the map is always
// left in the real half of the work grid at every point, the imaginary half
// cleared.
void mapxyz();   // Fourier synthesis of the coefficients in the work grid
// Difference coefficients (Fo - Fc)/sigma^2 of the independent reflections,
// each times w[k] when weights are given.
void setdf(const float* w = nullptr);
void difxyz();   // setdf, then synthesis: the difference map in the work grid
// The same map times V (the synthesis without its 1/V scale), left in the
// work grid where the synthesis made it: on the half grid when the grid has
// a pairing axis (read it with halfmaprun or halfmapat).
HalfMap difxyzv(const float* w = nullptr);
// Structure factors of the current density at the independent reflections
// (getfcr, getfci); returns F000. The work grid is left as scratch (the
// real density is transformed as a half grid of paired points when the
// grid has an axis of even length).
float maphkl();

void initcr1();
void initcr0(float f000);
void setxr0();   // the current density list := the work grid at the independent points
void getdmx();   // minimum and maximum of the current density list
// The current density list scaled by k and held at or above floor, its
// minimum and maximum found in the same pass.
void scalexr0(float k, float floor);
float getdmincur();
float getdmaxcur();
void getbrfromxr0();  // the work grid := the current density at every grid point
// After setxr0 of a map read from a file: stops the run when the map in the
// work grid does not have the symmetry of the job (the density list keeps
// one value per orbit, and would make a map of a lower symmetry symmetric
// from its asymmetric unit without a word).
void checkxr0symmetry();

int getnxr0();
float* getxr0();
// The spare density list (getnxr0() entries, same points): a trial density
// is written there, and swapxr0() makes it current, or back again.
float* getxr0spare();
void swapxr0();
const int* getxr0grid();
// How many grid points each stored density value stands for (the size of
// its orbit under the group; 1 for a whole map): the weights of a sum over
// the whole grid, such as F(000) = (V/nt) sum_i m_i rho_i.
void getxr0orbits(std::vector<unsigned char>& m);

// Calculated structure factors of the current density at the independent
// reflections (same order as the observed list).
float* getfcr();
float* getfci();

// No current density, as at the start of the program.
void resetsynthesis();

}  // namespace trovan
