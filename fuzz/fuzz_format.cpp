// libFuzzer target: a Fortran format and the records it reads (see
// entries.hpp).
#include "fuzz/entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  trovan_fuzz::format(data, size);
  return 0;
}
