// libFuzzer target: generating elements of the symmetry, decoded and closed
// into the group (see entries.hpp).
#include "fuzz/entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  trovan_fuzz::decode(data, size);
  return 0;
}
