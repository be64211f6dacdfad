// Face choice by style words, and the font host's names, face order and
// look-ups on real fonts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "quillkit/bitmap/face_choice.hpp"
#include "quillkit/platform/font_host.hpp"
#include "support/fontconfig_leak.hpp"
#include "support/images.hpp"

namespace quillkit::bitmap {
namespace {

using testing::dejavu_host;

struct WalkCase {
  std::vector<std::string> faces;
  bool bold;
  bool italic;
  std::optional<std::string> expected;
};

class BitmapFaceWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(BitmapFaceWalkTest, PicksFirstExactMatchElseLastPlainFace) {
  const WalkCase& c = GetParam();
  EXPECT_EQ(walk_faces(c.faces, c.bold, c.italic), c.expected);
}

const std::vector<std::string> kFourStyles{"A-Regular", "A-Bold", "A-Italic", "A-BoldItalic"};
const std::vector<std::string> kLightRegularMedium{"A-Light", "A-Regular", "A-Medium"};
const std::vector<std::string> kRegularMediumBold{"A-Regular", "A-Medium", "A-Bold"};

INSTANTIATE_TEST_SUITE_P(
    Families, BitmapFaceWalkTest,
    ::testing::Values(WalkCase{kFourStyles, true, false, "A-Bold"},
                      WalkCase{kFourStyles, false, true, "A-Italic"},
                      WalkCase{kFourStyles, true, true, "A-BoldItalic"},
                      WalkCase{kFourStyles, false, false, "A-Regular"},
                      // No italic face: the last face without a style word.
                      WalkCase{kLightRegularMedium, false, true, "A-Regular"},
                      // Medium counts as bold, and the first bold face wins.
                      WalkCase{kLightRegularMedium, true, false, "A-Medium"},
                      WalkCase{kRegularMediumBold, true, false, "A-Medium"},
                      // Either word order counts for both styles.
                      WalkCase{{"A-Regular", "A-ObliqueBold"}, true, true, "A-ObliqueBold"},
                      WalkCase{{"A-Regular", "A-ObliqueBold"}, false, true, "A-Regular"},
                      // Style words are case-sensitive: "bold" is plain.
                      WalkCase{{"A-bold", "A-Italic"}, true, false, "A-bold"},
                      WalkCase{{"A-bold", "A-Italic"}, false, false, "A-bold"},
                      // Only styled faces and no match: nothing.
                      WalkCase{{"A-Bold", "A-BoldItalic"}, false, true, std::nullopt},
                      WalkCase{{}, false, false, std::nullopt}));

// A host that sees the DejaVu Sans faces only, styled and condensed.
class BitmapDejaVuSansHostTest : public ::testing::Test {
 protected:
  BitmapDejaVuSansHostTest()
      : host_(dejavu_host({"DejaVuSansCondensed-Bold.ttf", "DejaVuSans-BoldOblique.ttf",
                           "DejaVuSans-ExtraLight.ttf", "DejaVuSans-Oblique.ttf",
                           "DejaVuSans-Bold.ttf", "DejaVuSans.ttf", "DejaVuSansCondensed.ttf"})) {}
  std::unique_ptr<platform::FontHost> host_;
};

TEST_F(BitmapDejaVuSansHostTest, FamiliesAreEveryNameFontconfigGives) {
  EXPECT_EQ(host_->family_names(), (std::vector<std::string>{"DejaVu Sans", "DejaVu Sans Condensed",
                                                             "DejaVu Sans Light"}));
}

TEST_F(BitmapDejaVuSansHostTest, FacesComeInWidthWeightSlantOrder) {
  EXPECT_EQ(host_->face_names("DejaVu Sans"),
            (std::vector<std::string>{"DejaVuSans", "DejaVuSans-Oblique", "DejaVuSans-Bold",
                                      "DejaVuSans-BoldOblique", "DejaVuSans-ExtraLight",
                                      "DejaVuSansCondensed", "DejaVuSansCondensed-Bold"}));
  EXPECT_EQ(host_->face_names("DejaVu Sans Condensed"),
            (std::vector<std::string>{"DejaVuSansCondensed", "DejaVuSansCondensed-Bold"}));
  EXPECT_TRUE(host_->face_names("dejavu sans").empty());
}

struct ChoiceCase {
  std::string name;
  bool bold;
  bool italic;
  std::string expected;
};

class BitmapFindFontTest : public BitmapDejaVuSansHostTest,
                           public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(BitmapFindFontTest, ChoosesByFamilyAndStyle) {
  const ChoiceCase& c = GetParam();
  EXPECT_EQ(find_font_with_name(*host_, c.name, c.bold, c.italic), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    DejaVu, BitmapFindFontTest,
    ::testing::Values(ChoiceCase{"DejaVu Sans", false, false, "DejaVuSans"},
                      ChoiceCase{"DejaVu Sans", true, false, "DejaVuSans-Bold"},
                      ChoiceCase{"DejaVu Sans", false, true, "DejaVuSans-Oblique"},
                      ChoiceCase{"DejaVu Sans", true, true, "DejaVuSans-BoldOblique"},
                      // No oblique condensed face: the last plain one.
                      ChoiceCase{"DejaVu Sans Condensed", false, true, "DejaVuSansCondensed"},
                      // "ExtraLight" holds no style word: it is the plain face.
                      ChoiceCase{"DejaVu Sans Light", true, false, "DejaVuSans-ExtraLight"},
                      // Not a family: unchanged, whatever the case or style.
                      ChoiceCase{"dejavu sans", true, false, "dejavu sans"},
                      ChoiceCase{"DejaVuSans-Bold", false, true, "DejaVuSans-Bold"},
                      ChoiceCase{"", false, false, ""}));

TEST_F(BitmapDejaVuSansHostTest, OpensFaceByFaceNameFamilyNameOrBestMatch) {
  const auto face_of = [&](std::string_view name) {
    auto font = host_->open_font(name, 12);
    return font ? font->face_name() : std::string("(none)");
  };
  EXPECT_EQ(face_of("DejaVuSans-BoldOblique"), "DejaVuSans-BoldOblique");
  EXPECT_EQ(face_of("DejaVu Sans"), "DejaVuSans");
  EXPECT_EQ(face_of("DejaVu Sans Condensed"), "DejaVuSansCondensed");
  EXPECT_EQ(face_of("DejaVu Sans Light"), "DejaVuSans-ExtraLight");
  // Unknown names still open a face: fontconfig's best match.
  EXPECT_NE(face_of("No Such Family"), "(none)");
  EXPECT_NE(face_of(std::string("Dejavu\0Sans", 11)), "(none)");
}

TEST_F(BitmapDejaVuSansHostTest, SizesOutOfRangeOpenNothing) {
  for (double size : {0.0, -12.0, std::nan(""), std::numeric_limits<double>::infinity(),
                      platform::kMaxFontSize + 1}) {
    EXPECT_EQ(host_->open_font("DejaVu Sans", size), nullptr) << size;
  }
  EXPECT_NE(host_->open_font("DejaVu Sans", 0.01), nullptr);
  EXPECT_NE(host_->open_font("DejaVu Sans", platform::kMaxFontSize), nullptr);
}

TEST(BitmapFontHostTest, HostWithoutUsableFontsOpensNothing) {
  auto host = platform::new_font_host_for_files(std::vector<std::string>{"/nonexistent.ttf"});
  EXPECT_TRUE(host->family_names().empty());
  EXPECT_EQ(host->open_font("DejaVu Sans", 12), nullptr);
}

TEST(BitmapFontHostTest, SystemHostListsTheInstalledFamilies) {
  auto& host = platform::default_font_host();
  const auto families = host.family_names();
  for (const char* family : {"DejaVu Sans", "DejaVu Serif", "WenQuanYi Micro Hei"}) {
    EXPECT_NE(std::find(families.begin(), families.end(), family), families.end()) << family;
  }
  EXPECT_EQ(find_font_with_name(host, "DejaVu Serif", true, true), "DejaVuSerif-BoldItalic");
}

}  // namespace
}  // namespace quillkit::bitmap
