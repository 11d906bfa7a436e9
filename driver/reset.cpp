#include "driver/reset.hpp"

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "density/mem.hpp"
#include "density/synthesis.hpp"
#include "maps/peaks.hpp"
#include "reflections/expand.hpp"
#include "reflections/hklread.hpp"
#include "util/input.hpp"
#include "util/runstate.hpp"
#include "util/workgrid.hpp"

namespace trovan {

void reset_all() {
  resetinput();
  resetrunstate();
  resetworkgrid();
  resetlattice();
  resetsymmetry();
  resetsetting();
  resetgridindex();
  resetpeaks();
}

}  // namespace trovan
