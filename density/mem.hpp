// The maximum-entropy iteration.
//
// The density is kept at the symmetry-independent grid points and must stay
// positive. Each cycle synthesises the difference map
//   D(x) = (1/V) sum_h (Fo(h) - Fc(h)) / (m(h) sigma(h)^2) exp(+2 pi i h.x),
// the sum over every symmetry image and Friedel mate of the independent
// reflections, m(h) the number of them, which is (up to a positive factor)
// minus the gradient of
//   c2 = sum |Fo - Fc|^2 / sigma^2 / nind   (independent reflections)
// with respect to the density, and multiplies every density value by an
// exponential of it: a step downhill in c2 that keeps the density positive
// (the exponential form is that of the entropy maximum), after which the
// density is scaled so that its cell total stays F(000) (the Sakata-Sato
// normalisation). With h = V D at a stored point of density rho,
//   rho <- rho exp(ex * h w / max |h w| + 0.8 ln(rho / rho_before)),
// w = 1 in the second stage and w = 1/sqrt(rho/rhomean + 1/1000) in the
// first (the stage of the sqrt(V rho + F(000)/1000) scale, which moves the
// low density more than the peaks), and rho_before the density before the
// last accepted step (the step goes on in the direction of the last one;
// after a step taken back it starts afresh). ex is thus the largest change
// of ln rho that the difference map makes at any point in one cycle,
// whatever the number of reflections, their sigmas, the cell volume or the
// dimension. A value that would fall below the floor (memfloor) is held
// there.
//
// With fn= n above 2 (the default for data with satellites, 8, and for an
// ordinary crystal's data with the chi-square stop, 16) each
// reflection's difference is weighted by |z|^(n-2), z = |Fo - Fc|/sigma: the
// map is then the gradient of the n-th moment of the normalised residuals
// (Palatinus & van Smaalen, Acta Cryst. A58 (2002) 559), which lets the
// reflections furthest from their noise lead, and a step is judged by that
// moment in place of c2. The run still stops at c2 <= c2min; when c2 falls
// by less than 1 % in ten steps of the moment (its minimum need not lie at
// c2 = 1), the steps follow c2 from there.
//
// Data with classes of reflections (satellites of each order, shells of
// |q_perp|) weight each class in the difference map and in the judgement
// of a step by a factor that follows c2 of the class against c2 of all
// (adapted every few accepted steps, see mem.cpp): a class fitted worse than
// the others pulls harder. Near the noise level weights under which c2
// stalls give way to c2 alone. A quasicrystal's second-stage steps are not
// the continued ones above: each is chosen in the subspace of the difference
// map, the last step and the entropy's direction -ln(rho/tau) (a
// Cambridge-type search, see mem.cpp), on a model of Fc linear in rho, as
// the step of highest entropy that brings the constraint most of the way to
// its minimum there, with no point's ln rho changed by more than ex (the
// cycle line gives the largest change made).
//
// A step that makes c2, R and Rw all worse, or R or Rw above 1, is taken
// back and tried again with half the step; three good steps in a row double
// it. A continued second-stage step that lowered c2 is tried at twice its length (the
// same step in ln rho, rescaled) and the longer one kept when it fits
// better; the next steps start from its length. The run stops at the first
// accepted cycle with c2 <= c2min (the chi-square criterion: |Fo - Fc|^2 /
// sigma^2 has the expectation 1 per reflection, so going further fits the
// noise), when Rw reaches rwmin, when R and Rw no longer change, or after
// nex1 + nex2 cycles.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "density/synthesis.hpp"
#include "reflections/expand.hpp"
#include "util/runstate.hpp"

