// The receive path and the query round trip over a real TCP connection.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
  WiFi printer_{testing::env()};
};

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

// No answer within the wait gives empty text, and a late or an older answer never becomes the
// answer to a later query.
TEST_F(RoundTripTest, NoOrLateAnswerGivesEmptyTextNeverAnOlderAnswer) {
  const auto start = Clock::now();
  EXPECT_EQ(printer_.sendcommand_getstring("~!T"), "");
  EXPECT_DOUBLE_EQ(since(start), 1.0);
  EXPECT_EQ(fake_.received(), "~!T\r\n");
  fake_.add_answer({"~!T\r\n", {"LATE\r\n"}, 0.5});
  EXPECT_EQ(printer_.sendcommand_getstring("~!T", 0.2), "");
  // The late answer lands: the first bytes this connection ever reads.
  ASSERT_TRUE(testing::wait_until([&] { return log_.contains("HasBytesAvailable"); }));
  EXPECT_EQ(printer_.sendcommand_getstring("~!I", 0.2), "");
  fake_.add_answer({"~!A\r\n", {"OLD\r\n"}});
  EXPECT_EQ(printer_.sendcommand_getstring("~!A", 0.4), "OLD\r\n");
  EXPECT_EQ(printer_.sendcommand_getstring("~!I", 0.3), "");
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

// Opened, refused (a port where nothing listens), unresolvable, and a port out of range: the
// result after the wait, the events logged, and a closed link that refuses a query at once.
TEST(OpenTest, OpensOrReportsMinusOneAfterTheWait) {
  FakePrinter fake;
  const std::uint32_t free_port = FakePrinter().port();  // a free port, closed again
  const std::string at = "127.0.0.1:" + std::to_string(fake.port()) + ">";
  const struct {
    const char* host;
    std::uint32_t port;
    Result result;
    std::vector<std::string> events;
  } cases[] = {{"127.0.0.1",
                fake.port(),
                1,
                {"OpenCompleted <input stream " + at, "OpenCompleted <output stream " + at,
                 "HasSpaceAvailable <output stream"}},
               {"127.0.0.1", free_port, -1, {"ErrorOccurred"}},
               {"no-such-host.invalid", 9100, -1, {"ErrorOccurred"}},
               {"127.0.0.1", 70000, -1, {"ErrorOccurred"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.host << ":" << c.port);
    LogCapture log;
    WiFi printer{testing::env()};  // never opened: no link to probe, nothing to close
    EXPECT_EQ(std::pair(printer.stream_Status(3), printer.closeport(0)),
              (std::pair<Result, Result>(-1, 1)));
    auto start = Clock::now();
    EXPECT_EQ(printer.openport(c.host, c.port), c.result);
    EXPECT_DOUBLE_EQ(since(start), 1.5);
    EXPECT_EQ(printer.stream_Status(5), c.result == 1 ? 2 : 7);  // whatever the argument
    for (const auto& event : c.events) EXPECT_TRUE(log.contains("NSStreamEvent." + event));
    EXPECT_EQ(printer.closeport(0), 1);
    EXPECT_EQ(printer.stream_Status(), -1);
    start = Clock::now();
    EXPECT_EQ(printer.sendcommand_getstring("~!T"), "-1");
    EXPECT_LT(since(start), 0.2);
  }
}

}  // namespace
}  // namespace quillkit
