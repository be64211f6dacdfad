// Image size from the measured text, and drawing with real fonts.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "quillkit/bitmap/rotation.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "quillkit/wifi.hpp"
#include "support/fontconfig_leak.hpp"
#include "support/images.hpp"

namespace quillkit::bitmap {
namespace {

using testing::ink_count;
using testing::pixel_at;

// Measured width and height, and the image size they give (0 by 0: beyond the
// surface bound, no image of that size).
struct SizeCase {
  double width, height;
  std::size_t expected_width, expected_height;
};

class BitmapImageSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BitmapImageSizeTest, NextMultipleOf8AboveAndTruncatedPlusOne) {
  const auto size = text_image_size(GetParam().width, GetParam().height).value_or(ImageSize{});
  EXPECT_EQ(size.width, GetParam().expected_width);
  EXPECT_EQ(size.height, GetParam().expected_height);
}

INSTANTIATE_TEST_SUITE_P(Measures, BitmapImageSizeTest,
                         ::testing::Values(SizeCase{16.0, 28.6, 24, 29}, SizeCase{0, 0, 8, 1},
                                           SizeCase{37.6, 29.0, 40, 30},
                                           SizeCase{39.9, 28.99, 40, 29},
                                           SizeCase{-3.5, -2.0, 8, 1},
                                           SizeCase{32759.9, 10, 32760, 11},
                                           SizeCase{32760, 10, 0, 0}, SizeCase{8, 32767, 0, 0},
                                           SizeCase{16000, 8000, 0, 0}, SizeCase{INFINITY, 1, 0, 0},
                                           SizeCase{std::nan(""), 1, 0, 0}));

class BitmapDrawTextTest : public ::testing::Test {
 protected:
  platform::FontHost& host_ = platform::default_font_host();
};

TEST_F(BitmapDrawTextTest, SizeFollowsTheMeasureAndInkIsBlackFromTheTopLeft) {
  for (int size : {9, 48}) {
    const platform::TextExtent extent = host_.open_font("DejaVu Sans", size)->measure("Hello");
    EXPECT_GT(extent.height, size);
    EXPECT_LT(extent.height, 2.0 * size);
    const Image image = draw_text(host_, "Hello", "DejaVu Sans", size, 0);
    EXPECT_EQ(image.width, text_image_size(extent.width, extent.height)->width);
    EXPECT_EQ(image.height, text_image_size(extent.width, extent.height)->height);
    std::size_t min_x = image.width, min_y = image.height;
    for (std::size_t y = 0; y < image.height; ++y) {
      for (std::size_t x = 0; x < image.width; ++x) {
        const auto p = pixel_at(image, x, y);
        ASSERT_TRUE(p == testing::kInk || p == testing::kClear) << x << "," << y;
        if (p == testing::kInk) min_x = std::min(min_x, x), min_y = std::min(min_y, y);
      }
    }
    EXPECT_GT(ink_count(image), std::size_t(size) * 5);
    EXPECT_LT(min_x, 1u + size / 8);  // the left side bearing of "H"
    EXPECT_LT(min_y, 1u + size / 3);  // the gap above the capitals
  }
}

TEST_F(BitmapDrawTextTest, ChineseTextDrawsEveryCharacter) {
  const std::string text = "\xe4\xb8\xad\xe6\x96\x87\xe6\xa0\x87\xe7\xad\xbe";  // four Han
  const Image image = draw_text(host_, text, "WenQuanYi Micro Hei", 40, 0);
  ASSERT_GE(image.width, 4u * 36u);
  for (std::size_t slot = 0; slot < 4; ++slot) {  // ink in every em-wide slot
    std::size_t ink = 0;
    for (std::size_t y = 0; y < image.height; ++y) {
      for (std::size_t x = slot * 40 + 4; x < slot * 40 + 36; ++x) ink += pixel_at(image, x, y)[3];
    }
    EXPECT_GT(ink, 100u * 255) << "character " << slot;
  }
}

TEST_F(BitmapDrawTextTest, UnknownFontsDrawAndUnusableSizesGiveEightByOne) {
  EXPECT_GT(ink_count(draw_text(host_, "Label", "No Such Font At All", 24, 0)), 50u);
  const auto blank_8_by_1 = [](const Image& image) {
    return image.width == 8 && image.height == 1 && ink_count(image) == 0;
  };
  // No font at size 0 or below; 40000 points and 2 MiB of text are beyond the
  // surface bound.
  for (std::intptr_t size : {0, -5, 40000}) {
    EXPECT_TRUE(blank_8_by_1(draw_text(host_, "Hello", "DejaVu Sans", size, 0))) << size;
  }
  EXPECT_TRUE(blank_8_by_1(draw_text(host_, std::string(2 << 20, 'x'), "DejaVu Sans", 2, 0)));
}

TEST_F(BitmapDrawTextTest, RotationTurnsTheDrawnImageAndUnderlineChangesNothing) {
  const Image upright = draw_text(host_, "Turn me", "DejaVu Sans", 20, 0);
  EXPECT_EQ(draw_text(host_, "Turn me", "DejaVu Sans", 20, 90).rgba,
            rotate_image(upright, 90).rgba);
  WiFi printer;
  EXPECT_EQ(printer.fnDrawString("Turn me", "DejaVu Sans", 20, true, 0).rgba, upright.rgba);
  EXPECT_EQ(printer.fnFindFontWithName("DejaVu Sans", true, false), "DejaVuSans-Bold");
  EXPECT_DOUBLE_EQ(printer.radians(-90.0), -M_PI / 2);
}

TEST_F(BitmapDrawTextTest, ThreadsDrawAtTheSameTimeAlike) {
  const Image expected = draw_text(host_, "Same", "DejaVu Serif", 16, 0);
  std::vector<std::jthread> threads;
  std::vector<int> matches(4);
  for (int& match : matches) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        match += draw_text(host_, "Same", "DejaVu Serif", 16, 0).rgba == expected.rgba;
      }
    });
  }
  threads.clear();
  EXPECT_EQ(matches, std::vector<int>(4, 5));
}

}  // namespace
}  // namespace quillkit::bitmap
