// Converting pictures: where a picture lands in its box (fit, turns), the grey that scaling and
// levels make, the dither modes against golden rasters and the picture's darkness, and bad
// options and rows refused.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "quillkit/image.hpp"

namespace quillkit {
namespace {

GreyImage picture(std::size_t width, std::size_t height,
                  std::function<int(std::size_t, std::size_t)> grey) {
  GreyImage image{width, height, std::vector<std::uint8_t>(width * height)};
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = static_cast<std::uint8_t>(grey(i % width, i / width));
  }
  return image;
}

bool dot(const MonoImage& image, std::size_t x, std::size_t y) {
  return (image.bits[y * image.row_bytes() + x / 8] & (0x80 >> (x % 8))) == 0;
}

double darkness(const MonoImage& image) {
  std::size_t dots = 0;
  for (std::size_t y = 0; y < image.height; ++y) {
    for (std::size_t x = 0; x < image.width; ++x) dots += dot(image, x, y);
  }
  return static_cast<double>(dots) / static_cast<double>(image.width * image.height);
}

// Left, top, right, bottom (exclusive) of the pixels whose grey lies in [low, high].
using Rect = std::array<std::size_t, 4>;
Rect bounds(const GreyImage& image, int low, int high) {
  Rect r{SIZE_MAX, SIZE_MAX, 0, 0};
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    if (image.pixels[i] < low || image.pixels[i] > high) continue;
    const std::size_t x = i % image.width, y = i / image.width;
    r = {std::min(r[0], x), std::min(r[1], y), std::max(r[2], x + 1), std::max(r[3], y + 1)};
  }
  return r;
}

struct FitCase {
  const char* name;
  PictureOptions options;
  std::size_t box_width, box_height;
  Rect picture, marker;
  friend std::ostream& operator<<(std::ostream& os, const FitCase& c) { return os << c.name; }
};

class PictureFitTest : public ::testing::TestWithParam<FitCase> {};

// An 80 x 40 black picture with its top left quarter grey: the box is white around the
// picture, and the grey quarter shows its turn.
TEST_P(PictureFitTest, PlacesAndTurnsThePicture) {
  const GreyImage source =
      picture(80, 40, [](auto x, auto y) { return x < 40 && y < 20 ? 128 : 0; });
  PictureOptions options = GetParam().options;
  options.upscale = Upscale::nearest;
  const GreyImage fitted = fit_picture(source, options);
  EXPECT_EQ(std::pair(fitted.width, fitted.height),
            std::pair(GetParam().box_width, GetParam().box_height));
  EXPECT_EQ(bounds(fitted, 0, 254), GetParam().picture);
  EXPECT_EQ(bounds(fitted, 100, 150), GetParam().marker);
}

PictureOptions box(std::size_t width, std::size_t height, Fit fit = Fit::fit,
                   Rotation rotation = Rotation::none) {
  PictureOptions options;
  options.width = width;
  options.height = height;
  options.fit = fit;
  options.rotation = rotation;
  return options;
}

PictureOptions turned(Rotation rotation, std::size_t width = 0, std::size_t height = 0) {
  return box(width, height, Fit::fit, rotation);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Boxes, PictureFitTest,
    ::testing::Values(
        FitCase{"FitShrinks", box(40, 40), 40, 40, {0, 10, 40, 30}, {0, 10, 20, 20}},
        FitCase{"FillCutsTheSides", box(40, 40, Fit::fill), 40, 40, {0, 0, 40, 40}, {0, 0, 20, 20}},
        FitCase{"StretchEnlargesDown", box(40, 80, Fit::stretch), 40, 80, {0, 0, 40, 80}, {0, 0, 20, 40}},
        FitCase{"NoneCentres", box(100, 50, Fit::none), 100, 50, {10, 5, 90, 45}, {10, 5, 50, 25}},
        FitCase{"Clockwise90", turned(Rotation::cw90, 40, 80), 40, 80, {0, 0, 40, 80}, {20, 0, 40, 40}},
        FitCase{"Clockwise180", turned(Rotation::cw180), 80, 40, {0, 0, 80, 40}, {40, 20, 80, 40}},
        FitCase{"Clockwise270", turned(Rotation::cw270), 40, 80, {0, 0, 40, 80}, {0, 40, 20, 80}},
        FitCase{"AutomaticToAHighBox", turned(Rotation::automatic, 40, 80), 40, 80, {0, 0, 40, 80}, {20, 0, 40, 40}},
        FitCase{"AutomaticToAWideBox", turned(Rotation::automatic, 80, 60), 80, 60, {0, 10, 80, 50}, {0, 10, 40, 30}},
        FitCase{"HeightFollowsWidth", box(40, 0), 40, 20, {0, 0, 40, 20}, {0, 0, 20, 10}}),
    ::testing::PrintToStringParamName());
