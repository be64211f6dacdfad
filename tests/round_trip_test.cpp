// The receive path and the query round trip over a real TCP connection.
#include <gtest/gtest.h>

#include <utility>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"

namespace quillkit {
namespace {

using testing::AnswerRule;
using testing::Clock;
using testing::FakePrinter;
using testing::LogCapture;
using testing::since;

class RoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(printer_.openport("127.0.0.1", fake_.port()), 1); }

  LogCapture log_;
  FakePrinter fake_;
  WiFi printer_;
};

TEST_F(RoundTripTest, ReturnsTheAnswerAfterWritingCommandAndLineEnd) {
  fake_.add_answer({"~!T\r\n", {"ABC\r\n"}});
  const auto start = Clock::now();
  EXPECT_EQ(printer_.sendcommand_getstring("~!T"), "ABC\r\n");
  EXPECT_DOUBLE_EQ(since(start), 1.0);
  EXPECT_EQ(fake_.received(), "~!T\r\n");
  EXPECT_TRUE(log_.contains("NSStreamEvent.HasBytesAvailable <input stream 127.0.0.1:"));
}

// A reply is returned whole, however it arrives: in pieces read in several
// passes, longer than one 512-byte block, with NULs (removed) and bytes above
// 0x7F (kept).
TEST_F(RoundTripTest, ReplyIsReturnedWholeWithoutNuls) {
  std::string long_answer;
  for (int i = 0; long_answer.size() < 3000; ++i) long_answer += "FILE" + std::to_string(i) + "\r";
  const std::pair<AnswerRule, std::string> cases[] = {
      {{"~!T\r\n", {"AB", "C\r\n"}, 0, 0.15}, "ABC\r\n"},
      {{"~!F\r\n", {long_answer}}, long_answer},
      {{"Q\r\n", {std::string("A\0B\xe9\r\n\0", 7)}}, "AB\xe9\r\n"},
  };
  for (const auto& [rule, expected] : cases) {
    fake_.add_answer(rule);
    const std::string command = rule.trigger.substr(0, rule.trigger.size() - 2);
    EXPECT_EQ(printer_.sendcommand_getstring(command, 0.6), expected) << command;
  }
}

TEST_F(RoundTripTest, NoAnswerGivesEmptyTextNeverAnOlderAnswer) {
  EXPECT_EQ(printer_.sendcommand_getstring("~!T", 0.3), "");
  fake_.add_answer({"~!T\r\n", {"OLD\r\n"}});
  EXPECT_EQ(printer_.sendcommand_getstring("~!T", 0.4), "OLD\r\n");
  EXPECT_EQ(printer_.sendcommand_getstring("~!I", 0.3), "");
}

TEST_F(RoundTripTest, LateAnswerDoesNotPolluteTheNextQuery) {
  fake_.add_answer({"~!T\r\n", {"LATE\r\n"}, 0.5});
  EXPECT_EQ(printer_.sendcommand_getstring("~!T", 0.2), "");
  // The late answer lands: the first bytes this connection ever reads.
  ASSERT_TRUE(testing::wait_until([&] { return log_.contains("HasBytesAvailable"); }));
  EXPECT_EQ(printer_.sendcommand_getstring("~!I", 0.2), "");
}

TEST_F(RoundTripTest, ClosedLinkRefusesAtOnce) {
  EXPECT_EQ(printer_.closeport(0), 1);
  EXPECT_EQ(printer_.stream_Status(), -1);
  const auto start = Clock::now();
  EXPECT_EQ(printer_.sendcommand_getstring("~!T"), "-1");
  EXPECT_LT(since(start), 0.2);
}

// A peer that closes (status 5, at end) or resets (7, error) the connection
// kills nothing and hangs nothing: senders meet no space (-2), the write
// primitive gives up (-1), a query finds no answer.
TEST_F(RoundTripTest, PeerCloseOrResetEndsTheLinkWithoutHanging) {
  for (const bool reset : {false, true}) {
    if (reset) {
      ASSERT_EQ(printer_.openport("127.0.0.1", fake_.port()), 1);
      fake_.reset_client();
    } else {
      fake_.close_client();
    }
    const auto start = Clock::now();
    testing::wait_until([&] { return printer_.stream_Status() != 2; }, 3);
    EXPECT_EQ(printer_.stream_Status(), reset ? 7 : 5);
    EXPECT_EQ(printer_.sendcommand("CLS\r\n"), -2);
    EXPECT_EQ(printer_.sendBinaryData(Bytes(1 << 20, 'x')), -1);
    EXPECT_EQ(printer_.sendcommand_getstring("~!T", 0.1), "-1");  // not written: no answer wait
    EXPECT_LT(since(start), 3);
  }
  EXPECT_TRUE(log_.contains("NSStreamEvent.EndEncountered <input stream"));
  EXPECT_TRUE(log_.contains("NSStreamEvent.ErrorOccurred <input stream"));
}

TEST(OpenTest, OpensAndLogsTheConnection) {
  LogCapture log;
  FakePrinter fake;
  WiFi printer;
  const auto start = Clock::now();
  EXPECT_EQ(printer.openport("127.0.0.1", fake.port()), 1);
  EXPECT_DOUBLE_EQ(since(start), 1.5);
  EXPECT_EQ(fake.connections(), 1u);
  const std::string port = std::to_string(fake.port());
  EXPECT_TRUE(log.contains("# connecting to 127.0.0.1:" + port));
  EXPECT_TRUE(log.contains("NSStreamEvent.OpenCompleted <input stream 127.0.0.1:" + port + ">"));
  EXPECT_TRUE(log.contains("NSStreamEvent.OpenCompleted <output stream 127.0.0.1:" + port + ">"));
  EXPECT_TRUE(log.contains("NSStreamEvent.HasSpaceAvailable <output stream"));
}

// Refused (a port where nothing listens), unresolvable, and a port out of range.
TEST(FailedOpenTest, ReportsMinusOneAfterTheWait) {
  const std::uint32_t free_port = FakePrinter().port();  // a free port, closed again
  const std::pair<const char*, std::uint32_t> targets[] = {
      {"127.0.0.1", free_port}, {"no-such-host.invalid", 9100}, {"127.0.0.1", 70000}};
  for (const auto& [host, port] : targets) {
    SCOPED_TRACE(::testing::Message() << host << ":" << port);
    LogCapture log;
    WiFi printer;
    const auto start = Clock::now();
    EXPECT_EQ(printer.openport(host, port), -1);
    EXPECT_DOUBLE_EQ(since(start), 1.5);
    EXPECT_EQ(printer.stream_Status(), 7);
    EXPECT_TRUE(log.contains("NSStreamEvent.ErrorOccurred"));
    EXPECT_EQ(printer.closeport(0), 1);
    EXPECT_EQ(printer.stream_Status(), -1);
  }
}

}  // namespace
}  // namespace quillkit
