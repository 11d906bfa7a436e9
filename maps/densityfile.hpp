// The density file: the whole superspace grid of a run, nt 32-bit reals in
// grid index order, as one record of a Fortran unformatted sequential file
// (a 4-byte little-endian byte count 4*nt before and after the values).
// A continuation run (icont = 1) reads it back, so it is written safely: to
// a temporary file beside it, renamed over the old one only when complete
// (util/tempfiles.hpp). The reader takes only a regular file whose one
// record holds exactly this grid of finite values.
#pragma once
#include <string>

#include "util/tempfiles.hpp"

namespace trovan {

void readdxyz(const std::string& name, float* rho, long long nt);
void wrtdxyz(const std::string& name, const float* rho, long long nt);

// The same write in two steps, so that the run can go on while the disk
// takes the values: wrtdxyzstart copies them into the temporary file, asks
// the system to start putting it on the disk and returns the pending write;
// wrtdxyzfinish waits for that, renames the file over the old one, and
// reports a failure of either step (as wrtdxyz would have). wrtdxyzabandon
// removes the temporary file of a write that will not be finished; so does
// the pending write itself when it goes out of scope unfinished (a run that
// stopped in between), and both do nothing for a write already finished.
struct PendingDensity {
  TempOut out;
  bool pending = false;

  PendingDensity() = default;
  PendingDensity(PendingDensity&& o) noexcept;
  PendingDensity& operator=(PendingDensity&& o) noexcept;
  PendingDensity(const PendingDensity&) = delete;
  PendingDensity& operator=(const PendingDensity&) = delete;
  ~PendingDensity();
};
PendingDensity wrtdxyzstart(const std::string& name, const float* rho, long long nt);
void wrtdxyzfinish(PendingDensity& w);
void wrtdxyzabandon(PendingDensity& w);

// For tests only: a function called in the middle of every density write,
// with half the values flushed to the temporary file, so that a test can
// stop the program there and find the previous file intact. The program
// sets none; the test build of the program (trovan_testhooks) sets one.
void setdensitywritehook(void (*hook)());

}  // namespace trovan
