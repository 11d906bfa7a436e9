// The reflection file: indices, amplitudes, phase (and sigma for MEM) per
// record, read with the user's Fortran format, cut at qimax and scaled; and
// the reflection table it fills, which the symmetry expansion and the MEM
// iteration read.
//
// One table entry per kept reflection, in file order: six indices (those
// beyond the dimension idm are zero), Fo, Fc and sigma(Fo) already multiplied
// by the scale fmag, cos and sin of the phase, and the phase in whole
// degrees (written by the expansion, not by the reader). Entries are numbered
// from 0 to getnref()-1. The table grows with the file.
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
#include <string>

namespace trovan {

constexpr int kNhmax = 16777216;  // reflections kept at most (2^24)

void setflnm1(const std::string& name);  // the reflection file ("file1=")
std::string getflnm1();

// Reads the reflection file named by setflnm1 with the format `frmt`.
// Records hold idm indices, then Fo, Fc and the phase in degrees, and for a
// MEM run sigma(Fo) as a fourth real. A first index of 999 ends the list;
// so do blank lines after the last record. The file must be a regular file
// and its lines at most 1000 characters long.
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

// The phase sign of the reflection file: +1 (default) or -1.
void setphsign(int phsign);
int getphsign();
// A phase of the program's convention (the argument of a + i b, or an angle
// in degrees) as the reflection file writes it, in degrees.
double filephase(double a, double b);
double filephasedeg(double internal_degrees);

// Filling the table without a file (the reader uses these too): clear it,
// then append entries (cos and sin of the phase in the program's
// convention); an entry beyond kNhmax stops the run naming the limit.
void clrhkl();
void addhkl(const int* h, float fo, float fc, float cosphs, float sinphs, float sigma);

// The file name and the table back to their state at the start of the program.
void resethklread();

// cos and sin of an angle in degrees, exact at multiples of 90 degrees, so
// that the phases 0 and 180 of a centrosymmetric structure give sin = 0
// exactly and their coefficients stay real.
void cossind(double degrees, double& c, double& s);

}  // namespace trovan
