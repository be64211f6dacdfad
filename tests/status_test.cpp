// The status request over a real TCP connection to a fake printer, on the
// WiFi class and on a link with a notification link's profile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/query_support.hpp"

namespace quillkit {
namespace {

const std::string kRequest = "\x1b!?";

struct StatusAnswer : testing::NamedCase {
  std::vector<std::string> pieces;
  Result byte;
  std::string text;
};

using StatusAnswerTest = testing::QueryTableTest<StatusAnswer>;

TEST_P(StatusAnswerTest, ByteAndTextComeFromTheAnswerToThisRequest) {
  fake().add_answer({kRequest, GetParam().pieces});
  EXPECT_EQ(printer().printer_status_byte(0.4), GetParam().byte);
  EXPECT_EQ(printer().printer_status(0.4), GetParam().text);
  EXPECT_EQ(fake().received(), kRequest + kRequest);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StatusAnswerTest,
    ::testing::Values(StatusAnswer{"byte_00", {std::string(1, '\0')}, 0x00, "<00>"},
                      StatusAnswer{"byte_ff", {"\xff"}, 0xff, "<ff>"},
                      StatusAnswer{"leading_nul", {std::string("\0\x24\r\n", 4)}, 0x00, "<24>"}),
    ::testing::PrintToStringParamName());

using PrinterStatusTest = testing::OpenWiFiTest;

TEST_F(PrinterStatusTest, PlainFormsWaitTheDataSendersPauseAndASecond) {
  EXPECT_EQ(printer().printer_status(0.2), "-1");  // nothing read
  fake().add_answer({kRequest, {"\x40"}});
  const auto start = testing::Clock::now();
  EXPECT_EQ(printer().printer_status_byte(), 0x40);
  EXPECT_EQ(printer().printer_status(), "<40>");
  EXPECT_DOUBLE_EQ(testing::since(start), 2 * 1.2);
}

TEST_F(PrinterStatusTest, AnswerStillArrivingGivesMinusOne) {
  fake().add_answer({kRequest, testing::one_byte_pieces("\x40\x41\x42\x43\x44\x45\x46")});
  reader_.hold();  // the pieces after the first read stay on the input stream
  EXPECT_EQ(printer().printer_status_byte(0.4), -1);
  const std::size_t passes = reader_.passes();
  reader_.release();
  ASSERT_TRUE(reader_.wait_for_passes(passes + 1));  // the rest is read
  reader_.hold();
  EXPECT_EQ(printer().printer_status(0.4), "-1");
  reader_.release();
}

// A notification link's profile: the reply as received, two bytes needed for
// a status byte.
const detail::Profile kNotifiedProfile{.status_prewait = 0.3, .stream_replies = false};

TEST(StatusProfileTest, NotifiedReplyNeedsTwoBytesForAStatusByte) {
  testing::FakePrinter fake;
  testing::ProfiledPrinter printer(kNotifiedProfile);
  ASSERT_TRUE(printer.open(fake.port()));
  fake.add_answer({kRequest, {"\x40"}});
  EXPECT_EQ(printer.printer_status_byte(0.3), -1);
  EXPECT_EQ(printer.printer_status(0.3), "\x40");
  fake.clear_answers();
  fake.add_answer({kRequest, {"\x40\r"}});
  EXPECT_EQ(printer.printer_status_byte(0.3), 0x40);
}

}  // namespace
}  // namespace quillkit
