// The worker threads of a run.
//
// The transform and the loops over the whole grid share their work among
// all cores. The work is cut into parts by a fixed rule (part t of T covers
// [n t / T, n (t+1) / T) of n items) and every item is computed the same way
// whichever thread takes it, so a map comes out bit for bit the same with
// any number of threads.
//
// The number of threads is the number of processors the process may run on,
// or TROVAN_THREADS when that is set to a positive integer (TROVAN_THREADS=1:
// everything runs on the calling thread). The workers are started when first
// needed and wait between jobs.
//
// A part must not stop the run (no `quit`): the checks are made before the
// work is shared out.
#pragma once
#include <functional>

namespace trovan {

int getnthreads();
// Sets the number of threads (tests); 0 goes back to the default above.
void setnthreads(int n);

// Runs f(lo, hi) over a static split of [0, n) into at most getnthreads()
// parts, each of at least `grain` items (so that small loops stay on the
// calling thread); returns when every part is done.
void parallel_for(long long n, long long grain, const std::function<void(long long, long long)>& f);

// Flushes denormal results to zero and reads denormal operands as zero
// while it lives (on x86-64; elsewhere it does nothing). Grid values far
// below the single-precision normal range (1.2e-38) carry no information
// in a map, and arithmetic on them is a hundred times slower.
class FlushDenormals {
 public:
  FlushDenormals();
  ~FlushDenormals();
  FlushDenormals(const FlushDenormals&) = delete;
  FlushDenormals& operator=(const FlushDenormals&) = delete;

 private:
  unsigned saved_;
};

}  // namespace trovan
