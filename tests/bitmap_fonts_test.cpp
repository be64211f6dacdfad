// Face choice by style words, and the font host's names, face order and
// look-ups on real fonts.
#include <gtest/gtest.h>

#include <cmath>

#include "quillkit/bitmap/face_choice.hpp"
#include "support/fontconfig_leak.hpp"
#include "support/images.hpp"

namespace quillkit::bitmap {
namespace {

using Faces = std::vector<std::string>;

struct WalkCase {
  Faces faces;
  bool bold, italic;
  std::optional<std::string> expected;
};

class BitmapFaceWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(BitmapFaceWalkTest, FirstExactMatchElseLastPlainFace) {
  EXPECT_EQ(walk_faces(GetParam().faces, GetParam().bold, GetParam().italic), GetParam().expected);
}

const Faces kFour{"A-Regular", "A-Bold", "A-Italic", "A-BoldItalic"};
INSTANTIATE_TEST_SUITE_P(
    Families, BitmapFaceWalkTest,
    ::testing::Values(WalkCase{kFour, true, false, "A-Bold"},
                      WalkCase{kFour, false, true, "A-Italic"},
                      WalkCase{kFour, true, true, "A-BoldItalic"},
                      WalkCase{kFour, false, false, "A-Regular"},
                      WalkCase{{"A-Light", "A-Regular", "A-Medium"}, false, true, "A-Regular"},
                      WalkCase{{"A-Regular", "A-Medium", "A-Bold"}, true, false, "A-Medium"},
                      WalkCase{{"A-Regular", "A-ObliqueBold"}, true, true, "A-ObliqueBold"},
                      WalkCase{{"A-bold", "A-Italic"}, true, false, "A-bold"},
                      WalkCase{{"A-Bold", "A-BoldItalic"}, false, true, std::nullopt}));

// A host that sees the DejaVu Sans faces only, styled and condensed.
class BitmapFontHostTest : public ::testing::Test {
 protected:
  std::unique_ptr<platform::FontHost> host_ =
      testing::dejavu_host({"DejaVuSansCondensed-Bold.ttf", "DejaVuSans-BoldOblique.ttf",
                            "DejaVuSans-ExtraLight.ttf", "DejaVuSans-Oblique.ttf",
                            "DejaVuSans-Bold.ttf", "DejaVuSans.ttf", "DejaVuSansCondensed.ttf"});
};

TEST_F(BitmapFontHostTest, FamiliesAndFaceOrder) {
  EXPECT_EQ(host_->family_names(),
            (Faces{"DejaVu Sans", "DejaVu Sans Condensed", "DejaVu Sans Light"}));
  EXPECT_EQ(host_->face_names("DejaVu Sans"),
            (Faces{"DejaVuSans", "DejaVuSans-Oblique", "DejaVuSans-Bold", "DejaVuSans-BoldOblique",
                   "DejaVuSans-ExtraLight", "DejaVuSansCondensed", "DejaVuSansCondensed-Bold"}));
  EXPECT_TRUE(host_->face_names("dejavu sans").empty());
}

TEST_F(BitmapFontHostTest, ChoosesByExactFamilyNameAndStyle) {
  const auto find = [&](std::string_view name, bool bold, bool italic) {
    return find_font_with_name(*host_, name, bold, italic);
  };
  EXPECT_EQ(find("DejaVu Sans", true, false), "DejaVuSans-Bold");
  EXPECT_EQ(find("DejaVu Sans", true, true), "DejaVuSans-BoldOblique");
  EXPECT_EQ(find("DejaVu Sans Condensed", false, true), "DejaVuSansCondensed");
  EXPECT_EQ(find("DejaVu Sans Light", true, false), "DejaVuSans-ExtraLight");
  EXPECT_EQ(find("dejavu sans", true, false), "dejavu sans");
  EXPECT_EQ(find("DejaVuSans-Bold", false, true), "DejaVuSans-Bold");
}

TEST_F(BitmapFontHostTest, OpensByFaceNameFamilyNameOrBestMatch) {
  const auto face_of = [&](std::string_view name, double size = 12) {
    auto font = host_->open_font(name, size);
    return font ? font->face_name() : "(none)";
  };
  EXPECT_EQ(face_of("DejaVuSans-BoldOblique"), "DejaVuSans-BoldOblique");
  EXPECT_EQ(face_of("DejaVu Sans"), "DejaVuSans");
  EXPECT_EQ(face_of("DejaVu Sans Light"), "DejaVuSans-ExtraLight");
  EXPECT_NE(face_of("No Such Family"), "(none)");
  EXPECT_NE(face_of(std::string("Dejavu\0Sans", 11)), "(none)");
  for (double size : {0.0, -12.0, std::nan(""), double{INFINITY}, platform::kMaxFontSize + 1}) {
    EXPECT_EQ(face_of("DejaVu Sans", size), "(none)") << size;
  }
  EXPECT_EQ(face_of("DejaVu Sans", platform::kMaxFontSize), "DejaVuSans");
  EXPECT_EQ(platform::new_font_host_for_files(Faces{"/nonexistent.ttf"})->open_font("A", 12),
            nullptr);
}

}  // namespace
}  // namespace quillkit::bitmap
