// Three-dimensional boxes cut from the map, for other programs to display:
// a compact binary file (".win": a 134-byte text header, then one 16-bit code
// per point), a text file (".rho") and a CCP4/MRC map (".ccp4", mode 2,
// 32-bit reals) that the common 3-D viewers open and place on the model.
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
// Where the CCP4 map of a box sits for a viewer, so that it overlays the
// structure model.
//
// A box along the axes of a three-dimensional cell (a crystal, or the basic
// cell of a modulated one) whose points fall on a regular division of the
// cell is written as part of that cell (incell): the header holds the
// crystal's cell, its division (MX, MY, MZ: intervals per cell edge) and
// the grid position of the box's first point (NXSTART, NYSTART, NZSTART),
// as a viewer expects of a map cut from a crystal's cell.
//
// Any other box is a cell of its own: its edges (Angstrom) and angles, the
// points of an edge including both of its ends (counts - 1 intervals), and
// the Cartesian position (Angstrom) of its first point as the MRC ORIGIN.
// A box whose axes form a left-handed set (lefthanded) is written with its
// first two axes named the other way round (MAPC = 2, MAPR = 1), so that a
// viewer shows the structure, not its mirror image.
//
// skiplast[a]: the box spans a whole number of lattice periods along axis a,
// so its last layer repeats its first; the header's mean and rms are taken
// over the box's own points without it.
struct Ccp4Place {
  bool incell = false;
  float cell[6] = {1, 1, 1, 90, 90, 90};
  int sampling[3] = {1, 1, 1};
  int start[3] = {0, 0, 0};
  float origin[3] = {0, 0, 0};
  bool lefthanded = false;
  bool skiplast[3] = {false, false, false};
};

// The own cell of a box (cell: its edges and angles) with the points of an
// edge including both ends.
Ccp4Place owncellplace(const int* counts, const float* cell);

// Mean and rms deviation from the mean of the box's values, without the
// last layer along the axes of skiplast (a layer is kept when it is the
// only one).
void boxstatistics(const float* values, const int* counts, const bool* skiplast, double& mean, double& rms);

// Writes the CCP4 map (mode 2, 32-bit reals, first index fastest as in the
// text file) of a box placed by `place`; `label` goes into the first header
// label. Written by gemmi's CCP4 header code, whole or not at all like the
// other box files.
void dxyzccp4out(const float* values, const int* counts, const Ccp4Place& place, const std::string& name,
                 const std::string& label);

}  // namespace trovan
