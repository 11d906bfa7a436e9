// Fortran edit descriptors for the listing.
//
// Users compare listings across runs and versions, and some of the program's
// lines are given as Fortran formats, so numbers are edited as a Fortran
// runtime edits them: right-justified in a fixed width, asterisks when the
// value does not fit, E editing with a leading "0." and a signed two-digit
// exponent (E12.5 of 123.456 is " 0.12346E+03"), which is not C's %e.
#pragma once
#include <string>

namespace trovan {

std::string fmt_i(long long v, int w);              // Iw
std::string fmt_f(double v, int w, int d);          // Fw.d
std::string fmt_e(double v, int w, int d);          // Ew.d
std::string fmt_a(const std::string& s, int w);     // Aw (left part, blank-padded)

// A real edited as Fw.d (kind 'f') or Ew.d (kind 'e').
std::string fmt_real(double v, char kind, int w, int d);

}  // namespace trovan