// clang-format on

struct GreyCase {
  const char* name;
  std::vector<std::uint8_t> row;
  PictureOptions options;
  std::vector<std::uint8_t> expected;
  friend std::ostream& operator<<(std::ostream& os, const GreyCase& c) { return os << c.name; }
};

class PictureGreyTest : public ::testing::TestWithParam<GreyCase> {};

TEST_P(PictureGreyTest, ScalesAndLevelsOneRow) {
  const GreyCase& c = GetParam();
  PictureOptions options = c.options;
  options.height = 1;
  const GreyImage fitted = fit_picture({c.row.size(), 1, c.row}, options);
  EXPECT_EQ(fitted.pixels, c.expected);
}

PictureOptions width(std::size_t dots, Upscale upscale = Upscale::bilinear) {
  PictureOptions options = box(dots, 1, Fit::stretch);
  options.upscale = upscale;
  return options;
}

PictureOptions levels(std::uint8_t black, std::uint8_t white, double gamma) {
  PictureOptions options;
  options.black_point = black;
  options.white_point = white;
  options.gamma = gamma;
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PictureGreyTest,
    ::testing::Values(
        // Each dot averages the area it covers: 1.5 pixels here.
        GreyCase{"AreaAverage", {0, 255, 0}, width(2), {85, 85}},
        GreyCase{"AreaAverageOfAChecker", {0, 255, 0, 255, 0, 255}, width(2), {85, 170}},
        GreyCase{"Bilinear", {0, 255}, width(4), {0, 64, 191, 255}},
        GreyCase{"Nearest", {0, 255}, width(4, Upscale::nearest), {0, 0, 255, 255}},
        GreyCase{"Levels", {0, 64, 128, 192, 255}, levels(64, 192, 1), {0, 0, 128, 255, 255}},
        GreyCase{"GammaLightens", {0, 64, 128, 255}, levels(0, 255, 2), {0, 128, 181, 255}}),
    ::testing::PrintToStringParamName());

// Golden rasters: a threshold at 101 on a ramp 10 dots wide (the padding bits stay 1), and the
// Bayer patterns of grey 64 (three dots in four) and 128 (a checker board).
TEST(PictureDitherTest, ThresholdAndOrderedMatchGoldenRasters) {
  PictureOptions options;
  options.dither = Dither::threshold;
  options.threshold = 101;
  const GreyImage ramp = picture(10, 2, [](auto x, auto y) { return 25 * x + y; });
  EXPECT_EQ(dither_picture(ramp, options).bits,
            (std::vector<std::uint8_t>{0x07, 0xFF, 0x0F, 0xFF}));
  options.dither = Dither::ordered;
  const std::vector<std::uint8_t> quarter{0xAA, 0x00, 0xAA, 0x00, 0xAA, 0x00, 0xAA, 0x00};
  const std::vector<std::uint8_t> half{0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55};
  EXPECT_EQ(dither_picture(picture(8, 8, [](auto, auto) { return 64; }), options).bits, quarter);
  EXPECT_EQ(dither_picture(picture(8, 8, [](auto, auto) { return 128; }), options).bits, half);
}

class PictureDitherModeTest : public ::testing::TestWithParam<Dither> {};

std::string mode_name(const ::testing::TestParamInfo<Dither>& info) {
  static const char* const kNames[] = {"Threshold", "Ordered", "FloydSteinberg", "Atkinson",
                                       "Label"};
  return kNames[static_cast<int>(info.param)];
}

// A horizontal gradient, black to white, prints as dark as it is.
TEST_P(PictureDitherModeTest, KeepsTheMeanDarknessOfAGradient) {
  PictureOptions options;
  options.dither = GetParam();
  const GreyImage gradient = picture(256, 64, [](auto x, auto) { return x; });
  EXPECT_NEAR(darkness(dither_picture(gradient, options)), 0.5, 0.02);
}

// Odd sizes: every mode under the address sanitizer, no dot past a row's width, and black and
// white stay exact.
TEST_P(PictureDitherModeTest, StaysInsideOddSizes) {
  PictureOptions options;
  options.dither = GetParam();
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1}, {7, 3}, {9, 2}, {17, 5}}) {
    for (int grey : {0, 128, 255}) {
      const MonoImage out =
          dither_picture(picture(w, h, [&](auto, auto) { return grey; }), options);
      ASSERT_EQ(out.bits.size(), out.row_bytes() * h);
      for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t padding = (1u << (out.row_bytes() * 8 - w)) - 1;
        EXPECT_EQ(out.bits[(y + 1) * out.row_bytes() - 1] & padding, padding) << w << "x" << h;
      }
      if (grey != 128) EXPECT_EQ(darkness(out), grey == 0 ? 1.0 : 0.0) << w << "x" << h;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, PictureDitherModeTest,
                         ::testing::Values(Dither::ordered, Dither::floyd_steinberg,
                                           Dither::atkinson, Dither::label),
                         mode_name);

