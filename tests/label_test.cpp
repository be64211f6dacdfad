// Label setup, print control, barcode and printer-font text over a real TCP
// connection to the fake printer.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/wifi_suite.hpp"

namespace quillkit {
namespace {

using Operation = std::function<Result(Printer&)>;

struct LineCase {
  const char* name;
  Operation operation;
  std::string wire;  // the one write expected; empty when the operation must refuse
  double pause = 0;  // the write comes no sooner than this after the call
  friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
};

class LabelLineTest : public testing::WiFiSuite, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LabelLineTest, WritesExactlyItsBytesInOneWriteOrRefusesWithNothing) {
  const LineCase& c = GetParam();
  const bool refused = c.wire.empty();
  const auto start = testing::Clock::now();
  EXPECT_EQ(c.operation(*printer_), refused ? -1 : 1);
  // After a refusal a following command's bytes must be all that arrive.
  if (refused) ASSERT_EQ(printer_->formfeed(), 1);
  const std::string expected = refused ? "FORMFEED\r\n" : c.wire;
  ASSERT_TRUE(fake_->wait_for_bytes(expected.size()));
  EXPECT_EQ(fake_->received(), expected);
  EXPECT_EQ(fake_->chunks().size(), 1u);
  // Compared with the call, so that a late receipt cannot pass for a pause.
  EXPECT_GE(testing::seconds_between(start, fake_->chunks().front().at), c.pause);
  // The operations never look at the link: a never opened printer gives the same result.
  WiFi never_opened;
  EXPECT_EQ(c.operation(never_opened), refused ? -1 : 1);
}

Operation setup_with_sensor(const char* sensor) {
  return [sensor](Printer& p) { return p.setup("60", "40", "4", "8", sensor, "2", "0"); };
}

Operation text(decltype(&Printer::printerfont) operation, std::string content) {
  return [=](Printer& p) { return (p.*operation)("10", "20", "3", "0", "1", "2", content); };
}

Operation barcode(std::string content) {
  return
      [=](Printer& p) { return p.barcode("10", "20", "128", "50", "1", "0", "2", "3", content); };
}

const std::string kSetupHead = "SIZE 60 mm,40 mm\r\nSPEED 4\r\nDENSITY 8\r\n";
const std::string kHan = "\xe4\xb8\xad";             // U+4E2D, in GB 2312 and Big5
const std::string kTraditional = "\xe9\xab\x94";     // U+9AD4, traditional only
const std::string kHkscsOnly = "\xe3\x90\xb5";       // U+3435, in HKSCS but not Big5
const std::string kEmoji = "\xf0\x9f\x98\x80";       // U+1F600
const std::string kSimplifiedOnly = "\xe4\xbb\xac";  // U+4EEC
const std::string kTextHead = "TEXT 10,20,\"3\",0,1,2,\"";

INSTANTIATE_TEST_SUITE_P(
    Lines, LabelLineTest,
    ::testing::Values(
        // The sensor line is chosen by exact text: anything but "0" and "1" leaves it out.
        LineCase{"SetupGap", setup_with_sensor("0"), kSetupHead + "GAP 2 mm,0 mm\r\n"},
        LineCase{"SetupBline", setup_with_sensor("1"), kSetupHead + "BLINE 2 mm,0 mm\r\n"},
        LineCase{"SetupOther", setup_with_sensor("2"), kSetupHead},
        LineCase{"SetupLeadingBlank", setup_with_sensor(" 0"), kSetupHead},
        // Empty, non-ASCII and line-breaking texts go out as given.
        LineCase{"SetupCopiesArguments",
                 [](Printer& p) {
                   return p.setup("", "\xef\xbc\x94\xef\xbc\x90", "4,5", "8\r\nCLS", "1", "", "-3");
                 },
                 "SIZE  mm,\xef\xbc\x94\xef\xbc\x90 mm\r\nSPEED 4,5\r\nDENSITY 8\r\nCLS\r\n"
                 "BLINE  mm,-3 mm\r\n"},
        LineCase{"ClearBuffer", [](Printer& p) { return p.clearBuffer(); }, "CLS\r\n"},
        LineCase{"Formfeed", [](Printer& p) { return p.formfeed(); }, "FORMFEED\r\n"},
        LineCase{"Nobackfeed", [](Printer& p) { return p.nobackfeed(); }, "SET TEAR OFF\r\n"},
        LineCase{"PrintlabelExtremes",
                 [](Printer& p) { return p.printlabel(INTPTR_MIN, INTPTR_MAX); },
                 sizeof(std::intptr_t) == 8 ? "PRINT -9223372036854775808,9223372036854775807\r\n"
                                            : "PRINT -2147483648,2147483647\r\n",
                 0.5},
        // A double quote in the code is not escaped: the printer sees the field end early.
        LineCase{"Barcode", barcode("A\"B"), "BARCODE 10,20,\"128\",50,1,0,2,3,\"A\"B\"\r\n"},
        LineCase{"Utf8Han", text(&Printer::printerfont, kHan + kEmoji),
                 kTextHead + kHan + kEmoji + "\"\r\n"},
        LineCase{"Gb18030Han", text(&Printer::printerfont_GB2312, kHan + kTraditional),
                 kTextHead + "\xd6\xd0\xf3\x77\"\r\n"},
        LineCase{"Big5Han", text(&Printer::printerfont_Big5, kHan + kTraditional),
                 kTextHead + "\xa4\xa4\xc5\xe9\"\r\n"},
        LineCase{"Big5Hkscs", text(&Printer::printerfont_Big5, kHkscsOnly),
                 kTextHead + "\x92\x77\"\r\n"},
        // Strict encodings: refused as a whole, nothing written.
        LineCase{"Big5Emoji", text(&Printer::printerfont_Big5, "A" + kEmoji), ""},
        LineCase{"Big5SimplifiedOnlyFontName",
                 [](Printer& p) {
                   return p.printerfont_Big5("0", "0", kSimplifiedOnly, "0", "1", "1", "A");
                 },
                 ""},
        LineCase{"SetupStrayByte",
                 [](Printer& p) { return p.setup("60", "40", "4", "8", "0", "2", "\xff"); }, ""},
        LineCase{"BarcodeTruncated", barcode("\xe4\xb8"), ""},
        LineCase{"Utf8Overlong", text(&Printer::printerfont, "\xc0\xaf"), ""},
        LineCase{"Gb18030Surrogate", text(&Printer::printerfont_GB2312, "\xed\xa0\x80"), ""}),
    ::testing::PrintToStringParamName());

}  // namespace
}  // namespace quillkit
