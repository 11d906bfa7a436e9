// The crystal of a job: its lattice, symmetry, setting and grid, as the
// keyword input gives them (driver/crystalkeys.hpp); the stages of the job
// are handed the whole or the part they need.
#pragma once

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"

namespace trovan {

struct Crystal {
  Lattice lattice;
  Group group;
  Setting setting;
  Grid grid;
};

// The parts of c for the computation of a job: the lattice, group and
// setting as they are, the grid with its sizes alone (samegrid), which the
// computation prepares (setsmopprm, setindfindx, setindxindx).
inline Crystal crystalcopy(const Crystal& c) { return Crystal{c.lattice, c.group, c.setting, samegrid(c.grid)}; }

}  // namespace trovan
