// Face choice by style words, the font host's names, face order and look-ups,
// the image size from the measured text, and drawing with real fonts.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "quillkit/bitmap/face_choice.hpp"
#include "quillkit/bitmap/rotation.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "quillkit/wifi.hpp"
#include "support/fontconfig_leak.hpp"
#include "support/images.hpp"
#include "support/temp_files.hpp"
#include "support/test_clock.hpp"

namespace quillkit::bitmap {
namespace {

using testing::ink_count;
using testing::pixel_at;

using Faces = std::vector<std::string>;

TEST(BitmapFaceWalkTest, FirstExactMatchElseLastPlainFace) {
  const Faces four{"A-Regular", "A-Bold", "A-Italic", "A-BoldItalic"};
  const struct {
    Faces faces;
    bool bold, italic;
    std::optional<std::string> expected;
  } cases[] = {{four, true, false, "A-Bold"},
               {{"A-Light", "A-Regular", "A-Medium"}, false, true, "A-Regular"},
               {{"A-Regular", "A-Medium", "A-Bold"}, true, false, "A-Medium"},
               {{"A-Regular", "A-ObliqueBold"}, true, true, "A-ObliqueBold"},
               {{"A-bold", "A-Italic"}, true, false, "A-bold"},
               {{"A-Bold", "A-BoldItalic"}, false, true, std::nullopt}};
  for (const auto& c : cases) {
    EXPECT_EQ(walk_faces(c.faces, c.bold, c.italic), c.expected) << "case " << &c - cases;
  }
}

// A host that sees the DejaVu Sans faces only, styled and condensed: its families, their face
// order, the choice by exact family name and style, and opening by face name, family name or best
// match.
TEST(BitmapFontHostTest, FamiliesFaceOrderChoiceAndOpening) {
  const auto host =
      testing::dejavu_host({"DejaVuSansCondensed-Bold.ttf", "DejaVuSans-BoldOblique.ttf",
                            "DejaVuSans-ExtraLight.ttf", "DejaVuSans-Oblique.ttf",
                            "DejaVuSans-Bold.ttf", "DejaVuSans.ttf", "DejaVuSansCondensed.ttf"});
  EXPECT_EQ(host->family_names(),
            (Faces{"DejaVu Sans", "DejaVu Sans Condensed", "DejaVu Sans Light"}));
  EXPECT_EQ(host->face_names("DejaVu Sans"),
            (Faces{"DejaVuSans", "DejaVuSans-Oblique", "DejaVuSans-Bold", "DejaVuSans-BoldOblique",
                   "DejaVuSans-ExtraLight", "DejaVuSansCondensed", "DejaVuSansCondensed-Bold"}));
  EXPECT_EQ((Faces{find_font_with_name(*host, "DejaVu Sans Condensed", false, true),
                   find_font_with_name(*host, "dejavu sans", true, false),
                   find_font_with_name(*host, "DejaVuSans-Bold", false, true)}),
            (Faces{"DejaVuSansCondensed", "dejavu sans", "DejaVuSans-Bold"}));
  const auto face_of = [&](std::string_view name, double size = 12) {
    auto font = host->open_font(name, size);
    return font ? font->face_name() : "(none)";
  };
  EXPECT_EQ(face_of("DejaVuSans-BoldOblique"), "DejaVuSans-BoldOblique");
  EXPECT_NE(face_of("No Such Family"), "(none)");
  EXPECT_NE(face_of(std::string("Dejavu\0Sans", 11)), "(none)");
  for (double size : {0.0, -12.0, std::nan(""), double{INFINITY}, platform::kMaxFontSize + 1}) {
    EXPECT_EQ(face_of("DejaVu Sans", size), "(none)") << size;
  }
  EXPECT_EQ(face_of("DejaVu Sans", platform::kMaxFontSize), "DejaVuSans");
  EXPECT_EQ(platform::new_font_host_for_files(Faces{"/nonexistent.ttf"})->open_font("A", 12),
            nullptr);
}

TEST(BitmapImageSizeTest, NextMultipleOf8AboveAndTruncatedPlusOne) {
  // Measured width and height, and the image size they give (0 by 0: beyond the
  // surface bound, no image of that size).
  const struct {
    double width, height;
    std::size_t expected_width, expected_height;
  } cases[] = {
      {16.0, 28.6, 24, 29},     {0, 0, 8, 1},      {37.6, 29.0, 40, 30}, {-3.5, -2.0, 8, 1},
      {32759.9, 10, 32760, 11}, {32760, 10, 0, 0}, {8, 32767, 0, 0},     {32759.9, 32766, 0, 0},
      {std::nan(""), 1, 0, 0}};
  for (const auto& c : cases) {
    const auto size = text_image_size(c.width, c.height).value_or(ImageSize{});
    EXPECT_EQ(std::pair(size.width, size.height), std::pair(c.expected_width, c.expected_height))
        << c.width << " x " << c.height;
  }
}

// Text drawn with the default host.
Image draw(std::string_view text, std::intptr_t size, std::intptr_t degree = 0,
           std::string_view font = "DejaVu Sans") {
  return draw_text(platform::default_font_host(), text, font, size, degree);
}

TEST(BitmapDrawTextTest, SizeFollowsTheMeasureAndInkIsBlack) {
  const auto extent = platform::default_font_host().open_font("DejaVu Sans", 48)->measure("Hello");
  const Image image = draw("Hello", 48);
  const ImageSize measured = *text_image_size(extent.width, extent.height);
  EXPECT_EQ(std::pair(image.width, image.height), std::pair(measured.width, measured.height));
  for (std::size_t i = 0; i < image.width * image.height; ++i) {
    const auto p = pixel_at(image, i % image.width, i / image.width);
    ASSERT_TRUE(p == testing::kInk || p == testing::kClear) << i;  // no antialiasing
  }
  EXPECT_GT(ink_count(image), 48u * 5);
}

TEST(BitmapDrawTextTest, ChineseTextDrawsEveryCharacter) {
  const std::string text = "\xe4\xb8\xad\xe6\x96\x87\xe6\xa0\x87\xe7\xad\xbe";  // four Han
  const Image image = draw(text, 40, 0, "WenQuanYi Micro Hei");
  ASSERT_GE(image.width, 4u * 36u);
  for (std::size_t slot = 0; slot < 4; ++slot) {  // ink in every em-wide slot
    std::size_t ink = 0;
    for (std::size_t y = 0; y < image.height; ++y) {
      for (std::size_t x = slot * 40 + 4; x < slot * 40 + 36; ++x) ink += pixel_at(image, x, y)[3];
    }
    EXPECT_GT(ink, 100u * 255) << "character " << slot;
  }
}

TEST(BitmapDrawTextTest, UnusableSizesGiveEightByOne) {
  // No font at size 0 or below; 40000 points and 2 MiB of text are beyond the
  // surface bound.
  for (const Image& image : {draw("Hello", 0), draw("Hello", -5), draw("Hello", 40000),
                             draw(std::string(2 << 20, 'x'), 2)}) {
    EXPECT_TRUE(image.width == 8 && image.height == 1 && ink_count(image) == 0);
  }
}

TEST(BitmapDrawTextTest, RotationTurnsTheDrawnImageAndUnderlineChangesNothing) {
  const Image upright = draw("Turn me", 20);
  EXPECT_EQ(draw("Turn me", 20, 90).rgba, rotate_image(upright, 90).rgba);
  WiFi printer{testing::env()};
  EXPECT_EQ(printer.fnDrawString("Turn me", "DejaVu Sans", 20, true, 0).rgba, upright.rgba);
  EXPECT_EQ(printer.fnFindFontWithName("DejaVu Sans", true, false), "DejaVuSans-Bold");
}

// A font copied into a folder the host reads is found by its name on the next
// look-up, without a new host.
TEST(BitmapFontKeepingTest, AFontInstalledLaterIsFoundByName) {
  const testing::TempDir folder;
  const std::filesystem::path dejavu = "/usr/share/fonts/truetype/dejavu";
  std::filesystem::copy_file(dejavu / "DejaVuSans.ttf", folder.path() / "DejaVuSans.ttf");
  const auto host = platform::new_font_host_for_files(std::vector{folder.path().string()});
  EXPECT_EQ(host->family_names(), Faces{"DejaVu Sans"});
  std::filesystem::copy_file(dejavu / "DejaVuSerif.ttf", folder.path() / "DejaVuSerif.ttf");
  EXPECT_EQ(host->face_names("DejaVu Serif"), Faces{"DejaVuSerif"});
}

// A reference host draws a line in every DejaVu face at several sizes (more faces and sizes than
// a host keeps open); then threads start together on a new host (its face list is
// built while they wait for it) and draw the same in different orders, forwards and backwards, so
// faces are opened, shared and dropped while others draw with them. What a host keeps (faces,
// sizes, shaped lines, glyphs) never changes a pixel.
TEST(BitmapFontKeepingTest, KeptFacesSizesAndGlyphsNeverChangeAPixelInAnyThread) {
  const std::vector<std::string> folder{"/usr/share/fonts/truetype/dejavu"};
  const auto reference = platform::new_font_host_for_files(folder);
  std::vector<std::pair<std::string, int>> draws;
  for (const std::string& family : reference->family_names()) {
    for (const std::string& face : reference->face_names(family)) {
      for (int size : {9, 14, 23, 37, 60}) draws.emplace_back(face, size);
    }
  }
  ASSERT_GT(draws.size(), 5u * 16);
  constexpr std::string_view kText = "Kept 12 fi AV";
  std::vector<std::vector<std::uint8_t>> expected;
  for (const auto& [face, size] : draws) {
    const Image image = draw_text(*reference, kText, face, size, 0);
    ASSERT_GT(ink_count(image), 0u) << face << " " << size;
    expected.push_back(image.rgba);
  }
  const auto shared = platform::new_font_host_for_files(folder);
  std::vector<std::size_t> matches(4);
  {
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < matches.size(); ++t) {
      threads.emplace_back([&, t] {
        for (std::size_t i = 0; i < draws.size(); ++i) {
          const std::size_t step = (i + t * 3) % draws.size();
          const std::size_t k = t % 2 == 0 ? step : draws.size() - 1 - step;
          const auto& [face, size] = draws[k];
          matches[t] += draw_text(*shared, kText, face, size, 0).rgba == expected[k];
        }
      });
    }
  }
  EXPECT_EQ(matches, std::vector<std::size_t>(4, draws.size()));
}

}  // namespace
}  // namespace quillkit::bitmap