// Bars with soft edges (a scaled barcode) on white beside a mid-grey area: the label mode
// thresholds the bars and their rims as the threshold mode does, and dithers the grey.
TEST(PictureDitherTest, LabelKeepsBarsSharpAndDithersGrey) {
  const int kRim[] = {0, 0, 0, 90, 255, 255, 170, 0, 0, 255, 255, 255};
  const GreyImage source =
      picture(96, 24, [&](auto x, auto) { return x < 48 ? 128 : kRim[(x - 48) % 12]; });
  PictureOptions options;
  const MonoImage label = dither_picture(source, options);
  options.dither = Dither::threshold;
  const MonoImage threshold = dither_picture(source, options);
  std::size_t grey_dots = 0;
  for (std::size_t y = 0; y < 24; ++y) {
    for (std::size_t x = 0; x < 96; ++x) {
      if (x >= 49) EXPECT_EQ(dot(label, x, y), dot(threshold, x, y)) << x << "," << y;
      if (x < 47) grey_dots += dot(label, x, y);
    }
  }
  EXPECT_NEAR(static_cast<double>(grey_dots) / (47 * 24), 0.5, 0.05);
}

struct RefusedCase {
  const char* name;
  std::function<std::string()> error;
  const char* reason;
  friend std::ostream& operator<<(std::ostream& os, const RefusedCase& c) { return os << c.name; }
};

class PictureRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(PictureRefusedTest, GivesItsReason) {
  EXPECT_THAT(GetParam().error(), ::testing::HasSubstr(GetParam().reason));
}

std::function<std::string()> options_error(std::function<void(PictureOptions&)> change) {
  return [=] {
    PictureOptions options;
    change(options);
    // The conversions refuse them too.
    EXPECT_TRUE(fit_picture(picture(4, 4, [](auto, auto) { return 0; }), options).empty());
    return picture_options_error(options);
  };
}

// Rows handed to a converter for a 4 x 2 picture, then its result's error.
std::function<std::string()> rows_error(std::vector<std::size_t> row_lengths) {
  return [=] {
    PictureConverter converter(4, 2, {});
    for (std::size_t length : row_lengths) converter.add_row(std::vector<std::uint8_t>(length));
    EXPECT_TRUE(converter.finish().empty());
    return converter.error();
  };
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, PictureRefusedTest,
    ::testing::Values(
        RefusedCase{"LevelsOutOfOrder",
                    options_error([](auto& o) { o.black_point = o.white_point = 9; }),
                    "black point"},
        RefusedCase{"GammaNotANumber", options_error([](auto& o) { o.gamma = std::nan(""); }),
                    "gamma"},
        RefusedCase{"BoxArea", options_error([](auto& o) { o.width = o.height = 10000; }), "box"},
        RefusedCase{"UnknownMode",
                    options_error([](auto& o) { o.dither = static_cast<Dither>(9); }), "unknown"},
        RefusedCase{"ShapeFollowingBoxTooLarge",
                    [] { return PictureConverter(1, 10000, box(60000, 0)).error(); },
                    "keeps the picture's shape"},
        RefusedCase{"RowTooShort", rows_error({4, 3}), "only 1 of the picture's 2 rows"},
        RefusedCase{"FinishedTwice",
                    [] {
                      PictureConverter converter(1, 1, {});
                      converter.add_row(std::vector<std::uint8_t>{0});
                      converter.finish_grey();
                      EXPECT_FALSE(converter.add_row(std::vector<std::uint8_t>{0}));
                      EXPECT_TRUE(converter.finish().empty());
                      return converter.error();
                    },
                    "finished already"}),
    ::testing::PrintToStringParamName());

// A very wide picture is scaled across before its rows are summed; the grey comes out the same.
TEST(PictureFitTest, VeryWidePictureKeepsItsGrey) {
  const GreyImage wide =
      picture(std::size_t{1} << 21, 3, [](auto x, auto y) { return 60 * y + 2 * (x % 2); });
  const GreyImage fitted = fit_picture(wide, box(1024, 1, Fit::stretch));
  ASSERT_EQ(fitted.pixels.size(), 1024u);
  EXPECT_THAT(fitted.pixels, ::testing::Each(61));
}

}  // namespace
}  // namespace quillkit
