// `quill serve --pty` as a serial printer for the Bluetooth class, on the real
// clock: the round trip and the 2.0 s close are measured in wall time.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "cli_test_helpers.hpp"
#include "quillkit/bluetooth.hpp"
#include "support/fake_printer.hpp"
#include "support/temp_files.hpp"

namespace quillkit {
namespace {

using namespace std::chrono_literals;

// `quill serve --pty` is a serial printer: Bluetooth opens it by path and
// prints, queries and closes through it end to end.
TEST(QuillServePty, BluetoothRoundTripThroughThePseudoTerminal) {
  testing::TempDir dir;
  const auto out = dir.path() / "labels";
  clitest::ChildProcess serve({clitest::kQuill, "serve", "--pty", "--out", out.string()});
  const auto banner = serve.read_line(10s);
  std::smatch match;
  ASSERT_TRUE(banner && std::regex_match(*banner, match,
                                         std::regex("serving a 203 dpi virtual printer on "
                                                    "(/dev/[^,]+), labels in .*")))
      << banner.value_or("(no line)");

  Bluetooth printer;
  printer.openport_mfi(match[1].str());  // 1 unless the machine is loaded: then just after
  ASSERT_TRUE(testing::wait_until([&] { return printer.openport_status() == 1; }, 5));
  printer.setup("30", "20", "4", "8", "0", "2", "0");
  printer.clearBuffer();
  printer.barcode("10", "10", "128", "40", "0", "0", "2", "2", "QK1");
  printer.printlabel(1, 1);
  EXPECT_EQ(serve.read_line(10s),
            "label 1: " + (out / "label-0001.png").string() + " (240 x 160 dots)");
  EXPECT_EQ(printer.printer_modelname(), "QUILLKIT VP-203\r");
  EXPECT_EQ(printer.printer_status_byte(), 0);
  EXPECT_EQ(printer.smartbattery_status(1), "7400");
  const auto start = testing::Clock::now();
  EXPECT_EQ(printer.closeport(), 1);
  EXPECT_GE(testing::since(start), 2.0);
}

}  // namespace
}  // namespace quillkit
