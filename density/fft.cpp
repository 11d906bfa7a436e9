// The multi-dimensional mixed-radix FFT, ordered for the cache and the
// vector unit.
//
// Every axis is a sequence of decimation-in-frequency passes (a radix-p
// butterfly followed by the twiddle rotation of its outputs), whose result
// comes out in digit-reversed order and is put back in natural order by a
// permutation. The radices are 2, 3, 4, 5 and the composites 8, 12, 16 and
// 20, each done in registers in one step, and a general odd radix up to 23
// for the rest; the lengths accepted are those of Singleton's algorithm
// (see check_length).
//
// Along an axis with stride s the s neighbouring transforms undergo exactly
// the same butterflies with the same twiddles, and their elements are
// contiguous. So every butterfly works on "rows" of lanes (neighbouring
// transforms side by side) and the lane loop is a loop over vectors.
//
// Consecutive axes form a sweep: for a batch of L lanes the rows of all the
// sweep's axes are gathered into a scratch block that stays in the core's
// own cache, every axis of the sweep is transformed there, and the block is
// written back with the rows in natural order. Along the first axis (stride
// 1) each lane is a contiguous run of the grid and the gather is a
// transpose of vector tiles; such a sweep takes up to kMaxFirstRows rows. A
// later sweep reads every row of the grid as a run of L lanes, which the
// memory delivers quickly only when it is long, so it takes fewer rows
// (kMaxStridedRows) and more lanes. A 16^6 or 12^6 grid is so read and
// written three times instead of six, a 20^5 grid twice. The power-of-two
// strides of the grid never meet the cache's sets in the butterflies: the
// block's rows are padded to odd numbers of cache lines.
//
// The batches of a sweep are shared out among the worker threads by a
// fixed split; every lane is computed the same way in any batch (a short
// last batch is padded with zero lanes, never done with other code), so the
// result does not depend on the number of threads. Each thread flushes
// denormal numbers to zero while it transforms (util/threads.hpp).
//
// The kernels are compiled for SSE2 (the x86-64 baseline, or a portable
// 4-lane vector elsewhere), AVX2 with FMA and AVX-512 from one source
// (density/fft_kernels.inc); the widest the processor has is chosen when
// the first transform runs.
//
// Twiddle factors are tabulated per pass from double-precision sines and
// cosines; the data and the butterflies stay single precision.
#include "density/fft.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#if defined(__unix__)
#include <unistd.h>
#endif

#include "util/stop.hpp"
#include "util/threads.hpp"

