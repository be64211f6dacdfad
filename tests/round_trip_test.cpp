// The receive path and the query round trip over a real TCP connection.
#include <gtest/gtest.h>

#include <ostream>

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
  EXPECT_GE(since(start), 1.0);
  EXPECT_LT(since(start), 3.0);
  EXPECT_EQ(fake_.received(), "~!T\r\n");
  EXPECT_TRUE(log_.contains("NSStreamEvent.HasBytesAvailable <input stream 127.0.0.1:"));
}

TEST_F(RoundTripTest, ReplyInPiecesIsReturnedWhole) {
  fake_.add_answer({"~!T\r\n", {"AB", "C\r\n"}, 0, 0.15});
  EXPECT_EQ(printer_.sendcommand_getstring("~!T", 0.6), "ABC\r\n");
}

TEST_F(RoundTripTest, LongReplyIsReturnedWhole) {
  std::string answer;
  for (int i = 0; answer.size() < 3000; ++i) answer += "FILE" + std::to_string(i) + "\r";
  fake_.add_answer({"~!F\r\n", {answer}});
  EXPECT_EQ(printer_.sendcommand_getstring("~!F", 0.6), answer);
}

TEST_F(RoundTripTest, NulsAreRemovedOtherBytesKept) {
  fake_.add_answer({"Q\r\n", {std::string("A\0B\xe9\r\n\0", 7)}});
  EXPECT_EQ(printer_.sendcommand_getstring("Q", 0.5), "AB\xe9\r\n");
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
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the late answer lands
  EXPECT_EQ(printer_.sendcommand_getstring("~!I", 0.2), "");
}

TEST_F(RoundTripTest, ClosedLinkRefusesAtOnce) {
  EXPECT_EQ(printer_.closeport(0), 1);
  EXPECT_EQ(printer_.stream_Status(), -1);
  const auto start = Clock::now();
  EXPECT_EQ(printer_.sendcommand_getstring("~!T"), "-1");
  EXPECT_LT(since(start), 0.2);
}

TEST_F(RoundTripTest, PeerCloseEndsTheLinkWithoutHanging) {
  fake_.close_client();
  const auto start = Clock::now();
  testing::wait_until([&] { return printer_.stream_Status() != 2; }, 3);
  EXPECT_EQ(printer_.stream_Status(), 5);
  EXPECT_TRUE(log_.contains("NSStreamEvent.EndEncountered <input stream"));
  // The stream still exists, so the gate passes; there is no space, so -2.
  EXPECT_EQ(printer_.sendcommand("CLS\r\n"), -2);
  EXPECT_EQ(printer_.sendBinaryData(testing::bytes_of("CLS\r\n")), -1);
  EXPECT_EQ(printer_.sendcommand_getstring("~!T", 0.1), "");
  EXPECT_LT(since(start), 3);
}

TEST_F(RoundTripTest, PeerResetNeverKillsTheProcess) {
  fake_.reset_client();
  const auto start = Clock::now();
  testing::wait_until([&] { return printer_.stream_Status() != 2; }, 3);
  EXPECT_GE(printer_.stream_Status(), 5);
  const Bytes big(1 << 20, 'x');
  EXPECT_EQ(printer_.sendBinaryData(big), -1);
  EXPECT_LT(since(start), 3);
}

TEST(OpenTest, OpensAndLogsTheConnection) {
  LogCapture log;
  FakePrinter fake;
  WiFi printer;
  const auto start = Clock::now();
  EXPECT_EQ(printer.openport("127.0.0.1", fake.port()), 1);
  EXPECT_GE(since(start), 1.5);
  EXPECT_LT(since(start), 3.0);
  EXPECT_EQ(fake.connections(), 1u);
  const std::string port = std::to_string(fake.port());
  EXPECT_TRUE(log.contains("# connecting to 127.0.0.1:" + port));
  EXPECT_TRUE(log.contains("NSStreamEvent.OpenCompleted <input stream 127.0.0.1:" + port + ">"));
  EXPECT_TRUE(log.contains("NSStreamEvent.OpenCompleted <output stream 127.0.0.1:" + port + ">"));
  EXPECT_TRUE(log.contains("NSStreamEvent.HasSpaceAvailable <output stream"));
}

struct FailedOpen {
  const char* name;
  const char* host;
  std::uint32_t port;  // 0: a port where nothing listens

  friend std::ostream& operator<<(std::ostream& out, const FailedOpen& c) { return out << c.name; }
};

class FailedOpenTest : public ::testing::TestWithParam<FailedOpen> {};

TEST_P(FailedOpenTest, ReportsMinusOneAfterTheWait) {
  LogCapture log;
  std::uint32_t port = GetParam().port;
  if (port == 0) {
    FakePrinter gone;  // take a free port, then close it again
    port = gone.port();
  }
  WiFi printer;
  const auto start = Clock::now();
  EXPECT_EQ(printer.openport(GetParam().host, port), -1);
  EXPECT_GE(since(start), 1.5);
  EXPECT_LT(since(start), 4.0);
  EXPECT_EQ(printer.stream_Status(), 7);
  EXPECT_TRUE(log.contains("NSStreamEvent.ErrorOccurred"));
  EXPECT_EQ(printer.closeport(0), 1);
  EXPECT_EQ(printer.stream_Status(), -1);
}

INSTANTIATE_TEST_SUITE_P(Hosts, FailedOpenTest,
                         ::testing::Values(FailedOpen{"refused", "127.0.0.1", 0},
                                           FailedOpen{"unresolvable", "no-such-host.invalid", 9100},
                                           FailedOpen{"port_out_of_range", "127.0.0.1", 70000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillkit
