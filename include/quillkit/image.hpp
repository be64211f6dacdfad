// Pictures on a label: loading PNG, JPEG and PDF files as grey pages, fitting
// them to a box of printer dots and dithering them to one bit a dot.
//
//   quillkit::PictureOptions options;
//   options.width = 812;                       // a 4 x 6 inch label at 203 dpi
//   options.height = 1218;
//   quillkit::MonoPages pages = quillkit::convert_picture_file("logo.png", options);
//   if (!pages.ok()) std::puts(pages.error.c_str());
//   else printer.printpicture(pages.pages.front());
//
// Every function here is thread-safe (no shared state) and throws nothing: a
// bad input gives an error text or an empty image, as each says. No single
// picture, box or loaded result holds more than 64 M pixels (kMaxPixels).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quillkit/export.hpp"

namespace quillkit {

// The most pixels of one picture, one box, and one load's pages together; the
// most dots of one conversion's pages together is eight times as many (the
// same memory packed one bit a dot).
inline constexpr std::size_t kMaxPixels = std::size_t{64} * 1024 * 1024;

// An 8-bit grey raster: 0 black to 255 white, rows from the top, width bytes a
// row without padding.
struct GreyImage {
  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<std::uint8_t> pixels;

  bool empty() const { return width == 0 || height == 0; }
  // Whether `pixels` holds exactly width x height bytes.
  bool well_formed() const {
    return width == 0 ? pixels.empty()
                      : pixels.size() % width == 0 && pixels.size() / width == height;
  }
};

// A 1-bit raster as the BITMAP command takes it: rows from the top, each of
// row_bytes() bytes, the leftmost dot in the most significant bit; a 1 bit is
// no dot, a 0 bit a dot. The bits past the width in a row's last byte are 1.
struct MonoImage {
  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<std::uint8_t> bits;

  std::size_t row_bytes() const { return (width + 7) / 8; }
  bool empty() const { return width == 0 || height == 0; }
  // Whether `bits` holds exactly row_bytes() x height bytes.
  bool well_formed() const {
    return width == 0 ? bits.empty()
                      : bits.size() % row_bytes() == 0 && bits.size() / row_bytes() == height;
  }
};

// How a picture meets its box: `fit` scales it to lie inside, keeping its
// shape (white around it); `fill` scales it to cover the box, keeping its
// shape (the overflow is cut off evenly on both sides); `stretch` scales each
// side to the box; `none` keeps one pixel a dot, centred, cut to the box.
enum class Fit { fit, fill, stretch, none };

// Clockwise quarter turns before fitting. `automatic` turns by 90 degrees
// when the picture is wider than high and the box higher than wide, or the
// other way round.
enum class Rotation { none, cw90, cw180, cw270, automatic };

// How an enlarged picture is resampled. Shrinking always averages the area
// each dot covers.
enum class Upscale { nearest, bilinear };

// How grey becomes dots. `threshold` prints every pixel darker than the
// threshold level; `ordered` compares with an 8 x 8 Bayer matrix; the error
// diffusions `floyd_steinberg` (serpentine) and `atkinson` spread each dot's
// error to the pixels not yet done. `label` thresholds areas of pure black or
// white and the edges next to them, so that text and barcodes keep sharp
// edges, and dithers the mid-greys as floyd_steinberg does.
enum class Dither { threshold, ordered, floyd_steinberg, atkinson, label };

struct PictureOptions {
  // The box in dots. A side of 0 follows from the other one, keeping the
  // picture's shape (after any turn); both 0 keep the picture's size.
  std::size_t width = 0;
  std::size_t height = 0;
  Fit fit = Fit::fit;
  Rotation rotation = Rotation::none;
  Upscale upscale = Upscale::bilinear;
  // Levels, applied after scaling: grey at or below the black point becomes
  // black, at or above the white point white, and the range between is
  // stretched, then raised to 1 / gamma (above 1 lightens the mid-greys).
  // The black point must be below the white point; gamma from 0.1 to 10.
  std::uint8_t black_point = 0;
  std::uint8_t white_point = 255;
  double gamma = 1.0;
  Dither dither = Dither::label;
  // `threshold` and the sharp areas of `label`: grey below this is a dot.
  std::uint8_t threshold = 128;
};

// Why `options` cannot be used (a box over kMaxPixels or with a side over
// 65535, levels out of order, a gamma out of range, an unknown enumerator),
// or the empty text when they can.
QUILLKIT_EXPORT std::string picture_options_error(const PictureOptions& options);

// The picture turned, scaled, placed in the box and levelled: an image the
// size of the box. Empty when the picture is empty or not well formed, or the
// options cannot be used.
QUILLKIT_EXPORT GreyImage fit_picture(const GreyImage& picture, const PictureOptions& options);
// The picture dithered as options.dither and options.threshold say (the other
// options are not used). Empty when the picture is empty or not well formed.
QUILLKIT_EXPORT MonoImage dither_picture(const GreyImage& picture, const PictureOptions& options);
// fit_picture, then dither_picture.
QUILLKIT_EXPORT MonoImage convert_picture(const GreyImage& picture, const PictureOptions& options);

// Converts a picture handed in one row at a time, as a raster source delivers
// it, keeping only the box and a few rows: the picture is never held whole.
// The result is the same as convert_picture's of the whole picture. Not
// thread-safe; one object converts one picture. A converter moved from may
// only be assigned to or destroyed.
class QUILLKIT_EXPORT PictureConverter {
 public:
  // For a picture of width x height pixels.
  PictureConverter(std::size_t width, std::size_t height, const PictureOptions& options);
  ~PictureConverter();
  PictureConverter(PictureConverter&&) noexcept;
  PictureConverter& operator=(PictureConverter&&) noexcept;

