// Three-dimensional boxes cut from the map, for other programs to display:
// a compact binary file (".win": a 134-byte text header, then one 16-bit code
// per point) and a text file (".rho").
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
void setdminmax(float dmin, float dmax);
// The code range back to none, as at the start of the program.
void resetboxfile();
int encode(int v);
int encodedxyz(float x);

void dxyzbinout(const float* values, const int* counts, const float* cell, const std::string& name);
void dxyzascout(const float* values, const int* counts, const float* cell, const std::string& name);

}  // namespace trovan
