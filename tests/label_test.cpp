// Label setup, print control, barcode and printer-font text over a real TCP
// connection to the fake printer.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/wifi_suite.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

class LabelTest : public testing::WiFiSuite {
 protected:
  // Waits for `expected.size()` bytes and checks they are exactly `expected`,
  // received as one chunk (one write).
  static void expect_one_write(const std::string& expected) {
    ASSERT_TRUE(fake_->wait_for_bytes(expected.size()));
    EXPECT_EQ(fake_->received(), expected);
    EXPECT_EQ(fake_->chunks().size(), 1u);
  }
  // After a refused operation: a following command's bytes are all that arrive.
  static void expect_nothing_written() {
    ASSERT_EQ(printer_->formfeed(), 1);
    ASSERT_TRUE(fake_->wait_for_bytes(10));
    EXPECT_EQ(fake_->received(), "FORMFEED\r\n");
  }
};

struct SensorCase {
  const char* name;
  const char* sensor;
  const char* sensor_line;
  friend void PrintTo(const SensorCase& c, std::ostream* os) { *os << c.name; }
};

class SetupSensorTest : public LabelTest, public ::testing::WithParamInterface<SensorCase> {};

TEST_P(SetupSensorTest, SelectsTheSensorLineByExactText) {
  EXPECT_EQ(printer_->setup("60", "40", "4", "8", GetParam().sensor, "2", "0"), 1);
  expect_one_write(std::string("SIZE 60 mm,40 mm\r\nSPEED 4\r\nDENSITY 8\r\n") +
                   GetParam().sensor_line);
}

