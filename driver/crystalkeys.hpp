// The keyword lines of the crystal: the general setting's cell, wave
// vectors and perpendicular basis components, the symmetry, and the
// q-system transformation. Each reader reads its keys, echoes them to the
// listing as it goes, and hands the values to the crystal/ operation that
// consumes them.
#pragma once

#include "crystal/lattice.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "util/input.hpp"

namespace trovan {

// "a=" (new line) "b=" "c=" "cosa=" "cosb=" "cosc=": the cell (setlc).
void readlc(KeyReader& rd, Lattice& l);
// "ndm=" (new line), then ndm "k=" lines (setkvctr); returns ndm.
int rdkvctr(KeyReader& rd, Lattice& l);
// "iseging=" (new line), then "v=" with 18 reals on the next line (setvmtrx).
void readvmtrx(KeyReader& rd, Lattice& l);
// "s1=".."s4=" (nine reals each, a 3x3 matrix row by row); with jbc = -1
// the run ends after their listing, below -1 "t1=".."t4=" follow.
void readst1234(KeyReader& rd, Lattice& l, int jbc);
// "nsymo=" (number of generating elements), "icent=", "brv=" from a new
// line, then the line holding "symmetry operator" and one generator a line,
// closed into the group (gensymo) over the `active` axes of the crystal.
// With `list` the generators and the operators are listed.
void rdsymo(KeyReader& rd, Group& g, Setting& s, int active, bool list);


}  // namespace trovan
