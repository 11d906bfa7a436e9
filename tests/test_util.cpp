// Shared helpers: matrix inversion and products, the descending sort,
// Fortran-style editing of numbers in the listing, and the worker threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <limits>
#include <new>
#include <vector>
#include <random>
#include <sstream>

#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"
#include "values.hpp"
#include "util/threads.hpp"
#include "util/vecmath.hpp"

using trovan::testing::ListingTo;

using namespace trovan;

namespace {

// The split of a loop among threads covers every item once, in parts that
// follow each other, and small loops stay on one thread.
TEST(Threads, ParallelForCoversEveryItemOnce) {
  for (int threads : {1, 2, 3, 5}) {
    setnthreads(threads);
    for (long long n : {0LL, 1LL, 7LL, 1000LL, 100003LL}) {
      std::vector<std::atomic<int>> hits(n);
      std::atomic<int> parts{0};
      parallel_for(n, 10, [&](long long lo, long long hi) {
        ++parts;
        EXPECT_LT(lo, hi);
        for (long long i = lo; i < hi; ++i) ++hits[i];
      });
      for (long long i = 0; i < n; ++i) ASSERT_EQ(hits[i], 1) << threads << " " << n << " " << i;
      EXPECT_LE(parts, std::max(1LL, std::min<long long>(threads, n / 10)));
    }
  }
  setnthreads(0);
  EXPECT_GE(getnthreads(), 1);
}

// Memory exhausted in a worker's part reaches the caller as the exception
// itself (which main() turns into its message and status), not as the end
// of the process.
TEST(Threads, AnExceptionInAWorkersPartReachesTheCaller) {
  setnthreads(3);
  EXPECT_THROW(parallel_for(3000, 10,
                            [](long long lo, long long) {
                              if (lo > 0) throw std::bad_alloc();
                            }),
               std::bad_alloc);
  setnthreads(0);
}

#if defined(__x86_64__)
// Inside the guard a product below the normal range is zero and a denormal
// operand reads as zero; outside it both are kept.
TEST(Threads, DenormalsFlushOnlyInsideTheGuard) {
  volatile float tiny = 1e-30f, small = 1e-10f, denormal = 1e-40f;
  {
    FlushDenormals ftz;
    EXPECT_EQ(tiny * small, 0.0f);
    EXPECT_EQ(denormal * 1e10f, 0.0f);
  }
  EXPECT_GT(tiny * small, 0.0f);
  EXPECT_GT(denormal * 1e10f, 0.0f);
}
#endif

TEST(Matinv, InverseTimesMatrixIsIdentityAndDeterminantMatches) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-2, 2);
  for (int trial = 0; trial < 20; ++trial) {
    float a[36], inv[36], prod[36];
    for (float& x : a) x = u(rng);
    mcpy(a, inv);
    float det = 0;
    ASSERT_TRUE(matinv(inv, 6, det));
    mtmpl(a, inv, prod);
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) EXPECT_NEAR(prod[at(i, j)], i == j ? 1.0f : 0.0f, 2e-4f);
    // The determinant of the inverse is the reciprocal.
    float det2 = 0;
    ASSERT_TRUE(matinv(inv, 6, det2));
    EXPECT_NEAR(det * det2, 1.0f, 1e-3f);
  }
}

TEST(Matinv, KnownDeterminantWithRowExchange) {
  // Needs a row exchange for its pivot; det = -2 (3x3, column-major).
  float a[9] = {0, 1, 0, 2, 0, 0, 0, 0, 1};
  float det = 0;
  ASSERT_TRUE(matinv(a, 3, det));
  EXPECT_FLOAT_EQ(det, -2.0f);
  // inverse of [[0,2,0],[1,0,0],[0,0,1]] is [[0,1,0],[0.5,0,0],[0,0,1]]
  EXPECT_FLOAT_EQ(a[at(0, 1, 3)], 1.0f);
  EXPECT_FLOAT_EQ(a[at(1, 0, 3)], 0.5f);
}

TEST(Matinv, SingularMatrixIsReportedNotInverted) {
  float a[36] = {};
  for (int i = 0; i < 6; ++i) a[at(i, 0)] = 1.0f + i;  // rank 1
  for (int i = 0; i < 6; ++i) a[at(i, 1)] = 2.0f * (1.0f + i);
  float copy[36];
  mcpy(a, copy);
  float det = 5;
  EXPECT_FALSE(matinv(a, 6, det));
  EXPECT_EQ(det, 0.0f);
  for (int k = 0; k < 36; ++k) EXPECT_EQ(a[k], copy[k]);
}