INSTANTIATE_TEST_SUITE_P(Sensors, SetupSensorTest,
                         ::testing::Values(SensorCase{"Gap", "0", "GAP 2 mm,0 mm\r\n"},
                                           SensorCase{"Bline", "1", "BLINE 2 mm,0 mm\r\n"},
                                           SensorCase{"Other", "2", ""},
                                           SensorCase{"Empty", "", ""},
                                           SensorCase{"LeadingBlank", " 0", ""}),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

TEST_F(LabelTest, SetupCopiesArgumentsUnchanged) {
  // Empty, non-ASCII and line-breaking texts go out as given, with every
  // literal piece still in place.
  EXPECT_EQ(printer_->setup("", "\xef\xbc\x94\xef\xbc\x90", "4,5", "8\r\nCLS", "1", "", "-3"), 1);
  expect_one_write(
      "SIZE  mm,\xef\xbc\x94\xef\xbc\x90 mm\r\nSPEED 4,5\r\nDENSITY 8\r\nCLS\r\nBLINE  mm,-3 "
      "mm\r\n");
}

struct FixedLineCase {
  const char* name;
  Result (Printer::*operation)();
  const char* line;
  friend void PrintTo(const FixedLineCase& c, std::ostream* os) { *os << c.name; }
};

class FixedLineTest : public LabelTest, public ::testing::WithParamInterface<FixedLineCase> {};

TEST_P(FixedLineTest, WritesItsLine) {
  EXPECT_EQ((printer_->*GetParam().operation)(), 1);
  expect_one_write(GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FixedLineTest,
    ::testing::Values(FixedLineCase{"clearBuffer", &Printer::clearBuffer, "CLS\r\n"},
                      FixedLineCase{"formfeed", &Printer::formfeed, "FORMFEED\r\n"},
                      FixedLineCase{"nobackfeed", &Printer::nobackfeed, "SET TEAR OFF\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LabelTest, PrintlabelPausesThenWritesDecimalIntegers) {
  const auto start = Clock::now();
  EXPECT_EQ(printer_->printlabel(1, 1), 1);
  EXPECT_GE(since(start), 0.5);
  ASSERT_TRUE(fake_->wait_for_bytes(11));
  const auto first = fake_->chunks().front();
  EXPECT_GE(std::chrono::duration<double>(first.at - start).count(), 0.5);
  EXPECT_EQ(fake_->received(), "PRINT 1,1\r\n");

  fake_->clear();
  EXPECT_EQ(printer_->printlabel(std::numeric_limits<std::intptr_t>::min(),
                                 std::numeric_limits<std::intptr_t>::max()),
            1);
  expect_one_write(sizeof(std::intptr_t) == 8 ? "PRINT -9223372036854775808,9223372036854775807\r\n"
                                              : "PRINT -2147483648,2147483647\r\n");
}

TEST_F(LabelTest, BarcodeQuotesTypeAndCodeOnly) {
  EXPECT_EQ(printer_->barcode("10", "20", "128", "50", "1", "0", "2", "2", "ABC"), 1);
  expect_one_write("BARCODE 10,20,\"128\",50,1,0,2,2,\"ABC\"\r\n");

  // A double quote in the code is not escaped: the printer sees the field end early.
  fake_->clear();
  EXPECT_EQ(printer_->barcode("", "", "EAN13", "", "", "", "", "", "12\"3"), 1);
  expect_one_write("BARCODE ,,\"EAN13\",,,,,,\"12\"3\"\r\n");
}

using TextOperation = Result (Printer::*)(std::string_view, std::string_view, std::string_view,
                                          std::string_view, std::string_view, std::string_view,
                                          std::string_view);

struct TextCase {
  const char* name;
  TextOperation operation;
  std::string content;
  std::string encoded;  // the content's bytes as the printer must see them
  friend void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }
};

class PrinterFontTest : public LabelTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(PrinterFontTest, WritesTheTextLineInItsEncoding) {
  const auto& param = GetParam();
  EXPECT_EQ((printer_->*param.operation)("10", "20", "3", "0", "1", "1", param.content), 1);
  expect_one_write("TEXT 10,20,\"3\",0,1,1,\"" + param.encoded + "\"\r\n");
}

const std::string kHan = "\xe4\xb8\xad";             // U+4E2D, in GB 2312 and Big5
const std::string kTraditional = "\xe9\xab\x94";     // U+9AD4, traditional only
const std::string kHkscsOnly = "\xe3\x90\xb5";       // U+3435, in HKSCS but not Big5
const std::string kEmoji = "\xf0\x9f\x98\x80";       // U+1F600
const std::string kSimplifiedOnly = "\xe4\xbb\xac";  // U+4EEC

INSTANTIATE_TEST_SUITE_P(
    Encodings, PrinterFontTest,
    ::testing::Values(
        TextCase{"Utf8Ascii", &Printer::printerfont, "Hello", "Hello"},
        TextCase{"Gb18030Ascii", &Printer::printerfont_GB2312, "Hello", "Hello"},
        TextCase{"Big5Ascii", &Printer::printerfont_Big5, "Hello", "Hello"},
        TextCase{"Utf8Empty", &Printer::printerfont, "", ""},
        TextCase{"Utf8Han", &Printer::printerfont, kHan + kEmoji, kHan + kEmoji},
        TextCase{"Gb18030Han", &Printer::printerfont_GB2312, kHan + kTraditional,
                 "\xd6\xd0\xf3\x77"},
        TextCase{"Gb18030FourByte", &Printer::printerfont_GB2312, kEmoji, "\x94\x39\xfc\x36"},
        TextCase{"Big5Han", &Printer::printerfont_Big5, kHan + kTraditional, "\xa4\xa4\xc5\xe9"},
        TextCase{"Big5Hkscs", &Printer::printerfont_Big5, kHkscsOnly, "\x92\x77"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
  const char* name;
  std::function<Result(Printer&)> operation;
  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class LabelRefusalTest : public LabelTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(LabelRefusalTest, WritesNothingAndReturnsMinusOne) {
  EXPECT_EQ(GetParam().operation(*printer_), -1);
  expect_nothing_written();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LabelRefusalTest,
    ::testing::Values(
        RefusalCase{"Big5Emoji",
                    [](Printer& p) {
                      return p.printerfont_Big5("0", "0", "3", "0", "1", "1", "A" + kEmoji);
                    }},
        RefusalCase{"Big5SimplifiedOnly",
                    [](Printer& p) {
                      return p.printerfont_Big5("0", "0", kSimplifiedOnly, "0", "1", "1", "A");
                    }},
        RefusalCase{"SetupStrayByte",
                    [](Printer& p) { return p.setup("60", "40", "4", "8", "0", "2", "\xff"); }},
        RefusalCase{"BarcodeTruncated",
                    [](Printer& p) {
                      return p.barcode("0", "0", "128", "50", "1", "0", "2", "2", "\xe4\xb8");
                    }},
        RefusalCase{
            "PrinterfontOverlong",
            [](Printer& p) { return p.printerfont("0", "0", "3", "0", "1", "1", "\xc0\xaf"); }},
        RefusalCase{"Gb18030Surrogate",
                    [](Printer& p) {
                      return p.printerfont_GB2312("0", "0", "3", "0", "1", "1", "\xed\xa0\x80");
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LabelNeverOpenedTest, EveryOperationReturnsOne) {
  WiFi printer;
  EXPECT_EQ(printer.setup("60", "40", "4", "8", "0", "2", "0"), 1);
  EXPECT_EQ(printer.clearBuffer(), 1);
  EXPECT_EQ(printer.formfeed(), 1);
  EXPECT_EQ(printer.nobackfeed(), 1);
  EXPECT_EQ(printer.printlabel(1, 1), 1);
  EXPECT_EQ(printer.barcode("10", "20", "128", "50", "1", "0", "2", "2", "ABC"), 1);
  EXPECT_EQ(printer.printerfont("10", "20", "3", "0", "1", "1", "Hello"), 1);
  EXPECT_EQ(printer.printerfont_GB2312("10", "20", "3", "0", "1", "1", kHan), 1);
  EXPECT_EQ(printer.printerfont_Big5("10", "20", "3", "0", "1", "1", kHan), 1);
}

}  // namespace
}  // namespace quillkit
