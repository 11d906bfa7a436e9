// libFuzzer target: the keyword input of a whole run, up to and including
// the reflection file (see entries.hpp).
#include <unistd.h>

#include <cstdlib>

#include "fuzz/entries.hpp"

namespace {
std::filesystem::path g_dir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = std::filesystem::temp_directory_path() / ("trovan_fuzz_kw_" + std::to_string(::getpid()));
  trovan_fuzz::prepare_keyword_dir(g_dir);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  trovan_fuzz::keywords(data, size, g_dir);
  return 0;
}
