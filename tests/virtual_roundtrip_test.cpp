// Round trips through the real library: a WiFi printer object talks to the virtual printer over
// loopback, and what it composed must print as the caller meant.
#include <gtest/gtest.h>

#include <memory>

#include "quillkit/virtual_printer.hpp"
#include "quillkit/wifi.hpp"
#include "support/virtual_on_test_clock.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

using std::chrono::milliseconds;
using testing::TempDir;
using vptest::decode;
using vptest::ink_box;

// One virtual printer behind a server and one open WiFi object, shared by the suite.
struct Rig {
  Rig() : printer(config()), server(printer, testing::on_test_clock()) {}
  VirtualPrinterConfig config() {
    VirtualPrinterConfig config;
    config.output_dir = dir.path() / "labels";
    config.answers.model_name = "RT-MODEL\r";
    config.answers.serial_number = "RT-SERIAL\r";
    config.answers.status = 0x40;
    return config;
  }
  TempDir dir;
  VirtualPrinter printer;
  VirtualPrinterServer server;
  WiFi wifi;
};

class RoundTripTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The printer looks its fonts up once per process. Doing that here, before the library
    // draws host-font text on this thread, keeps the two from calling fontconfig at the same
    // time from two threads, which ThreadSanitizer cannot see through (fontconfig synchronises
    // with atomics outside its view).
    VirtualPrinter().feed("TEXT 0,0,\"3\",0,1,1,\"A\"\r\nTEXT 0,0,\"0\",0,9,9,\"A\"\r\n");
    rig_ = std::make_unique<Rig>();
    ASSERT_TRUE(rig_->server.start()) << rig_->server.error();
    ASSERT_EQ(rig_->wifi.openport("127.0.0.1", rig_->server.port()), 1);
  }
  static void TearDownTestSuite() { rig_.reset(); }

  static inline std::unique_ptr<Rig> rig_;
  VirtualPrinter* const printer_ = &rig_->printer;
  WiFi* const wifi_ = &rig_->wifi;
};

TEST_F(RoundTripTest, ComposedLabelPrintsWhatTheCallerMeant) {
  WiFi& w = *wifi_;
  std::uint64_t before = printer_->label_count();
  std::size_t transcript_start = printer_->transcript().size();
  EXPECT_EQ(w.setup("60", "40", "4", "8", "0", "2", "0"), 1);
  EXPECT_EQ(w.clearBuffer(), 1);
  EXPECT_EQ(w.printerfont("20", "20", "3", "0", "1", "1", "HELLO"), 1);
  EXPECT_EQ(w.barcode("20", "80", "128", "60", "1", "0", "2", "2", "QK-2024"), 1);
  EXPECT_EQ(w.windowsfont(300, 20, 32, 0, 0, 0, "DejaVu Sans", "Wq"), 1);
  EXPECT_EQ(w.printlabel(1, 1), 1);
  ASSERT_TRUE(printer_->wait_for_labels(before + 1, milliseconds(5000)));
  EXPECT_TRUE(printer_->log_lines().empty()) << printer_->log_lines().front();
  EXPECT_EQ(printer_->setup().width_dots, 480);
  EXPECT_EQ(printer_->setup().gap_dots, 16);

  VirtualLabel printed = printer_->labels().back();
  auto label = load_label_png(printed.png_path);
  ASSERT_TRUE(label.has_value()) << printed.png_path;
  ASSERT_EQ(label->dots, printed.dots);

  // The resident font: five 16 x 24 cells from (20, 20).
  auto text = ink_box(*label, 0, 0, 290, 70);
  ASSERT_FALSE(text.empty);
  EXPECT_GE(text.left, 20);
  EXPECT_GE(text.top, 20);
  EXPECT_LE(text.right, 20 + 5 * 16);
  EXPECT_LE(text.bottom, 20 + 24);
  EXPECT_GE(text.height(), 12);

  // The barcode.
  EXPECT_EQ(decode(*label, ZXing::BarcodeFormat::Code128), "QK-2024");

  // The host-font text: the raster the library sent lands dot for dot.
  Bytes sent = printer_->transcript();
  std::string stream(sent.begin() + static_cast<std::ptrdiff_t>(transcript_start), sent.end());
  std::size_t at = stream.find("BITMAP 300,20,");
  ASSERT_NE(at, std::string::npos);
  int width_bytes = 0, height = 0, mode = 0, consumed = 0;
  ASSERT_EQ(std::sscanf(stream.c_str() + at, "BITMAP 300,20,%d,%d,%d,%n", &width_bytes, &height,
                        &mode, &consumed),
            3);
  EXPECT_EQ(mode, 2);
  ASSERT_GT(width_bytes * height, 0);
  std::string raster = stream.substr(at + static_cast<std::size_t>(consumed),
                                     static_cast<std::size_t>(width_bytes) * height);
  int inked = 0;
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width_bytes * 8; ++col) {
      bool ink = vptest::raster_ink(raster, width_bytes, col, row);
      inked += ink;
      ASSERT_EQ(label->ink(300 + col, 20 + row), ink) << col << "," << row;
    }
  }
  EXPECT_GT(inked, 50);
}

TEST_F(RoundTripTest, DownloadedFileIsListedAndStored) {
  const Bytes content = testing::patterned_bytes(3000);
  EXPECT_EQ(wifi_->downloadpcx(rig_->dir.write("logo.pcx", content), "LOGO.PCX"), 1);
  EXPECT_EQ(wifi_->printer_files(), "LOGO.PCX\r\x1A");
  EXPECT_EQ(printer_->file("LOGO.PCX"), content);
}

TEST_F(RoundTripTest, QueriesReturnTheConfiguredAnswers) {
  EXPECT_EQ(wifi_->printer_modelname(), "RT-MODEL\r");
  EXPECT_EQ(wifi_->printer_codepage(), "437, 001\r");
  EXPECT_EQ(wifi_->printer_serialnumber(), "RT-SERIAL\r");
  EXPECT_EQ(wifi_->printer_status_byte(), 0x40);
  printer_->set_status(0x04);
  EXPECT_EQ(wifi_->printer_status_byte(0.5), 0x04);
  EXPECT_EQ(wifi_->smartbattery_status(2), "1800");
  EXPECT_EQ(wifi_->smartbattery_status(8), "100");
  EXPECT_EQ(printer_->setup().diagnostic_interface, "NET");
}

}  // namespace
}  // namespace quillkit
