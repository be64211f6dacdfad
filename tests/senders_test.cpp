// The senders and the label operations (setup, print control, barcode and printer-font text)
// over a real TCP connection to the fake printer.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/platform/font_host.hpp"
#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/fontconfig_leak.hpp"
#include "support/query_support.hpp"
#include "support/stream_watch.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::seconds_between;
using testing::since;
using Operation = std::function<Result(WiFi&)>;

// One call: its result, the bounds of its duration (its write is made no sooner than `min_s`
// after the call), the bytes it writes (a refusal writes nothing) and its result on a printer
// never opened.
struct SendCase : testing::NamedCase {
  Operation send;
  Result result;
  double min_s, max_s;
  std::string wire;
  Result never_opened = -1;
};

using SendersTest = testing::QueryTableTest<SendCase>;

TEST_P(SendersTest, WaitsThenWritesExactlyItsBytes) {
  const SendCase& c = GetParam();
  testing::WriteLog log;
  auto start = Clock::now();
  EXPECT_EQ(c.send(*printer_), c.result);
  EXPECT_GE(since(start), c.min_s);
  EXPECT_LT(since(start), c.max_s);
  // One write of the whole message, or none.
  EXPECT_EQ(log.texts(), c.wire.empty() ? std::vector<std::string>{} : std::vector{c.wire});
  if (!c.wire.empty()) EXPECT_GE(seconds_between(start, log.writes().front().at), c.min_s);
  WiFi never_opened{testing::env()};
  start = Clock::now();
  EXPECT_EQ(c.send(never_opened), c.never_opened);
  EXPECT_GE(since(start), c.min_s);
}

const std::string kTwoHan = "\xe4\xb8\xad\xe6\x96\x87";  // two common Han characters
const std::string kEmojiLine = "OK \xf0\x9f\x98\x80\r\n";
const Bytes kStatusRequest{0x1b, 0x21, 0x3f, 0x00, 0xff};
const std::string kStatusText(kStatusRequest.begin(), kStatusRequest.end());
constexpr double kAny = 1e9;

std::string windowsfont_wire() {
  const Bytes command = bitmap::windowsfont_command(platform::default_font_host(), 10, 20, 18, 90,
                                                    2, 0, "DejaVu Sans", "Hi");
  return {command.begin(), command.end()};
}

INSTANTIATE_TEST_SUITE_P(
    Senders, SendersTest,
    ::testing::Values(
        SendCase{"Sendcommand", [](WiFi& p) { return p.sendcommand("CLS\r\n"); }, 1, 0, 0.15,
                 "CLS\r\n"},
        SendCase{"EmptyText", [](WiFi& p) { return p.sendcommand(""); }, 1, 0, 0.15, ""},
        SendCase{"WaitArgument", [](WiFi& p) { return p.sendcommand("A", 0.4); }, 1, 0.4, kAny,
                 "A"},
        SendCase{"Gb2312", [](WiFi& p) { return p.sendcommand_gb2312(kTwoHan); }, 1, 0.2, kAny,
                 "\xd6\xd0\xce\xc4"},
        SendCase{"Big5", [](WiFi& p) { return p.sendcommand_big5(kTwoHan); }, 1, 0.2, kAny,
                 "\xa4\xa4\xa4\xe5"},
        SendCase{"Utf8", [](WiFi& p) { return p.sendcommand_utf8(kTwoHan); }, 1, 0.2, kAny,
                 kTwoHan},
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
                 kStatusText},
        // Host-font text checks the link after its pause.
        SendCase{"Windowsfont",
                 [](WiFi& p) { return p.windowsfont(10, 20, 18, 90, 2, 0, "DejaVu Sans", "Hi"); },
                 1, 0.5, 0.5 + 1e-9, windowsfont_wire()}),
    ::testing::PrintToStringParamName());

// A label operation: 1 with `wire` written no sooner than `pause` after the call, or -1 with
// nothing written. It never looks at the link: a never opened printer gives the same result.
SendCase line(const char* name, Operation operation, std::string wire, double pause = 0) {
  const Result result = wire.empty() ? -1 : 1;
  return {name, std::move(operation), result, pause, kAny, std::move(wire), result};
}

Operation setup_with(const char* sensor, const char* offset = "0") {
  return [=](WiFi& p) { return p.setup("60", "40", "4", "8", sensor, "2", offset); };
}

Operation text(decltype(&WiFi::printerfont) operation, std::string content,
               std::string font = "3") {
  return [=](WiFi& p) { return (p.*operation)("10", "20", font, "0", "1", "2", content); };
}

Operation barcode(std::string content) {
  return [=](WiFi& p) { return p.barcode("10", "20", "128", "50", "1", "0", "2", "3", content); };
}

