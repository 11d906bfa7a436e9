// The maximum-entropy update in vector instructions: each instruction-set
// version against the others and against its own scalar remainder (the
// same bits), against exp and log in double precision, its cell total
// against the same sum in its fixed lane order, and the faults it
// reports (a value not positive, a value overflowed).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "density/memupdate.hpp"

using namespace trovan;

namespace {

enum class Loop { plain, continued, retry, weighted, pairs, weighted_pairs };

struct UpdateCase {
  UpdateIsa isa;
  Loop loop;
};

std::string casename(const ::testing::TestParamInfo<UpdateCase>& p) {
  static const char* isa[] = {"base", "avx2", "avx512"};
  static const char* loop[] = {"plain", "continued", "retry", "weighted", "pairs", "weighted_pairs"};
  return std::string(isa[static_cast<int>(p.param.isa)]) + "_" + loop[static_cast<int>(p.param.loop)];
}

// A block of stored points: densities over nine decades, the density
// before the last step within a factor e^2 of them, a map in [-1, 1],
// orbit sizes 1 to 48, the first 64 orbits single points (as in P1). Two
// points lie where the loops need their guards: a map value that sends the
// exponent below -104 and a density whose ratio to the one before the
// step is a denormal; the values around them, computed alone, are the
// same bits. Its length is no multiple of a vector.
struct Block {
  std::vector<float> x, prev, q;
  std::vector<unsigned char> m;
  explicit Block(int n) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> lg(-6.0f, 3.0f), u(-1.0f, 1.0f);
    std::uniform_int_distribution<int> orbit(1, 48);
    for (int i = 0; i < n; ++i) {
      x.push_back(std::pow(10.0f, lg(rng)));
      prev.push_back(x.back() * std::exp(2.0f * u(rng)));
      q.push_back(u(rng));
      m.push_back(static_cast<unsigned char>(i < 64 ? 1 : orbit(rng)));
    }
    q[300] = -40.0f;
    x[700] = 1.0f;
    prev[700] = 1e38f;
  }
};

constexpr float kStep = 3.5f, kRatio = 0.6f, kMean = 2.0f;

// Runs the loop of c over [lo, hi) of b; out holds the values it writes
// (the new densities, or the weighted map).
double run(const UpdateCase& c, const Block& b, std::vector<float>& out, long long lo, long long hi, UpdateIsa isa) {
  bool bad = false, nonpos = false;
  switch (c.loop) {
    case Loop::weighted:
      for (long long i = lo; i < hi; ++i) out[i] = b.q[i];
      return weigh(out.data() + lo, b.x.data() + lo, hi - lo, kMean, 1, isa);
    case Loop::weighted_pairs: {
      // The map kept in pairs (point lo + 2u in a[u], lo + 2u + 1 in b[u]),
      // an odd last point weighed alone.
      const long long pairs = (hi - lo) / 2;
      std::vector<float> a(pairs), bb(pairs);
      for (long long u = 0; u < pairs; ++u) a[u] = b.q[lo + 2 * u], bb[u] = b.q[lo + 2 * u + 1];
      float mx = weigh_pairs(a.data(), bb.data(), b.x.data() + lo, pairs, kMean, 1, isa);
      for (long long u = 0; u < pairs; ++u) out[lo + 2 * u] = a[u], out[lo + 2 * u + 1] = bb[u];
      if (lo + 2 * pairs < hi) {
        out[hi - 1] = b.q[hi - 1];
        mx = std::fmax(mx, weigh(out.data() + hi - 1, b.x.data() + hi - 1, 1, kMean, 1, isa));
      }
      return mx;
    }
    case Loop::pairs: {
      const long long pairs = (hi - lo + 1) / 2;
      std::vector<float> a(pairs), bb(pairs);
      for (long long u = 0; u < pairs; ++u) {
        a[u] = b.q[lo + 2 * u];
        if (lo + 2 * u + 1 < hi) bb[u] = b.q[lo + 2 * u + 1];
      }
      for (long long i = lo; i < hi; ++i) out[i] = b.prev[i];
      return update_pairs(out.data(), b.x.data(), a.data(), bb.data(), b.m.data(), lo, hi, kStep, true, bad, nonpos, isa);
    }
    case Loop::retry:
      for (long long i = lo; i < hi; ++i) out[i] = b.prev[i];
      return retry_block(out.data(), b.x.data(), b.m.data(), lo, hi, kRatio, nonpos, isa);
    default:
      for (long long i = lo; i < hi; ++i) out[i] = b.prev[i];
      return update_block(out.data(), b.x.data(), b.q.data() + lo, b.m.data(), lo, hi, kStep,
                          c.loop == Loop::continued, bad, nonpos, isa);
  }
}

// The value of the loop at point i in double precision, and the exponent
// whose rounding its float form cannot avoid.
double reference(Loop loop, const Block& b, int i, double& t) {
  const double x = b.x[i], prev = b.prev[i], q = b.q[i];
  switch (loop) {
    case Loop::weighted:
    case Loop::weighted_pairs: t = 0; return q / std::sqrt(x / kMean + 1e-3);
    case Loop::retry: t = kRatio * std::log(prev / x); break;
    case Loop::pairs:
    case Loop::continued: t = kStep * q + kContinue * std::log(x / prev); break;
    default: t = kStep * q; break;
  }
  return x * std::exp(t);
}

