// The maximum-entropy update of the stored density values, point by point:
// the weighting of the difference map, the step rho' = rho exp(step q) (and
// its continued and rescaled forms), the cell total of the new values.
//
// These loops take one exp and one log per stored point, millions per
// cycle, and are compiled (in memupdate.cpp, with floating-point exceptions
// assumed never trapped and no fused multiply-adds) to vector instructions
// for each instruction set below. Every version gives the same bits: the
// arithmetic is the same sequence of correctly rounded float operations in
// each, so the iteration does not depend on the processor or the number of
// threads.
#pragma once

namespace trovan {

// The share of the last step that the next one continues: in a valley of
// c2 whose walls are steep and whose floor falls gently (strong and weak
// reflections with sigmas a hundred times apart), steps along the
// difference map alone zigzag across it; continuing 0.8 of the previous
// step carries the iteration along the floor.
constexpr float kContinue = 0.8f;

// The instruction sets the update is compiled for (avx512: avx512f with
// avx512bw).
enum class UpdateIsa { base, avx2, avx512 };
// Whether the processor runs isa; the widest one it runs.
bool update_isa_runs(UpdateIsa isa);
UpdateIsa update_isa();

// q = h w(x) in place over a block of len points (w = 1/sqrt(x/rhomean +
// 1e-3) in imode 1, 1 in imode 2); returns the largest |q|. A q that is not
// a number is passed over here: it makes the updated value not a number,
// which the update reports.
float weigh(float* q, const float* x, long long len, float rhomean, int imode, UpdateIsa isa = update_isa());
// weigh over 2 pairs points whose values are kept in pairs, point 2u in
// a[u] and point 2u + 1 in b[u] (x holds all 2 pairs in order), in place.
float weigh_pairs(float* a, float* b, const float* x, long long pairs, float rhomean, int imode,
                  UpdateIsa isa = update_isa());

// The update of the stored values [lo, hi): xnew = x exp(step q), plus
// kContinue ln(x / xnew) in the exponent when cont (xnew then holds the
// density before the last step); q[i - lo] is the weighted map at point i,
// m[i] the orbit size. Returns the cell total of the new values (sum of
// m[i] xnew[i], summed in lanes in a fixed order); sets bad when a value
// overflowed or is not a number, nonpos when a value of x is not positive.
// xnew may be x itself.
double update_block(float* xnew, const float* x, const float* q, const unsigned char* m, long long lo,
                    long long hi, float step, bool cont, bool& bad, bool& nonpos, UpdateIsa isa = update_isa());

// weigh in place on a map left on the half grid (a and b, paired as
// HalfMap in halfgrid.hpp describes with B), over the run of full grid
// points p0 .. p0+len-1 whose densities are x[0 .. len-1]: the update's
// first pass over a block read as a run, the weighted map kept where the
// map lay, without copies through a buffer. The same bits as the map read
// in order and weighed; returns the largest |q|.
float weighrun(float* a, float* b, long long B, long long p0, long long len, const float* x, float rhomean,
               int imode, UpdateIsa isa = update_isa());

// update_block with the weighted map kept in pairs: point lo + 2u in qa[u],
// point lo + 2u + 1 in qb[u] (a half-grid map paired along the fastest axis,
// read where it lies).
double update_pairs(float* xnew, const float* x, const float* qa, const float* qb, const unsigned char* m, long long lo,
                    long long hi, float step, bool cont, bool& bad, bool& nonpos, UpdateIsa isa = update_isa());

// A step taken back and retried with ex scaled by r: xnew = x (xnew /
// x)^r, in ln rho, over [lo, hi). Returns the cell total of the new values
// as update_block does; sets nonpos when a value of x is not positive.
double retry_block(float* xnew, const float* x, const unsigned char* m, long long lo, long long hi, float r,
                   bool& nonpos, UpdateIsa isa = update_isa());

}  // namespace trovan
