// Image size from the measured text, and drawing with real fonts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quillkit/bitmap/rotation.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "quillkit/platform/font_host.hpp"
#include "quillkit/wifi.hpp"
#include "support/fontconfig_leak.hpp"
#include "support/images.hpp"

namespace quillkit::bitmap {
namespace {

using testing::ink_count;
using testing::kClear;
using testing::kInk;
using testing::pixel_at;

struct SizeCase {
  double width;
  double height;
  std::size_t expected_width;
  std::size_t expected_height;
};

class BitmapImageSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BitmapImageSizeTest, WidthIsNextMultipleOf8AboveTruncatedHeightIsTruncatedPlusOne) {
  const SizeCase& c = GetParam();
  const auto size = text_image_size(c.width, c.height);
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->width, c.expected_width);
  EXPECT_EQ(size->height, c.expected_height);
}

INSTANTIATE_TEST_SUITE_P(Measures, BitmapImageSizeTest,
                         ::testing::Values(SizeCase{16.0, 28.6, 24, 29}, SizeCase{0, 0, 8, 1},
                                           SizeCase{37.6, 29.0, 40, 30},
                                           SizeCase{39.9, 28.99, 40, 29}, SizeCase{7.99, 1.0, 8, 2},
                                           SizeCase{8.0, 0.5, 16, 1}, SizeCase{-3.5, -2.0, 8, 1},
                                           SizeCase{32759.9, 10, 32760, 11},
                                           SizeCase{8, 32766.5, 16, 32767}));

TEST(BitmapImageSizeTest, BeyondTheSurfaceBoundGivesNothing) {
  const double inf = std::numeric_limits<double>::infinity();
  for (auto [w, h] : {std::pair{32760.0, 10.0},
                      {8.0, 32767.0},
                      {inf, 10.0},
                      {10.0, inf},
                      {std::nan(""), 10.0},
                      {10.0, std::nan("")},
                      {16000.0, 8000.0}}) {
    EXPECT_FALSE(text_image_size(w, h).has_value()) << w << " x " << h;
  }
}

class BitmapDrawTextTest : public ::testing::Test {
 protected:
  platform::FontHost& host_ = platform::default_font_host();
};

TEST_F(BitmapDrawTextTest, ImageSizeFollowsTheMeasuredExtent) {
  for (const char* text : {"Hello, label!", "W", "iiii", "x y z 0123456789"}) {
    for (int size : {9, 24, 48}) {
      auto font = host_.open_font("DejaVu Sans", size);
      ASSERT_NE(font, nullptr);
      const platform::TextExtent extent = font->measure(text);
      const auto expected = text_image_size(extent.width, extent.height);
      ASSERT_TRUE(expected.has_value());
      const Image image = draw_text(host_, text, "DejaVu Sans", size, 0);
      EXPECT_EQ(image.width, expected->width) << text << " at " << size;
      EXPECT_EQ(image.height, expected->height) << text << " at " << size;
      // A line height that grows with the size, not a fixed box.
      EXPECT_GT(extent.height, size);
      EXPECT_LT(extent.height, 2.0 * size);
    }
  }
}

TEST_F(BitmapDrawTextTest, InkIsOpaqueBlackOnTransparentFromTheTopLeft) {
  const Image image = draw_text(host_, "Hello", "DejaVu Sans", 48, 0);
  std::size_t min_x = image.width, min_y = image.height;
  for (std::size_t y = 0; y < image.height; ++y) {
    for (std::size_t x = 0; x < image.width; ++x) {
      const auto p = pixel_at(image, x, y);
      ASSERT_TRUE(p == kInk || p == kClear) << x << "," << y;
      if (p == kInk) min_x = std::min(min_x, x), min_y = std::min(min_y, y);
    }
  }
  EXPECT_GT(ink_count(image), 500u);
  // "H" starts at its left side bearing, below the ascender's gap.
  EXPECT_LT(min_x, 8u);
  EXPECT_LT(min_y, 16u);
}

