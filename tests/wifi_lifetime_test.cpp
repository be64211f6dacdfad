// Connection and thread lifetime, and concurrent use of one object.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/temp_files.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::FakePrinter;
using testing::LogCapture;
using testing::since;

std::size_t count_entries(const char* path) {
  return std::distance(std::filesystem::directory_iterator(path), {});
}

TEST(LifetimeTest, TwoHundredOpensAndClosesLeaveNothingBehind) {
  LogCapture quiet;
  FakePrinter fake;
  const std::size_t fds_before = count_entries("/proc/self/fd");
  const std::size_t threads_before = count_entries("/proc/self/task");
  constexpr int kObjects = 20;
  constexpr int kCycles = 10;
  std::vector<std::thread> workers;
  std::vector<int> opened(kObjects, 0);
  for (int i = 0; i < kObjects; ++i) {
    workers.emplace_back([&, i] {
      WiFi printer{testing::env()};
      for (int cycle = 0; cycle < kCycles; ++cycle) {
        // Every other cycle reopens without closing: the second open closes the first
        // connection itself, and the destructor closes the last.
        opened[i] += printer.openport("127.0.0.1", fake.port()) == 1;
        if (cycle % 2 == 0) printer.closeport(0);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(std::count(opened.begin(), opened.end(), kCycles), kObjects);
  EXPECT_EQ(fake.connections(), static_cast<std::size_t>(kObjects * kCycles));
  // The fake printer lives in this process: let it see the last close.
  EXPECT_TRUE(testing::wait_until([&] { return fake.open_connections() == 0; }));
  EXPECT_EQ(count_entries("/proc/self/fd"), fds_before);
  // A joined thread's task can outlive the join for a moment (for long under qemu).
  EXPECT_TRUE(
      testing::wait_until([&] { return count_entries("/proc/self/task") == threads_before; }));
}

// An open connection to the fake printer.
class WholeWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(printer_.openport("127.0.0.1", fake_.port()), 1); }
  FakePrinter fake_;
  WiFi printer_{testing::env()};
};

// A full output refuses the senders with -2 (nothing written) while the write
// already under way waits for space and then delivers every byte in order.
TEST_F(WholeWriteTest, SlowReaderGetsEveryByteInOrder) {
  fake_.set_reading(false);
  const Bytes big = testing::patterned_bytes(12 << 20);
  Result result = 0;
  const auto start = Clock::now();
  std::thread writer([&] { result = printer_.sendBinaryData(big); });
  // The test clock moves only while the writer waits for space: once it has,
  // the output is full.
  ASSERT_TRUE(testing::wait_until([&] { return since(start) >= 0.3; }));
  EXPECT_EQ(printer_.sendcommand("Y"), -2);
  fake_.set_reading(true);
  writer.join();
  EXPECT_EQ(result, 1);
  ASSERT_TRUE(fake_.wait_for_bytes(big.size(), 20));
  EXPECT_TRUE(fake_.received() == std::string(big.begin(), big.end()));
}

TEST_F(WholeWriteTest, StalledReaderEndsTheWriteWithinTheBound) {
  fake_.set_reading(false);
  const Bytes big(32 << 20, 'z');
  const auto start = Clock::now();
  EXPECT_EQ(printer_.sendBinaryData(big), -1);
  EXPECT_GE(since(start), 5.0);
  EXPECT_LE(since(start), 5.2);
}

TEST_F(WholeWriteTest, WritesOfTwoThreadsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLines = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string body(20000, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        // -2 says the output is momentarily full: the caller retries.
        Result result;
        while ((result = printer_.sendcommand(body + "\r\n")) == -2) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(result, 1);
        if (i % 50 == 0) printer_.stream_Status();
      }
    });
  }
  // A query running meanwhile (its command is empty: it writes CR LF only)
  // must not disturb the writers.
  threads.emplace_back([&] { printer_.sendcommand_getstring("", 0.2); });
  for (auto& thread : threads) thread.join();
  // The query's CR LF may itself meet a full output (-2) and be dropped.
  const std::size_t lines = kThreads * kLines * 20002;
  ASSERT_TRUE(fake_.wait_for_bytes(lines, 20));
  fake_.wait_for_bytes(lines + 2, 0.2);  // the query's CR LF, if it was written
  const std::string received = fake_.received();
  ASSERT_TRUE(received.size() == lines || received.size() == lines + 2) << received.size();
  // Whole lines of one letter each, and at most the query's empty line between them.
  std::size_t empty_lines = 0;
  for (std::size_t at = 0, end; at < received.size(); at = end + 2) {
    end = received.find("\r\n", at);
    empty_lines += end == at;
    ASSERT_TRUE(end == at ||
                (end == at + 20000 && received.find_first_not_of(received[at], at) == end))
        << "interleaved at " << at;
  }
  EXPECT_EQ(empty_lines, (received.size() - lines) / 2);
}

}  // namespace
}  // namespace quillkit
