// The maximum-entropy iteration.
//
// The density is kept at the symmetry-independent grid points and must stay
// positive. Each cycle synthesises the difference map
//   D(x) = (1/V) sum_h (Fo(h) - Fc(h)) / sigma(h)^2 exp(+2 pi i h.x),
// which is (up to a positive factor) minus the gradient of
//   c2 = sum |Fo - Fc|^2 / sigma^2 / nind
// with respect to the density, and multiplies every density value by
// exp(ex * V * D / s): a step downhill in c2 that keeps the density positive
// (the exponential form is that of the entropy maximum). s sets the scale:
// sqrt(V rho + F000/1000) in the first stage, sqrt(V dmax) in the second.
// A step that makes c2, R and Rw all worse, or R or Rw above 1, is taken
// back and tried again with half the step; three good steps in a row double
// it.
#pragma once
#include <string>

namespace trovan {

void chsdenmodf(int mode);
// Runs the iteration from the current density; returns the last cycle.
int memloop(float f000, const std::string& densityfile);

// Agreement of the calculated structure factors of the current density with
// the observed ones, over the independent reflections: c2 = sum |Fo-Fc|^2 /
// sigma^2 / nind, R = sum ||Fo|-|Fc|| / sum |Fo|, Rw = sqrt(sum |Fo-Fc|^2 /
// sigma^2 / sum |Fo|^2 / sigma^2). ip = 1 also lists every reflection.
void rfct(float& c2, float& rfact, float& rwfact, int ip);
// The final agreement after a MEM run, listed with `iwhkl` as ip.
void rfct(int iwhkl);

// Step-size control and acceptance, exposed for the tests. `isreturn` says
// whether a trial step with these agreement values is to be taken back;
// `getnewex` adapts `ex` after it and says whether the step is taken back.
void resetmemcontrol();
// The step control and the saved accepted state, as at the start of the
// program.
void resetmem();
bool isreturn(float c2, float rfact, float rwfact);
bool getnewex(bool reject, float& ex);
bool isconverge(float rfact, float rwfact, float eps);

// One trial step from the current density: difference map, update of every
// stored point, extrema, structure factors of the new density (f0new is its
// F000). False when a density value under- or overflowed single precision.
bool denmodmem(float ex, float f000, int imode, float& f0new);

// The density update of one stored point (imode 1 or 2).
float expand1(float rho, float d, float vol, float f000, float dmax, float ex, int imode);

// The cycle line, "(a,i3,a,e12.5,2(a,f8.5),a,f6.0,a,f9.5,a,f10.1,a,e10.3)".
std::string cycleline(int it, float c2, float rfact, float rwfact, float f0, float dmin, float dmax,
                      int stage, float ex);

}  // namespace trovan
