#include "util/table.hpp"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "util/stop.hpp"

namespace trovan {

namespace {

constexpr unsigned long long kMiB = 1ULL << 20;

unsigned long long mib(unsigned long long bytes) { return (bytes + kMiB - 1) / kMiB; }

// A field of /proc/meminfo or /proc/self/status in bytes ("Name: n kB"), or
// `none` when the file or the field is not there.
unsigned long long procfield(const char* file, const char* name, unsigned long long none) {
  std::ifstream in(file);
  std::string line;
  const std::size_t len = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, len, name) != 0 || line.size() <= len || line[len] != ':') continue;
    std::istringstream s(line.substr(len + 1));
    unsigned long long kb = 0;
    if (s >> kb) return kb * 1024;
  }
  return none;
}

}  // namespace

void* maptable(std::size_t bytes, const char* what) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED)
    quit(std::string(what) + " of " + std::to_string(mib(bytes)) +
             " MiB could not be allocated: the machine or the memory limit (ulimit -v) has not enough memory",
         kExitResource);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // The whole 2 MiB pages inside the table.
  constexpr std::uintptr_t kPage = 2u << 20;
  const std::uintptr_t lo = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t hi = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kPage - 1);
  if (hi > lo) ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
#endif
  return p;
}

void unmaptable(void* p, std::size_t bytes) { ::munmap(p, bytes); }

unsigned long long availablememory() {
  unsigned long long avail = ~0ULL;
  // Physical memory the system can give: MemAvailable counts free pages and
  // the caches it can drop; swap can take the rest.
  const unsigned long long mem = procfield("/proc/meminfo", "MemAvailable", ~0ULL);
  if (mem != ~0ULL) avail = mem + procfield("/proc/meminfo", "SwapFree", 0);
  // A limit on the address space counts every mapping, touched or not.
  struct rlimit rl {};
  if (::getrlimit(RLIMIT_AS, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    const unsigned long long used = procfield("/proc/self/status", "VmSize", 0);
    const unsigned long long left = rl.rlim_cur > used ? rl.rlim_cur - used : 0;
    if (left < avail) avail = left;
  }
  if (::getrlimit(RLIMIT_DATA, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    const unsigned long long used = procfield("/proc/self/status", "VmData", 0);
    const unsigned long long left = rl.rlim_cur > used ? rl.rlim_cur - used : 0;
    if (left < avail) avail = left;
  }
  return avail;
}

void checkmemory(unsigned long long bytes, const std::string& what) {
  const unsigned long long avail = availablememory();
  if (bytes <= avail) return;
  quit(what + " needs about " + std::to_string(mib(bytes)) + " MiB; " + std::to_string(avail / kMiB) +
           " MiB are available (memory of the machine, ulimit -v and -d): choose a coarser grid (hmax=)",
       kExitResource);
}

}  // namespace trovan
