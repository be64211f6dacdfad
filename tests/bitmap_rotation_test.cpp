// Turning images: exact quarter turns, clipping at other angles.
#include <gtest/gtest.h>

#include <cmath>
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

class BitmapQuarterTurnTest : public ::testing::TestWithParam<double> {};

TEST_P(BitmapQuarterTurnTest, EveryPixelLandsExactly) {
  const double degree = GetParam();
  const Image source = coordinate_image(kW, kH);
  const Image turned = rotate_image(source, degree);
  const bool swapped = degree == 90 || degree == 270;
  ASSERT_EQ(turned.width, swapped ? kH : kW);
  ASSERT_EQ(turned.height, swapped ? kW : kH);
  for (std::size_t r = 0; r < kH; ++r) {
    for (std::size_t c = 0; c < kW; ++c) {
      std::pair<std::size_t, std::size_t> at{c, r};  // 0 and 360
      if (degree == 90) at = {kH - 1 - r, c};
      if (degree == 180 || degree == -180) at = {kW - 1 - c, kH - 1 - r};
      if (degree == 270) at = {r, kW - 1 - c};
      ASSERT_EQ(pixel_at(turned, at.first, at.second), pixel_at(source, c, r)) << c << "," << r;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Angles, BitmapQuarterTurnTest,
                         ::testing::Values(90.0, 180.0, 270.0, 0.0, 360.0, -180.0));

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
  std::set<Pixel> seen;
  for (std::size_t y = 0; y < kH; ++y) {
    for (std::size_t x = 0; x < kW; ++x) {
      const Pixel p = pixel_at(turned, x, y);
      if (p == kClear) continue;
      ASSERT_TRUE(source_pixels.count(p)) << x << "," << y;
      seen.insert(p);
    }
  }
  EXPECT_EQ(pixel_at(turned, 0, 0), kClear);
  EXPECT_EQ(pixel_at(turned, kW - 1, kH - 1), kClear);
  EXPECT_LT(seen.size(), kW * kH);  // part of the source is lost
  EXPECT_GT(seen.size(), kH * kH / 2);
}

INSTANTIATE_TEST_SUITE_P(Angles, BitmapSameCanvasTurnTest,
                         ::testing::Values(-90.0, 45.0, 450.0, 30.5));

TEST(BitmapRotationTest, BadInputsGiveClearResults) {
  const Image source = coordinate_image(8, 4);
  EXPECT_EQ(rotate_image(source, std::nan("")).rgba, source.rgba);
  EXPECT_EQ(rotate_image(source, INFINITY).rgba, source.rgba);
  Image broken = source;
  broken.rgba.pop_back();
  EXPECT_TRUE(rotate_image(broken, 90).empty());
  EXPECT_TRUE(rotate_image(Image(), 90).rgba.empty());
  const Image too_large(std::size_t{1} << 40, std::size_t{1} << 40);
  EXPECT_EQ(too_large.width + too_large.height + too_large.rgba.size(), 0u);
}

}  // namespace
}  // namespace quillkit::bitmap
