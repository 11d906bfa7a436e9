// Large tables of a run, sized to its grid: the work grid, the index lists,
// the density lists. Their memory comes straight from the system as zeroed
// pages, on 2 MiB pages where Linux allows, so that a table costs only the
// pages a run touches and a grid of 2^24 points takes a few hundred page
// faults instead of a hundred thousand.
//
// A run asks before it allocates (`checkmemory`): a grid too large for the
// machine, or for a batch queue's memory limit, stops with a message that
// says how much it needs, instead of the process being killed.
#pragma once
#include <cstddef>
#include <string>
#include <utility>

namespace trovan {

// Zeroed memory for `bytes` (at least one page); the run stops with status
// kExitResource when the system refuses it, naming `what`.
void* maptable(std::size_t bytes, const char* what);
void unmaptable(void* p, std::size_t bytes);

// The memory a run may still take, in bytes: the smaller of what the system
// has available (free and reclaimable memory, with free swap) and what the
// address-space and data limits (ulimit -v, -d) leave.
unsigned long long availablememory();

// Stops the run with status kExitResource when `bytes` exceed
// availablememory(): "<what> needs about M MiB; A MiB are available".
void checkmemory(unsigned long long bytes, const std::string& what);

// A table of n zeroed entries of a trivially copyable T.
template <class T>
class Table {
 public:
  Table() = default;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;
  Table(Table&& o) noexcept : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)) {}
  Table& operator=(Table&& o) noexcept {
    if (this != &o) {
      release();
      p_ = std::exchange(o.p_, nullptr);
      n_ = std::exchange(o.n_, 0);
    }
    return *this;
  }
  ~Table() { release(); }

  // n zeroed entries; what the table held is dropped.
  void assign(std::size_t n, const char* what) {
    release();
    if (n > 0) {
      p_ = static_cast<T*>(maptable(n * sizeof(T), what));
      n_ = n;
    }
  }
  // Gives the memory back.
  void release() {
    if (p_) unmaptable(p_, n_ * sizeof(T));
    p_ = nullptr;
    n_ = 0;
  }

  T* data() { return p_; }
  const T* data() const { return p_; }
  std::size_t size() const { return n_; }
  T& operator[](std::size_t i) { return p_[i]; }
  const T& operator[](std::size_t i) const { return p_[i]; }

 private:
  T* p_ = nullptr;
  std::size_t n_ = 0;
};

}  // namespace trovan
