// `quill serve` as a process: labels sent to it with `quill send` or `quill print-image` become PNG
// files, and SIGINT or SIGTERM stops it cleanly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "cli_test_helpers.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/temp_files.hpp"

namespace quillkit {
namespace {

using namespace std::chrono_literals;

// `quill serve --out OUT` on a free port, once it said so; `port` is empty when it did not.
struct Served {
  clitest::ChildProcess process;
  std::string port;

  explicit Served(const std::filesystem::path& out)
      : process({clitest::kQuill, "serve", "--port", "0", "--out", out.string()}) {
    const auto banner = process.read_line(10s);
    std::smatch match;
    if (banner && std::regex_match(*banner, match,
                                   std::regex("serving a 203 dpi virtual printer on "
                                              "127\\.0\\.0\\.1:([0-9]+), labels in (.*)"))) {
      EXPECT_EQ(match[2].str(), out.string());
      port = match[1].str();
    }
    EXPECT_NE(port, "") << banner.value_or("(no line)");
  }
};

std::string file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

using QuillServeTest = ::testing::TestWithParam<int>;

TEST_P(QuillServeTest, SavesEachLabelAndStopsOnTheSignal) {
  testing::TempDir dir;
  const auto out = dir.path() / "labels";
  Served served(out);
  ASSERT_NE(served.port, "");
  auto& serve = served.process;
  const auto sent =
      clitest::run_quill({"send", "--wifi", "127.0.0.1:" + served.port,
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

// A picture printed on the served printer is, bit for bit, what `quill preview` shows of it.
TEST(QuillServe, PrintImageMatchesItsPreview) {
  testing::TempDir dir;
  const auto out = dir.path() / "labels";
  Served served(out);
  ASSERT_NE(served.port, "");
  const std::vector<std::string> picture{QUILLKIT_TEST_PICTURES_DIR "/logo.png",
                                         "--width",
                                         "16",
                                         "--height",
                                         "8",
                                         "--dither",
                                         "floyd-steinberg"};
  std::vector<std::string> print{"print-image", "--wifi", "127.0.0.1:" + served.port};
  print.insert(print.end(), picture.begin(), picture.end());
  const auto printed = clitest::run_quill(print);
  ASSERT_EQ(printed.exit_code, 0) << printed.err;
  const auto png = out / "label-0001.png";
  EXPECT_EQ(served.process.read_line(10s), "label 1: " + png.string() + " (128 x 64 dots)");

  std::vector<std::string> preview{"preview", "-o", (dir.path() / "preview.png").string()};
  preview.insert(preview.end(), picture.begin(), picture.end());
  const auto previewed = clitest::run_quill(preview);
  ASSERT_EQ(previewed.exit_code, 0) << previewed.err;
  const std::string bytes = file_bytes(png);
  EXPECT_GT(bytes.size(), 0u);
  EXPECT_EQ(bytes, file_bytes(dir.path() / "preview.png"));
}

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
