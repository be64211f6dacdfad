// Packing to one bit per dot, padding, and the BITMAP command bytes.
#include <gtest/gtest.h>

#include <random>

#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/bitmap/packing.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "support/images.hpp"

namespace quillkit::bitmap {
namespace {

using testing::kClear;
using testing::kInk;
using testing::pixel_at;
using testing::set_pixel;

// The packing rule pixel by pixel, the reference for the word-wide code.
Bytes pack_reference(const Image& image) {
  Bytes out((image.width / 8) * image.height, 0);
  for (std::size_t y = 0; y < image.height; ++y) {
    for (std::size_t x = 0; x < (image.width / 8) * 8; ++x) {
      if (pixel_at(image, x, y)[3] == 0) out[y * (image.width / 8) + x / 8] |= 0x80 >> (x % 8);
    }
  }
  return out;
}

std::string text_of(const Bytes& bytes, std::size_t from, std::size_t count) {
  return std::string(bytes.begin() + from, bytes.begin() + from + count);
}

// Rows of 8 pixels: '#' ink, '.' clear, 'f' alpha 1 (faint), 'c' clear but coloured.
class BitmapPackRowTest : public ::testing::TestWithParam<std::pair<std::string, int>> {};

TEST_P(BitmapPackRowTest, AlphaZeroIsOneLeftmostIsMostSignificant) {
  Image image(8, 1);
  for (std::size_t x = 0; x < 8; ++x) {
    const char kind = GetParam().first[x];
    set_pixel(image, x, 0,
              kind == '#'   ? kInk
              : kind == 'f' ? testing::Pixel{255, 255, 255, 1}
              : kind == 'c' ? testing::Pixel{255, 10, 200, 0}
                            : kClear);
  }
  EXPECT_EQ(pack_bits(image), Bytes{static_cast<std::uint8_t>(GetParam().second)});
}

INSTANTIATE_TEST_SUITE_P(Rows, BitmapPackRowTest,
                         ::testing::Values(std::pair{"........", 0xFF}, std::pair{"########", 0x00},
                                           std::pair{"#.......", 0x7F}, std::pair{".......#", 0xFE},
                                           std::pair{"f.f.....", 0x5F},
                                           std::pair{"cccccccc", 0xFF}));

TEST(BitmapPackBitsTest, MatchesThePixelRuleOnRandomImages) {
  std::mt19937 random(7);
  // Even and odd byte counts a row take both paths of the word-wide code.
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{832, 3}, {24, 4}, {13, 5}, {7, 2}}) {
    Image image(w, h);
    for (auto& byte : image.rgba) {
      const unsigned r = random() % 4;
      byte = r == 0 ? 0 : r == 1 ? 255 : static_cast<std::uint8_t>(random());
    }
    EXPECT_EQ(pack_bits(image), pack_reference(image)) << w << " x " << h;
  }
}

TEST(BitmapPackBitsTest, RowsStartOnByteBoundariesAndBadImagesGiveNothing) {
  Image image(13, 2);  // 1 byte a row; pixels 8 to 12 are dropped
  set_pixel(image, 0, 1, kInk);
  for (std::size_t x = 8; x < 13; ++x) set_pixel(image, x, 0, kInk);
  EXPECT_EQ(pack_bits(image), (Bytes{0xFF, 0x7F}));
  EXPECT_TRUE(pack_bits(Image()).empty());
  image.rgba.resize(10);
  EXPECT_TRUE(pack_bits(image).empty());
}

TEST(BitmapCommandTest, FortyByTwentyNineIsHeaderRasterAndLineEnd) {
  Image image(40, 29);
  set_pixel(image, 0, 0, kInk);
  const Bytes command = bitmap_command(10, 20, image);
  ASSERT_EQ(command.size(), 167u);
  EXPECT_EQ(text_of(command, 0, 20), "BITMAP 10,20,5,29,2,");
  EXPECT_EQ(Bytes(command.begin() + 20, command.end() - 2), pack_bits(image));
  EXPECT_EQ(command[20], 0x7F);
  EXPECT_EQ(text_of(command, 165, 2), "\r\n");
  EXPECT_EQ(text_of(bitmap_command(-3, -120, image), 0, 22), "BITMAP -3,-120,5,29,2,");
}

TEST(BitmapCommandTest, TurnedTextIsPaddedSoNoInkIsLost) {
  Image narrow(29, 40);  // a 40 x 29 image turned by 90 degrees
  for (std::size_t y = 0; y < 40; ++y) set_pixel(narrow, 28, y, kInk);
  const Image padded = pad_to_byte_width(narrow);
  ASSERT_EQ(padded.width, 32u);
  for (std::size_t x = 0; x < 32; ++x) EXPECT_EQ(pixel_at(padded, x, 7), x == 28 ? kInk : kClear);
  const Bytes command = bitmap_command(0, 0, narrow);
  EXPECT_EQ(text_of(command, 0, 18), "BITMAP 0,0,4,40,2,");
  ASSERT_EQ(command.size(), 18u + 4 * 40 + 2);
  for (std::size_t y = 0; y < 40; ++y) EXPECT_EQ(command[18 + y * 4 + 3], 0xF7) << y;
}

// windowsfont's command on a host with the four DejaVu Sans styles.
class BitmapWindowsfontCommandTest
    : public ::testing::TestWithParam<std::pair<std::intptr_t, std::string>> {
 protected:
  std::unique_ptr<platform::FontHost> host_ =
      testing::dejavu_host({"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSans-Oblique.ttf",
                            "DejaVuSans-BoldOblique.ttf"});
};

TEST_P(BitmapWindowsfontCommandTest, StyleChoosesTheFaceAndUnderlineChangesNothing) {
  const auto [style, face] = GetParam();
  const Bytes expected = bitmap_command(12, 34, draw_text(*host_, "Style 1", face, 28, 0));
  for (std::intptr_t underline : {0, 1, 2}) {
    EXPECT_EQ(
        windowsfont_command(*host_, 12, 34, 28, 0, style, underline, "DejaVu Sans", "Style 1"),
        expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Styles, BitmapWindowsfontCommandTest,
    ::testing::Values(std::pair{0, "DejaVuSans"}, std::pair{1, "DejaVuSans-Oblique"},
                      std::pair{2, "DejaVuSans-Bold"}, std::pair{3, "DejaVuSans-BoldOblique"},
                      std::pair{4, "DejaVuSans"}, std::pair{-1, "DejaVuSans"}));

TEST_F(BitmapWindowsfontCommandTest, EmptyContentSendsOneClearByteARow) {
  const Bytes command = windowsfont_command(*host_, 1, 2, 24, 0, 0, 0, "DejaVu Sans", "");
  const std::size_t height = draw_text(*host_, "", "DejaVu Sans", 24, 0).height;
  const std::string header = "BITMAP 1,2,1," + std::to_string(height) + ",2,";
  ASSERT_EQ(command.size(), header.size() + height + 2);
  EXPECT_EQ(text_of(command, 0, header.size()), header);
  EXPECT_EQ(Bytes(command.begin() + header.size(), command.end() - 2), Bytes(height, 0xFF));
}

}  // namespace
}  // namespace quillkit::bitmap