namespace trovan {

// The step control: the agreement record of the last accepted step (`count`
// is -1 before the first test, then the number of trial steps rejected
// since), the accepted steps in a row and the halvings.
struct MemControl {
  int count = -1;
  float c2 = 0, rfact = 0, rwfact = 0;
  int accepted = 0;
  int halvings = 0;
};

// What the spare density list holds besides scratch, which the next trial
// uses:
//  - after an accepted step, the density before it: ln(rho_n / rho_n-1) is
//    the last step, continued by the next one (prev);
//  - after a step taken back, that trial: the retry is the same step
//    scaled down, made without a new difference map (retry).
// A trial from the last step continued that is taken back is retried once
// scaled down; if that fails too, the next trial starts afresh along the
// difference map alone.
enum class MemTrial { plain, continued, rescaled };
struct MemSpare {
  bool prev = false;
  bool retry = false;
  float retry_ex = 0;
  int retry_imode = 0;
  MemTrial retry_kind = MemTrial::plain;
  // The trial last made.
  bool last_ok = false;
  float last_ex = 0;
  int last_imode = 0;
  MemTrial last_kind = MemTrial::plain;
};

// The state of one maximum-entropy run besides its density.
struct MemState {
  MemControl control;
  // The last accepted state: the structure factors calculated from it (the
  // next difference map needs them) and its F000. The accepted density list
  // itself is not copied: a trial step writes the other of the density's
  // two lists and makes it current (trial), and taking the step back makes
  // the untouched accepted list current again.
  std::vector<float> saved_fcr, saved_fci;
  float saved_f0 = 0;
  bool trial = false;
  MemSpare spare;
  // The orbit size of every stored point (the weights of the cell total),
  // the blocks of the list whose stored points are consecutive grid points,
  // and the weight of each independent reflection in the difference map.
  std::vector<unsigned char> orbit, runs;
  std::vector<float> dfw;
  // The order of the moment the steps follow, and the weights of the
  // difference map for it (dfw times the class weight times |z|^(fn-2),
  // made every cycle).
  int fn = 2;
  std::vector<float> stepw;
  // Data with classes (satellites, |q_perp| shells): the weight of each
  // reflection's class in the steps and in their judgement (empty: every
  // reflection weighs 1), adapted during the run (adaptclasses).
  std::vector<float> classw;
  // The prior of the entropy: the run's start density (the uniform one, a
  // prior map or a continued map), at the stored points.
  std::vector<float> tau;
};

// Selects the density modification of the run: this program has one, the
// maximum-entropy iteration (mode 2); any other mode stops the run.
void chsdenmodf(int mode);
// A watcher of the iteration, for a caller that drives the program from a
// script: called after every accepted cycle with its number and agreement
// (`end` null), and once when the iteration ends, with the number of
// accepted cycles, the last accepted agreement and why it ended (`end`, the
// text of the listing's "mem stopped after" line). Returning false from a
// cycle's call ends the iteration there ("stopped by the caller"); the
// density is then that cycle's, whole and normalised like any other.
struct MemCycle {
  int cycle = 0;
  float c2 = 0, rfact = 0, rwfact = 0;
  const char* end = nullptr;
};
using MemWatch = std::function<bool(const MemCycle&)>;
// Runs the iteration from the density d with the start's F(000), the step
// controls cx and the weighted R at which a run of kind 5 stops (rwmin, 0:
// none); returns the number of accepted cycles. d is left at the final
// density with its structure factors.
//
// A large list of reflections is held by the run in the order of the half
// grid (memorder): a cycle makes the same map and structure factors to the
// last bit as from the list in the order of obs, but the sums over the
// reflections (c2, R, Rw) are added in the grid's order, so their last bits
// may differ; d.fcr, d.fci are left in the order of obs.
int memloop(const Crystal& c, const RunState& rs, WorkGrid& w, Density& d, const Observations& obs, float f000,
            const Cnex& cx, float rwmin, const MemWatch& watch = {});
// The order in which memloop holds the reflections (cycleorder), or empty
// for the order of obs: a list of fewer than 65536 reflections, whose
// per-reflection arrays stay in a core's cache, keeps its order.
std::vector<int> memorder(const Grid& g, const Observations& obs);
// Agreement of the calculated structure factors of the density with the
// observed ones, over the independent reflections: c2 = sum |Fo-Fc|^2 /
// sigma^2 / nind, R = sum ||Fo|-|Fc|| / sum |Fo|, Rw = sqrt(sum |Fo-Fc|^2 /
// sigma^2 / sum |Fo|^2 / sigma^2). ip = 1 also lists every reflection.
void rfct(const Density& d, const Observations& obs, float& c2, float& rfact, float& rwfact, int ip);
// What a trial step is judged by (fitvalue in mem.cpp): c2 for st.fn = 2
// without class weights, else the moment of order fn of the residuals z
// (with the class weights), Cn^(2/n) with Cn = sum u_k |z_k|^n / (m_n nind)
// and m_n = (n-1)!!; c2 the trial's, from the agreement sums.
float fitvalue(const MemState& st, const Density& d, const Observations& obs, float c2);
// The final agreement after a MEM run, listed with `iwhkl` as ip, and c2 of
// each class of reflections (listclasses).
void rfct(const Lattice& l, const Density& d, const Observations& obs, int iwhkl);

// The classes of reflections whose fit is reported one by one: the main
// reflections and the satellites of each order (the sum of |m| over the
// internal indices) when the data of a modulated crystal hold satellites;
// for a quasicrystal, shells of |q_perp| with about equal numbers of
// reflections (four, fewer below 200 reflections); a single class
// otherwise. One c2 over all reflections lets the classes drift apart (weak
// satellites fitted below their noise, strong main reflections above it),
// which one number hides.
struct FitClasses {
  std::vector<int> of;             // the class of each independent reflection
  std::vector<std::string> label;  // one per class
};
FitClasses fitclasses(const Lattice& l, const Observations& obs);
// c2 of each class for the structure factors in d, and how many reflections
// each has.
std::vector<double> classc2(const Density& d, const Observations& obs, const FitClasses& c,
                            std::vector<int>& count);
// Lists c2 per class (nothing with a single class) and, with warnspread,
// warns when two classes differ by more than a factor 1.5.
void listclasses(const Lattice& l, const Density& d, const Observations& obs, bool warnspread);
// A warning of the maximum-entropy run: a listing line " warning: text".
void memwarning(const std::string& text);
// Step-size control and acceptance. `isreturn` says whether a trial step
// with these agreement values is to be taken back; `getnewex` adapts `ex`
// after it and says whether the step is taken back.
bool isreturn(MemControl& c, float c2, float rfact, float rwfact);
bool getnewex(MemControl& c, bool reject, float& ex);
bool isconverge(const MemControl& c, float rfact, float rwfact, float eps);
// The lowest density the iteration keeps: a millionth of the mean density
// F(000)/V. Far below any density a map shows, far above single
// precision's denormal range (so no denormal ever enters the density), and
// it leaves F(000) unchanged to a millionth.
constexpr float kMemFloor = 1e-6f;
float memfloor(float f000, float vol);
// The prior of the entropy (prior=): a density of the same grid, a map of an
// earlier run. Every update multiplies the density by an exponential of the
// difference map, so every map of the run is prior times exp(sum of
// difference maps), the form of the maximum of the entropy relative to the
// start, -sum rho ln(rho / tau): the prior tau is the start. A map that is
// not positive everywhere (a Fourier map's ripples) is raised to a floor of
// kPriorFloor times the mean density F(000)/V, then the whole is scaled to
// F(000). A low floor would make the entropy forbid density where the
// ripples were; a hundredth of the mean lets the data put it back.
constexpr float kPriorFloor = 0.01f;
void memprior(const Crystal& c, Density& d, float f000);
// The weight of the difference map at a point of density rho in stage
// imode (1 or 2), rhomean = F(000)/V.
float memweight(float rho, float rhomean, int imode);
// The update of one stored point, the only one: rho exp(t), t the step in
// ln rho, ex h w / max |h w| plus the continued part of the last step.
float expand1(float rho, float t);
// One trial step from the density d: difference map, update of every
// stored point, normalisation to F(000) = f000, extrema, structure factors
// of the new density (f0new is its F000). False when the step overflowed
// single precision or gave a value that is not a number (the caller takes
// it back).
bool denmodmem(const Crystal& c, const RunState& rs, WorkGrid& w, MemState& st, Density& d,
               const Observations& obs, float ex, float f000, int imode, float& f0new);
// The cycle line, "(a,i3,a,e12.5,2(a,f8.5),a,f6.0,a,f9.5,a,f10.1,a,e10.3)";
// a cycle number of four digits or more widens its field.
std::string cycleline(int it, float c2, float rfact, float rwfact, float f0, float dmin, float dmax,
                      int stage, float ex);
}  // namespace trovan
