// Loading pictures: each kind of file as grey pages (from a path and from memory alike), bad
// files refused with their reason, and loading while converting against converting a load.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "quillkit/image.hpp"
#include "support/fake_printer.hpp"

namespace quillkit {
namespace {

const std::filesystem::path kPictures = QUILLKIT_TEST_PICTURES_DIR;

Bytes file_bytes(const char* name) {
  std::ifstream in(kPictures / name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Sample {
  std::size_t page, x, y;
  int grey;
};

struct LoadCase {
  const char* name;
  const char* file;
  LoadOptions load;
  std::size_t pages, width, height;
  std::vector<Sample> samples;
  int tolerance = 0;
  friend std::ostream& operator<<(std::ostream& os, const LoadCase& c) { return os << c.name; }
};

class PictureLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(PictureLoadTest, GivesTheGreyOfEachArea) {
  const LoadCase& c = GetParam();
  const GreyPages loaded = load_picture(kPictures / c.file, c.load);
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  ASSERT_EQ(loaded.pages.size(), c.pages);
  for (const GreyImage& page : loaded.pages) {
    EXPECT_EQ(std::pair(page.width, page.height), std::pair(c.width, c.height));
  }
  for (const Sample& s : c.samples) {
    const GreyImage& page = loaded.pages[s.page];
    EXPECT_NEAR(page.pixels[s.y * page.width + s.x], s.grey, c.tolerance)
        << "page " << s.page << " at " << s.x << "," << s.y;
  }
  const GreyPages from_memory = load_picture(file_bytes(c.file), c.load);
  ASSERT_EQ(from_memory.pages.size(), c.pages);
  EXPECT_EQ(from_memory.pages.back().pixels, loaded.pages.back().pixels);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Files, PictureLoadTest,
    ::testing::Values(
        LoadCase{"Grey", "gradient.png", {}, 1, 256, 8, {{0, 0, 0, 0}, {0, 77, 5, 77}, {0, 255, 7, 255}}},
        // Alpha lays the picture on white.
        LoadCase{"Alpha", "logo.png", {}, 1, 64, 32, {{0, 5, 5, 0}, {0, 40, 9, 127}, {0, 60, 31, 255}}, 1},
        LoadCase{"SixteenBit", "deep.png", {}, 1, 4, 1, {{0, 0, 0, 0}, {0, 1, 0, 128}, {0, 2, 0, 255}, {0, 3, 0, 64}}},
        // Red, green, blue by luminance; the fourth colour is transparent.
        LoadCase{"Palette", "palette.png", {}, 1, 4, 1, {{0, 0, 0, 76}, {0, 1, 0, 150}, {0, 2, 0, 29}, {0, 3, 0, 255}}},
        LoadCase{"OneBit", "bilevel.png", {}, 1, 16, 1, {{0, 0, 0, 0}, {0, 1, 0, 255}, {0, 15, 0, 255}}},
        LoadCase{"Jpeg", "photo.jpg", {}, 1, 64, 64, {{0, 10, 10, 124}, {0, 50, 50, 240}}, 3},
        // 72 x 36 points at 203 dpi; the first page's left half is black, the second all black.
        LoadCase{"PdfPages", "twopages.pdf", {}, 2, 203, 102, {{0, 10, 50, 0}, {0, 190, 50, 255}, {1, 190, 50, 0}}},
        LoadCase{"PdfSecondPageAt100Dpi", "twopages.pdf", {.dpi = 100, .first_page = 2}, 1, 100, 50, {{0, 90, 25, 0}}}),
    ::testing::PrintToStringParamName());
// clang-format on

struct BadCase {
  const char* name;
  std::function<GreyPages()> load;
  const char* reason;
  friend std::ostream& operator<<(std::ostream& os, const BadCase& c) { return os << c.name; }
};

class PictureBadFileTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(PictureBadFileTest, IsRefusedWithItsReason) {
  const GreyPages loaded = GetParam().load();
  EXPECT_FALSE(loaded.ok());
  EXPECT_THAT(loaded.error, ::testing::HasSubstr(GetParam().reason));
  EXPECT_TRUE(loaded.pages.empty());
}

// The file's bytes, cut to `keep` bytes or with the byte at `flip` inverted.
std::function<GreyPages()> damaged(const char* file, std::size_t keep,
                                   std::size_t flip = SIZE_MAX) {
  return [=] {
    Bytes bytes = file_bytes(file);
    if (flip < bytes.size()) bytes[flip] ^= 0xFF;
    bytes.resize(std::min(keep, bytes.size()));
    return load_picture(bytes);
  };
}

std::function<GreyPages()> file(const char* name, LoadOptions load = {}) {
  return [=] { return load_picture(kPictures / name, load); };
}

INSTANTIATE_TEST_SUITE_P(
    Files, PictureBadFileTest,
    ::testing::Values(
        BadCase{"Empty", damaged("gradient.png", 0), "the file is empty"},
        BadCase{"Text", [] { return load_picture(testing::bytes_of("GIF89a, or so")); },
                "not a PNG, JPEG or PDF"},
        BadCase{"TruncatedPng", damaged("gradient.png", 70), "ends early"},
        BadCase{"CorruptPng", damaged("gradient.png", SIZE_MAX, 60), "PNG cannot be read"},
        BadCase{"JpegWrongHeader",
                [] { return load_picture(testing::bytes_of("\xFF\xD8\xFF\x01garbage")); },
                "JPEG cannot be read"},
        BadCase{"TruncatedJpeg", damaged("photo.jpg", 400), "Premature end"},
        BadCase{"EncryptedPdf", file("locked.pdf"), "encrypted"},
        BadCase{"TruncatedPdf", damaged("twopages.pdf", 1000), "truncated"},
        // Refused from the header: nothing of that size is allocated.
        BadCase{"HugePng", file("huge.png"), "100000 x 100000 pixels"},
        BadCase{"PageOutsidePdf", file("twopages.pdf", {.first_page = 3}), "not in the document"},
        BadCase{"SecondPageOfPng", file("gradient.png", {.first_page = 2}), "page 1 only"},
        BadCase{"PdfAtZeroDpi", file("twopages.pdf", {.dpi = 0}), "resolution"},
        BadCase{"Missing", file("missing.png"), "No such file"}),
    ::testing::PrintToStringParamName());

// Converting while decoding gives the same dots as converting the loaded page; a JPEG shrunk to
// a quarter, decoded at that scale, keeps its grey.
TEST(PictureConvertFileTest, MatchesConvertingTheLoadedPage) {
  PictureOptions options;
  options.width = 48;
  options.height = 48;
  options.rotation = Rotation::cw90;
  options.dither = Dither::floyd_steinberg;
  for (const char* name : {"logo.png", "twopages.pdf"}) {
    const MonoPages converted = convert_picture_file(kPictures / name, options);
    ASSERT_TRUE(converted.ok()) << converted.error;
    const GreyPages loaded = load_picture(kPictures / name);
    ASSERT_EQ(converted.pages.size(), loaded.pages.size());
    EXPECT_EQ(converted.document_pages, loaded.document_pages);
    for (std::size_t i = 0; i < loaded.pages.size(); ++i) {
      EXPECT_EQ(converted.pages[i].bits, convert_picture(loaded.pages[i], options).bits) << name;
    }
  }
  options.width = options.height = 16;
  options.rotation = Rotation::none;
  const MonoPages reduced = convert_picture_file(file_bytes("photo.jpg"), options);
  const GreyImage fitted =
      fit_picture(load_picture(kPictures / "photo.jpg").pages.front(), options);
  ASSERT_TRUE(reduced.ok()) << reduced.error;
  EXPECT_EQ(std::pair(fitted.width, fitted.height),
            std::pair(reduced.pages[0].width, reduced.pages[0].height));
  options.dither = Dither::threshold;
  options.threshold = 180;  // between the halves' greys, 124 and 240
  EXPECT_EQ(convert_picture_file(file_bytes("photo.jpg"), options).pages[0].bits,
            convert_picture(fitted, options).bits);
  options.gamma = 0;
  EXPECT_THAT(convert_picture_file(kPictures / "logo.png", options).error,
              ::testing::HasSubstr("gamma"));
}

}  // namespace
}  // namespace quillkit