TEST(Linalg, ProductsAndTransposes) {
  int r[36] = {}, s[36] = {}, p[36];
  // R: cyclic permutation x->y->z, S its square: R*S = identity on 3 axes.
  r[at(1, 0)] = r[at(2, 1)] = r[at(0, 2)] = 1;
  s[at(2, 0)] = s[at(0, 1)] = s[at(1, 2)] = 1;
  for (int i = 3; i < 6; ++i) r[at(i, i)] = s[at(i, i)] = 1;
  mtmpli6(r, s, p);
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) EXPECT_EQ(p[at(i, j)], i == j ? 1 : 0);
  float m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  trnsp3(m);
  EXPECT_EQ(m[1], 4.0f);
  EXPECT_EQ(m[3], 2.0f);
  float v[3] = {3, 0, 4};
  norml(v);
  EXPECT_FLOAT_EQ(v[0], 0.6f);
  EXPECT_FLOAT_EQ(v[2], 0.8f);
}

TEST(Qsortd, SortsDescendingAndReturnsOriginalPositions) {
  std::mt19937 rng(3);
  for (int n : {0, 1, 2, 3, 17, 1000}) {
    std::vector<float> keys(n);
    std::uniform_int_distribution<int> u(0, 50);  // many ties
    for (float& k : keys) k = static_cast<float>(u(rng));
    std::vector<float> orig = keys;
    std::vector<int> order(n);
    qsortd(keys.data(), order.data(), n);
    EXPECT_TRUE(std::is_sorted(keys.rbegin(), keys.rend()));
    for (int k = 0; k < n; ++k) {
      ASSERT_GE(order[k], 1);
      ASSERT_LE(order[k], n);
      EXPECT_EQ(keys[k], orig[order[k] - 1]);
    }
    // order is a permutation of 1..n
    std::sort(order.begin(), order.end());
    for (int k = 0; k < n; ++k) EXPECT_EQ(order[k], k + 1);
  }
}

TEST(Qsortd, SortedAndReversedInputsOfManyEqualKeys) {
  const int n = 100000;
  std::vector<float> keys(n, 1.0f);
  std::vector<int> order(n);
  qsortd(keys.data(), order.data(), n);  // must not degrade into deep recursion
  for (int i = 0; i < n; ++i) keys[i] = static_cast<float>(i);
  qsortd(keys.data(), order.data(), n);
  EXPECT_EQ(keys[0], n - 1.0f);
  EXPECT_EQ(order[0], n);
}

TEST(Angles, Atan3AndConversions) {
  EXPECT_NEAR(atan3(1, -1), 3 * kPi / 4, 1e-12);
  EXPECT_NEAR(atan3(-1, -1), -3 * kPi / 4, 1e-12);
  EXPECT_EQ(atan3(0, 0), 0.0);
  EXPECT_NEAR(todeg(torad(123.25)), 123.25, 1e-12);
  EXPECT_NEAR(torad(180), kPi, 1e-15);
}

TEST(FortranEditing, IntegerAndFixed) {
  EXPECT_EQ(fmt_i(42, 4), "  42");
  EXPECT_EQ(fmt_i(-42, 3), "-42");
  EXPECT_EQ(fmt_i(12345, 4), "****");
  EXPECT_EQ(fmt_f(3.14159, 8, 4), "  3.1416");
  EXPECT_EQ(fmt_f(-0.5, 8, 4), " -0.5000");
  EXPECT_EQ(fmt_f(0.5, 5, 4), ".5000");  // leading zero dropped to fit
  EXPECT_EQ(fmt_f(1234.5, 6, 2), "******");
  EXPECT_EQ(fmt_f(99.999, 6, 2), "100.00");
  EXPECT_EQ(fmt_f(84.0, 6, 0), "   84.");
  EXPECT_EQ(fmt_f(123456.0, 6, 0), "******");
}

