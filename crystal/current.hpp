// The crystal of the current job: the one value behind the transitional
// get/set functions of crystal/ (lattice, symmetry, setting, grid). The
// callers above crystal/ pass the value itself in the next step; until
// then they reach it through those functions, and this is the only state
// crystal/ keeps.
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
  int iwflag = 0;  // list the generators and operators when read
};

// The current job's crystal, its parts brought up to date with the run
// state (the system kind and ismtr of util/runstate) and with each other
// (the grid's dimension is the group's).
Crystal& crystalnow();
Lattice& latticenow();
Group& groupnow();
Setting& settingnow();
Grid& gridnow();

}  // namespace trovan
