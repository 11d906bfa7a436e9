// The multi-dimensional complex FFT of the work grid.
//
// Densities and structure factors live on a grid of up to six axes, the
// first axis varying fastest, as two split arrays: the real parts `a` and the
// imaginary parts `b`, one entry per grid point. `cft1` transforms the whole
// grid in place axis by axis; `fft` is the one-dimensional mixed-radix
// transform (Singleton's in-place algorithm) that it calls per axis.
//
// Sign convention: with isn = +1 the result is
//     X(k) = sum_j x(j) exp(+2 pi i j.k / n),
// which is the Fourier synthesis of a density from its structure factors;
// isn = -1 gives exp(-2 pi i j.k / n), structure factors from a density.
// No normalisation is applied: a +1 transform followed by a -1 transform
// returns the input multiplied by the number of grid points, and callers
// apply the 1/V and V/nt scales themselves.
//
// Lengths: every prime factor of an axis length must be at most 23 and the
// square-free part of the length (what is left after square factors are
// paired off) at most 210; otherwise the run stops with
// "array bounds exceeded within subroutine fft".
#pragma once
#include <vector>

namespace trovan {

// Transforms the m-dimensional grid of sizes n[0..m-1] (n[0] fastest) in
// place. icon = 0 on success; icon = 30000 when m < 1, in which case nothing
// is touched. Every axis length is checked before any axis is transformed,
// so a run that stops on a bad length leaves the grid as it was.
void cft1(float* a, float* b, const int* n, int m, int isn, int& icon);

// The points of a transform that matter, axis by axis. in[e], when it has
// n[e] entries, marks the coordinates along axis e at which the input may
// be non-zero: the input is taken as zero at every point with an unmarked
// coordinate, and the grid is not even read there (it may hold anything).
// out[e] marks the coordinates of the outputs wanted. An empty entry stands
// for the whole axis. A synthesis from a few thousand reflections has input
// only at the low indices, and the structure factors are wanted only there:
// the lines of the grid that can hold nothing but zeros, or that feed only
// unwanted outputs, are not transformed, which on a fine grid saves most of
// the work. The wanted outputs come out the same to the last bit as from
// the whole transform of the input (a zero may differ in sign); the others
// are left undefined.
struct FftPrune {
  std::vector<unsigned char> in[6], out[6];
};
void cft1(float* a, float* b, const int* n, int m, int isn, int& icon, const FftPrune* prune);

// One-dimensional transforms of length n over an array of ntot complex
// points: the transformed axis has its elements nspan/n apart, and the
// transform is repeated for every other index (ntot/n transforms). nspan is
// the product of the lengths of this axis and all faster axes.
void fft(float* a, float* b, long long ntot, int n, long long nspan, int isn);

// True for a length the transform takes: every prime factor at most 23
// and the square-free part at most 210.
bool isfftlen(int n);

// The instruction set of the transform's kernels: 0 scalar, 1 SSE2 (or a
// portable 4-lane vector), 2 AVX2 with FMA, 3 AVX-512. The widest the
// processor has is used; setfftisa(level) limits it to `level` (tests run
// every set the machine has) and returns the set then in use. The loops
// around the half-grid transforms that have vector versions (the placing of
// a difference map's runs, the read of structure factors) follow it too,
// so that a test can run both of their paths on one machine.
int getfftisa();
int setfftisa(int level);

}  // namespace trovan
