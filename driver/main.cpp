// trovan: density maps of aperiodic crystals in superspace.
#include <iostream>

#include "driver/trovan.hpp"
#include "util/stop.hpp"

int main() {
  try {
    trovan::run();
  } catch (const trovan::Stop& s) {
    std::cout.flush();
    return s.status;
  }
  std::cout.flush();
  return trovan::kExitOk;
}
