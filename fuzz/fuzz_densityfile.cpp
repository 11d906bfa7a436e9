// libFuzzer target: the density file read by a continuation run (see
// entries.hpp).
#include "fuzz/entries.hpp"

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_path = trovan_fuzz::scratch_path("trovan_fuzz_den_", ".den").string();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  trovan_fuzz::densityfile(data, size, g_path);
  return 0;
}
