// The senders over a real TCP connection to the fake printer.
#include <gtest/gtest.h>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/wifi_suite.hpp"

namespace quillkit {
namespace {

using testing::bytes_of;
using testing::Clock;
using testing::FakePrinter;
using testing::since;

using SendersTest = testing::WiFiSuite;

TEST_F(SendersTest, SendcommandWritesExactBytesWithoutWait) {
  const auto start = Clock::now();
  EXPECT_EQ(printer_->sendcommand("CLS\r\n"), 1);
  EXPECT_LT(since(start), 0.15);
  ASSERT_TRUE(fake_->wait_for_bytes(5));
  EXPECT_EQ(fake_->received(), "CLS\r\n");
}

TEST_F(SendersTest, EmptyTextWritesNothing) {
  EXPECT_EQ(printer_->sendcommand(""), 1);
  EXPECT_EQ(printer_->sendcommand("X"), 1);
  ASSERT_TRUE(fake_->wait_for_bytes(1));
  EXPECT_EQ(fake_->received(), "X");
}

TEST_F(SendersTest, EncodedSendersWaitThenWriteTheirEncoding) {
  const std::string han = "\xe4\xb8\xad\xe6\x96\x87";  // two common Han characters
  auto start = Clock::now();
  EXPECT_EQ(printer_->sendcommand_gb2312(han), 1);
  EXPECT_GE(since(start), 0.2);
  start = Clock::now();
  EXPECT_EQ(printer_->sendcommand_big5(han), 1);
  EXPECT_GE(since(start), 0.2);
  start = Clock::now();
  EXPECT_EQ(printer_->sendcommand_utf8(han), 1);
  EXPECT_GE(since(start), 0.2);
  ASSERT_TRUE(fake_->wait_for_bytes(14));
  EXPECT_EQ(fake_->received(), "\xd6\xd0\xce\xc4\xa4\xa4\xa4\xe5" + han);
}

TEST_F(SendersTest, UnrepresentableTextIsRefusedWhole) {
  const std::string emoji_text = "OK \xf0\x9f\x98\x80\r\n";
  EXPECT_EQ(printer_->sendcommand_big5(emoji_text, 0), -1);
  EXPECT_EQ(printer_->sendcommand("\xff\xfe"), -1);
  EXPECT_EQ(printer_->sendcommand_utf8(emoji_text, 0), 1);
  ASSERT_TRUE(fake_->wait_for_bytes(emoji_text.size()));
  EXPECT_EQ(fake_->received(), emoji_text);
}

TEST_F(SendersTest, WaitArgumentComesBeforeTheWrite) {
  const auto start = Clock::now();
  EXPECT_EQ(printer_->sendcommand("A", 0.4), 1);
  EXPECT_GE(since(start), 0.4);
  ASSERT_TRUE(fake_->wait_for_bytes(1));
  EXPECT_GE(std::chrono::duration<double>(fake_->chunks().front().at - start).count(), 0.4);
}

TEST_F(SendersTest, DataSendersKeepBytesUnchanged) {
  const Bytes status_request{0x1b, 0x21, 0x3f, 0x00, 0xff};
  auto start = Clock::now();
  EXPECT_EQ(printer_->sendcommandWithData(status_request), 1);
  EXPECT_GE(since(start), 0.2);
  start = Clock::now();
  EXPECT_EQ(printer_->sendcommandWithData({0x1b, 0x21, 0x3f, 0x00, 0xff}, 0.05), 1);
  EXPECT_LT(since(start), 0.2);
  start = Clock::now();
  EXPECT_EQ(printer_->sendBinaryData({0x1b, 0x21, 0x3f, 0x00, 0xff}), 1);
  EXPECT_LT(since(start), 0.15);
  ASSERT_TRUE(fake_->wait_for_bytes(15));
  const std::string once(status_request.begin(), status_request.end());
  EXPECT_EQ(fake_->received(), once + once + once);
}

TEST_F(SendersTest, ProbeReportsOpenStream) {
  EXPECT_EQ(printer_->stream_Status(), 2);
  EXPECT_EQ(printer_->stream_Status(0), 2);
  EXPECT_EQ(printer_->stream_Status(5), 2);
}

TEST(SendersClosedTest, NeverOpenedObjectRefusesAfterItsWait) {
  WiFi printer;
  EXPECT_EQ(printer.stream_Status(), -1);
  EXPECT_EQ(printer.stream_Status(3), -1);
  EXPECT_EQ(printer.sendcommand("CLS\r\n"), -1);
  EXPECT_EQ(printer.sendBinaryData(bytes_of("CLS\r\n")), -1);
  const auto start = Clock::now();
  EXPECT_EQ(printer.sendcommand_utf8("CLS\r\n"), -1);
  EXPECT_GE(since(start), 0.2);
  EXPECT_EQ(printer.sendcommandWithData(bytes_of("x"), 0), -1);
  EXPECT_EQ(printer.sendcommand_gb2312("x", 0), -1);
  EXPECT_EQ(printer.closeport(0), 1);
}

}  // namespace
}  // namespace quillkit
