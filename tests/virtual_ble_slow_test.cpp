// A BLE round trip end to end: the virtual printer behind the fake GATT
// service. Built with the tools only, as the virtual printer is. On the real
// clock: the printer answers through the fake on its own time, which the test
// clock cannot see.
#include <gtest/gtest.h>

#include <string>

#include "quillkit/ble.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/fake_gatt.hpp"
#include "support/fake_printer.hpp"
#include "support/tsan_defaults.hpp"

namespace quillkit::testing {
namespace {

TEST(BleRoundTrip, LabelModelStatusAndBatteryThroughTheVirtualPrinter) {
  // A notification holds the whole reply: a status byte needs a second byte.
  VirtualPrinterConfig config{.answers = {.status = 0x20, .status_trailer = bytes_of("\r")}};
  VirtualPrinter virtual_printer(config);
  VirtualPrinterServer server(virtual_printer);
  ASSERT_TRUE(server.start());
  PrivateBus bus;
  FakeGatt fake(bus, {"--printer", std::to_string(server.port())});
  BLE printer;
  const auto found = printer.searchBLEDevice(0.5);
  ASSERT_EQ(found.size(), 1u);
  ASSERT_EQ(printer.openport_ble(found[0]), 1);
  printer.setup("60", "40", "4", "8", "0", "2", "0");
  printer.clearBuffer();
  printer.printerfont("10", "20", "3", "0", "1", "1", "Hello over BLE");
  printer.printlabel(1, 1);
  ASSERT_TRUE(virtual_printer.wait_for_labels(1, std::chrono::seconds(10)));

  EXPECT_EQ(printer.printer_modelname(), config.answers.model_name);
  EXPECT_EQ(printer.printer_status_byte(), 0x20);
  EXPECT_EQ(printer.smartbattery_status(1), config.answers.battery.at("SMBVOLTAGE"));
  EXPECT_EQ(printer.closeport(), 1);
  EXPECT_TRUE(wait_until([&] { return printer.openport_status() == 0; }));
}

}  // namespace
}  // namespace quillkit::testing