namespace trovan {

namespace fftimpl {

constexpr int kMaxFactor = 23;       // largest prime factor
constexpr int kMaxSquareFree = 210;  // largest square-free part
constexpr int kMaxTabulated = 65536;  // longer axes are done in place
constexpr double kTau = 6.283185307179586476925;

constexpr float kSin60 = 0.86602540378443865f;
constexpr float kCos72 = 0.30901699437494742f;
constexpr float kSin72 = 0.95105651629515357f;
constexpr float kCos144 = -0.80901699437494742f;
constexpr float kSin144 = 0.58778525229247313f;

template <int... E>
using IntSeq = std::integer_sequence<int, E...>;
template <int N>
using MakeIntSeq = std::make_integer_sequence<int, N>;

// cos and sin of 2 pi k / n at compile time (Taylor series on the angle
// reduced to [-pi, pi], exact to double rounding), for the fixed rotations
// inside the composite codelets.
constexpr double reduced_angle(int k, int n) {
  k %= n;
  if (2 * k > n) k -= n;
  return kTau * k / n;
}
constexpr double taylor_sin(double x) {
  double term = x, sum = x;
  for (int k = 1; k < 30; ++k) {
    term *= -x * x / ((2.0 * k) * (2.0 * k + 1));
    sum += term;
  }
  return sum;
}
constexpr double taylor_cos(double x) {
  double term = 1, sum = 1;
  for (int k = 1; k < 30; ++k) {
    term *= -x * x / ((2.0 * k - 1) * (2.0 * k));
    sum += term;
  }
  return sum;
}
template <int P>
struct RootTable {
  float c[P];
  float s[P];
};
template <int P>
constexpr RootTable<P> make_roots() {
  RootTable<P> r{};
  for (int k = 0; k < P; ++k) {
    r.c[k] = static_cast<float>(taylor_cos(reduced_angle(k, P)));
    r.s[k] = static_cast<float>(taylor_sin(reduced_angle(k, P)));
  }
  return r;
}
template <int P>
struct Roots {
  static constexpr RootTable<P> tab = make_roots<P>();
};

// exp(sign 2 pi i num/den) in double, the argument reduced exactly first.
inline void root(long long num, long long den, int sign, double& c, double& s) {
  num %= den;
  const double ang = kTau * static_cast<double>(num) / static_cast<double>(den);
  c = std::cos(ang);
  s = sign * std::sin(ang);
}

// One pass of a plan: radix p, inputs of a butterfly m rows apart; the
// twiddles w^(kq), k = 1..m-1, q = 1..p-1, as (cos, sin) pairs at
// 2((k-1)(p-1) + q-1) (null for an untabulated plan); the roots of unity
// of a general odd radix (cos and signed sin of 2 pi j/p).
struct PassDesc {
  int p;
  int m;
  const float* tw;
  const float* ck;
  const float* sk;
};

// One axis of a sweep: its length, passes, and the row pos[k] at which
// natural index k sits after them.
struct AxisDesc {
  int n;
  int npass;
  const PassDesc* pass;
  const int* pos;
};

// A sweep over the grid halves a, b (ntot points) for the axes axis[0..
// naxes-1], the first with stride s: N = product of their lengths, L lanes
// per batch. In the scratch block (half floats per half) element
// (j0, j1, ...) of a lane is at sum j_t e[t]; goff and soff give that
// offset for natural index j before the passes and for the row that holds
// natural index j after them.
struct Sweep {
  float* a;
  float* b;
  std::size_t ntot;
  std::size_t s;
  int naxes;
  AxisDesc axis[6];
  std::size_t N;
  std::size_t L;
  std::size_t e[6];
  std::size_t half;
  const std::size_t* goff;
  const std::size_t* soff;
  int sign;
  // The lanes transformed: list[0..nlanes) when the transform is pruned
  // (lane numbers in increasing order), all ntot/N of them when list is null.
  const std::uint32_t* list;
  std::size_t nlanes;
  // Rows (natural index over the sweep's axes) whose input is zero
  // (rowin[j] == 0: not read, taken as zero) and rows whose output is not
  // wanted (rowout[j] == 0: not written back); null when every row is.
  const unsigned char* rowin;
  const unsigned char* rowout;
  // Whether the lanes of a thread's next batch are fetched while this one
  // is transformed: only when they and the block fit in the core's own
  // cache together, or the fetched lines would push out the block's.
  bool ahead;
};

// The twiddles of one butterfly k >= 1 of a pass: at(ctx, k) points to
// w^(kq), q = 1..p-1, as (cos, sin) pairs.
struct Twiddles {
  const float* (*at)(const void* ctx, int k);
  const void* ctx;
};

inline const float* table_at(const void* ctx, int k) {
  const PassDesc& ps = *static_cast<const PassDesc*>(ctx);
  return ps.tw + 2 * static_cast<std::size_t>(k - 1) * (ps.p - 1);
}
inline Twiddles tabulated(const PassDesc& ps) { return {table_at, &ps}; }

// Twiddles made per butterfly from double-precision sines and cosines, for
// passes too long to tabulate.
class UntabulatedTwiddles {
 public:
  UntabulatedTwiddles(const PassDesc& ps, int sign) : ps_(ps), sign_(sign) {}
  Twiddles get() const { return {make, this}; }

