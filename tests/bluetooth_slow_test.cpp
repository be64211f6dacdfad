// The Bluetooth class's own waits happen on the real clock (bluetooth_test.cpp
// checks them exactly on the test clock): no sooner than asked, with generous
// upper slack for a loaded machine.
#include <gtest/gtest.h>

#include <functional>

#include "quillkit/bluetooth.hpp"
#include "support/fake_printer.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

TEST(BluetoothRealClock, OpenStatusAndCloseTakeTheirWaits) {
  testing::LogCapture quiet;
  Bluetooth printer;
  const struct {
    const char* what;
    std::function<Result()> call;
    Result result;
    double seconds;
  } steps[] = {
      {"openport_mfi", [&] { return printer.openport_mfi("/dev/null"); }, -1, 0.5},
      {"printer_status_byte", [&] { return printer.printer_status_byte(); }, 255, 0.3},
      {"closeport", [&] { return printer.closeport(); }, 1, 2.0},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    const auto start = Clock::now();
    EXPECT_EQ(step.call(), step.result);
    EXPECT_GE(since(start), step.seconds);
    EXPECT_LT(since(start), step.seconds + 2.0);
  }
}

}  // namespace
}  // namespace quillkit
