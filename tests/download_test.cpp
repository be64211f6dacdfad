// The file download over a real TCP connection to the fake printer: header,
// data and trailer bytes, pauses, refusals and the one-write profile.
#include "quillkit/commands/download.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/byte_stream.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/receive/stream_link.hpp"
#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/temp_files.hpp"
#include "support/wifi_suite.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::FakePrinter;
using testing::patterned_bytes;
using testing::since;
using testing::TempDir;
using Progress = std::vector<std::pair<std::size_t, std::size_t>>;

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string as_text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Downloads `data` as file `name` and checks the header arrives alone after
// 0.3 s, the data after a further 0.5 s with no packet pause inside it, and
// the trailer last. Returns the progress reports.
Progress expect_single_write_download(Printer& printer, FakePrinter& fake, const Bytes& data) {
  TempDir dir;
  const auto path = dir.write("logo.pcx", data);
  Progress progress;
  const auto start = Clock::now();
  EXPECT_EQ(printer.downloadpcx(
                path, "LOGO.PCX",
                [&](std::size_t sent, std::size_t total) { progress.emplace_back(sent, total); }),
            1);
  const std::string header = "DOWNLOAD F,\"LOGO.PCX\"," + std::to_string(data.size()) + ",";
  const std::string expected = header + as_text(data) + "\r\n";
  EXPECT_TRUE(fake.wait_for_bytes(expected.size()));
  EXPECT_EQ(fake.received(), expected);

  const auto chunks = fake.chunks();
  if (chunks.size() < 2) {
    ADD_FAILURE() << "header and data arrived together";
    return progress;
  }
  EXPECT_EQ(as_text(chunks[0].bytes), header);
  // Compared with the call, so that a late receipt cannot pass for a pause.
  EXPECT_GE(seconds_between(start, chunks[0].at), 0.3);
  EXPECT_GE(seconds_between(start, chunks[1].at), 0.8);
  // A packet round would pause 2.3 s inside the data.
  EXPECT_LT(seconds_between(chunks[1].at, chunks.back().at), 1.5);
  return progress;
}

class DownloadTest : public testing::WiFiSuite {
 protected:
  static void expect_nothing_written() {
    ASSERT_EQ(printer_->formfeed(), 1);
    ASSERT_TRUE(fake_->wait_for_bytes(10));
    EXPECT_EQ(fake_->received(), "FORMFEED\r\n");
  }
};

