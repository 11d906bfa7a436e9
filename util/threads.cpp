#include "util/threads.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace trovan {

namespace {

int default_threads() {
  if (const char* e = std::getenv("TROVAN_THREADS")) {
    char* end = nullptr;
    const long v = std::strtol(e, &end, 10);
    if (end != e && *end == '\0' && v >= 1) return static_cast<int>(std::min(v, 256L));
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int c = CPU_COUNT(&set);
    if (c >= 1) return c;
  }
  const unsigned h = std::thread::hardware_concurrency();
  return h >= 1 ? static_cast<int>(h) : 1;
}

// A process setting: the thread count asked for (setnthreads), shared by
// every job of the process; 0: the default.
int g_request = 0;

// A pool of workers 1..T-1; the calling thread is part 0. A job is handed
// out by bumping a generation number; each worker runs its part and counts
// down `pending`. A cycle of the maximum-entropy iteration hands out a
// dozen jobs a few milliseconds apart, and waking a sleeping thread costs
// tens of microseconds on a virtual machine: so a worker that has just
// finished watches for the next job for a while before it sleeps, and the
// calling thread watches for the last part to end before it sleeps.
class Pool {
 public:
  ~Pool() {
    {
      std::lock_guard<std::mutex> lk(m_);
      quit_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  void run(int parts, const std::function<void(int)>& f) {
    if (parts <= 1) {
      if (parts == 1) f(0);
      return;
    }
    grow(parts - 1);
    {
      std::lock_guard<std::mutex> lk(m_);
      job_ = &f;
      parts_ = parts;
      pending_.store(parts - 1, std::memory_order_relaxed);
      generation_.fetch_add(1, std::memory_order_release);
    }
    cv_.notify_all();
    f(0);
    if (!watch([&] { return pending_.load(std::memory_order_acquire) == 0; })) {
      std::unique_lock<std::mutex> lk(m_);
      done_.wait(lk, [&] { return pending_.load(std::memory_order_acquire) == 0; });
    }
    std::lock_guard<std::mutex> lk(m_);
    job_ = nullptr;
  }

 private:
  // Polls ready() for up to about a tenth of a millisecond.
  template <class Ready>
  static bool watch(Ready ready) {
    for (int i = 0; i < 4000; ++i) {
      if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
      _mm_pause();
#endif
    }
    return ready();
  }
  // A new worker starts from the current generation, so that it takes the
  // job about to be handed out and none before it.
  void grow(int n) {
    std::lock_guard<std::mutex> lk(m_);
    while (static_cast<int>(workers_.size()) < n) {
      const int id = static_cast<int>(workers_.size()) + 1;
      const unsigned long long gen = generation_.load(std::memory_order_relaxed);
      workers_.emplace_back([this, id, gen] { loop(id, gen); });
    }
  }
  void loop(int id, unsigned long long seen) {
    for (;;) {
      const std::function<void(int)>* job = nullptr;
      if (!watch([&] { return generation_.load(std::memory_order_acquire) != seen; })) {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [&] { return quit_ || generation_.load(std::memory_order_acquire) != seen; });
        if (quit_) return;
      }
      {
        std::lock_guard<std::mutex> lk(m_);
        if (quit_) return;
        seen = generation_.load(std::memory_order_relaxed);
        if (id < parts_) job = job_;
      }
      if (!job) continue;
      (*job)(id);
      if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lk(m_);
        done_.notify_one();
      }
    }
  }
  std::mutex m_;
  std::condition_variable cv_, done_;
  std::vector<std::thread> workers_;
  const std::function<void(int)>* job_ = nullptr;
  int parts_ = 0;
  std::atomic<int> pending_{0};
  std::atomic<unsigned long long> generation_{0};
  bool quit_ = false;
};

Pool& pool() {
  static Pool p;
  return p;
}

}  // namespace

int getnthreads() {
  static const int def = default_threads();
  return g_request > 0 ? g_request : def;
}

void setnthreads(int n) { g_request = n > 0 ? n : 0; }


void parallel_for(long long n, long long grain, const std::function<void(long long, long long)>& f) {
  if (n <= 0) return;
  const long long byload = std::max(1LL, n / std::max(1LL, grain));
  const int parts = static_cast<int>(std::min<long long>(getnthreads(), byload));
  if (parts <= 1) {
    f(0, n);
    return;
  }
  // An exception in any part (memory exhausted on a worker, a stop) must
  // reach the caller like one on a single thread: an exception escaping a
  // worker would end the process without a word. The first is kept and
  // thrown again once every part has ended.
  std::exception_ptr failed;
  std::mutex fm;
  pool().run(parts, [&](int t) {
    try {
      f(n * t / parts, n * (t + 1) / parts);
    } catch (...) {
      std::lock_guard<std::mutex> lk(fm);
      if (!failed) failed = std::current_exception();
    }
  });
  if (failed) std::rethrow_exception(failed);
}

#if defined(__x86_64__) || defined(__i386__)
// MXCSR bit 15 flushes denormal results to zero, bit 6 reads denormal
// operands as zero.
FlushDenormals::FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }
FlushDenormals::~FlushDenormals() { _mm_setcsr(saved_); }
#else
FlushDenormals::FlushDenormals() : saved_(0) {}
FlushDenormals::~FlushDenormals() {}
#endif

}  // namespace trovan
