// Three-dimensional boxes cut from the map, for other programs to display:
// a compact binary file (".win": a 134-byte text header, then one 16-bit code
// per point), a text file (".rho") and a CCP4/MRC map (".ccp4", mode 2,
// 32-bit reals) that the common 3-D viewers open.
//
// The 16-bit code: v = (x - Dmin) / Range * 1048575 truncated; codes below
// 32768 are v itself, larger v are stored as (v >> 5) XOR 65535 (top bit
// set, the low five bits lost). A reader inverts that with the Dmin and
// Range of the header.
//
// Both files are written whole or not at all (util/tempfiles.hpp): a
// failed write stops the run naming the file and leaves the previous box.
#pragma once
#include <string>

namespace trovan {

constexpr int kMaxint = 1048575;  // 2^20 - 1

void getdminmax(const float* values, long long n, float& dmin, float& dmax);

// The range the 16-bit codes of one box span: Dmin, Dmax and Range =
// Dmax - Dmin (the header's minimum and maximum).
struct BoxCode {
  float dmin = 0, dmax = 0, range = 0;
};
BoxCode setdminmax(float dmin, float dmax);
int encode(int v);
// The code of x in the range c; a flat box (Range 0) codes every value as 0.
int encodedxyz(const BoxCode& c, float x);

void dxyzbinout(const float* values, const int* counts, const float* cell, const std::string& name);
void dxyzascout(const float* values, const int* counts, const float* cell, const std::string& name);
// The CCP4 map of a box: the box's edges (Angstrom) and angles (degrees) are
// the cell, the counts-many points of each edge include both of its ends
// (sampling counts - 1 intervals), values first index fastest as in the
// text file; `label` goes into the first header label. A box whose axes
// form a left-handed set (lefthanded) is written with its first two axes
// named the other way round, so that a viewer shows the structure, not its
// mirror image. Written by gemmi's CCP4 header code, whole or not at all
// like the other box files.
void dxyzccp4out(const float* values, const int* counts, const float* cell, const std::string& name,
                 const std::string& label, bool lefthanded = false);

}  // namespace trovan
