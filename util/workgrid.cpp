#include "util/workgrid.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

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

void resetworkgrid() {
  // Writing zeros over 128 MiB would make every page of the grid resident;
  // the kernel instead gives the whole pages back, and they read as zeros
  // again, as at the start. Only the partial pages at the two ends are
  // cleared by hand.
  char* p = reinterpret_cast<char*>(g_abcdri);
  const std::size_t bytes = sizeof g_abcdri;
  const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t b = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t lo = (b + page - 1) / page * page;
  const std::uintptr_t hi = (b + bytes) / page * page;
  if (hi > lo && ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED) == 0) {
    std::memset(p, 0, lo - b);
    std::memset(reinterpret_cast<char*>(hi), 0, b + bytes - hi);
  } else {
    std::memset(p, 0, bytes);
  }
}

}  // namespace trovan
