// Pictures for the printer application: documents read as grey pages and a grey page turned
// into the 1-bit label raster.
//
// TODO(picture library): this whole unit stands in for <quillkit/image.hpp> until the library
// offers loading, fitting and dithering; then every caller goes through the library and this
// file goes. Keep its surface this small so that the switch stays a few lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quill_printer {

// An 8-bit grey raster, 0 black to 255 white, rows from the top, no padding.
struct GreyPage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  GreyPage() = default;
  // A white page of the given size.
  GreyPage(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h, 0xFF) {}
  std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * width; }
  const std::uint8_t* row(int y) const {
    return pixels.data() + static_cast<std::size_t>(y) * width;
  }
};

// A 1-bit raster as the BITMAP command takes it: rows of (width + 7) / 8 bytes, the most
// significant bit leftmost, a 0 bit printing, padding bits 1.
struct MonoPage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bits;

  int row_bytes() const { return (width + 7) / 8; }
};

// The most pixels a page may have once read or scaled (64 M): larger inputs are refused
// before any allocation of that size.
constexpr std::size_t kMaxPagePixels = std::size_t{64} << 20;

// A document of one or more pages. Not thread-safe; one job reads it.
class Document {
 public:
  virtual ~Document() = default;
  virtual int page_count() const = 0;
  // Reads page `index` (0-based) as grey, rendered at `dpi` where the format has no pixels of
  // its own (PDF). An empty page (width 0) with `error` set when it cannot be read.
  virtual GreyPage page(int index, int dpi, std::string& error) = 0;
};

// Opens a PNG, JPEG or PDF file, chosen by `mime_type` ("image/png", "image/jpeg",
// "application/pdf"). nullptr with `error` set when the file cannot be read as that type.
std::unique_ptr<Document> open_document(const std::filesystem::path& path,
                                        const std::string& mime_type, std::string& error);

// Fits `page` into a label of `width` x `height` dots (aspect kept, centred, turned a quarter
// when that fits it larger) and makes it 1-bit.
MonoPage label_raster(const GreyPage& page, int width, int height);

}  // namespace quill_printer
