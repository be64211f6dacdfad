// `quill serve` as a process: labels sent to it with `quill send` become PNG files, and SIGINT or
// SIGTERM stops it cleanly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <string>

#include "cli_test_helpers.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/temp_files.hpp"

namespace quillkit {
namespace {

using namespace std::chrono_literals;

using QuillServeTest = ::testing::TestWithParam<int>;

TEST_P(QuillServeTest, SavesEachLabelAndStopsOnTheSignal) {
  testing::TempDir dir;
  const auto out = dir.path() / "labels";
  clitest::ChildProcess serve({clitest::kQuill, "serve", "--port", "0", "--out", out.string()});
  const auto banner = serve.read_line(10s);
  std::smatch match;
  ASSERT_TRUE(banner && std::regex_match(*banner, match,
                                         std::regex("serving a 203 dpi virtual printer on "
                                                    "127\\.0\\.0\\.1:([0-9]+), labels in (.*)")))
      << banner.value_or("(no line)");
  EXPECT_EQ(match[2].str(), out.string());

  const auto sent =
      clitest::run_quill({"send", "--wifi", "127.0.0.1:" + match[1].str(),
                          "SIZE 30 mm,20 mm\\r\\nCLS\\r\\nBAR 10,10,100,20\\r\\nPRINT 1,1\\r\\n"});
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  const auto png = out / "label-0001.png";
  EXPECT_EQ(serve.read_line(10s), "label 1: " + png.string() + " (240 x 160 dots)");
  const auto label = load_label_png(png);
  ASSERT_TRUE(label.has_value());
  EXPECT_TRUE(label->ink(50, 20));
  EXPECT_FALSE(label->ink(50, 40));

  serve.send_signal(GetParam());
  const auto stopped = serve.wait(5s);
  EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
  EXPECT_EQ(stopped.out, "stopped after 1 label(s)\n");
  EXPECT_EQ(stopped.err, "");
}

INSTANTIATE_TEST_SUITE_P(Signals, QuillServeTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                           return info.param == SIGINT ? "SIGINT" : "SIGTERM";
                         });

TEST(QuillServe, PortInUseExitsOneWithTheReason) {
  VirtualPrinter printer;
  VirtualPrinterServer taken(printer);
  ASSERT_TRUE(taken.start());
  testing::TempDir dir;
  const auto run = clitest::run_quill(
      {"serve", "--port", std::to_string(taken.port()), "--out", (dir.path() / "labels").string()});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(run.err, ::testing::MatchesRegex("quill: cannot serve on 127\\.0\\.0\\.1: .+\n"));
}

}  // namespace
}  // namespace quillkit