 private:
  static const float* make(const void* ctx, int k) {
    const UntabulatedTwiddles& u = *static_cast<const UntabulatedTwiddles*>(ctx);
    const int p = u.ps_.p;
    const long long span = static_cast<long long>(p) * u.ps_.m;
    for (int q = 1; q < p; ++q) {
      double c, s;
      root(static_cast<long long>(k) * q, span, u.sign_, c, s);
      u.buf_[2 * q - 2] = static_cast<float>(c);
      u.buf_[2 * q - 1] = static_cast<float>(s);
    }
    return u.buf_;
  }
  const PassDesc& ps_;
  int sign_;
  mutable float buf_[2 * kMaxFactor];
};

using ScalarPass = void (*)(const PassDesc&, int, float*, float*, std::size_t, std::size_t,
                            std::size_t, Twiddles);

// An axis too long for tables, transformed in place: n rows of s lanes for
// every outer block.
struct LongAxis {
  float* a;
  float* b;
  std::size_t s;
  int n;
  int npass;
  const PassDesc* pass;
  int sign;
  ScalarPass scalar_pass;
};

struct Kernels {
  int width;
  void (*sweep)(const Sweep&, std::size_t, std::size_t, float*, float*);
  void (*long_axis)(const LongAxis&, std::size_t, std::size_t);
};

// The sanitizer builds check the kernels in their scalar and 4-lane forms
// (the same source), without forcing the codelets inline: instrumenting the
// unrolled AVX2 and AVX-512 forms as well costs many minutes of compilation
// and checks nothing new.
#if defined(__SANITIZE_ADDRESS__)
#define TROVAN_FFT_SANITIZED 1
#define TROVAN_FFT_INLINE inline
#else
#define TROVAN_FFT_INLINE [[gnu::always_inline]] inline
#endif

// The kernels are compiled once per vector width below: the repeated
// blocks are deliberate, each the same source for another instruction set.
namespace scalar {
using Vec = float;
using Mask = int;
#include "density/fft_kernels.inc"
}  // namespace scalar

#if defined(__GNUC__) && !defined(__clang__)
#define TROVAN_FFT_VECTORS 1
namespace sse {
typedef float Vec __attribute__((vector_size(16)));
typedef int Mask __attribute__((vector_size(16)));
#include "density/fft_kernels.inc"
}  // namespace sse
#if defined(__x86_64__) && !defined(TROVAN_FFT_SANITIZED)
#define TROVAN_FFT_X86 1
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {
typedef float Vec __attribute__((vector_size(32)));
typedef int Mask __attribute__((vector_size(32)));
#include "density/fft_kernels.inc"
}  // namespace avx2
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
namespace avx512 {
typedef float Vec __attribute__((vector_size(64)));
typedef int Mask __attribute__((vector_size(64)));
#include "density/fft_kernels.inc"
}  // namespace avx512
#pragma GCC pop_options
#endif
#endif

}  // namespace fftimpl

namespace {

using namespace fftimpl;

[[noreturn]] void bounds_exceeded() {
  quit("array bounds exceeded within subroutine fft");
}

// ---------------------------------------------------------------------------
// Limits
//
// The lengths the program accepts are those of Singleton's algorithm: the
// length is factorised as a factor 4 for every 16 that divides it, then the
// odd squares 3^2, 5^2, 7^2, ... (each factor j once per j^2), then, if 4
// still divides what is left, a factor 2 for that square; the square-free
// rest follows by trial division. Every prime factor must be at most 23 and
// the product of the square-free rest at most 210.
bool length_ok(int n) {
  long long k = n;
  while (k % 16 == 0) k /= 16;
  for (long long j = 3; j * j <= k; j += 2)
    while (k % (j * j) == 0) k /= j * j;
  if (k > 4 && k % 4 == 0) k /= 4;
  // k is the square-free rest; its prime factors and those of the squares
  // taken out (which divide n) must all be at most 23.
  if (k > kMaxSquareFree) return false;
  long long r = n;
  for (long long p = 2; p <= kMaxFactor; ++p)
    while (r % p == 0) r /= p;
  return r == 1;
}

void check_length(int n) {
  if (!length_ok(n)) bounds_exceeded();
}

// ---------------------------------------------------------------------------
// Plans: the passes of one length and direction, made once and kept.
struct Plan {
  int n = 0;
  int sign = 1;
  bool tabulated = false;
  std::vector<int> radix;
  std::vector<PassDesc> pass;
  std::vector<float> tw;     // twiddles of all passes
  std::vector<float> roots;  // cos, sin of the general odd passes
  std::vector<int> pos;
};

// The radices of a length: primes from 7 up as general passes first, then
// the 2-3-5 part as codelets, the largest codelet last (it has no
// twiddles), each chosen as the largest that divides what is left.
std::vector<int> radices(int n) {
  static const int kCodelets[] = {20, 16, 12, 8, 5, 4, 3, 2};
  std::vector<int> odd, codelets;
  int k = n;
  for (int p : {7, 11, 13, 17, 19, 23})
    while (k % p == 0) {
      odd.push_back(p);
      k /= p;
    }
  while (k > 1) {
    int c = 0;
    for (int cand : kCodelets)
      if (k % cand == 0) {
        c = cand;
        break;
      }
    if (c == 0) bounds_exceeded();  // a prime factor the checks let through
    codelets.push_back(c);
    k /= c;
  }
  std::vector<int> r = odd;
  r.insert(r.end(), codelets.rbegin(), codelets.rend());
  // A last factor 20 (the pass without twiddles) is done as a pass of 4
  // over rows 5 apart, with the twiddles w_20^(kq), and a pass of 5: the
  // very operations of the 20-point codelet (its 4-point transforms, the
  // same rotations, its 5-point transforms), so the same bits, but with
  // 8 and 10 live complex vectors instead of 40, which the vector
  // registers hold without spilling to the stack.
  if (!r.empty() && r.back() == 20) {
    r.back() = 4;
    r.push_back(5);
  }
  return r;
}

// Row at which the result for frequency k sits after the decimation in
// frequency: with k = q1 + f1*(q2 + f2*(q3 + ...)) it is
// q1*(n/f1) + q2*(n/(f1 f2)) + ..., the digits of k read in reverse.
long long digit_reversed(long long k, int n, const std::vector<int>& fac) {
  long long span = n, pos = 0;
  for (int p : fac) {
    span /= p;
    pos += (k % p) * span;
    k /= p;
  }
  return pos;
}

std::unique_ptr<Plan> make_plan(int n, int sign) {
  auto pl = std::make_unique<Plan>();
  pl->n = n;
  pl->sign = sign;
  pl->tabulated = n <= kMaxTabulated;
  pl->radix = radices(n);
  int span = n;
  std::size_t ntw = 0, nroots = 0;
  for (int p : pl->radix) {
    const int m = span / p;
    if (pl->tabulated) ntw += 2 * static_cast<std::size_t>(m - 1) * (p - 1);
    if (p >= 7) nroots += 2 * static_cast<std::size_t>(p);
    span = m;
  }
  pl->tw.resize(ntw);
  pl->roots.resize(nroots);
  span = n;
  std::size_t t = 0, r = 0;
  for (int p : pl->radix) {
    const int m = span / p;
    PassDesc ps{p, m, nullptr, nullptr, nullptr};
    if (pl->tabulated && m > 1) {
      ps.tw = pl->tw.data() + t;
      for (int k = 1; k < m; ++k)
        for (int q = 1; q < p; ++q) {
          double c, s;
          root(static_cast<long long>(k) * q, span, sign, c, s);
          pl->tw[t++] = static_cast<float>(c);
          pl->tw[t++] = static_cast<float>(s);
        }
    }
    if (p >= 7) {
      ps.ck = pl->roots.data() + r;
      ps.sk = ps.ck + p;
      for (int j = 0; j < p; ++j) {
        double c, s;
        root(j, p, sign, c, s);
        pl->roots[r + j] = static_cast<float>(c);
        pl->roots[r + p + j] = static_cast<float>(s);
      }
      r += 2 * static_cast<std::size_t>(p);
    }
    pl->pass.push_back(ps);
    span = m;
  }
  if (pl->tabulated) {
    pl->pos.resize(n);
    for (int k = 0; k < n; ++k) pl->pos[k] = static_cast<int>(digit_reversed(k, n, pl->radix));
  }
  return pl;
}

const Plan& plan(int n, int sign) {
  static std::mutex m;
  static std::map<std::pair<int, int>, std::unique_ptr<Plan>> cache;
  std::lock_guard<std::mutex> lk(m);
  auto& p = cache[{n, sign}];
  if (!p) p = make_plan(n, sign);
  return *p;
}

// ---------------------------------------------------------------------------
// Kernel selection.
// A process setting: the instruction set of the transforms, shared by every
// job of the process (setfftisa limits it; results do not depend on it
// beyond the rounding of the kernels).
int g_isa_request = 3;
int g_isa = -1;

int best_isa(int request) {
#if defined(TROVAN_FFT_X86)
  __builtin_cpu_init();
  if (request >= 3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512dq"))
    return 3;
  if (request >= 2 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 2;
#endif
#if defined(TROVAN_FFT_VECTORS)
  if (request >= 1) return 1;
#endif
  (void)request;
  return 0;
}

Kernels kernels() {
  if (g_isa < 0) g_isa = best_isa(g_isa_request);
  switch (g_isa) {
#if defined(TROVAN_FFT_X86)
    case 3: return {16, avx512::sweep_batches, avx512::long_axis_passes};
    case 2: return {8, avx2::sweep_batches, avx2::long_axis_passes};
#endif
#if defined(TROVAN_FFT_VECTORS)
    case 1: return {4, sse::sweep_batches, sse::long_axis_passes};
#endif
    default: return {1, scalar::sweep_batches, scalar::long_axis_passes};
  }
}

// ---------------------------------------------------------------------------
// Sweeps.

// Rows of a sweep: the product of the grouped lengths is kept at most
// kMaxFirstRows for the sweep along the first axis, whose lanes are each a
// contiguous run of the grid (a block of 16 lanes, 2 x 512 KiB at most,
// about the size of a core's own cache), and at most kMaxStridedRows for a later
// sweep, whose batches read every row of the grid as one run of L lanes:
// with 128 lanes and more (512 bytes) the memory delivers such runs nearly
// as fast as a sequential read, with 16 lanes at a third of that speed.
constexpr std::size_t kMaxFirstRows = 8192;
constexpr std::size_t kMaxStridedRows = 512;
// Lanes the first sweep leaves at least, when it groups more than one axis.
constexpr std::size_t kMinFirstLanes = 16;
// Floats per half of a block aimed at: more lanes per batch for short
// sweeps, up to this.
constexpr std::size_t kBlockFloats = 32768;
// Points of work below which a transform stays on one thread.
constexpr std::size_t kParallelPoints = 1 << 15;

// The size of a core's own cache (level 2) in bytes, as the system reports
// it; 1 MiB, the smaller of the common sizes, when it does not.
std::size_t core_cache_bytes() {
  static const std::size_t bytes = [] {
#if defined(_SC_LEVEL2_CACHE_SIZE)
    const long v = sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (v > 0) return static_cast<std::size_t>(v);
#endif
    return std::size_t{1} << 20;
  }();
  return bytes;
}

// A row of an odd number of 64-byte lines: the butterflies' rows, a power
// of two apart in the grid, are then spread over the cache's sets.
std::size_t odd_lines(std::size_t floats) {
  std::size_t lines = (floats + 15) / 16;
  if (lines % 2 == 0) ++lines;
  return lines * 16;
}

struct Scratch {
  float* p = nullptr;
  std::size_t size = 0;
  ~Scratch() { std::free(p); }
  float* get(std::size_t n) {
    if (n > size) {
      std::free(p);
      p = static_cast<float*>(std::aligned_alloc(64, (n * sizeof(float) + 63) / 64 * 64));
      if (!p) throw std::bad_alloc();
      size = n;
    }
    return p;
  }
};

// Whether every coordinate of each point of the sub-grid of axes ax
// (first fastest; an axis of length 0 or 1 counts as length 1) is marked
// in mask (a mark of another length than its axis: the whole axis).
std::vector<unsigned char> marks_product(const std::vector<int>& ax, const int* n,
                                         const std::vector<unsigned char>* mask) {
  std::vector<unsigned char> ok{1};
  for (int e : ax) {
    const int ne = std::max(n[e], 1);
    const bool all = mask[e].size() != static_cast<std::size_t>(ne);
    std::vector<unsigned char> next(ok.size() * static_cast<std::size_t>(ne));
    for (int c = 0; c < ne; ++c)
      for (std::size_t i = 0; i < ok.size(); ++i) next[c * ok.size() + i] = ok[i] && (all || mask[e][c]);
    ok.swap(next);
  }
  return ok;
}

std::vector<int> axes_between(int from, int to) {
  std::vector<int> ax;
  for (int e = from; e < to; ++e) ax.push_back(e);
  return ax;
}

// The lanes of a sweep over the axes first .. last-1 (stride s) that can
// matter under a pruning: a lane is the line of points with fixed
// coordinates on the other axes. Its coordinates on the axes already
// transformed (before first) must all be wanted outputs, and those on the
// axes still to come (from last on) must all be marked as possibly
// non-zero input: any other lane either holds zeros, whose transform is
// zero, or feeds only outputs that are not wanted. Returns false when
// every lane matters (no list is needed).
bool pruned_lanes(const FftPrune& pr, const int* n, int m, int first, int last, std::size_t s,
                  std::size_t ntot, std::size_t N, std::vector<std::uint32_t>& list) {
  // Which inner indices (axes before first) and outer indices (from last
  // on) are allowed.
  const std::vector<unsigned char> inner = marks_product(axes_between(0, first), n, pr.out);
  const std::vector<unsigned char> outer = marks_product(axes_between(last, m), n, pr.in);
  const std::size_t nouter = ntot / (s * N);
  list.clear();
  for (std::size_t o = 0; o < nouter; ++o) {
    if (!outer[o]) continue;
    for (std::size_t i = 0; i < s; ++i)
      if (inner[i]) list.push_back(static_cast<std::uint32_t>(o * s + i));
  }
  return list.size() < ntot / N;
}

// What a pruning leaves of one sweep: the lanes (empty and not `lanes`:
// every lane) and the rows read and written (empty: every row).
struct SweepPrune {
  bool lanes = false;
  std::vector<std::uint32_t> list;
  std::vector<unsigned char> rowin, rowout;
};

void run_sweep(const Kernels& k, float* a, float* b, std::size_t ntot, std::size_t s,
               const std::vector<const Plan*>& axes, int sign, const SweepPrune* sp) {
  const std::vector<std::uint32_t>* list = sp && sp->lanes ? &sp->list : nullptr;
  Sweep sw{};
  sw.a = a;
  sw.b = b;
  sw.ntot = ntot;
  sw.s = s;
  sw.sign = sign;
  sw.naxes = static_cast<int>(axes.size());
  sw.N = 1;
  for (int t = 0; t < sw.naxes; ++t) {
    const Plan& p = *axes[t];
    sw.axis[t] = {p.n, static_cast<int>(p.pass.size()), p.pass.data(), p.pos.data()};
    sw.N *= static_cast<std::size_t>(p.n);
  }
  const std::size_t lanes = list ? list->size() : ntot / sw.N;
  if (lanes == 0) return;
  sw.list = list ? list->data() : nullptr;
  sw.nlanes = lanes;
  sw.rowin = sp && !sp->rowin.empty() ? sp->rowin.data() : nullptr;
  sw.rowout = sp && !sp->rowout.empty() ? sp->rowout.data() : nullptr;
  // Lanes per batch: an odd number of 16-float lines (see odd_lines), about
  // kBlockFloats / N, at least one line and no more than the sweep has.
  std::size_t lines = std::max<std::size_t>(1, kBlockFloats / sw.N / 16);
  lines = std::min(lines, (lanes + 15) / 16);
  if (lines % 2 == 0) --lines;
  // Then as many batches as that makes, rounded up to a multiple of the
  // threads, and the lanes shared evenly among them: a pruned sweep often
  // has only a few batches, and a short last one would leave a thread
  // idle for most of the sweep. (Every lane is transformed alike in any
  // batch, so the batch size changes nothing in the result.)
  const std::size_t threads = static_cast<std::size_t>(getnthreads());
  std::size_t nbatch = (lanes + lines * 16 - 1) / (lines * 16);
  nbatch = (nbatch + threads - 1) / threads * threads;
  const std::size_t even = ((lanes + nbatch - 1) / nbatch + 15) / 16;
  if (even < lines) lines = even % 2 ? even : even + 1;
  const std::size_t L = lines * 16;
  sw.L = L;
  sw.e[0] = L;
  for (int t = 1; t < sw.naxes; ++t)
    sw.e[t] = odd_lines(static_cast<std::size_t>(sw.axis[t - 1].n) * sw.e[t - 1]);
  sw.half = static_cast<std::size_t>(sw.axis[sw.naxes - 1].n) * sw.e[sw.naxes - 1];
  sw.ahead = 2 * (sw.half + L * sw.N) * sizeof(float) <= core_cache_bytes();
  std::vector<std::size_t> goff(sw.N), soff(sw.N);
  for (std::size_t j = 0; j < sw.N; ++j) {
    std::size_t r = j, g = 0, q = 0;
    for (int t = 0; t < sw.naxes; ++t) {
      const std::size_t n = static_cast<std::size_t>(sw.axis[t].n), d = r % n;
      g += d * sw.e[t];
      q += static_cast<std::size_t>(sw.axis[t].pos[d]) * sw.e[t];
      r /= n;
    }
    goff[j] = g;
    soff[j] = q;
  }
  sw.goff = goff.data();
  sw.soff = soff.data();
  const std::size_t batches = (lanes + L - 1) / L;
  const long long grain = static_cast<long long>(std::max<std::size_t>(1, kParallelPoints / (L * sw.N)));
  parallel_for(static_cast<long long>(batches), grain, [&](long long b0, long long b1) {
    FlushDenormals ftz;
    thread_local Scratch scratch;
    float* x = scratch.get(2 * sw.half);
    k.sweep(sw, static_cast<std::size_t>(b0), static_cast<std::size_t>(b1), x, x + sw.half);
  });
}

// An axis longer than kMaxTabulated (only met on degenerate grids): the
// passes run directly in the grid with the whole stride as the lanes, and
// the rows are put in natural order by following the cycles of the
// digit-reversal permutation, a mark per row for those already moved.
void run_long_axis(const Kernels& k, float* a, float* b, std::size_t ntot, std::size_t s,
                   const Plan& pl) {
  const int n = pl.n;
  const std::size_t sn = s * static_cast<std::size_t>(n);
  LongAxis la{a, b, s, n, static_cast<int>(pl.pass.size()), pl.pass.data(), pl.sign,
              scalar::run_pass};
  const long long outer = static_cast<long long>(ntot / sn);
  parallel_for(outer, 1, [&](long long o0, long long o1) {
    FlushDenormals ftz;
    std::vector<char> done(n);
    std::vector<float> tr(s), ti(s);
    for (long long o = o0; o < o1; ++o) {
      k.long_axis(la, static_cast<std::size_t>(o), static_cast<std::size_t>(o + 1));
      float* ar = a + o * sn;
      float* ai = b + o * sn;
      std::fill(done.begin(), done.end(), 0);
      for (int c = 0; c < n; ++c) {
        if (done[c]) continue;
        // new row k <- old row pos(k); walk the cycle starting at c.
        std::memcpy(tr.data(), ar + c * s, s * sizeof(float));
        std::memcpy(ti.data(), ai + c * s, s * sizeof(float));
        long long kk = c;
        for (;;) {
          done[kk] = 1;
          const long long src = digit_reversed(kk, n, pl.radix);
          if (src == c) {
            std::memcpy(ar + kk * s, tr.data(), s * sizeof(float));
            std::memcpy(ai + kk * s, ti.data(), s * sizeof(float));
            break;
          }
          std::memcpy(ar + kk * s, ar + src * s, s * sizeof(float));
          std::memcpy(ai + kk * s, ai + src * s, s * sizeof(float));
          kk = src;
        }
      }
    }
  });
}

// Transforms the axes n[0..m-1] (stride of axis 0: s0), grouping
// consecutive short axes into sweeps.
// The lanes of every sweep of a pruned transform, kept for the last few
// grids and prunings: a maximum-entropy cycle makes the same two (a
// synthesis and a structure-factor calculation) every time.
struct PrunedSweeps {
  std::vector<int> n;
  FftPrune prune;
  std::vector<SweepPrune> sweep;
};

// The rows of a sweep over the axes ax[0..] (natural index, first axis
// fastest) whose every coordinate is marked in mask; empty when all are.
std::vector<unsigned char> marked_rows(const std::vector<int>& ax, const int* n,
                                       const std::vector<unsigned char>* mask) {
  std::vector<unsigned char> ok = marks_product(ax, n, mask);
  for (unsigned char v : ok)
    if (!v) return ok;
  return {};
}

// Zero at every point with a coordinate that the marks in leave out: a
// pruned synthesis takes them as zero without reading them, which an axis
// transformed in place (too long for a sweep) cannot do.
void clear_outside(float* a, float* b, std::size_t ntot, const int* n, int m, const FftPrune& pr) {
  for (std::size_t p = 0; p < ntot; ++p) {
    std::size_t r = p;
    bool in = true;
    for (int e = 0; e < m; ++e) {
      const std::size_t ne = static_cast<std::size_t>(std::max(n[e], 1)), c = r % ne;
      r /= ne;
      in = in && (pr.in[e].size() != ne || pr.in[e][c]);
    }
    if (!in) a[p] = b[p] = 0.0f;
  }
}

void transform_axes(float* a, float* b, std::size_t ntot, const int* n, int m, std::size_t s0,
                    int sign, const FftPrune* prune = nullptr) {
  const Kernels k = kernels();
  thread_local std::vector<PrunedSweeps> cache;
  PrunedSweeps fresh;  // made here, kept once the transform is through
  PrunedSweeps* sweeps = nullptr;
  bool made = true;
  if (prune) {
    if (m > 6) quit("a pruned transform has at most six axes");
    // An axis of length 1 whose only coordinate is unmarked: no input at
    // all (the transform is zero), or no output wanted.
    for (int e = 0; e < m; ++e) {
      if (n[e] >= 2) continue;
      if (prune->in[e].size() == 1 && !prune->in[e][0]) {
        std::fill(a, a + ntot, 0.0f);
        std::fill(b, b + ntot, 0.0f);
        return;
      }
      if (prune->out[e].size() == 1 && !prune->out[e][0]) return;
    }
    for (PrunedSweeps& c : cache) {
      bool same = c.n == std::vector<int>(n, n + m);
      for (int e = 0; e < 6 && same; ++e) same = c.prune.in[e] == prune->in[e] && c.prune.out[e] == prune->out[e];
      if (same) sweeps = &c;
    }
    if (!sweeps) {
      fresh = {std::vector<int>(n, n + m), *prune, {}};
      sweeps = &fresh;
      made = false;
    }
    for (int e = 0; e < m; ++e)
      if (n[e] >= 2 && !plan(n[e], sign).tabulated) {
        clear_outside(a, b, ntot, n, m, *prune);
        break;
      }
  }
  std::size_t sweep = 0;
  std::size_t s = s0;
  int i = 0;
  while (i < m) {
    if (n[i] < 2) {
      s *= static_cast<std::size_t>(std::max(n[i], 1));
      ++i;
      continue;
    }
    const Plan& first = plan(n[i], sign);
    if (!first.tabulated) {
      run_long_axis(k, a, b, ntot, s, first);
      s *= static_cast<std::size_t>(n[i]);
      ++i;
      continue;
    }
    std::vector<const Plan*> group{&first};
    std::vector<int> groupaxes{i};
    const int from = i;
    std::size_t rows = static_cast<std::size_t>(n[i]);
    const std::size_t stride = s;
    s *= static_cast<std::size_t>(n[i]);
    ++i;
    while (i < m && group.size() < 6) {
      if (n[i] < 2) {
        s *= static_cast<std::size_t>(std::max(n[i], 1));
        ++i;
        continue;
      }
      if (rows * static_cast<std::size_t>(n[i]) > (stride == 1 ? kMaxFirstRows : kMaxStridedRows))
        break;
      // The first sweep's lanes are the grid's runs of its rows, taken 16
      // to a batch: a small grid whose axes would leave fewer (32x12x12x12
      // swept along 32x12x12 leaves 12) pads its one batch with empty lanes
      // and transposes the whole grid through them; it does better to leave
      // an axis to the next sweep.
      if (stride == 1 && ntot / (rows * static_cast<std::size_t>(n[i])) < kMinFirstLanes) break;
      group.push_back(&plan(n[i], sign));
      groupaxes.push_back(i);
      rows *= static_cast<std::size_t>(n[i]);
      s *= static_cast<std::size_t>(n[i]);
      ++i;
    }
    if (sweeps && !made) {
      SweepPrune sp;
      sp.lanes = pruned_lanes(*prune, n, m, from, i, stride, ntot, rows, sp.list);
      if (!sp.lanes) std::vector<std::uint32_t>().swap(sp.list);
      sp.rowin = marked_rows(groupaxes, n, prune->in);
      // The first sweep writes whole lanes back (a tile of its transpose
      // spans rows marked and unmarked).
      if (stride != 1) sp.rowout = marked_rows(groupaxes, n, prune->out);
      sweeps->sweep.push_back(std::move(sp));
    }
    run_sweep(k, a, b, ntot, stride, group, sign, sweeps ? &sweeps->sweep[sweep] : nullptr);
    ++sweep;
  }
  if (!made) {
    if (cache.size() >= 4) cache.erase(cache.begin());
    cache.push_back(std::move(fresh));
  }
}

}  // namespace

bool isfftlen(int n) { return n >= 1 && length_ok(n); }

int getfftisa() {
  if (g_isa < 0) g_isa = best_isa(g_isa_request);
  return g_isa;
}

int setfftisa(int level) {
  g_isa_request = level;
  g_isa = best_isa(level);
  return g_isa;
}

void fft(float* a, float* b, long long ntot, int n, long long nspan, int isn) {
  if (n < 2) return;
  if (isn == 0) quit("isn =0 in fft");
  check_length(n);
  if (ntot <= 0 || nspan < n) return;
  const int sign = isn > 0 ? 1 : -1;
  transform_axes(a, b, static_cast<std::size_t>(ntot), &n, 1,
                 static_cast<std::size_t>(nspan / n), sign);
}

void cft1(float* a, float* b, const int* n, int m, int isn, int& icon, const FftPrune* prune) {
  if (m < 1) {
    icon = 30000;
    return;
  }
  icon = 0;
  long long ntot = 1;
  for (int i = 0; i < m; ++i) ntot *= std::max(n[i], 0);
  // Every axis is checked before any is transformed: a bad length stops the
  // run with the grid unchanged.
  for (int i = 0; i < m; ++i)
    if (n[i] >= 2) check_length(n[i]);
  if (ntot == 0) return;
  if (isn == 0) quit("isn =0 in fft");
  const int sign = isn > 0 ? 1 : -1;
  // Axes are transformed in order, first axis first, as the one-dimensional
  // transforms fft(ntot, n(i), n(1)*...*n(i)); consecutive short axes are
  // grouped so that one sweep over the grid does several of them.
  transform_axes(a, b, static_cast<std::size_t>(ntot), n, m, 1, sign, prune);
}

void cft1(float* a, float* b, const int* n, int m, int isn, int& icon) {
  cft1(a, b, n, m, isn, icon, nullptr);
}

}  // namespace trovan
