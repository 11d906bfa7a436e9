// Reflections the symmetry forbids or that repeat each other, sorted out
// before the expansion: a reflection list must give each symmetry class of
// reflections at most once, with a value the group allows, or the expanded
// coefficients would overwrite each other and the map would silently lose
// its symmetry (a weaker record of a class replacing a stronger one, a
// systematically absent reflection creating coefficients where the group
// has none, a centric reflection at a general phase spreading a complex
// value over Friedel mates that must be real).
//
// The rules, for an element (R, tau) of the group acting on indices as
// h -> h.R with F(h.R) = F(h) exp(+2 pi i h.tau) (the program's convention,
// see reflections/hklread.hpp), together with Friedel's law
// F(-h) = conj F(h):
// - h.R = h and h.tau not integral: F(h) = 0, the reflection is
//   systematically absent; so is a reflection that the centring forbids.
//   Such records are left out, counted and the first ten listed.
// - h.R = -h: conj F(h) = F(h) exp(+2 pi i h.tau), the phase is restricted
//   to phi = -pi h.tau modulo pi (0 or 180 degrees for the inversion). A
//   phase within kPhaseTolDeg of an allowed value is set to it; a phase
//   farther off stops the run naming the reflection and its allowed phases.
// - Records of one class (equal, symmetry-equivalent or Friedel-related
//   indices) are merged into one at the indices of the first: the mean of
//   Fo and of Fc, weighted by 1/sigma^2 when every record of the class has
//   a sigma, the phase of the weighted mean of the structure factors
//   Fo exp(i phi) brought to one member of the class, and
//   sigma = (sum 1/sigma^2)^-1/2.
#pragma once
#include <functional>
#include <vector>

namespace trovan {

// One record of the reflection table; the phase as cos and sin in the
// program's convention.
struct HklRecord {
  int h[6];
  float fo, fc, cs, sn, sigma;
};

// An element of the space group as it acts on indices: h -> h.R (R column
// by column, entry (e, i) at [i*6 + e]) with the phase shift h.tau.
struct SymElement {
  int r[36];
  double t[6];
};

// The tolerance of a restricted phase. Phases are read in degrees from files
// that write a few decimals, sometimes none (0.5 degree off at worst).
constexpr double kPhaseTolDeg = 1.0;

struct ScreenRules {
  std::vector<SymElement> group;  // every element, the inversion images included
  // 1 when the centring forbids h (a systematic absence), 0 otherwise.
  std::function<int(const int* h)> centring_forbids;
  bool phases = true;  // check the phase restrictions (not for a Patterson map)
  int phsign = 1;      // the file's phase sign, for the messages
  int idm = 6;         // indices shown in messages
};

struct ScreenReport {
  long long absent = 0;                 // systematically absent records left out
  std::vector<HklRecord> absent_first;  // the first ten of them, as read
  long long merged_records = 0;         // records that had equivalents ...
  long long merged_classes = 0;         // ... and the reflections they became
  double worst_fo = 0;                  // largest spread of Fo within a class
  int worst_h[6] = {0, 0, 0, 0, 0, 0};  // that class (its first record)
  double worst_phase = 0;               // largest phase disagreement, degrees
};

// The records that remain, in the order of their first record in `in`.
// Stops through quit on a forbidden phase.
std::vector<HklRecord> screenhkl(const std::vector<HklRecord>& in, const ScreenRules& rules,
                                 ScreenReport& report);

// The phase restriction of h under `group` when there is one: true, with
// phi0 (radians) such that the phase must be phi0 modulo pi. `absent` tells
// whether some element fixing h shifts its phase (F(h) = 0).
bool phaserestriction(const int* h, const std::vector<SymElement>& group, double& phi0, bool& absent);

}  // namespace trovan
