// Round trips through the real library: a WiFi printer object talks to the virtual printer over
// loopback, and what it composed must print as the caller meant. The exact dots of each element
// are the business of the composing and the rendering tests.
#include <gtest/gtest.h>

#include "quillkit/virtual_printer.hpp"
#include "quillkit/wifi.hpp"
#include "support/virtual_on_test_clock.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

using std::chrono::milliseconds;
using vptest::ink_box;

// One virtual printer behind a server and one open WiFi object.
class RoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The printer looks its fonts up once per process. Doing that here, before the library
    // draws host-font text on this thread, keeps the two from calling fontconfig at the same
    // time from two threads, which ThreadSanitizer cannot see through (fontconfig synchronises
    // with atomics outside its view).
    VirtualPrinter().feed("TEXT 0,0,\"3\",0,1,1,\"A\"\r\nTEXT 0,0,\"0\",0,9,9,\"A\"\r\n");
    ASSERT_TRUE(server_.start()) << server_.error();
    ASSERT_EQ(wifi_.openport("127.0.0.1", server_.port()), 1);
  }

  testing::TempDir dir_;
  VirtualPrinter printer_{
      {.answers = {.model_name = "RT-MODEL\r", .serial_number = "RT-SERIAL\r", .status = 0x40},
       .output_dir = dir_.path() / "labels"}};
  VirtualPrinterServer server_{printer_, testing::on_test_clock()};
  WiFi wifi_{testing::env()};
};

TEST_F(RoundTripTest, ComposedLabelPrintsWhatTheCallerMeant) {
  EXPECT_EQ(wifi_.setup("60", "40", "4", "8", "0", "2", "0"), 1);
  EXPECT_EQ(wifi_.clearBuffer(), 1);
  EXPECT_EQ(wifi_.printerfont("20", "20", "3", "0", "1", "1", "HELLO"), 1);
  EXPECT_EQ(wifi_.barcode("20", "80", "128", "60", "1", "0", "2", "2", "QK-2024"), 1);
  EXPECT_EQ(wifi_.windowsfont(300, 20, 32, 0, 0, 0, "DejaVu Sans", "Wq"), 1);
  EXPECT_EQ(wifi_.printlabel(1, 1), 1);
  ASSERT_TRUE(printer_.wait_for_labels(1, milliseconds(5000)));
  EXPECT_TRUE(printer_.log_lines().empty()) << printer_.log_lines().front();
  EXPECT_EQ(std::pair(printer_.setup().width_dots, printer_.setup().gap_dots), std::pair(480, 16));

  VirtualLabel printed = printer_.labels().back();
  auto label = load_label_png(printed.png_path);
  ASSERT_TRUE(label.has_value()) << printed.png_path;
  ASSERT_EQ(label->dots, printed.dots);

  // The resident font: five 16 x 24 cells from (20, 20).
  auto text = ink_box(*label, 0, 0, 290, 70);
  EXPECT_TRUE(vptest::ink_within(text, 20, 20, 20 + 5 * 16, 20 + 24));
  EXPECT_GE(text.height(), 12);
  EXPECT_EQ(vptest::decode(*label, ZXing::BarcodeFormat::Code128), "QK-2024");
  // The host-font text: its capital and descender fill most of the 32-point line from (300, 20).
  auto drawn = ink_box(*label, 290, 0, 480, 320);
  EXPECT_TRUE(vptest::ink_within(drawn, 300, 20, 480, 20 + 64));
  EXPECT_GT(drawn.height(), 24);
}

TEST_F(RoundTripTest, QueriesReturnTheConfiguredAnswers) {
  EXPECT_EQ(wifi_.printer_modelname(), "RT-MODEL\r");
  EXPECT_EQ(wifi_.printer_serialnumber(), "RT-SERIAL\r");
  EXPECT_EQ(wifi_.printer_status_byte(), 0x40);
  printer_.set_status(0x04);
  EXPECT_EQ(wifi_.printer_status_byte(0.5), 0x04);
  EXPECT_EQ(wifi_.smartbattery_status(2), "1800");
  EXPECT_EQ(printer_.setup().diagnostic_interface, "NET");
}

}  // namespace
}  // namespace quillkit
