// A test of what the keyword reader reads: the text it is fed, the reader
// on it, and the listing, bound to `listing` while the test runs.
#pragma once
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "util/input.hpp"
#include "util/stop.hpp"

namespace trovan_test {

struct KeyInputTest : ::testing::Test {
  std::istringstream in;
  std::ostringstream listing;
  trovan::KeyReader rd;
  void SetUp() override { trovan::set_out_stream(&listing); }
  void TearDown() override { trovan::set_out_stream(nullptr); }
  void feed(const std::string& text) {
    in.str(text);
    in.clear();
    rd = trovan::KeyReader(in);
  }
  // Runs f, expects a stop with `status`, returns the listing.
  template <class F>
  std::string expect_stop(F f, int status = trovan::kExitError) {
    try {
      f();
    } catch (const trovan::Stop& s) {
      EXPECT_EQ(s.status, status);
      return listing.str();
    }
    ADD_FAILURE() << "no stop";
    return listing.str();
  }
};

}  // namespace trovan_test
