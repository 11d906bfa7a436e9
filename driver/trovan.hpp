// The run driver: one batch job from the keyword input on standard input.
#pragma once

namespace trovan {

// Runs the whole job; a stop unwinds as trovan::Stop.
void run();

}  // namespace trovan
