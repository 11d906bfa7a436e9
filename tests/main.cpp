// The test program's main: every test starts from the state a run starts
// from, and from the standard streams, whatever the tests before it (in
// any order, --gtest_shuffle) left behind.
#include <gtest/gtest.h>

#include "density/fft.hpp"
#include "driver/reset.hpp"
#include "util/input.hpp"
#include "util/stop.hpp"
#include "util/threads.hpp"

namespace {

struct CleanStart : ::testing::EmptyTestEventListener {
  // Before the fixture of the test is made.
  void OnTestStart(const ::testing::TestInfo&) override {
    trovan::set_input_stream(nullptr);
    trovan::set_out_stream(nullptr);
    trovan::reset_all();
    trovan::resetthreads();
    trovan::resetfft();
  }
  // A test's streams end with it.
  void OnTestEnd(const ::testing::TestInfo&) override {
    trovan::set_input_stream(nullptr);
    trovan::set_out_stream(nullptr);
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new CleanStart);
  return RUN_ALL_TESTS();
}
