// The file download over a real TCP connection to the fake printer: header,
// data and trailer bytes, pauses, refusals and the one-write profile.
#include "quillkit/commands/download.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/query_support.hpp"
#include "support/temp_files.hpp"
#include "support/wifi_suite.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::FakePrinter;
using testing::patterned_bytes;
using testing::seconds_between;
using testing::since;
using testing::TempDir;
using Progress = std::vector<std::pair<std::size_t, std::size_t>>;

// Downloads `data` and checks the header, its name in Big5-HKSCS and unescaped,
// arrives alone no sooner than 0.3 s after the call, the data (or, for no
// data, the trailer) no sooner than 0.8 s with no packet pause inside it, and
// the trailer last.
void expect_single_write_download(Printer& printer, FakePrinter& fake, const Bytes& data) {
  TempDir dir;
  const auto path = dir.write("logo.pcx", data);
  Progress progress;
  // U+9AD4 and U+3435 (in HKSCS, not in plain Big5), a quote and a comma.
  const std::string name = "\xe9\xab\x94\xe3\x90\xb5\"A,B";
  const auto start = Clock::now();
  EXPECT_EQ(printer.downloadpcx(
                path, name,
                [&](std::size_t sent, std::size_t total) { progress.emplace_back(sent, total); }),
            1);
  const std::string header =
      "DOWNLOAD F,\"\xc5\xe9\x92\x77\"A,B\"," + std::to_string(data.size()) + ",";
  const std::string expected = header + std::string(data.begin(), data.end()) + "\r\n";
  EXPECT_TRUE(fake.wait_for_bytes(expected.size()));
  EXPECT_EQ(fake.received(), expected);
  EXPECT_EQ(progress, (data.empty() ? Progress{} : Progress{{data.size(), data.size()}}));

  const auto chunks = fake.chunks();
  ASSERT_GE(chunks.size(), 2u) << "header and data arrived together";
  EXPECT_EQ(std::string(chunks[0].bytes.begin(), chunks[0].bytes.end()), header);
  // Compared with the call, so that a late receipt cannot pass for a pause.
  EXPECT_GE(seconds_between(start, chunks[0].at), 0.3);
  EXPECT_GE(seconds_between(start, chunks[1].at), 0.8);
  // A packet round would pause 2.3 s inside the data.
  EXPECT_LT(seconds_between(chunks[1].at, chunks.back().at), 1.5);
}

using DownloadTest = testing::WiFiSuite;

class DownloadSizeTest : public DownloadTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(DownloadSizeTest, BelowPacketSizeGoesOutInOneWrite) {
  expect_single_write_download(*printer_, *fake_, patterned_bytes(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownloadSizeTest, ::testing::Values(0, 1, 49999));

// A bad input: `spoil` turns a good file path and name into it.
struct BadInput {
  const char* name;
  std::function<void(const TempDir&, std::string& path, std::string& name)> spoil;
  friend void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }
};

class DownloadRefusalTest : public DownloadTest, public ::testing::WithParamInterface<BadInput> {
 protected:
  // Runs the current test in a copy of this program as the user nobody and expects it to pass.
  static void expect_passes_unprivileged() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string command =
        "setpriv --reuid=65534 --regid=65534 --clear-groups "
        "/proc/" +
        std::to_string(getpid()) + "/exe --gtest_filter=" + test->test_suite_name() + "." +
        test->name() + " 2>&1";
    std::string output;
    if (FILE* child = popen(command.c_str(), "r")) {
      char buffer[4096];
      for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, child)) > 0;)
        output.append(buffer, n);
      EXPECT_EQ(pclose(child), 0) << output;
    }
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
    EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
  }
};

TEST_P(DownloadRefusalTest, WritesNothingAndReturnsMinusOne) {
  TempDir dir;
  std::string path = dir.write("good", {'x'});
  std::string name = "GOOD";
  // Root reads any file: the case then runs in this program again as an unprivileged user.
  if (GetParam().name == std::string("Unreadable") && geteuid() == 0) {
    return expect_passes_unprivileged();
  }
  GetParam().spoil(dir, path, name);
  bool reported = false;
  const auto start = Clock::now();
  EXPECT_EQ(printer_->downloadpcx(path, name, [&](std::size_t, std::size_t) { reported = true; }),
            -1);
  EXPECT_LT(since(start), 0.3);  // refused before the first pause
  EXPECT_FALSE(reported);
  ASSERT_EQ(printer_->formfeed(), 1);
  ASSERT_TRUE(fake_->wait_for_bytes(10));
  EXPECT_EQ(fake_->received(), "FORMFEED\r\n");
}

namespace fs = std::filesystem;
INSTANTIATE_TEST_SUITE_P(
    Inputs, DownloadRefusalTest,
    ::testing::Values(
        BadInput{"Missing", [](auto& dir, auto& path, auto&) { path = dir.path() / "missing"; }},
        BadInput{"Directory", [](auto& dir, auto& path, auto&) { path = dir.path(); }},
        BadInput{"NulInPath",
                 [](auto&, auto& path, auto&) { path += std::string("\0.ignored", 9); }},
        // Sparse, so it takes no disk space.
        BadInput{"TooLarge", [](auto&, auto& path,
                                auto&) { fs::resize_file(path, detail::kMaxDownloadBytes + 1); }},
        BadInput{"Unreadable",
                 [](auto&, auto& path, auto&) { fs::permissions(path, fs::perms::none); }},
        // Not in Big5-HKSCS.
        BadInput{"EmojiName", [](auto&, auto&, auto& name) { name = "A\xf0\x9f\x98\x80"; }},
        BadInput{"InvalidName", [](auto&, auto&, auto& name) { name = "A\xff"; }}),
    ::testing::PrintToStringParamName());

TEST(DownloadProfileTest, OneWriteProfileSendsAnySizeInOneWrite) {
  const detail::Profile one_write{.download_in_packets = false};
  testing::LogCapture quiet;
  FakePrinter fake;
  testing::ProfiledPrinter printer(one_write);
  ASSERT_TRUE(printer.open(fake.port()));
  expect_single_write_download(printer, fake, patterned_bytes(100001));
}

TEST(DownloadProfileTest, NeverOpenedReturnsOneAndReportsProgress) {
  TempDir dir;
  const auto path = dir.write("f", patterned_bytes(10));
  WiFi printer;
  std::size_t calls = 0;
  EXPECT_EQ(printer.downloadpcx(path, "F", [&](std::size_t, std::size_t) { ++calls; }), 1);
  EXPECT_EQ(calls, 1u);
}

}  // namespace
}  // namespace quillkit