const std::string kSetupHead = "SIZE 60 mm,40 mm\r\nSPEED 4\r\nDENSITY 8\r\n";
const std::string kHan = "\xe4\xb8\xad";             // U+4E2D, in GB 2312 and Big5
const std::string kTraditional = "\xe9\xab\x94";     // U+9AD4, traditional only
const std::string kHkscsOnly = "\xe3\x90\xb5";       // U+3435, in HKSCS but not Big5
const std::string kEmoji = "\xf0\x9f\x98\x80";       // U+1F600
const std::string kSimplifiedOnly = "\xe4\xbb\xac";  // U+4EEC
const std::string kTextHead = "TEXT 10,20,\"3\",0,1,2,\"";

INSTANTIATE_TEST_SUITE_P(
    Lines, SendersTest,
    ::testing::Values(
        // The sensor line is chosen by exact text: anything but "0" and "1" leaves it out.
        line("SetupGap", setup_with("0"), kSetupHead + "GAP 2 mm,0 mm\r\n"),
        line("SetupLeadingBlank", setup_with(" 0"), kSetupHead),
        // Empty, non-ASCII and line-breaking texts go out as given.
        line(
            "SetupCopiesArguments",
            [](WiFi& p) {
              return p.setup("", "\xef\xbc\x94\xef\xbc\x90", "4,5", "8\r\nCLS", "1", "", "-3");
            },
            "SIZE  mm,\xef\xbc\x94\xef\xbc\x90 mm\r\nSPEED 4,5\r\nDENSITY 8\r\nCLS\r\n"
            "BLINE  mm,-3 mm\r\n"),
        line("ClearBuffer", &WiFi::clearBuffer, "CLS\r\n"),
        line("Formfeed", &WiFi::formfeed, "FORMFEED\r\n"),
        line("Nobackfeed", &WiFi::nobackfeed, "SET TEAR OFF\r\n"),
        line(
            "PrintlabelExtremes", [](WiFi& p) { return p.printlabel(INTPTR_MIN, INTPTR_MAX); },
            sizeof(std::intptr_t) == 8 ? "PRINT -9223372036854775808,9223372036854775807\r\n"
                                       : "PRINT -2147483648,2147483647\r\n",
            0.5),
        // A double quote in the code is not escaped: the printer sees the field end early.
        line("Barcode", barcode("A\"B"), "BARCODE 10,20,\"128\",50,1,0,2,3,\"A\"B\"\r\n"),
        line("Utf8Han", text(&WiFi::printerfont, kHan + kEmoji),
             kTextHead + kHan + kEmoji + "\"\r\n"),
        line("Gb18030Han", text(&WiFi::printerfont_GB2312, kHan + kTraditional),
             kTextHead + "\xd6\xd0\xf3\x77\"\r\n"),
        line("Big5Hkscs", text(&WiFi::printerfont_Big5, kHan + kTraditional + kHkscsOnly),
             kTextHead + "\xa4\xa4\xc5\xe9\x92\x77\"\r\n"),
        // Strict encodings: refused as a whole, nothing written.
        line("Big5Emoji", text(&WiFi::printerfont_Big5, "A" + kEmoji), ""),
        line("Big5SimplifiedOnlyFontName", text(&WiFi::printerfont_Big5, "A", kSimplifiedOnly), ""),
        line("SetupStrayByte", setup_with("0", "\xff"), ""),
        line("BarcodeTruncated", barcode("\xe4\xb8"), ""),
        line("Utf8Overlong", text(&WiFi::printerfont, "\xc0\xaf"), ""),
        line("Gb18030Surrogate", text(&WiFi::printerfont_GB2312, "\xed\xa0\x80"), "")),
    ::testing::PrintToStringParamName());

// Host-font text is refused after closeport, when there is no output stream, but handed to the
// write primitive on a stream the printer closed, whose failure is not reported.
TEST(SendersClosedTest, TheLinkCheckOfHostFontText) {
  WiFi printer{testing::env()};
  testing::FakePrinter fake;
  ASSERT_EQ(printer.openport("127.0.0.1", fake.port()), 1);
  EXPECT_EQ(printer.closeport(0), 1);
  const auto start = Clock::now();
  EXPECT_EQ(printer.windowsfont(0, 0, 18, 0, 0, 0, "DejaVu Sans", "Late"), -1);
  EXPECT_DOUBLE_EQ(since(start), 0.5);
  ASSERT_EQ(printer.openport("127.0.0.1", fake.port()), 1);
  fake.close_client();
  testing::wait_until([&] { return printer.stream_Status() != 2; });
  EXPECT_EQ(printer.windowsfont(0, 0, 18, 0, 0, 0, "DejaVu Sans", "Gone"), 1);
  EXPECT_EQ(fake.received(), "");
}

}  // namespace
}  // namespace quillkit
