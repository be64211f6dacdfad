// Turning images: exact quarter turns, clipping at other angles.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>

#include "quillkit/bitmap/rotation.hpp"
#include "support/images.hpp"

namespace quillkit::bitmap {
namespace {

using testing::coordinate_image;
using testing::kClear;
using testing::Pixel;
using testing::pixel_at;

constexpr std::size_t kW = 40;
constexpr std::size_t kH = 29;

struct QuarterCase {
  double degree;
  std::size_t width;
  std::size_t height;
  // Where source pixel (column, row) lands.
  std::function<std::pair<std::size_t, std::size_t>(std::size_t, std::size_t)> lands;
};

class BitmapQuarterTurnTest : public ::testing::TestWithParam<QuarterCase> {};

TEST_P(BitmapQuarterTurnTest, EveryPixelLandsExactly) {
  const QuarterCase& c = GetParam();
  const Image source = coordinate_image(kW, kH);
  const Image turned = rotate_image(source, c.degree);
  ASSERT_EQ(turned.width, c.width);
  ASSERT_EQ(turned.height, c.height);
  for (std::size_t r = 0; r < kH; ++r) {
    for (std::size_t col = 0; col < kW; ++col) {
      const auto [x, y] = c.lands(col, r);
      ASSERT_EQ(pixel_at(turned, x, y), pixel_at(source, col, r)) << col << "," << r;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Angles, BitmapQuarterTurnTest,
                         ::testing::Values(QuarterCase{90.0, kH, kW,
                                                       [](auto c, auto r) {
                                                         return std::pair{kH - 1 - r, c};
                                                       }},
                                           QuarterCase{180.0, kW, kH,
                                                       [](auto c, auto r) {
                                                         return std::pair{kW - 1 - c, kH - 1 - r};
                                                       }},
                                           QuarterCase{270.0, kH, kW,
                                                       [](auto c, auto r) {
                                                         return std::pair{r, kW - 1 - c};
                                                       }},
                                           QuarterCase{0.0, kW, kH,
                                                       [](auto c, auto r) {
                                                         return std::pair{c, r};
                                                       }},
                                           QuarterCase{360.0, kW, kH,
                                                       [](auto c, auto r) {
                                                         return std::pair{c, r};
                                                       }},
                                           QuarterCase{-180.0, kW, kH, [](auto c, auto r) {
                                                         return std::pair{kW - 1 - c, kH - 1 - r};
                                                       }}));

TEST(BitmapRotationTest, NinetyPutsTheTopLeftPixelTopRight) {
  Image source(kW, kH);
  testing::set_pixel(source, 0, 0, testing::kInk);
  const Image turned = rotate_image(source, 90.0);
  EXPECT_EQ(pixel_at(turned, kH - 1, 0), testing::kInk);
  EXPECT_EQ(testing::ink_count(turned), 1u);
}

// Angles that keep the canvas: the turned image is clipped to it, the corners
// the source does not cover are transparent, and every other pixel is a copy
// of one source pixel.
class BitmapSameCanvasTurnTest : public ::testing::TestWithParam<double> {};

TEST_P(BitmapSameCanvasTurnTest, ClipsToTheCanvasWithoutBlending) {
  const Image source = coordinate_image(kW, kH);
  std::set<Pixel> source_pixels;
  for (std::size_t y = 0; y < kH; ++y) {
    for (std::size_t x = 0; x < kW; ++x) source_pixels.insert(pixel_at(source, x, y));
  }
  const Image turned = rotate_image(source, GetParam());
  ASSERT_EQ(turned.width, kW);
  ASSERT_EQ(turned.height, kH);
  std::size_t copied = 0;
  std::set<Pixel> seen;
  for (std::size_t y = 0; y < kH; ++y) {
    for (std::size_t x = 0; x < kW; ++x) {
      const Pixel p = pixel_at(turned, x, y);
      if (p == kClear) continue;
      ASSERT_TRUE(source_pixels.count(p)) << x << "," << y;
      seen.insert(p);
      ++copied;
    }
  }
  // Corners stay transparent; the 29-pixel-high source cannot cover them.
  EXPECT_EQ(pixel_at(turned, 0, 0), kClear);
  EXPECT_EQ(pixel_at(turned, kW - 1, kH - 1), kClear);
  // Part of the source is lost off the canvas.
  EXPECT_LT(seen.size(), kW * kH);
  EXPECT_GT(copied, kH * kH / 2);
}

INSTANTIATE_TEST_SUITE_P(Angles, BitmapSameCanvasTurnTest,
                         ::testing::Values(-90.0, 45.0, 450.0, 30.5));

TEST(BitmapRotationTest, MinusNinetyOnTheSameCanvasMovesWholePixels) {
  // Counter-clockwise about the centre (20, 14.5) of the 40 x 29 canvas: the
  // source's top row runs up the canvas column 5, and what falls off the
  // canvas (source columns 0 to 5 and 35 to 39) is lost.
  const Image source = coordinate_image(kW, kH);
  const Image turned = rotate_image(source, -90.0);
  ASSERT_EQ(turned.width, kW);
  ASSERT_EQ(turned.height, kH);
  for (std::size_t y = 0; y < kH; ++y) {
    for (std::size_t x = 0; x < kW; ++x) {
      const Pixel expected = (x >= 5 && x < 5 + kH) ? pixel_at(source, 34 - y, x - 5) : kClear;
      ASSERT_EQ(pixel_at(turned, x, y), expected) << x << "," << y;
    }
  }
}

TEST(BitmapRotationTest, BadInputsGiveClearResults) {
  const Image source = coordinate_image(8, 4);
  EXPECT_EQ(rotate_image(source, std::nan("")).rgba, source.rgba);
  EXPECT_EQ(rotate_image(source, INFINITY).rgba, source.rgba);
  Image broken = source;
  broken.rgba.pop_back();
  EXPECT_TRUE(rotate_image(broken, 90).empty());
  const Image empty = rotate_image(Image(), 90);
  EXPECT_TRUE(empty.empty());
  EXPECT_TRUE(empty.rgba.empty());
}

TEST(BitmapRotationTest, RadiansArePiOver180) {
  EXPECT_DOUBLE_EQ(degrees_to_radians(180.0), M_PI);
  EXPECT_DOUBLE_EQ(degrees_to_radians(45.0), M_PI / 4);
  EXPECT_EQ(degrees_to_radians(0.0), 0.0);
}

}  // namespace
}  // namespace quillkit::bitmap
