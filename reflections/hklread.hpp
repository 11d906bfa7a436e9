// The reflection file: indices, amplitudes, phase (and sigma for MEM) per
// record, read with the user's Fortran format, cut at qimax and scaled into
// the reflection table (`Reflections`) that the symmetry expansion reads.
//
// One table entry per kept reflection, in file order: six indices (those
// beyond the dimension idm are zero), Fo, Fc and sigma(Fo) already multiplied
// by the scale fmag, cos and sin of the phase, and the phase in whole
// degrees (written by the expansion, not by the reader).
//
// Phase sign. Reflection files, CIF files, refinement programs and the
// International Tables give phases of F(h) = sum_j f_j exp(+2 pi i h.x_j);
// that is the default (phsign=1). The program itself works with the
// conjugate, F(h) = sum_j f_j exp(-2 pi i h.x_j), the structure factor that
// its synthesis rho(x) = (1/V) sum F(h) exp(+2 pi i h.x) inverts (see
// density/synthesis.hpp); the symmetry expansion, the difference and MEM
// syntheses and the structure factors of a density all share it. A phase is
// therefore converted once, here where it is read (phi_internal = -phi_file
// for phsign=1, phi_file for phsign=-1), and back where it is written
// (filephase). Amplitudes and Patterson maps do not depend on the sign, and
// the density is the same real map either way: only the phases cross the
// boundary.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "crystal/crystal.hpp"
#include "util/runstate.hpp"

namespace trovan {

constexpr int kNhmax = 16777216;  // reflections kept at most (2^24)

// The reflections of a run as read: entry k of every list is the k-th kept
// record.
struct Reflections {
  std::vector<std::array<int, 6>> h;  // six indices, zero beyond idm
  std::vector<float> fo, fc, sigma;   // times fmag; sigma 0 when not read
  std::vector<float> cosphs, sinphs;  // the phase, in the program's convention
  std::vector<int> iphs;              // the phase in whole degrees (set by symstf)
  int phsign = 1;                     // the phase sign of the file: +1 or -1

  int size() const { return static_cast<int>(fo.size()); }
  // One more reflection (its whole-degree phase 0 until the expansion).
  void add(const int* hkl, float fo, float fc, float cosphs, float sinphs, float sigma);
};

// Reads the reflection file `file` (file1=) with the format `frmt`, for the
// crystal `cr` (its dimension, and the lattice for the cut) and the run
// state `rs` (the map kind says what a record holds; F(000), fmag and the
// sigma values must stay finite on the scale of the amplitudes).
// Records hold idm indices, then Fo, Fc and the phase in degrees, and for a
// MEM run sigma(Fo) as a fourth real. A first index of 999 ends the list;
// so do blank lines after the last record. The file must be a regular file
// and its lines at most 1000 characters long.
// Reflections whose physical-space scattering vector is longer than `qimax`
// are skipped. `isel` must be 0 (no record selection). `phsign` is the phase
// sign of the file (phsign=, +1 or -1).
Reflections rdhklq(const Crystal& cr, const RunState& rs, const std::string& file, float qimax,
                   const std::string& frmt, int isel, int phsign);

// A phase of the program's convention (the argument of a + i b, or an angle
// in degrees) as a reflection file of sign `phsign` writes it, in degrees.
double filephase(double a, double b, int phsign);
double filephasedeg(double internal_degrees, int phsign);

// cos and sin of an angle in degrees, exact at multiples of 90 degrees, so
// that the phases 0 and 180 of a centrosymmetric structure give sin = 0
// exactly and their coefficients stay real.
void cossind(double degrees, double& c, double& s);

}  // namespace trovan
