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
#include <istream>
#include <string>
#include <vector>

#include "crystal/crystal.hpp"
#include "density/mem.hpp"
#include "density/synthesis.hpp"
#include "maps/peaks.hpp"
#include "plot/drwmap.hpp"
#include "reflections/hklread.hpp"
#include "util/runstate.hpp"
#include "util/workgrid.hpp"

namespace trovan {

// The complete input of a job, as the keyword input gives it: file names,
// the crystal (lattice, symmetry, setting, grid sizes), the run state
// (map kind, switches, F(000) block, MEM controls, projections, title),
// the reflection cut and format, and the drawing requests.
struct Job {
  std::string hkl, density, win, rho;  // reflection, density and box files
  int iplot = 0, icont = 0, ldev = 0, iwhkl = 0;
  int phsign = 1;  // the phase sign of the reflection file
  float pkmin = 0, qimax = 0;
  std::string frmt;  // format of the reflection records
  std::string prior;  // maximum entropy: the density file of the prior (prior=), or none
  Crystal crystal;
  RunState run;
  std::vector<DrawRequest> drawings;  // the drawing lines, read with the rest
};

// Reads the keyword input of one job from `in` (echoing it to the listing)
// with a reader of its own. A bad value stops the run; reading the keywords
// gives no warnings (a run's warnings begin with its data, in run()).
Job read_job(std::istream& in);

// What a computation leaves besides its files and listing.
struct JobResult {
  Crystal crystal;   // the job's crystal, its grid prepared (operators, index tables)
  Observations obs;  // the independent observed reflections
  Density density;   // the final density at the independent grid points
  WorkGrid map;      // the work grid: the final map over the whole grid (real half)
  Peaks peaks;       // the independent peaks as listed
  // The run's warnings in the order given, each as on standard error
  // (util/stop.hpp); filled by run(), empty from compute() alone.
  std::vector<std::string> warnings;
};
// Checks the output files, then reads the reflections.
Reflections read_data(const Job& job);
// Expansion, start density, maximum entropy, peaks, density file and
// drawings of a job read by read_job. `watch`, when given, follows a
// maximum-entropy iteration cycle by cycle and may end it (density/mem.hpp).
JobResult compute(const Job& job, Reflections& refl, const MemWatch& watch = {});

// The whole job from the keyword input `in` (std::cin for the program),
// its warnings in the result and its output files put in place together
// at the end (util/tempfiles.hpp); a stop unwinds as trovan::Stop and
// replaces none of them. `watch` as for compute().
JobResult run(std::istream& in, const MemWatch& watch = {});
// The same for a job already read.
JobResult run(const Job& job, const MemWatch& watch = {});

}  // namespace trovan
