// Turning images (exact quarter turns, clipping at other angles), packing to one
// bit per dot, padding, and the BITMAP command bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/bitmap/packing.hpp"
#include "quillkit/bitmap/rotation.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "support/images.hpp"

namespace quillkit::bitmap {
namespace {

using testing::kClear;
using testing::kInk;
using testing::pixel_at;
using testing::set_pixel;

constexpr std::size_t kW = 40;
constexpr std::size_t kH = 29;
const Image kSource = testing::coordinate_image(kW, kH);

TEST(BitmapRotationTest, QuarterTurnsPlaceEveryPixelExactly) {
  for (const double degree : {90.0, 180.0, 270.0, 0.0, 360.0, -180.0}) {
    SCOPED_TRACE(degree);
    const Image turned = rotate_image(kSource, degree);
    const bool swapped = degree == 90 || degree == 270;
    ASSERT_EQ(std::pair(turned.width, turned.height),
              swapped ? std::pair(kH, kW) : std::pair(kW, kH));
    for (std::size_t r = 0; r < kH; ++r) {
      for (std::size_t c = 0; c < kW; ++c) {
        std::pair<std::size_t, std::size_t> at{c, r};  // 0 and 360
        if (degree == 90) at = {kH - 1 - r, c};
        if (degree == 180 || degree == -180) at = {kW - 1 - c, kH - 1 - r};
        if (degree == 270) at = {r, kW - 1 - c};
        ASSERT_EQ(pixel_at(turned, at.first, at.second), pixel_at(kSource, c, r)) << c << "," << r;
      }
    }
  }
}

// Angles that keep the canvas: the turn is clipped to it, uncovered corners are
// transparent and every other pixel is a copy of one source pixel (no blending).
TEST(BitmapRotationTest, OtherAnglesClipToTheCanvasWithoutBlending) {
  for (const double degree : {-90.0, 45.0, 450.0, 30.5}) {
    SCOPED_TRACE(degree);
    const Image turned = rotate_image(kSource, degree);
    ASSERT_EQ(std::pair(turned.width, turned.height), std::pair(kW, kH));
    std::set<testing::Pixel> seen;
    for (std::size_t i = 0; i < kW * kH; ++i) {
      const testing::Pixel p = pixel_at(turned, i % kW, i / kW);
      if (p == kClear) continue;
      // Each source pixel holds its own column in R and row in B.
      ASSERT_TRUE(p[0] < kW && p[2] < kH && p == pixel_at(kSource, p[0], p[2])) << i;
      seen.insert(p);
    }
    EXPECT_EQ(pixel_at(turned, 0, 0), kClear);
    EXPECT_EQ(pixel_at(turned, kW - 1, kH - 1), kClear);
    EXPECT_LT(seen.size(), kW * kH);  // part of the source is lost
    EXPECT_GT(seen.size(), kH * kH / 2);
  }
}

TEST(BitmapRotationTest, BadInputsGiveClearResultsAndPackToNothing) {
  EXPECT_EQ(rotate_image(kSource, std::nan("")).rgba, kSource.rgba);
  EXPECT_EQ(rotate_image(kSource, INFINITY).rgba, kSource.rgba);
  Image broken = kSource;
  broken.rgba.pop_back();
  EXPECT_TRUE(rotate_image(broken, 90).empty());
  EXPECT_TRUE(rotate_image(Image(), 90).rgba.empty());
  // Its byte count overflows size_t, whether size_t has 32 or 64 bits.
  constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max() / 2;
  const Image too_large(kHuge, kHuge);
  EXPECT_EQ(too_large.width + too_large.height + too_large.rgba.size(), 0u);
  EXPECT_TRUE(pack_bits(Image()).empty());
  EXPECT_TRUE(pack_bits(broken).empty());
}

// Any alpha is a dot and colour is ignored: random pixels, clear ones of any colour included.
TEST(BitmapPackBitsTest, MatchesThePixelRuleOnRandomImages) {
  std::mt19937 random(7);
  // Even and odd byte counts a row take both paths of the word-wide code.
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{832, 3}, {24, 4}, {13, 5}, {7, 2}}) {
    Image image(w, h);
    for (auto& byte : image.rgba) {
      const unsigned r = random() % 4;
      byte = r == 0 ? 0 : r == 1 ? 255 : static_cast<std::uint8_t>(random());
    }
    // Pixel by pixel: rows start on a byte, the last w % 8 pixels are dropped.
    Bytes reference((w / 8) * h, 0);
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t x = 0; x < (w / 8) * 8; ++x) {
        if (pixel_at(image, x, y)[3] == 0) reference[y * (w / 8) + x / 8] |= 0x80 >> (x % 8);
      }
    }
    EXPECT_EQ(pack_bits(image), reference) << w << " x " << h;
  }
}

// The BITMAP command at (x, y) for `image`, as text.
std::string command_text(std::intptr_t x, std::intptr_t y, const Image& image) {
  const Bytes command = bitmap_command(x, y, image);
  return {command.begin(), command.end()};
}

TEST(BitmapCommandTest, HeaderRasterAndLineEndAndTurnedTextIsPadded) {
  Image image(40, 29);
  set_pixel(image, 0, 0, kInk);
  std::string raster(5 * 29, '\xff');  // clear is 1, the leftmost pixel the top bit
  raster[0] = '\x7f';
  EXPECT_EQ(command_text(10, 20, image), "BITMAP 10,20,5,29,2," + raster + "\r\n");
  EXPECT_EQ(command_text(-3, -120, image), "BITMAP -3,-120,5,29,2," + raster + "\r\n");

  Image narrow(29, 40);  // 40 x 29 turned by 90 degrees, ink in its last column
  std::string padded;
  for (std::size_t y = 0; y < 40; ++y) {
    set_pixel(narrow, 28, y, kInk);
    padded += "\xff\xff\xff\xf7";
  }
  EXPECT_EQ(command_text(0, 0, narrow), "BITMAP 0,0,4,40,2," + padded + "\r\n");
}

TEST(BitmapCommandTest, WindowsfontStyleChoosesTheFaceAndUnderlineChangesNothing) {
  const auto host = testing::dejavu_host({"DejaVuSans.ttf", "DejaVuSans-Bold.ttf",
                                          "DejaVuSans-Oblique.ttf", "DejaVuSans-BoldOblique.ttf"});
  // Styles 0 to 3: plain, italic, bold, bold italic; others plain.
  const std::pair<std::intptr_t, const char*> styles[] = {
      {0, "DejaVuSans"},      {1, "DejaVuSans-Oblique"},
      {2, "DejaVuSans-Bold"}, {3, "DejaVuSans-BoldOblique"},
      {4, "DejaVuSans"},      {-1, "DejaVuSans"}};
  for (const auto& [style, face] : styles) {
    const Bytes expected = bitmap_command(12, 34, draw_text(*host, "Style 1", face, 28, 0));
    for (std::intptr_t underline : {0, 1, 2}) {
      EXPECT_EQ(
          windowsfont_command(*host, 12, 34, 28, 0, style, underline, "DejaVu Sans", "Style 1"),
          expected)
          << style << " " << underline;
    }
  }
}

}  // namespace
}  // namespace quillkit::bitmap
