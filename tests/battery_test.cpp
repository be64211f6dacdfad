// Smart battery values over a real TCP connection to a fake printer. Every
// call that writes pauses 1.1 s (of the test clock).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/query_support.hpp"

namespace quillkit {
namespace {

const std::string kNet = "DIAGNOSTIC INTERFACE NET\r\n";

// The value sits between the reply's first 7 characters and its last one.
struct BatteryCase : testing::NamedCase {
  std::intptr_t index;
  std::string report_line;
  std::vector<std::string> reply;
  std::string value;
};

using BatteryReplyTest = testing::QueryTableTest<BatteryCase>;

TEST_P(BatteryReplyTest, WritesBothLinesInOneWriteAndCutsTheValueOut) {
  const BatteryCase& c = GetParam();
  const std::string command = kNet + c.report_line;
  fake().add_answer({command, c.reply});
  testing::WriteLog log;
  const auto start = testing::Clock::now();
  EXPECT_EQ(printer().smartbattery_status(c.index), c.value);
  EXPECT_DOUBLE_EQ(testing::since(start), 1.1);
  EXPECT_EQ(log.texts(), std::vector<std::string>{command});
  EXPECT_EQ(fake().received(), command);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, BatteryReplyTest,
    ::testing::Values(
        BatteryCase{"seven_characters", 0, "DIAGNOSTIC REPORT SMBSERIAL\r\n", {"SERIAL:"}, "-1"},
        BatteryCase{
            "eight_characters", 2, "DIAGNOSTIC REPORT SMBREMCAPCITY\r\n", {"REMCAP:\r"}, ""},
        BatteryCase{
            "twelve_characters", 1, "DIAGNOSTIC REPORT SMBVOLTAGE\r\n", {"VOLTAGE8120\r"}, "8120"}),
    ::testing::PrintToStringParamName());

using BatteryTest = testing::OpenWiFiTest;

// A link that is down refuses the same way: bluetooth_test.cpp, after a hang-up.
TEST_F(BatteryTest, IndexOutOfRangeRefusesAtOnceAndWritesNothing) {
  const auto start = testing::Clock::now();
  EXPECT_EQ(printer().smartbattery_status(-1), "-1");
  EXPECT_EQ(printer().smartbattery_status(9), "-1");
  EXPECT_EQ(testing::since(start), 0);
  EXPECT_EQ(printer().smartbattery_status(7), "-1");  // a real request, no answer
  EXPECT_EQ(fake().received(), kNet + "DIAGNOSTIC REPORT SMBLIFE\r\n");
}

TEST_F(BatteryTest, ReplyStillArrivingAfterTheShortPauseGivesMinusOneAtOnce) {
  fake().add_answer({"SMBMANUDATE\r\n", testing::one_byte_pieces("MANUDAT2024\r"), 0, 0.03});
  reader_.hold();  // the pieces after the first read stay on the input stream
  const auto start = testing::Clock::now();
  EXPECT_EQ(printer().smartbattery_status(5), "-1");
  EXPECT_DOUBLE_EQ(testing::since(start), 0.1);
  reader_.release();
}

}  // namespace
}  // namespace quillkit