class DownloadSizeTest : public DownloadTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(DownloadSizeTest, BelowPacketSizeGoesOutInOneWrite) {
  const auto data = patterned_bytes(GetParam());
  const auto progress = expect_single_write_download(*printer_, *fake_, data);
  EXPECT_EQ(progress, (Progress{{data.size(), data.size()}}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownloadSizeTest, ::testing::Values(1, 1234, 49999));

TEST_F(DownloadTest, EmptyFileSendsHeaderAndTrailerOnly) {
  TempDir dir;
  const auto path = dir.write("empty", {});
  Progress progress;
  const auto start = Clock::now();
  EXPECT_EQ(printer_->downloadpcx(
                path, "EMPTY",
                [&](std::size_t sent, std::size_t total) { progress.emplace_back(sent, total); }),
            1);
  ASSERT_TRUE(fake_->wait_for_bytes(22));
  EXPECT_EQ(fake_->received(), "DOWNLOAD F,\"EMPTY\",0,\r\n");
  const auto chunks = fake_->chunks();
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_GE(seconds_between(start, chunks[1].at), 0.8);
  EXPECT_TRUE(progress.empty());
}

TEST_F(DownloadTest, NameIsWrittenUnescapedInBig5Hkscs) {
  TempDir dir;
  const auto path = dir.write("f", {'x'});
  // A quote and a comma in the name end up in the header as they are.
  EXPECT_EQ(printer_->downloadpcx(path, "A\"B,C"), 1);
  // U+9AD4 and U+3435 (the second in HKSCS but not in plain Big5).
  EXPECT_EQ(printer_->downloadpcx(path, "\xe9\xab\x94\xe3\x90\xb5.PCX"), 1);
  const std::string expected =
      "DOWNLOAD F,\"A\"B,C\",1,x\r\n"
      "DOWNLOAD F,\"\xc5\xe9\x92\x77.PCX\",1,x\r\n";
  ASSERT_TRUE(fake_->wait_for_bytes(expected.size()));
  EXPECT_EQ(fake_->received(), expected);
}

enum class BadInput { missing, directory, nul_in_path, too_large, emoji_name, invalid_name };

void PrintTo(BadInput input, std::ostream* os) {
  constexpr const char* kNames[] = {"Missing",  "Directory", "NulInPath",
                                    "TooLarge", "EmojiName", "InvalidName"};
  *os << kNames[static_cast<int>(input)];
}

class DownloadRefusalTest : public DownloadTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(DownloadRefusalTest, WritesNothingAndReturnsMinusOne) {
  TempDir dir;
  std::string path = dir.write("good", {'x'});
  std::string name = "GOOD";
  switch (GetParam()) {
    case BadInput::missing:
      path = (dir.path() / "missing").string();
      break;
    case BadInput::directory:
      path = dir.path().string();
      break;
    case BadInput::nul_in_path:
      path += std::string("\0.ignored", 9);
      break;
    case BadInput::too_large:
      // Sparse, so it takes no disk space.
      path = dir.write("huge", {});
      std::filesystem::resize_file(path, detail::kMaxDownloadBytes + 1);
      break;
    case BadInput::emoji_name:
      name = "A\xf0\x9f\x98\x80";
      break;
    case BadInput::invalid_name:
      name = "A\xff";
      break;
  }
  bool reported = false;
  const auto start = Clock::now();
  EXPECT_EQ(printer_->downloadpcx(path, name, [&](std::size_t, std::size_t) { reported = true; }),
            -1);
  EXPECT_LT(since(start), 0.3);  // refused before the first pause
  EXPECT_FALSE(reported);
  expect_nothing_written();
}

INSTANTIATE_TEST_SUITE_P(Inputs, DownloadRefusalTest,
                         ::testing::Values(BadInput::missing, BadInput::directory,
                                           BadInput::nul_in_path, BadInput::too_large,
                                           BadInput::emoji_name, BadInput::invalid_name),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

TEST_F(DownloadTest, UnreadableFileIsRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  TempDir dir;
  const auto path = dir.write("secret", {'x'});
  std::filesystem::permissions(path, std::filesystem::perms::none);
  EXPECT_EQ(printer_->downloadpcx(path, "SECRET"), -1);
  expect_nothing_written();
}

const detail::StreamRules kSilentRules{
    .events = {},
    .unknown_channel = LogChannel::console,
    .unknown_text = "",
    .min_used_read = 0,
    .decode_whole_buffer = false,
    .bitmap_needs_open_status = false,
};

const detail::Profile kOneWriteProfile{.download_in_packets = false};

// A printer whose profile sends every download in one data write, over a TCP
// stream to 127.0.0.1:port.
class OneWritePrinter : public Printer {
 public:
  explicit OneWritePrinter(std::uint16_t port)
      : Printer(std::make_unique<detail::PrinterCore>(
            kOneWriteProfile, std::make_unique<detail::StreamLink>(kSilentRules))) {
    auto& link = static_cast<detail::StreamLink&>(core().link());
    link.attach(platform::open_tcp_stream("127.0.0.1", port, link.handler()));
    const auto start = Clock::now();
    while (stream_Status() != platform::kStreamOpen && since(start) < 5) {
      platform::sleep_seconds(0.01);
    }
  }
};

TEST(DownloadOneWriteProfileTest, SendsAnySizeInOneWrite) {
  testing::LogCapture quiet;
  FakePrinter fake;
  OneWritePrinter printer(fake.port());
  ASSERT_EQ(printer.stream_Status(), platform::kStreamOpen);
  const auto data = patterned_bytes(100001);
  const auto progress = expect_single_write_download(printer, fake, data);
  EXPECT_EQ(progress, (Progress{{100001, 100001}}));
}

TEST(DownloadNeverOpenedTest, ReturnsOne) {
  TempDir dir;
  const auto path = dir.write("f", patterned_bytes(10));
  WiFi printer;
  std::size_t calls = 0;
  EXPECT_EQ(printer.downloadpcx(path, "F", [&](std::size_t, std::size_t) { ++calls; }), 1);
  EXPECT_EQ(calls, 1u);
}

}  // namespace
}  // namespace quillkit
