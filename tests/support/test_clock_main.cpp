// The main of the unit tests: every test runs on the test clock, so the
// library's waits cost no wall time (support/test_clock.hpp).
#include <gmock/gmock.h>

#include "support/test_clock.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  quillkit::testing::TestClock clock;
  return RUN_ALL_TESTS();
}