class MemUpdateLoops : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(MemUpdateLoops, SameBitsEverywhereAndCloseToDoublePrecision) {
  const UpdateCase c = GetParam();
  if (!update_isa_runs(c.isa)) GTEST_SKIP() << "the processor lacks this instruction set";
  const int n = 16 * 64 + 13;
  const Block b(n);
  std::vector<float> whole(n), alone(n), base(n);
  const double total = run(c, b, whole, 0, n, c.isa);
  run(c, b, base, 0, n, UpdateIsa::base);
  for (int i = 0; i < n; ++i) run(c, b, alone, i, i + 1, c.isa);  // the scalar remainder
  // The map read in pairs gives the bits of the map read in order.
  if (c.loop == Loop::pairs || c.loop == Loop::weighted_pairs) {
    std::vector<float> inorder(n);
    const Loop twin = c.loop == Loop::pairs ? Loop::continued : Loop::weighted;
    EXPECT_EQ(run({c.isa, twin}, b, inorder, 0, n, c.isa), total);
    EXPECT_EQ(std::memcmp(whole.data(), inorder.data(), n * sizeof(float)), 0);
  }
  // The cell total in its sixteen lanes: lane l the points l + 16 k of the
  // whole groups, lane 0 then the remainder, the lanes summed 0 to 15.
  double lane[16] = {};
  for (int i = 0; i < n; ++i) lane[i < n / 16 * 16 ? i % 16 : 0] += static_cast<double>(b.m[i]) * whole[i];
  double lanesum = 0;
  for (double v : lane) lanesum += v;
  double sum = 0, qmax = 0;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(std::memcmp(&whole[i], &alone[i], sizeof(float)), 0) << i << ": " << whole[i] << " " << alone[i];
    ASSERT_EQ(std::memcmp(&whole[i], &base[i], sizeof(float)), 0) << i << ": " << whole[i] << " " << base[i];
    double t = 0;
    const double want = reference(c.loop, b, i, t);
    // A few units in the last place, and the float rounding of the exponent
    // (below the smallest normal float the density floor takes over).
    EXPECT_NEAR(whole[i], want, std::fabs(want) * (4 + 2 * std::fabs(t)) * FLT_EPSILON + FLT_MIN) << i;
    sum += static_cast<double>(b.m[i]) * whole[i];
    qmax = std::fmax(qmax, std::fabs(whole[i]));
  }
  // The cell total (the largest |q| for the weighting) of what was written.
  if (c.loop == Loop::weighted || c.loop == Loop::weighted_pairs)
    EXPECT_EQ(total, qmax);
  else {
    EXPECT_NEAR(total, sum, 1e-12 * sum);
    EXPECT_EQ(total, lanesum);  // the same bits however a version feeds the lanes
  }
}

std::vector<UpdateCase> allcases() {
  std::vector<UpdateCase> v;
  for (UpdateIsa isa : {UpdateIsa::base, UpdateIsa::avx2, UpdateIsa::avx512})
    for (Loop l : {Loop::plain, Loop::continued, Loop::retry, Loop::weighted, Loop::pairs, Loop::weighted_pairs})
      v.push_back({isa, l});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Versions, MemUpdateLoops, ::testing::ValuesIn(allcases()), casename);

// The faults the update reports, in any version: a density not positive
// (the update could not take its logarithm), a value beyond the float
// range or not a number. A value that underflows is no fault: the floor
// takes it up.
struct FaultCase {
  float x, q, step;
  bool bad, nonpos;
};

class MemUpdateFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MemUpdateFaults, Reported) {
  const FaultCase f = GetParam();
  for (UpdateIsa isa : {UpdateIsa::base, UpdateIsa::avx2, UpdateIsa::avx512}) {
    if (!update_isa_runs(isa)) continue;
    // The odd point among 40 ordinary ones, past the first vector.
    std::vector<float> x(41, 1.0f), xnew(41, 1.0f), q(41, 0.1f);
    std::vector<unsigned char> m(41, 2);
    x[37] = f.x;
    q[37] = f.q;
    bool bad = false, nonpos = false;
    update_block(xnew.data(), x.data(), q.data(), m.data(), 0, 41, f.step, false, bad, nonpos, isa);
    EXPECT_EQ(bad, f.bad) << static_cast<int>(isa);
    EXPECT_EQ(nonpos, f.nonpos) << static_cast<int>(isa);
    if (!f.bad && !f.nonpos) {
      EXPECT_GE(xnew[37], 0.0f);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, MemUpdateFaults,
                         ::testing::Values(FaultCase{1.0f, 1.0f, 1.0f, false, false},     // ordinary
                                           FaultCase{1e30f, 1.0f, 30.0f, true, false},    // overflow
                                           FaultCase{1e-30f, -1.0f, 80.0f, false, false}, // underflow
                                           FaultCase{1.0f, NAN, 1.0f, true, false},       // map not a number
                                           FaultCase{0.0f, 0.1f, 1.0f, false, true},      // zero density
                                           FaultCase{-1.0f, 0.1f, 1.0f, false, true}));   // negative density

}  // namespace
