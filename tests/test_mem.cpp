// The maximum-entropy controller: acceptance of trial steps, step-size
// adaptation, convergence, the density update and the cycle line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "density/mem.hpp"
#include "util/stop.hpp"
#include "util/threads.hpp"
#include "values.hpp"

using trovan::testing::ListingTo;

using namespace trovan;

namespace {

TEST(MemControl, ThreeAcceptedStepsDoubleTheStep) {
  MemControl c;
  float ex = 0.25f;
  EXPECT_FALSE(getnewex(c, false, ex));
  EXPECT_FALSE(getnewex(c, false, ex));
  EXPECT_FALSE(getnewex(c, false, ex));
  EXPECT_FLOAT_EQ(ex, 0.25f);
  EXPECT_FALSE(getnewex(c, false, ex));  // the fourth after three in a row
  EXPECT_FLOAT_EQ(ex, 0.5f);
  // The count starts again after a doubling.
  for (int i = 0; i < 3; ++i) getnewex(c, false, ex);
  EXPECT_FLOAT_EQ(ex, 0.5f);
  getnewex(c, false, ex);
  EXPECT_FLOAT_EQ(ex, 1.0f);
}

TEST(MemControl, RejectionHalvesAndTakesBackUntilTheFloor) {
  MemControl c;
  float ex = 1.0f;
  getnewex(c, false, ex);
  getnewex(c, false, ex);
  EXPECT_TRUE(getnewex(c, true, ex));
  EXPECT_FLOAT_EQ(ex, 0.5f);
  // A rejection resets the run of accepted steps.
  for (int i = 0; i < 3; ++i) getnewex(c, false, ex);
  EXPECT_FLOAT_EQ(ex, 0.5f);
  int halvings = 0;
  while (getnewex(c, true, ex)) ++halvings;
  EXPECT_LE(ex, 1e-10f);
  EXPECT_GT(ex, 0.0f);
  EXPECT_GT(halvings, 30);
  EXPECT_LT(halvings, 40);
}

TEST(MemControl, IsreturnAcceptsFirstThenRejectsWhenAllWorse) {
  MemControl c;
  EXPECT_FALSE(isreturn(c, 5.0f, 2.0f, 3.0f));  // first test: always accepted
  EXPECT_TRUE(isreturn(c, 4.0f, 0.5f, 1.5f));   // rwfact above 1
  EXPECT_TRUE(isreturn(c, 4.0f, 1.5f, 0.5f));   // rfact above 1
  EXPECT_FALSE(isreturn(c, 4.0f, 0.5f, 0.5f));
  EXPECT_TRUE(isreturn(c, 4.1f, 0.51f, 0.51f));  // all three worse
  EXPECT_FALSE(isreturn(c, 4.1f, 0.49f, 0.51f)); // one better is enough
  EXPECT_FALSE(isreturn(c, 4.1f, 0.5f, 0.51f));  // compared with the last accepted
}

TEST(MemControl, NoConvergenceBeforeSixRejections) {
  MemControl c;
  isreturn(c, 1.0f, 0.2f, 0.2f);
  for (int k = 1; k <= 5; ++k) {
    EXPECT_TRUE(isreturn(c, 1.1f, 0.2f + 1e-7f, 0.2f + 1e-7f));
    EXPECT_FALSE(isconverge(c, 0.2f, 0.2f, 1e-6f)) << k;
  }
  EXPECT_TRUE(isreturn(c, 1.1f, 0.2f + 1e-7f, 0.2f + 1e-7f));
  EXPECT_TRUE(isconverge(c, 0.2f, 0.2f, 1e-6f));
  EXPECT_FALSE(isconverge(c, 0.21f, 0.2f, 1e-6f));
}

// The first stage moves low density more than high density (the weight
// falls as 1/sqrt(rho)); the second weighs every point alike.
TEST(MemUpdate, StageWeightsAndAnInvalidStage) {
  EXPECT_FLOAT_EQ(memweight(0.01f, 1.0f, 2), 1.0f);
  EXPECT_FLOAT_EQ(memweight(100.0f, 1.0f, 2), 1.0f);
  EXPECT_GT(memweight(0.01f, 1.0f, 1), memweight(1.0f, 1.0f, 1));
  EXPECT_NEAR(memweight(100.0f, 1.0f, 1) / memweight(1.0f, 1.0f, 1), 0.1, 1e-3);
  EXPECT_FLOAT_EQ(memfloor(84.0f, 42.0f), 2e-6f);
  std::ostringstream os;
  const ListingTo listing_to(&os);
  EXPECT_THROW(memweight(1.0f, 1.0f, 3), Stop);
  set_out_stream(nullptr);
  EXPECT_NE(os.str().find("invalid imode in expand2"), std::string::npos);
}

TEST(MemListing, CycleLineIsFortranEdited) {
  EXPECT_EQ(cycleline(7, 123.456f, 0.12345f, 0.54321f, 84.0f, 0.01234f, 55.5f, 1, 0.5f),
            "ic=  7 c2= 0.12346E+03 rfact= 0.12345 rwfact= 0.54321 f0=   84. dmin=  0.01234"
            " dmax=  55.50000 ex1= 0.500E+00");
  // dmax keeps its ten columns and shows as many decimals as fit there: the
  // low maximum of a uniform start is not 0.0.
  for (const auto& [d, text] : std::vector<std::pair<float, std::string>>{
           {0.01234f, "   0.01234"}, {1234.5f, " 1234.5000"}, {1.5e6f, " 1500000.0"}, {-3.25f, "  -3.25000"}}) {
    const std::string line = cycleline(1, 1, 0, 0, 1, 0, d, 1, 1);
    EXPECT_EQ(line.substr(line.find(" dmax=") + 6, 10), text) << d;
  }
  // Values too wide for their fields: asterisks, as a Fortran runtime
  // prints them; but a cycle number widens its field.
  EXPECT_EQ(cycleline(1000, 1.0f, 12345.0f, 0.5f, 1234567.0f, 0.0f, 1e12f, 2, 1e-3f),
            "ic=1000 c2= 0.10000E+01 rfact=******** rwfact= 0.50000 f0=****** dmin=  0.00000"
            " dmax=********** ex2= 0.100E-02");
  EXPECT_EQ(cycleline(12345, 1, 0, 0, 1, 0, 1, 2, 1).substr(0, 9), "ic=12345 ");
}

// The agreement of a calculated set with the observations: c2 = sum |Fo -
// Fc|^2 / sigma^2 / n, R = sum ||Fo| - |Fc|| / sum |Fo| and Rw = sqrt(sum
// |Fo - Fc|^2 / sigma^2 / sum |Fo|^2 / sigma^2), for lists longer than the
// parts they are summed in, and for a second set of observations of the same
// length asked about after the first (what is kept of one set must not
// answer for another). The sums are made in double in fixed lanes and parts
// (|F| the root of |F|^2): the single-precision results are those of one
// pass in the list's order within four units in the last place, and the same
// bits on one thread and on three.
struct AgreementCase {
  int n;
  float fscale;  // of the second set's |Fo| against the first's
};

class MemAgreement : public ::testing::TestWithParam<AgreementCase> {};

TEST_P(MemAgreement, SumsFollowTheirDefinitionsForEachObservationSet) {
  const AgreementCase& p = GetParam();
  std::mt19937 rng(static_cast<unsigned>(p.n));
  std::uniform_real_distribution<float> u(-20.0f, 20.0f), s(0.2f, 2.0f);
  Observations obs;
  Density d;
  obs.j.resize(p.n);
  obs.h.assign(p.n, {0, 0, 0, 0, 0, 0});
  for (int k = 0; k < p.n; ++k) {
    obs.j[k] = k;
    obs.a.push_back(u(rng));
    obs.b.push_back(u(rng));
    obs.sigma.push_back(s(rng));
    d.fcr.push_back(obs.a[k] + 0.1f * u(rng));
    d.fci.push_back(obs.b[k] + 0.1f * u(rng));
  }
  for (float scale : {1.0f, p.fscale}) {
    for (int k = 0; k < p.n; ++k) obs.a[k] *= scale, obs.b[k] *= scale;
    double sw = 0, sfo = 0, sdiff = 0, sfow = 0;
    for (int k = 0; k < p.n; ++k) {
      const double ao = std::sqrt(double(obs.a[k]) * obs.a[k] + double(obs.b[k]) * obs.b[k]);
      const double ac = std::sqrt(double(d.fcr[k]) * d.fcr[k] + double(d.fci[k]) * d.fci[k]);
      const double w = 1.0 / (double(obs.sigma[k]) * obs.sigma[k]);
      sw += (std::pow(obs.a[k] - double(d.fcr[k]), 2) + std::pow(obs.b[k] - double(d.fci[k]), 2)) * w;
      sfo += ao;
      sdiff += std::fabs(ao - ac);
      sfow += ao * ao * w;
    }
    float c2 = 0, rfact = 0, rwfact = 0, c2t = 0, rfactt = 0, rwfactt = 0;
    setnthreads(1);
    rfct(d, obs, c2, rfact, rwfact, 0);
    setnthreads(3);
    rfct(d, obs, c2t, rfactt, rwfactt, 0);
    setnthreads(0);
    EXPECT_FLOAT_EQ(c2, static_cast<float>(sw / p.n)) << "scale " << scale;
    EXPECT_FLOAT_EQ(rfact, static_cast<float>(sdiff / sfo)) << "scale " << scale;
    EXPECT_FLOAT_EQ(rwfact, static_cast<float>(std::sqrt(sw / sfow))) << "scale " << scale;
    EXPECT_EQ(c2t, c2);
    EXPECT_EQ(rfactt, rfact);
    EXPECT_EQ(rwfactt, rwfact);
  }
}

INSTANTIATE_TEST_SUITE_P(Lists, MemAgreement,
                         ::testing::Values(AgreementCase{7, 3.0f}, AgreementCase{70001, 0.5f},
                                           AgreementCase{70001, 2.0f}));

// The value a trial is judged by, against its definition summed in long
// double in the list's order: the moment of order n of the residuals with
// the class weights, (sum u_k |z_k|^n / ((n-1)!! nind))^(2/n), for lists
// longer than the parts it is summed in, orders even and odd, with and
// without classes, and with residuals so large that z^n overflows double
// unless the sum is taken relative to the largest z^2 (the first reflection
// of such a list, not in the last group of eight); the same bits on one
// thread and on three.
struct FitValueCase {
  int n, fn;
  bool classes;
  float huge;  // |Fo - Fc| / sigma of the first reflection (0: as the others)
};

class MemFitValue : public ::testing::TestWithParam<FitValueCase> {};

TEST_P(MemFitValue, IsTheMomentOfTheResiduals) {
  const FitValueCase& p = GetParam();
  std::mt19937 rng(static_cast<unsigned>(p.n + p.fn));
  std::uniform_real_distribution<float> u(-20.0f, 20.0f), s(0.2f, 2.0f), w(0.1f, 3.0f);
  Observations obs;
  Density d;
  MemState st;
  st.fn = p.fn;
  obs.j.resize(p.n);
  for (int k = 0; k < p.n; ++k) {
    obs.a.push_back(u(rng));
    obs.b.push_back(u(rng));
    obs.sigma.push_back(s(rng));
    // Beside a huge residual the others are small: z^n relative to any of
    // them overflows.
    const float off = p.huge > 0 ? 3e-4f : 0.3f;
    d.fcr.push_back(obs.a[k] + off * u(rng));
    d.fci.push_back(obs.b[k] + off * u(rng));
    if (p.classes) st.classw.push_back(w(rng));
  }
  if (p.huge > 0) d.fcr[0] = obs.a[0] + p.huge * obs.sigma[0];
  auto z2 = [&](int k) {
    const long double dr = obs.a[k] - static_cast<long double>(d.fcr[k]), di = obs.b[k] - static_cast<long double>(d.fci[k]);
    return (dr * dr + di * di) / (static_cast<long double>(obs.sigma[k]) * obs.sigma[k]);
  };
  long double sum = 0, zmax = 0;
  for (int k = 0; k < p.n; ++k) zmax = std::max(zmax, z2(k));
  for (int k = 0; k < p.n; ++k) sum += (p.classes ? st.classw[k] : 1.0L) * std::pow(z2(k) / zmax, 0.5L * p.fn);
  long double mn = 1;
  for (int i = p.fn - 1; i > 1; i -= 2) mn *= i;
  const double want = static_cast<double>(zmax * std::pow(sum / (mn * p.n), 2.0L / p.fn));
  setnthreads(1);
  const float one = fitvalue(st, d, obs, 0.0f);
  setnthreads(3);
  const float three = fitvalue(st, d, obs, 0.0f);
  setnthreads(0);
  EXPECT_NEAR(one, want, 1e-6 * want);
  EXPECT_EQ(one, three);
}

INSTANTIATE_TEST_SUITE_P(Orders, MemFitValue,
                         ::testing::Values(FitValueCase{70001, 2, true, 0}, FitValueCase{70001, 8, false, 0},
                                           FitValueCase{70001, 16, true, 3e19f}, FitValueCase{70003, 8, true, 0},
                                           FitValueCase{13, 3, true, 0}));

}  // namespace