TEST(FortranEditing, ExponentialIsNotCsPercentE) {
  EXPECT_EQ(fmt_e(123.456, 12, 5), " 0.12346E+03");
  EXPECT_EQ(fmt_e(-123.456, 12, 5), "-0.12346E+03");
  EXPECT_EQ(fmt_e(0.0, 12, 5), " 0.00000E+00");
  EXPECT_EQ(fmt_e(1.0, 10, 3), " 0.100E+01");
  EXPECT_EQ(fmt_e(0.000999999, 10, 3), " 0.100E-02");  // rounding carries into the exponent
  EXPECT_EQ(fmt_e(2.5e-120, 12, 5), " 0.25000-119");
  EXPECT_EQ(fmt_e(1e10, 6, 3), "******");
}

TEST(Listing, LabelledMatrixRowByRow) {
  std::ostringstream os;
  const ListingTo listing_to(&os);
  float a[36] = {};
  for (int i = 0; i < 6; ++i) a[at(i, i)] = 1.0f;
  a[at(0, 5)] = -0.25f;
  wtmtrxrf("dq", a, 6, "(6f8.4)");
  int v[6] = {1, -2, 3, 0, 0, 12};
  wtvctrif("h", v, 6, "(6i3)");
  EXPECT_EQ(os.str(),
            "dq\n"
            "  1.0000  0.0000  0.0000  0.0000  0.0000 -0.2500\n"
            "  0.0000  1.0000  0.0000  0.0000  0.0000  0.0000\n"
            "  0.0000  0.0000  1.0000  0.0000  0.0000  0.0000\n"
            "  0.0000  0.0000  0.0000  1.0000  0.0000  0.0000\n"
            "  0.0000  0.0000  0.0000  0.0000  1.0000  0.0000\n"
            "  0.0000  0.0000  0.0000  0.0000  0.0000  1.0000\n"
            "h\n"
            "  1 -2  3  0  0 12\n");
}

TEST(Stop, QuitPrintsListDirectedAndThrowsWithStatus) {
  std::ostringstream os;
  const ListingTo listing_to(&os);
  try {
    quit("nt > nts");
    FAIL();
  } catch (const Stop& s) {
    EXPECT_EQ(s.status, kExitError);
  }
  EXPECT_EQ(os.str(), " nt > nts\n");
}

// Memory or threads that run out are not bad input: status 3, and the
// reason names what ran out and what to change.
TEST(Stop, ExhaustedResourcesHaveTheirOwnStatus) {
  struct Case {
    std::function<void()> fault;
    int status;
    std::string named;
  };
  const Case cases[] = {
      // What new throws when the system gives no more memory (thrown, not
      // provoked: the sanitizers abort on an impossible request).
      {[] { throw std::bad_alloc(); }, kExitResource, "out of memory"},
      // What std::thread throws when the system has no thread to give.
      {[] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
       kExitResource, "TROVAN_THREADS"},
      {[] { throw std::system_error(std::make_error_code(std::errc::not_enough_memory)); }, kExitResource,
       "TROVAN_THREADS"},
      {[] { throw std::runtime_error("a library's failure"); }, kExitError, "a library's failure"},
  };
  for (const Case& c : cases) {
    try {
      c.fault();
      ADD_FAILURE() << c.named << ": no failure";
    } catch (const std::exception& e) {
      std::string why;
      EXPECT_EQ(failurestatus(e, why), c.status) << why;
      EXPECT_NE(why.find(c.named), std::string::npos) << why;
    }
  }
}

// Warnings: the listing line as it always was, standard error with the
// program's name, and the run's list (the texts as on standard error) for
// the run's last line.
TEST(Stop, WarningsGoToTheListingAndStandardErrorAndTheRunsList) {
  std::ostringstream listing, err;
  set_out_stream(&listing);
  set_warn_stream(&err);
  std::vector<std::string> run;
  {
    WarningScope scope(run);
    warn("      12 systematically absent reflections left out");
    EXPECT_EQ(warningsummary(run.size()), "1 warning (see the listing)");
    warn(" a fit stopped short");
  }
  // Given after the run's scope closed: listed, not the run's.
  warn(" after the run");
  set_out_stream(nullptr);
  set_warn_stream(nullptr);
  EXPECT_EQ(listing.str(), " warning:      12 systematically absent reflections left out\n warning: a fit stopped short\n"
                           " warning: after the run\n");
  EXPECT_EQ(err.str(), "trovan: warning: 12 systematically absent reflections left out\ntrovan: warning: a fit stopped short\n"
                       "trovan: warning: after the run\n");
  EXPECT_EQ(run, (std::vector<std::string>{"12 systematically absent reflections left out", "a fit stopped short"}));
  EXPECT_EQ(warningsummary(run.size()), "2 warnings (see the listing)");
  EXPECT_EQ(warningsummary(0), "");
}