  // Why the conversion cannot go on: the options, a picture that is empty or
  // over kMaxPixels, a row of the wrong length or too many rows, finishing
  // early. Empty while all is well.
  const std::string& error() const;
  // Takes the next row from the top (width bytes). False, taking nothing,
  // when the row has the wrong length, all rows are in, or error() is set.
  bool add_row(std::span<const std::uint8_t> row);
  // The result once every row is in (fit_picture's or convert_picture's),
  // else an empty image with error() set. Either may be called once.
  GreyImage finish_grey();
  MonoImage finish();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

struct LoadOptions {
  // PDF pages are drawn at this resolution, 36 to 2400 dots an inch; PNG and
  // JPEG pictures keep one pixel a dot.
  double dpi = 203;
  // The pages to load, counted from 1; a last page of 0 is the document's last.
  // PNG and JPEG files have one page.
  std::size_t first_page = 1;
  std::size_t last_page = 0;
};

// The pages of a file, or why it could not be read.
template <class Page>
struct Pictures {
  std::vector<Page> pages;
  // The pages the file holds (1 for PNG and JPEG); 0 when it could not be read.
  std::size_t document_pages = 0;
  // Empty on success; else one line saying what was wrong, and no pages.
  std::string error;

  bool ok() const { return error.empty(); }
};
using GreyPages = Pictures<GreyImage>;
using MonoPages = Pictures<MonoImage>;

// Reads a PNG, JPEG or PDF file (told apart by content, not name) as grey
// pages. Palette, 16-bit, grey and colour pictures become 8-bit grey
// (luminance, ITU-R BT.601 weights); transparent parts are laid on white.
// Errors: a file that is not one of these, is truncated or corrupt, is larger
// than 64 MiB, a picture over kMaxPixels (told by its header, before
// decoding), an encrypted PDF that needs a password, a page range outside
// the document, pages over kMaxPixels together.
QUILLKIT_EXPORT GreyPages load_picture(const std::filesystem::path& path,
                                       const LoadOptions& load = {});
QUILLKIT_EXPORT GreyPages load_picture(std::span<const std::uint8_t> file,
                                       const LoadOptions& load = {});

// Whether `file` begins as a PNG, JPEG or PDF file, as load_picture tells
// them apart (it may still be truncated or corrupt).
QUILLKIT_EXPORT bool is_picture_file(std::span<const std::uint8_t> file);

// Loads and converts each page, without holding more than one decoded page
// at a time (PNG and JPEG rows go straight into the conversion). A JPEG
// picture shrunk to half its size or less is decoded at a reduced scale
// first, which is faster and may differ slightly from converting
// load_picture's page. Errors as load_picture's, and options that cannot be
// used.
QUILLKIT_EXPORT MonoPages convert_picture_file(const std::filesystem::path& path,
                                               const PictureOptions& options,
                                               const LoadOptions& load = {});
QUILLKIT_EXPORT MonoPages convert_picture_file(std::span<const std::uint8_t> file,
                                               const PictureOptions& options,
                                               const LoadOptions& load = {});

// How a BITMAP command combines its dots with what the label already holds:
// replace it, add to it (OR) or invert it where the bitmap has dots (XOR).
enum class BitmapMode { overwrite = 0, merge = 1, exclusive = 2 };

// The BITMAP command that draws `picture` with its top left dot at (x, y), the
// bytes Printer::sendbitmap writes, for a program that carries the printer's
// bytes itself (a print server writing to its own connection). Empty for a
// picture that is empty or not well formed or an unknown mode.
QUILLKIT_EXPORT std::vector<std::uint8_t> bitmap_bytes(std::intptr_t x, std::intptr_t y,
                                                     const MonoImage& picture,
                                                     BitmapMode mode = BitmapMode::overwrite);

// The label a picture is printed on (Printer::printpicture).
struct LabelStock {
  // The printer's resolution: 203 dots an inch is 8 dots a millimetre, 300 is
  // 12 (the printer's own rounding); from 100 to 1200.
  int dpi = 203;
  // The label's size in millimetres; a side of 0 is the picture's at `dpi`.
  // A picture smaller than the label is centred on it.
  double width_mm = 0;
  double height_mm = 0;
  // The gap between labels and its offset, in millimetres (GAP).
  double gap_mm = 2;
  double gap_offset_mm = 0;
};

// The label's size in dots as the printer counts them: the box to fit a
// picture for it to. A side of 0 mm gives 0 (the picture's own size); a stock
// printpicture refuses gives 0 x 0.
QUILLKIT_EXPORT std::pair<std::size_t, std::size_t> stock_dots(const LabelStock& stock);

}  // namespace quillkit
