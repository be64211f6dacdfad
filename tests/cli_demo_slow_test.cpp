// `quill demo`, the README's main job: a sample label printed on the in-process virtual printer,
// saved as PNG, and the printer's answers.
#include <gtest/gtest.h>

#include <string>

#include "cli_test_helpers.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/temp_files.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

TEST(QuillDemo, PrintsTheSampleLabelWithAReadableBarcode) {
  testing::TempDir dir;
  // A folder that does not exist yet is made.
  const auto png = dir.path() / "new" / "demo.png";
  const auto run = clitest::ChildProcess({clitest::kQuill, "demo", "--png", png.string()})
                       .wait(std::chrono::seconds(60));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "label: " + png.string() +
                         " (480 x 320 dots, 60 x 40 mm at 203 dpi)\n"
                         "model name: QUILLKIT VP-203\n"
                         "serial number: VP0000000001\n"
                         "status: ready (status byte 0x00)\n");

  const auto label = load_label_png(png);
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(vptest::decode(*label, ZXing::BarcodeFormat::Code128), "QUILLKIT-0001");
  // Title, host-font line, both Chinese lines and the turned text along the right edge.
  for (const auto& [top, bottom] : {std::pair{0, 50}, {170, 205}, {210, 245}, {250, 300}}) {
    EXPECT_FALSE(vptest::ink_box(*label, 0, top, 430, bottom).empty) << top;
  }
  const auto turned = vptest::ink_box(*label, 440, 0, 480, 320);
  EXPECT_GT(turned.height(), 3 * turned.width());
}

}  // namespace
}  // namespace quillkit
