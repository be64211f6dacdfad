// The BLE class's own waits happen on the real clock, against the fake BlueZ
// (ble_test.cpp checks them exactly on the test clock): no sooner than asked,
// with generous upper slack for a loaded machine.
#include <gtest/gtest.h>

#include <functional>

#include "quillkit/ble.hpp"
#include "support/fake_gatt.hpp"
#include "support/fake_printer.hpp"
#include "support/sdbus_tsan.hpp"

namespace quillkit::testing {
namespace {

TEST(BleRealClock, StartSearchAndAnswerWaitTakeTheirTime) {
  LogCapture quiet;
  PrivateBus bus;
  FakeGatt fake(bus);
  std::unique_ptr<BLE> printer;
  std::vector<BLEPeripheral> found;
  const struct {
    const char* what;
    std::function<void()> call;
    double seconds;
  } steps[] = {
      {"constructor", [&] { printer = std::make_unique<BLE>(); }, 1.0},
      {"searchBLEDevice", [&] { found = printer->searchBLEDevice(0.5); }, 0.5},
      {"printer_modelname",
       [&] {
         ASSERT_EQ(found.size(), 1u);
         ASSERT_EQ(printer->openport_ble(found[0]), 1);
         EXPECT_EQ(printer->printer_modelname(), "");  // the fake does not answer
       },
       1.0},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    const auto start = Clock::now();
    step.call();
    EXPECT_GE(since(start), step.seconds);
    EXPECT_LT(since(start), step.seconds + 2.0);
  }
}

}  // namespace
}  // namespace quillkit::testing
