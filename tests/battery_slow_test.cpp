// Smart battery values over a real TCP connection to a fake printer. Every
// call that writes pauses 1.1 s.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/query_support.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

const std::string kNet = "DIAGNOSTIC INTERFACE NET\r\n";

struct BatteryCase {
  const char* name;
  std::intptr_t index;
  std::string report_line;
  std::vector<std::string> reply;
  std::string value;
};

void PrintTo(const BatteryCase& c, std::ostream* os) { *os << c.name; }

class BatteryReplyTest : public testing::OpenWiFiTest,
                         public ::testing::WithParamInterface<BatteryCase> {};

TEST_P(BatteryReplyTest, WritesBothLinesAndCutsTheValueOut) {
  const BatteryCase& c = GetParam();
  const std::string command = kNet + c.report_line;
  fake().add_answer({command, c.reply, 0, 0.05});
  const auto start = Clock::now();
  EXPECT_EQ(printer().smartbattery_status(c.index), c.value);
  EXPECT_GE(since(start), 1.1);
  EXPECT_LT(since(start), 3.0);
  ASSERT_EQ(fake().chunks().size(), 1u);  // one write
  EXPECT_EQ(fake().received(), command);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, BatteryReplyTest,
    ::testing::Values(
        BatteryCase{"seven_characters", 0, "DIAGNOSTIC REPORT SMBSERIAL\r\n", {"SERIAL:"}, "-1"},
        BatteryCase{
            "eight_characters", 2, "DIAGNOSTIC REPORT SMBREMCAPCITY\r\n", {"REMCAP:\r"}, ""},
        BatteryCase{
            "twelve_characters", 1, "DIAGNOSTIC REPORT SMBVOLTAGE\r\n", {"VOLTAGE8120\r"}, "8120"},
        BatteryCase{"nul_counts_for_nothing",
                    8,
                    "DIAGNOSTIC REPORT SMBSOH\r\n",
                    {std::string("SOHVAL\0\r", 8)},
                    "-1"},
        BatteryCase{"in_two_pieces_with_high_bytes",
                    3,
                    "DIAGNOSTIC REPORT SMBTEMPERATURE\r\n",
                    {"TEMPER:",
                     "31\xb0"
                     "C\r"},
                    "31\xb0"
                    "C"}),
    [](const auto& info) { return std::string(info.param.name); });

using BatteryTest = testing::OpenWiFiTest;

TEST_F(BatteryTest, IndexOutOfRangeRefusesAtOnceAndWritesNothing) {
  const auto start = Clock::now();
  for (const std::intptr_t index : {-1, 9, 1000})
    EXPECT_EQ(printer().smartbattery_status(index), "-1");
  EXPECT_LT(since(start), 0.1);
  EXPECT_EQ(printer().smartbattery_status(7), "-1");  // a real request, no answer
  EXPECT_EQ(fake().received(), kNet + "DIAGNOSTIC REPORT SMBLIFE\r\n");
}

TEST_F(BatteryTest, SilentPrinterIsNeverReportedWithItsLastValue) {
  fake().add_answer({"SMBDISCYCLE\r\n", {"CYCLES:42\r"}});
  EXPECT_EQ(printer().smartbattery_status(4), "42");
  fake().clear_answers();
  EXPECT_EQ(printer().smartbattery_status(4), "-1");
}

TEST_F(BatteryTest, ReplyStillArrivingAfterTheShortPauseGivesMinusOneAtOnce) {
  fake().add_answer({"SMBMANUDATE\r\n", testing::one_byte_pieces("MANUDAT2024\r"), 0, 0.03});
  reader_.hold();  // the pieces after the first read stay on the input stream
  const auto start = Clock::now();
  EXPECT_EQ(printer().smartbattery_status(5), "-1");
  EXPECT_GE(since(start), 0.1);
  EXPECT_LT(since(start), 1.0);
  reader_.release();
}

TEST(BatteryLinkTest, LinkDownRefusesAtOnce) {
  WiFi printer;
  const auto start = Clock::now();
  EXPECT_EQ(printer.smartbattery_status(2), "-1");
  EXPECT_LT(since(start), 0.1);
}

TEST(BatteryLinkTest, SerialProfileWritesTheComInterfaceLine) {
  const detail::Profile serial{.battery_interface_line = "DIAGNOSTIC INTERFACE COM\r\n"};
  testing::FakePrinter fake;
  testing::ProfiledPrinter printer(serial);
  ASSERT_TRUE(printer.open(fake.port()));
  fake.add_answer({"SMBREPLACECOUNT\r\n", {"REPLACE3\r"}});
  EXPECT_EQ(printer.smartbattery_status(6), "3");
  EXPECT_EQ(fake.received(), "DIAGNOSTIC INTERFACE COM\r\nDIAGNOSTIC REPORT SMBREPLACECOUNT\r\n");
}

}  // namespace
}  // namespace quillkit
