// Packing to one bit per dot, padding, and the BITMAP command bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/bitmap/packing.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "support/images.hpp"

namespace quillkit::bitmap {
namespace {

using testing::coordinate_image;
using testing::kClear;
using testing::kInk;
using testing::Pixel;
using testing::pixel_at;
using testing::set_pixel;

// The packing rule pixel by pixel, as the reference for the word-wide code
// (widths of an even and an odd number of bytes take both of its paths).
Bytes pack_reference(const Image& image) {
  Bytes out((image.width / 8) * image.height, 0);
  for (std::size_t y = 0; y < image.height; ++y) {
    for (std::size_t x = 0; x < (image.width / 8) * 8; ++x) {
      if (pixel_at(image, x, y)[3] == 0) out[y * (image.width / 8) + x / 8] |= 0x80 >> (x % 8);
    }
  }
  return out;
}

struct RowCase {
  std::string name;
  std::vector<Pixel> row;  // 8 pixels
  std::uint8_t expected;
};

class BitmapPackRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(BitmapPackRowTest, AlphaZeroIsOneLeftmostIsMostSignificant) {
  Image image(8, 1);
  for (std::size_t x = 0; x < 8; ++x) set_pixel(image, x, 0, GetParam().row[x]);
  EXPECT_EQ(pack_bits(image), Bytes{GetParam().expected});
}

const Pixel kFaint{255, 255, 255, 1};
const Pixel kColouredClear{255, 10, 200, 0};

INSTANTIATE_TEST_SUITE_P(
    Rows, BitmapPackRowTest,
    ::testing::Values(RowCase{"AllClear", std::vector<Pixel>(8, kClear), 0xFF},
                      RowCase{"AllInk", std::vector<Pixel>(8, kInk), 0x00},
                      RowCase{"FirstPixelOnly",
                              {kInk, kClear, kClear, kClear, kClear, kClear, kClear, kClear},
                              0x7F},
                      RowCase{"LastPixelOnly",
                              {kClear, kClear, kClear, kClear, kClear, kClear, kClear, kInk},
                              0xFE},
                      RowCase{"FaintAlphaPrints",
                              {kFaint, kClear, kFaint, kClear, kClear, kClear, kClear, kClear},
                              0x5F},
                      RowCase{"ColourIsIgnored", std::vector<Pixel>(8, kColouredClear), 0xFF}),
    [](const auto& info) { return info.param.name; });

TEST(BitmapPackBitsTest, MatchesThePixelRuleOnRandomImages) {
  std::mt19937 random(7);
  for (auto [w, h] :
       {std::pair<std::size_t, std::size_t>{64, 9}, {832, 3}, {24, 4}, {13, 5}, {7, 2}}) {
    Image image(w, h);
    for (auto& byte : image.rgba) {
      // Mostly 0 and 255, with every other value now and then.
      const unsigned r = random() % 4;
      byte = r == 0 ? 0 : r == 1 ? 255 : static_cast<std::uint8_t>(random());
    }
    EXPECT_EQ(pack_bits(image), pack_reference(image)) << w << " x " << h;
  }
}

TEST(BitmapPackBitsTest, RowsStartOnByteBoundariesAndDropTheRemainder) {
  Image image(13, 2);  // 1 byte a row; pixels 8 to 12 are dropped
  set_pixel(image, 0, 1, kInk);
  for (std::size_t x = 8; x < 13; ++x) set_pixel(image, x, 0, kInk);
  EXPECT_EQ(pack_bits(image), (Bytes{0xFF, 0x7F}));
}

TEST(BitmapPackBitsTest, NoBitmapGivesNoBytes) {
  EXPECT_TRUE(pack_bits(Image()).empty());
  EXPECT_TRUE(pack_bits(Image(7, 3)).empty());
  Image broken(16, 2);
  broken.rgba.resize(10);
  EXPECT_TRUE(pack_bits(broken).empty());
}

TEST(BitmapPadTest, WidensToAByteWithClearPixelsAndKeepsTheRest) {
  const Image source = coordinate_image(29, 40);
  const Image padded = pad_to_byte_width(source);
  ASSERT_EQ(padded.width, 32u);
  ASSERT_EQ(padded.height, 40u);
  for (std::size_t y = 0; y < 40; ++y) {
    for (std::size_t x = 0; x < 32; ++x) {
      EXPECT_EQ(pixel_at(padded, x, y), x < 29 ? pixel_at(source, x, y) : kClear);
    }
  }
  EXPECT_EQ(pad_to_byte_width(padded).rgba, padded.rgba);
}

std::string text_of(const Bytes& bytes, std::size_t from, std::size_t count) {
  return std::string(bytes.begin() + from, bytes.begin() + from + count);
}

TEST(BitmapCommandTest, FortyByTwentyNineIsHeaderRasterAndLineEnd) {
  Image image(40, 29);
  set_pixel(image, 0, 0, kInk);
  const Bytes command = bitmap_command(10, 20, image);
  const std::string header = "BITMAP 10,20,5,29,2,";
  ASSERT_EQ(header.size(), 20u);
  ASSERT_EQ(command.size(), 167u);
  EXPECT_EQ(text_of(command, 0, 20), header);
  EXPECT_EQ(Bytes(command.begin() + 20, command.end() - 2), pack_bits(image));
  EXPECT_EQ(command[20], 0x7F);
  EXPECT_EQ(text_of(command, 165, 2), "\r\n");
}

TEST(BitmapCommandTest, NegativePositionsKeepTheirSign) {
  const Bytes command = bitmap_command(-3, -120, Image(8, 1));
  EXPECT_EQ(text_of(command, 0, 21), "BITMAP -3,-120,1,1,2,");
  EXPECT_EQ(command.size(), 21u + 1 + 2);
}

TEST(BitmapCommandTest, TurnedTextIsPaddedSoNoInkIsLost) {
  Image narrow(29, 40);  // a 40 x 29 image turned by 90 degrees
  for (std::size_t y = 0; y < 40; ++y) set_pixel(narrow, 28, y, kInk);
  const Bytes command = bitmap_command(0, 0, narrow);
  EXPECT_EQ(text_of(command, 0, 18), "BITMAP 0,0,4,40,2,");
  ASSERT_EQ(command.size(), 18u + 4 * 40 + 2);
  for (std::size_t y = 0; y < 40; ++y) {
    // Column 28 is bit 3 of each row's fourth byte; the padding is clear.
    EXPECT_EQ(command[18 + y * 4 + 3], 0xF7) << y;
  }
}

struct StyleCase {
  std::intptr_t style;
  std::string face;
};

class BitmapWindowsfontCommandTest : public ::testing::TestWithParam<StyleCase> {
 protected:
  BitmapWindowsfontCommandTest()
      : host_(testing::dejavu_host({"DejaVuSans.ttf", "DejaVuSans-Bold.ttf",
                                    "DejaVuSans-Oblique.ttf", "DejaVuSans-BoldOblique.ttf"})) {}
  std::unique_ptr<platform::FontHost> host_;
};

TEST_P(BitmapWindowsfontCommandTest, StyleChoosesTheFaceThatDrawsTheText) {
  const StyleCase& c = GetParam();
  const Bytes expected = bitmap_command(12, 34, draw_text(*host_, "Style 123", c.face, 28, 0));
  EXPECT_EQ(windowsfont_command(*host_, 12, 34, 28, 0, c.style, 0, "DejaVu Sans", "Style 123"),
            expected);
  // Underline requests, 1 or otherwise, change nothing.
  EXPECT_EQ(windowsfont_command(*host_, 12, 34, 28, 0, c.style, 1, "DejaVu Sans", "Style 123"),
            expected);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, BitmapWindowsfontCommandTest,
    ::testing::Values(StyleCase{0, "DejaVuSans"}, StyleCase{1, "DejaVuSans-Oblique"},
                      StyleCase{2, "DejaVuSans-Bold"}, StyleCase{3, "DejaVuSans-BoldOblique"},
                      StyleCase{4, "DejaVuSans"}, StyleCase{-1, "DejaVuSans"}));

TEST_F(BitmapWindowsfontCommandTest, EmptyContentSendsOneClearByteARow) {
  const Bytes command = windowsfont_command(*host_, 1, 2, 24, 0, 0, 0, "DejaVu Sans", "");
  const Image image = draw_text(*host_, "", "DejaVu Sans", 24, 0);
  const std::string header = "BITMAP 1,2,1," + std::to_string(image.height) + ",2,";
  ASSERT_EQ(command.size(), header.size() + image.height + 2);
  EXPECT_EQ(text_of(command, 0, header.size()), header);
  for (std::size_t i = header.size(); i < command.size() - 2; ++i) EXPECT_EQ(command[i], 0xFF);
}

TEST_F(BitmapWindowsfontCommandTest, QuarterTurnsCoverTheWholeTurnedImage) {
  const Image upright = draw_text(*host_, "Up", "DejaVu Sans", 30, 0);
  for (std::intptr_t rotation : {90, 270}) {
    const Bytes command =
        windowsfont_command(*host_, 0, 0, 30, rotation, 0, 0, "DejaVu Sans", "Up");
    const std::size_t width_bytes = (upright.height + 7) / 8;
    const std::string header =
        "BITMAP 0,0," + std::to_string(width_bytes) + "," + std::to_string(upright.width) + ",2,";
    EXPECT_EQ(text_of(command, 0, header.size()), header);
    EXPECT_EQ(command.size(), header.size() + width_bytes * upright.width + 2);
  }
}

}  // namespace
}  // namespace quillkit::bitmap
