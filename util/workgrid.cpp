#include "util/workgrid.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace trovan {

namespace {
float g_abcdri[2 * static_cast<long long>(kGridMax)];
const bool g_huge = (usehugepages(g_abcdri, sizeof g_abcdri), true);
}  // namespace

float* getabcdr() { return g_abcdri; }
float* getabcdi() { return g_abcdri + kGridMax; }

void usehugepages(void* table, unsigned long long bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // The whole 2 MiB pages inside the table.
  constexpr std::uintptr_t kPage = 2u << 20;
  const std::uintptr_t lo = (reinterpret_cast<std::uintptr_t>(table) + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t hi = (reinterpret_cast<std::uintptr_t>(table) + bytes) & ~(kPage - 1);
  if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
#else
  (void)table;
  (void)bytes;
#endif
}

}  // namespace trovan