// Runs that nest, interleave or go on another thread keep their own
// warnings: a scope opened inside another takes them until it closes, the
// outer one gets them again after, and a thread's warnings reach only the
// scope of that thread.
TEST(Stop, EachRunKeepsItsOwnWarnings) {
  std::ostringstream listing, err;
  set_out_stream(&listing);
  set_warn_stream(&err);
  std::vector<std::string> outer, inner, other;
  {
    WarningScope a(outer);
    warn(" outer 1");
    {
      WarningScope b(inner);
      warn(" inner 1");
      // Another run, on its own thread, at the same time.
      std::thread t([&other] {
        WarningScope c(other);
        warn(" other 1");
      });
      t.join();
      warn(" inner 2");
    }
    warn(" outer 2");
    // A thread without a run of its own counts into no run.
    std::thread([] { warn(" no run"); }).join();
  }
  set_out_stream(nullptr);
  set_warn_stream(nullptr);
  EXPECT_EQ(outer, (std::vector<std::string>{"outer 1", "outer 2"}));
  EXPECT_EQ(inner, (std::vector<std::string>{"inner 1", "inner 2"}));
  EXPECT_EQ(other, (std::vector<std::string>{"other 1"}));
  // Every warning listed, whichever run kept it.
  const std::string l = listing.str();
  EXPECT_EQ(std::count(l.begin(), l.end(), '\n'), 6) << l;
}

}  // namespace

// The vector-friendly exp and log against the library's, in double and
// rounded: within 2 units in the last place wherever the result is a normal
// number, the limits of the float range and the special values as IEEE
// arithmetic gives them.
TEST(VecMath, ExpAndLogWithinTwoUlpsAndTheSpecialValues) {
  const auto ulps = [](float a, float b) {
    return std::abs(static_cast<long long>(std::bit_cast<std::int32_t>(a)) - std::bit_cast<std::int32_t>(b));
  };
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> t(-87.0f, 88.5f);
  for (int i = 0; i < 1000000; ++i) {
    const float x = i < 200001 ? -1.0f + 1e-5f * static_cast<float>(i) : t(rng);
    const float want = static_cast<float>(std::exp(static_cast<double>(x)));
    ASSERT_LE(ulps(trovan::expv(x), want), 2) << x;
  }
  // Below e^-87.3 the result is a denormal, 2^k applied as two factors with
  // k down to -150, odd and even: a denormal's spacing is far above the
  // polynomial's error, so the result is the rounded value within one step.
  for (int i = 0; i <= 170000; ++i) {
    const float x = -104.0f + 1e-4f * static_cast<float>(i);
    const float want = static_cast<float>(std::exp(static_cast<double>(x)));
    ASSERT_LE(ulps(trovan::expv(x), want), 1) << x;
  }
  std::uniform_int_distribution<std::uint32_t> bits(1, 0x7f7fffffu);  // every positive finite float
  for (int i = 0; i < 1000000; ++i) {
    const float x = i < 200001 ? 0.5f + 1e-5f * static_cast<float>(i) : std::bit_cast<float>(bits(rng));
    const float want = static_cast<float>(std::log(static_cast<double>(x)));
    ASSERT_LE(ulps(trovan::logv(x), want), 2) << x;
  }
  constexpr float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(trovan::expv(89.0f), inf);
  EXPECT_EQ(trovan::expv(inf), inf);
  EXPECT_EQ(trovan::expv(-104.5f), 0.0f);
  EXPECT_EQ(trovan::expv(-inf), 0.0f);
  EXPECT_NEAR(trovan::expv(-100.0f), std::exp(-100.0), 1.5e-45);  // through the denormals
  EXPECT_TRUE(std::isnan(trovan::expv(nan)));
  EXPECT_EQ(trovan::expv(0.0f), 1.0f);
  EXPECT_EQ(trovan::logv(1.0f), 0.0f);
  EXPECT_EQ(trovan::logv(0.0f), -inf);
  EXPECT_EQ(trovan::logv(inf), inf);
  EXPECT_TRUE(std::isnan(trovan::logv(-1.0f)));
  EXPECT_TRUE(std::isnan(trovan::logv(nan)));
}
