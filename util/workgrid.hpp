// The complex work grid: the real parts of the nt points of the job's grid
// followed by their imaginary parts. Entry j of both halves is the
// coefficient (or the density) at grid index j.
#pragma once
#include "util/table.hpp"

namespace trovan {

// Makes the work grid hold nt points, all zero (crystal/gridindex.hpp's
// setitt calls it when the grid of a job is set).
void sizeworkgrid(long long nt);
long long getworkgridsize();  // nt of the work grid, 0 before it is sized
float* getabcdr();  // real half, nt entries
float* getabcdi();  // imaginary half, nt entries

// The work grid handed over whole (real half, then imaginary half) to a
// caller that keeps the map of a finished run; the work grid is then empty,
// as at the start of the program.
Table<float> takeworkgrid();

// The work grid given back, as at the start of the program.
void resetworkgrid();

}  // namespace trovan
