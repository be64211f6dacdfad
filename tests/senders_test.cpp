// The senders over a real TCP connection to the fake printer.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/wifi_suite.hpp"

namespace quillkit {
namespace {

using testing::bytes_of;
using testing::Clock;
using testing::seconds_between;
using testing::since;

// One sender call: its result, the bounds of its duration (the first byte arrives no sooner than
// `min_s` after the call) and the bytes it writes; a refusal writes nothing.
struct SendCase {
  const char* name;
  std::function<Result(WiFi&)> send;
  Result result;
  double min_s, max_s;
  std::string wire;
  friend void PrintTo(const SendCase& c, std::ostream* os) { *os << c.name; }
};

class SendersTest : public testing::WiFiSuite, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendersTest, WaitsThenWritesExactlyItsBytes) {
  const SendCase& c = GetParam();
  const auto start = Clock::now();
  EXPECT_EQ(c.send(*printer_), c.result);
  EXPECT_GE(since(start), c.min_s);
  EXPECT_LT(since(start), c.max_s);
  // A following write's byte shows that nothing else was written.
  ASSERT_EQ(printer_->sendBinaryData(bytes_of("|")), 1);
  ASSERT_TRUE(fake_->wait_for_bytes(c.wire.size() + 1));
  EXPECT_EQ(fake_->received(), c.wire + "|");
  if (!c.wire.empty()) EXPECT_GE(seconds_between(start, fake_->chunks().front().at), c.min_s);
}

const std::string kHan = "\xe4\xb8\xad\xe6\x96\x87";  // two common Han characters
const std::string kEmojiLine = "OK \xf0\x9f\x98\x80\r\n";
const Bytes kStatusRequest{0x1b, 0x21, 0x3f, 0x00, 0xff};
const std::string kStatusText(kStatusRequest.begin(), kStatusRequest.end());
constexpr double kAny = 1e9;

INSTANTIATE_TEST_SUITE_P(
    Senders, SendersTest,
    ::testing::Values(
        SendCase{"Sendcommand", [](WiFi& p) { return p.sendcommand("CLS\r\n"); }, 1, 0, 0.15,
                 "CLS\r\n"},
        SendCase{"EmptyText", [](WiFi& p) { return p.sendcommand(""); }, 1, 0, 0.15, ""},
        SendCase{"WaitArgument", [](WiFi& p) { return p.sendcommand("A", 0.4); }, 1, 0.4, kAny,
                 "A"},
        SendCase{"Gb2312", [](WiFi& p) { return p.sendcommand_gb2312(kHan); }, 1, 0.2, kAny,
                 "\xd6\xd0\xce\xc4"},
        SendCase{"Big5", [](WiFi& p) { return p.sendcommand_big5(kHan); }, 1, 0.2, kAny,
                 "\xa4\xa4\xa4\xe5"},
        SendCase{"Utf8", [](WiFi& p) { return p.sendcommand_utf8(kHan); }, 1, 0.2, kAny, kHan},
        SendCase{"Utf8Emoji", [](WiFi& p) { return p.sendcommand_utf8(kEmojiLine, 0); }, 1, 0, kAny,
                 kEmojiLine},
        // Unrepresentable text is refused whole.
        SendCase{"Big5Emoji", [](WiFi& p) { return p.sendcommand_big5(kEmojiLine, 0); }, -1, 0,
                 kAny, ""},
        SendCase{"StrayBytes", [](WiFi& p) { return p.sendcommand("\xff\xfe"); }, -1, 0, kAny, ""},
        // The data senders keep the bytes unchanged.
        SendCase{"WithData", [](WiFi& p) { return p.sendcommandWithData(kStatusRequest); }, 1, 0.2,
                 kAny, kStatusText},
        SendCase{"WithDataShortWait",
                 [](WiFi& p) { return p.sendcommandWithData(kStatusRequest, 0.05); }, 1, 0, 0.2,
                 kStatusText},
        SendCase{"BinaryData", [](WiFi& p) { return p.sendBinaryData(kStatusRequest); }, 1, 0, 0.15,
                 kStatusText}),
    ::testing::PrintToStringParamName());

TEST(SendersClosedTest, NeverOpenedObjectRefusesAfterItsWait) {
  WiFi printer;
  const auto start = Clock::now();
  // Evaluated in order; sendcommand_utf8 waits its 0.2 s first.
  EXPECT_EQ((std::vector<Result>{
                printer.stream_Status(), printer.stream_Status(3), printer.sendcommand("CLS\r\n"),
                printer.sendBinaryData(bytes_of("CLS")), printer.sendcommand_utf8("CLS\r\n"),
                printer.sendcommandWithData(bytes_of("x"), 0), printer.sendcommand_gb2312("x", 0)}),
            std::vector<Result>(7, -1));
  EXPECT_GE(since(start), 0.2);
  EXPECT_EQ(printer.closeport(0), 1);
  // Open, the probe reports 2 whatever its argument.
  testing::FakePrinter fake;
  ASSERT_EQ(printer.openport("127.0.0.1", fake.port()), 1);
  EXPECT_EQ((std::vector<Result>{printer.stream_Status(), printer.stream_Status(0),
                                 printer.stream_Status(5)}),
            std::vector<Result>(3, 2));
}

}  // namespace
}  // namespace quillkit
