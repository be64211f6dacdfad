// The file download over a real TCP connection to the fake printer: header, data and trailer
// bytes, the pauses between them (one write, or packets of 50000 bytes), refusals and the
// one-write profile.
#include "quillkit/commands/download.hpp"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/query_support.hpp"
#include "support/stream_watch.hpp"
#include "support/temp_files.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::TempDir;
using Progress = std::vector<std::pair<std::size_t, std::size_t>>;
namespace fs = std::filesystem;

// A download of `size` bytes: the data bytes of each write that the pauses separate, and when it
// is made, in milliseconds after the call (exact on the test clock).
struct DownloadCase {
  std::size_t size;
  std::vector<std::pair<std::size_t, long>> writes;
  friend void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.size << "Bytes"; }
};

// Downloads `c.size` bytes and checks that the header, its name in Big5-HKSCS and unescaped, is
// written alone 0.3 s after the call, then each write of the data when `c` says, intact and in
// order, the trailer joining the last, and that progress is reported after each write.
void expect_download(Printer& printer, const DownloadCase& c) {
  TempDir dir;
  const Bytes data = testing::patterned_bytes(c.size);
  Progress progress;
  // U+9AD4 and U+3435 (in HKSCS, not in plain Big5), a quote and a comma.
  const std::string name = "\xe9\xab\x94\xe3\x90\xb5\"A,B";
  testing::WriteLog log;
  const auto call = Clock::now();
  EXPECT_EQ(printer.downloadpcx(
                dir.write("logo.pcx", data), name,
                [&](std::size_t sent, std::size_t total) { progress.emplace_back(sent, total); }),
            1);
  const std::string header =
      "DOWNLOAD F,\"\xc5\xe9\x92\x77\"A,B\"," + std::to_string(data.size()) + ",";
  const std::string body(data.begin(), data.end());

  // The writes made, those at one time joined (a write can take its bytes in several calls).
  std::vector<std::pair<std::string, long>> got, expected{{header, 300}};
  for (const auto& write : log.writes()) {
    const long at = std::lround(1000 * testing::seconds_between(call, write.at));
    if (got.empty() || got.back().second != at) got.emplace_back("", at);
    got.back().first += write.bytes;
  }
  Progress expected_progress;
  std::size_t start = 0;
  for (const auto& [length, at] : c.writes) {
    expected.emplace_back(body.substr(start, length), at);
    start += length;
    if (length > 0) expected_progress.emplace_back(start, data.size());
  }
  expected.back().first += "\r\n";
  EXPECT_EQ(got, expected);
  EXPECT_EQ(progress, expected_progress);
}

using DownloadTimingTest = testing::QueryTableTest<DownloadCase>;

TEST_P(DownloadTimingTest, SendsTheHeaderThenTheDataAfterTheirPauses) {
  expect_download(*printer_, GetParam());
}

// Below 50000 bytes the data goes out in one write 0.5 s after the header; from 50000 on in
// packets of 50000 bytes, each 2.3 s after the write before it.
INSTANTIATE_TEST_SUITE_P(
    Sizes, DownloadTimingTest,
    ::testing::Values(DownloadCase{0, {{0, 800}}}, DownloadCase{49999, {{49999, 800}}},
                      DownloadCase{50000, {{50000, 2600}}},
                      DownloadCase{100001, {{50000, 2600}, {50000, 4900}, {1, 7200}}}),
    ::testing::PrintToStringParamName());

// A bad input: `spoil` turns a good file path and name into it.
struct BadInput : testing::NamedCase {
  std::function<void(const TempDir&, std::string& path, std::string& name)> spoil;
};

using DownloadRefusalTest = testing::QueryTableTest<BadInput>;

TEST_P(DownloadRefusalTest, WritesNothingAndReturnsMinusOne) {
  TempDir dir;
  std::string path = dir.write("good", {'x'});
  std::string name = "GOOD";
  GetParam().spoil(dir, path, name);
  bool reported = false;
  testing::WriteLog log;
  const auto start = Clock::now();
  EXPECT_EQ(printer_->downloadpcx(path, name, [&](std::size_t, std::size_t) { reported = true; }),
            -1);
  setfsuid(geteuid());                    // this process's own file rights again
  EXPECT_LT(testing::since(start), 0.3);  // refused before the first pause
  EXPECT_FALSE(reported);
  EXPECT_TRUE(log.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DownloadRefusalTest,
    ::testing::Values(
        BadInput{"Directory", [](auto& dir, auto& path, auto&) { path = dir.path(); }},
        BadInput{"NulInPath",
                 [](auto&, auto& path, auto&) { path += std::string("\0.ignored", 9); }},
        // Sparse, so it takes no disk space.
        BadInput{"TooLarge", [](auto&, auto& path,
                                auto&) { fs::resize_file(path, detail::kMaxDownloadBytes + 1); }},
        // Root reads any file: this thread then reads with the file rights of the user nobody,
        // and the look-up passes, so that the refusal comes from the read.
        BadInput{"Unreadable",
                 [](auto& dir, auto& path, auto&) {
                   fs::permissions(path, fs::perms::none);
                   fs::permissions(dir.path(), fs::perms::group_exec | fs::perms::others_exec,
                                   fs::perm_options::add);
                   if (geteuid() == 0) setfsuid(65534);
                 }},
        BadInput{"InvalidName", [](auto&, auto&, auto& name) { name = "A\xff"; }}),
    ::testing::PrintToStringParamName());

TEST(DownloadProfileTest, OneWriteProfileSendsAnySizeInOneWrite) {
  testing::LogCapture quiet;
  testing::FakePrinter fake;
  // The printer keeps a reference to its profile.
  const detail::Profile profile{.download_in_packets = false};
  testing::ProfiledPrinter printer(profile);
  ASSERT_TRUE(printer.open(fake.port()));
  expect_download(printer, {100001, {{100001, 800}}});
}

TEST(DownloadProfileTest, NeverOpenedReturnsOneAndReportsProgress) {
  TempDir dir;
  const auto path = dir.write("f", testing::patterned_bytes(10));
  WiFi printer{testing::env()};
  std::size_t calls = 0;
  EXPECT_EQ(printer.downloadpcx(path, "F", [&](std::size_t, std::size_t) { ++calls; }), 1);
  EXPECT_EQ(calls, 1u);
}

}  // namespace
}  // namespace quillkit