TEST_F(BitmapDrawTextTest, ChineseTextDrawsInkForEveryCharacter) {
  const std::string text =
      "\xe4\xb8\xad\xe6\x96\x87\xe6\xa0\x87\xe7\xad\xbe";  // four Han characters
  const Image image = draw_text(host_, text, "WenQuanYi Micro Hei", 40, 0);
  ASSERT_GE(image.width, 4u * 36u);
  // Each em-wide slot holds ink: the glyphs, not one missing-glyph box.
  for (std::size_t slot = 0; slot < 4; ++slot) {
    std::size_t ink = 0;
    for (std::size_t y = 0; y < image.height; ++y) {
      for (std::size_t x = slot * 40 + 4; x < slot * 40 + 36; ++x) {
        ink += pixel_at(image, x, y)[3] != 0;
      }
    }
    EXPECT_GT(ink, 100u) << "character " << slot;
  }
  // The same text in a face without Han glyphs draws different shapes.
  EXPECT_NE(image.rgba, draw_text(host_, text, "DejaVu Sans", 40, 0).rgba);
}

TEST_F(BitmapDrawTextTest, UnknownFontDrawsWithTheBestMatch) {
  const Image image = draw_text(host_, "Label", "No Such Font At All", 24, 0);
  EXPECT_GT(ink_count(image), 50u);
}

TEST_F(BitmapDrawTextTest, EmptyTextIsOneTransparentByteWide) {
  const Image image = draw_text(host_, "", "DejaVu Sans", 24, 0);
  EXPECT_EQ(image.width, 8u);
  EXPECT_GT(image.height, 24u);
  EXPECT_EQ(ink_count(image), 0u);
}

TEST_F(BitmapDrawTextTest, UnusableSizesGiveEightByOneTransparent) {
  // No font at size 0 or below; 40000 points is beyond the surface bound.
  for (std::intptr_t size : {0, -5, 40000}) {
    const Image image = draw_text(host_, "Hello", "DejaVu Sans", size, 0);
    EXPECT_EQ(image.width, 8u) << size;
    EXPECT_EQ(image.height, 1u) << size;
    EXPECT_EQ(ink_count(image), 0u) << size;
  }
  // Far too long for any surface, even at a small size.
  const Image long_line = draw_text(host_, std::string(2 << 20, 'x'), "DejaVu Sans", 2, 0);
  EXPECT_EQ(long_line.width, 8u);
  EXPECT_EQ(long_line.height, 1u);
}

TEST_F(BitmapDrawTextTest, RotationTurnsTheDrawnImage) {
  const Image upright = draw_text(host_, "Turn me", "DejaVu Sans", 20, 0);
  for (std::intptr_t rotation : {90, 180, 270, -90, 45}) {
    const Image turned = draw_text(host_, "Turn me", "DejaVu Sans", 20, rotation);
    EXPECT_EQ(turned.rgba, rotate_image(upright, rotation).rgba) << rotation;
  }
  const Image quarter = draw_text(host_, "Turn me", "DejaVu Sans", 20, 90);
  EXPECT_EQ(quarter.width, upright.height);
  EXPECT_EQ(quarter.height, upright.width);
}

TEST(BitmapPrinterDrawingTest, UnderlineChangesNothingAndRadiansArePiOver180) {
  WiFi printer;
  EXPECT_EQ(printer.fnDrawString("Under", "DejaVu Sans", 30, true, 0).rgba,
            printer.fnDrawString("Under", "DejaVu Sans", 30, false, 0).rgba);
  EXPECT_DOUBLE_EQ(printer.radians(180.0), M_PI);
  EXPECT_DOUBLE_EQ(printer.radians(-90.0), -M_PI / 2);
  EXPECT_EQ(printer.fnFindFontWithName("DejaVu Sans", true, false), "DejaVuSans-Bold");
}

}  // namespace
}  // namespace quillkit::bitmap
