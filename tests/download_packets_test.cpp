// Downloads of 50000 bytes or more on WiFi: packets of 50000 bytes, each after
// 2.3 s of pauses (of the test clock), arriving intact and in order.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/temp_files.hpp"
#include "support/wifi_suite.hpp"

namespace quillkit {
namespace {

using testing::Clock;

// The chunks joined into the writes that the download's pauses separate: a
// chunk less than `gap` seconds after the one before joins its burst.
struct Burst {
  std::string bytes;
  Clock::time_point at;       // arrival of its first chunk
  Clock::time_point last_at;  // arrival of its last chunk
};

std::vector<Burst> bursts(const std::vector<testing::Chunk>& chunks, double gap) {
  std::vector<Burst> result;
  for (const auto& chunk : chunks) {
    if (result.empty() ||
        std::chrono::duration<double>(chunk.at - result.back().last_at).count() >= gap) {
      result.push_back({{}, chunk.at, chunk.at});
    }
    result.back().bytes.append(chunk.bytes.begin(), chunk.bytes.end());
    result.back().last_at = chunk.at;
  }
  return result;
}

struct PacketCase {
  std::size_t size;
  std::vector<std::size_t> packets;
  friend void PrintTo(const PacketCase& c, std::ostream* os) { *os << c.size << "Bytes"; }
};

class DownloadPacketTest : public testing::WiFiSuite,
                           public ::testing::WithParamInterface<PacketCase> {};

TEST_P(DownloadPacketTest, SendsPacketsAfterTheirPauses) {
  const auto& param = GetParam();
  testing::TempDir dir;
  const auto data = testing::patterned_bytes(param.size);
  std::vector<std::pair<std::size_t, std::size_t>> progress;
  const auto call = Clock::now();
  EXPECT_EQ(printer_->downloadpcx(
                dir.write("big", data), "BIG",
                [&](std::size_t sent, std::size_t total) { progress.emplace_back(sent, total); }),
            1);
  const std::string header = "DOWNLOAD F,\"BIG\"," + std::to_string(param.size) + ",";
  const std::string body(data.begin(), data.end());
  ASSERT_TRUE(fake_->wait_for_bytes(header.size() + body.size() + 2));
  EXPECT_EQ(fake_->received(), header + body + "\r\n");

  // The header goes out 0.3 s after the call and each packet 2.3 s after the
  // write before it, exactly on the test clock; the trailer follows the last
  // packet at once and joins its burst.
  const auto got = bursts(fake_->chunks(), 1.0);
  ASSERT_EQ(got.size(), 1 + param.packets.size());
  EXPECT_EQ(got[0].bytes, header);
  std::size_t start = 0;
  std::vector<std::pair<std::size_t, std::size_t>> expected_progress;
  for (std::size_t i = 0; i < param.packets.size(); ++i) {
    SCOPED_TRACE(i);
    const bool last = i + 1 == param.packets.size();
    EXPECT_EQ(got[i + 1].bytes.size(), param.packets[i] + (last ? 2 : 0));
    EXPECT_EQ(got[i + 1].bytes.substr(0, param.packets[i]), body.substr(start, param.packets[i]));
    EXPECT_NEAR(testing::seconds_between(call, got[i + 1].at), 0.3 + 2.3 * (i + 1), 1e-6);
    start += param.packets[i];
    expected_progress.emplace_back(start, param.size);
  }
  EXPECT_EQ(progress, expected_progress);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownloadPacketTest,
                         ::testing::Values(PacketCase{50000, {50000}},
                                           PacketCase{100001, {50000, 50000, 1}}),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace quillkit
