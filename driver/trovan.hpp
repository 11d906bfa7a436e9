// The run driver: one batch job from the keyword input on standard input.
//
// A run has three stages: the keyword input (file names, lattice, symmetry,
// grid and switches with their set-up, and the drawing lines), the data (a
// check of every file the run will write, so that a bad name stops the run
// before the long computation, and the reflection file), and the
// computation (expansion, start density, maximum entropy, peaks, density
// file, drawings). run() does all three; the stages are separate so that a
// checker can stop after reading.
#pragma once
#include <string>
#include <vector>

#include "density/mem.hpp"
#include "density/synthesis.hpp"
#include "maps/peaks.hpp"
#include "plot/drwmap.hpp"
#include "reflections/hklread.hpp"

namespace trovan {

// What the keyword input fixes for the later stages.
struct Job {
  std::string hkl, density, win, rho;  // reflection, density and box files
  int iplot = 0, icont = 0, ldev = 0, iwhkl = 0;
  int phsign = 1;  // the phase sign of the reflection file
  float pkmin = 0, qimax = 0;
  std::string frmt;  // format of the reflection records
  std::vector<DrawRequest> drawings;  // the drawing lines, read with the rest
};

Job read_keywords();
// What a run leaves besides its files and listing: the independent observed
// reflections, the final density (whose map over the whole grid is in the
// work grid) and the independent peaks as listed.
struct JobResult {
  Observations obs;
  Density density;
  Peaks peaks;
};
// Checks the output files, then reads the reflections.
Reflections read_data(const Job& job);
// `watch`, when given, follows a maximum-entropy iteration cycle by cycle
// and may end it (density/mem.hpp).
JobResult compute(const Job& job, Reflections& refl, const MemWatch& watch = {});

// Runs the whole job from the state at the start of the program
// (reset_all); a stop unwinds as trovan::Stop.
JobResult run(const MemWatch& watch = {});

}  // namespace trovan
