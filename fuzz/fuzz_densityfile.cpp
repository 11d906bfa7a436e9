// libFuzzer target: the density file read by a continuation run (see
// entries.hpp).
#include <unistd.h>

#include <cstdlib>

#include "fuzz/entries.hpp"

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_path = (std::filesystem::temp_directory_path() /
            ("trovan_fuzz_den_" + std::to_string(::getpid()) + ".den"))
               .string();
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove(g_path, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  trovan_fuzz::densityfile(data, size, g_path);
  return 0;
}
