// The test program's main. Every test builds the values it works on; the
// process settings a test changes (the listing stream, the thread count
// request, the instruction set of the transforms) it sets back itself, so
// the tests pass in any order (--gtest_shuffle).
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
