// One reset of every module's tables, back to the state at the start of
// the program: a run starts from it (so that a second run in one process
// gives what the first gave), and so does every test.
#pragma once

namespace trovan {

// Calls the reset of each module, lowest layer first. The bindings of the
// input and listing streams are left as they are: they say where a run
// reads and writes, which its caller chooses; so are the number of worker
// threads and the instruction set of the transform (resetthreads,
// resetfft), which say how it computes, not what.
void reset_all();

}  // namespace trovan
