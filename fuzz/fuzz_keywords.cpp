// libFuzzer target: the keyword input of a whole run, up to and including
// the reflection file (see entries.hpp).
#include "fuzz/entries.hpp"

namespace {
std::filesystem::path g_dir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = trovan_fuzz::scratch_path("trovan_fuzz_kw_");
  trovan_fuzz::prepare_keyword_dir(g_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  trovan_fuzz::keywords(data, size, g_dir);
  return 0;
}
