// The reflection file: indices, amplitudes, phase (and sigma for MEM) per
// record, read with the user's Fortran format, cut at qimax and scaled; and
// the reflection table it fills, which the symmetry expansion and the MEM
// iteration read.
//
// One table entry per kept reflection, in file order: six indices (those
// beyond the dimension idm are zero), Fo, Fc and sigma(Fo) already multiplied
// by the scale fmag, cos and sin of the phase, and the phase in whole
// degrees (written by the expansion, not by the reader). Entries are numbered
// from 0 to getnref()-1.
#pragma once
#include <string>

namespace trovan {

constexpr int kNhmax = 45000;  // reflections kept at most

void setflnm1(const std::string& name);  // the reflection file ("file1=")
std::string getflnm1();

// Reads the reflection file named by setflnm1 with the format `frmt`.
// Records hold idm indices, then Fo, Fc and the phase in degrees, and for a
// MEM run sigma(Fo) as a fourth real. A first index of 999 ends the list.
// Reflections whose physical-space scattering vector is longer than `qimax`
// are skipped. `isel` must be 0 (no record selection).
void rdhklq(float qimax, const std::string& frmt, int isel);

// The table.
int getnref();                    // the count `is`
void gethkl(int k, int* h);       // six indices of entry k
float getfo(int k);               // Fo * fmag
float getfc(int k);               // Fc * fmag
float getsigma(int k);            // sigma(Fo) * fmag; 0 when not read
float getcosphs(int k);           // cos(phase)
float getsinphs(int k);           // sin(phase)
int getiphs(int k);               // phase in whole degrees
void setiphs(int k, int degrees);

// Filling the table without a file (the reader uses these too): clear it,
// then append entries; an entry beyond kNhmax stops the run naming the limit.
void clrhkl();
void addhkl(const int* h, float fo, float fc, float cosphs, float sinphs, float sigma);

// The file name and the table back to their state at the start of the program.
void resethklread();

// cos and sin of an angle in degrees, exact at multiples of 90 degrees, so
// that the phases 0 and 180 of a centrosymmetric structure give sin = 0
// exactly and their coefficients stay real.
void cossind(double degrees, double& c, double& s);

}  // namespace trovan
