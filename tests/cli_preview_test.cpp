// `quill preview` as a user runs it: label files and raw command streams become PNG files, the
// printer's log lines go to standard error, and the exit code tells whether a label printed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cli_test_helpers.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/temp_files.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

// In `args`, INPUT names a file holding `input` and DIR stands for the test's folder; "-" reads
// `input` from standard input. `out` and `err` are whole-output regular expressions. When
// `png.file` is given, that file in DIR is `width` x `height` dots with ink at (ink_x, ink_y) and a
// Code 128 symbol reading `barcode`.
struct Png {
  std::string file;
  int width = 0, height = 0, ink_x = 0, ink_y = 0;
  std::string barcode;
};
struct Case : clitest::CommandCase {
  std::string input;
  Png png;
};

Case ok(const char* name, std::vector<std::string> args, std::string input, std::string out,
        std::string err, Png png) {
  return {{name, std::move(args), 0, std::move(out), std::move(err)}, std::move(input), png};
}
Case failed(const char* name, std::vector<std::string> args, std::string input, int exit_code,
            std::string err) {
  return {{name, std::move(args), exit_code, "", std::move(err)}, std::move(input), {}};
}

using QuillPreviewTest = ::testing::TestWithParam<Case>;

TEST_P(QuillPreviewTest, WritesTheLabelAndExits) {
  const Case& c = GetParam();
  testing::TempDir dir;
  const auto input = dir.write("input", testing::bytes_of(c.input));
  const auto in_dir = [&](const std::string& s) {
    return std::regex_replace(s, std::regex("DIR"), dir.path().string());
  };
  std::vector<std::string> args{"preview"};
  for (const std::string& a : c.args) args.push_back(a == "INPUT" ? input : in_dir(a));
  const auto run = clitest::run_quill(args, "", input);
  clitest::expect_result(run, c, in_dir);
  if (c.png.file.empty()) return;
  const auto label = load_label_png(dir.path() / c.png.file);
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(std::pair(label->width, label->height), std::pair(c.png.width, c.png.height));
  EXPECT_TRUE(label->ink(c.png.ink_x, c.png.ink_y));
  EXPECT_EQ(vptest::decode(*label, ZXing::BarcodeFormat::Code128), c.png.barcode);
}

constexpr const char* kRaw =
    "SIZE 30 mm,20 mm\r\nCLS\r\nFROB 1,2\r\nBAR 0,150,240,4\r\n"
    "BARCODE 10,10,\"128\",60,1,0,2,2,\"PV-128\"\r\nPRINT 1,2\r\n";
constexpr const char* kLogged = "virtual printer: unknown command skipped: FROB 1,2\n";

INSTANTIATE_TEST_SUITE_P(
    Inputs, QuillPreviewTest,
    ::testing::Values(
        ok("raw_stream", {"INPUT", "-o", "DIR/out.png"}, kRaw,
           "DIR/out\\.png: 240 x 160 dots \\(30 x 20 mm at 203 dpi\\)\n", kLogged,
           {"out.png", 240, 160, 100, 151, "PV-128"}),
        ok("standard_input_every_label", {"-", "--all", "-o", "DIR"}, kRaw,
           "DIR/label-0001\\.png: 240 x 160 dots\nDIR/label-0002\\.png: 240 x 160 dots\n", kLogged,
           {"label-0002.png", 240, 160, 100, 151, "PV-128"}),
        ok("label_file_300_dpi", {"INPUT", "--dpi", "300", "-o", "DIR/l.png"},
           R"({"size": {"width": 30, "height": 20}, "elements": [
               {"kind": "barcode", "x": 10, "y": 10, "height": 90, "narrow": 3, "wide": 3,
                "data": "PV-JSON"},
               {"kind": "raw", "command": "BAR 0,200,360,6\r\n"}]})",
           "DIR/l\\.png: 360 x 240 dots \\(30 x 20 mm at 300 dpi\\)\n", "",
           {"l.png", 360, 240, 200, 203, "PV-JSON"}),
        failed("nothing_printed", {"INPUT"}, "SIZE 30 mm,20 mm\r\nCLS\r\nPRINT 0\r\n", 1,
               "(virtual printer: .*\n)*quill: no label printed .*\n"),
        failed("bad_label_file", {"INPUT"}, R"({"size": {"width": 1e400}})", 2,
               "quill: .*input: not valid JSON: number overflow .*\n"),
        failed("missing_input", {"DIR/none"}, "", 2, "quill: .*none: not a file\n"),
        failed("picture_option_on_commands", {"INPUT", "--fit", "fill"}, kRaw, 2,
               "quill: .*input: not a PNG, JPEG or PDF file \\(the picture options apply to "
               "pictures only\\)\n")),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillkit
