// PNG through libpng. libpng reports errors by longjmp: the reader's state
// lives in an object of the caller's frame, and each step that may jump sets
// its own setjmp and keeps no object with a destructor in its frame, so no
// destructor is ever skipped; the libpng structures go with the reader.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "quillkit/image/decode.hpp"

namespace quillkit::image {
namespace {

// Ancillary chunks are few and small in any real picture; these bound what a
// hostile file can make libpng keep.
constexpr png_alloc_size_t kMaxChunkBytes = 8 * 1024 * 1024;
constexpr png_uint_32 kMaxChunks = 256;

struct PngSource {
  std::span<const std::uint8_t> file;
  std::size_t at = 0;
  char message[200] = {};
};

void read_bytes(png_structp png, png_bytep out, png_size_t count) {
  auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
  if (count > source->file.size() - source->at) png_error(png, "the file ends early");
  std::memcpy(out, source->file.data() + source->at, count);
  source->at += count;
}

void fail(png_structp png, png_const_charp message) {
  auto* source = static_cast<PngSource*>(png_get_error_ptr(png));
  std::snprintf(source->message, sizeof source->message, "%s", message);
  png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

class PngReader {
 public:
  explicit PngReader(PngSource& source) {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, fail, ignore_warning);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  ~PngReader() {
    if (png_ != nullptr)
      png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
  }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  bool created() const { return info_ != nullptr; }
  std::size_t width() const { return png_get_image_width(png_, info_); }
  std::size_t height() const { return png_get_image_height(png_, info_); }
  int channels() const { return png_get_channels(png_, info_); }
  bool interlaced() const { return png_get_interlace_type(png_, info_) != PNG_INTERLACE_NONE; }

  // Reads the chunks before the pixels.
  bool read_header(PngSource& source) {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_set_read_fn(png_, &source, read_bytes);
    png_set_chunk_malloc_max(png_, kMaxChunkBytes);
    png_set_chunk_cache_max(png_, kMaxChunks);
    // Each chunk's CRC guards the compressed bytes against damage; zlib's own
    // checksum of the inflated bytes is skipped (about 5 % of the decoding).
    png_set_option(png_, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_read_info(png_, info_);
    return true;
  }

  // Asks for 8-bit samples of grey, grey and alpha, RGB or RGBA, whatever the
  // file holds, and every pass of an interlaced picture.
  bool choose_samples() {
    if (setjmp(png_jmpbuf(png_))) return false;
    const int type = png_get_color_type(png_, info_);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png_);
    if (type == PNG_COLOR_TYPE_GRAY) png_set_expand_gray_1_2_4_to_8(png_);
    if (png_get_valid(png_, info_, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png_);
    png_set_scale_16(png_);
    png_set_interlace_handling(png_);
    png_read_update_info(png_, info_);
    return true;
  }

  // Reads every row into `rows` (interlaced pictures need them all at once),
  // or one row at a time into `rows[0]` handing each to `sink`.
  bool read_rows(std::uint8_t** rows, std::uint8_t* grey, PageSink& sink) {
    if (setjmp(png_jmpbuf(png_))) return false;
    const std::size_t w = width(), h = height();
    const int n = channels();
    if (interlaced()) png_read_image(png_, rows);
    for (std::size_t y = 0; y < h; ++y) {
      std::uint8_t* samples = interlaced() ? rows[y] : rows[0];
      if (!interlaced()) png_read_row(png_, samples, nullptr);
      if (n == 1) {
        sink.row(samples);
      } else {
        to_grey(samples, n, w, grey);
        sink.row(grey);
      }
    }
    return true;
  }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

}  // namespace

std::string decode_png(std::span<const std::uint8_t> file, PageSink& sink) {
  PngSource source{file};
  PngReader reader(source);
  if (!reader.created()) return "not enough memory for the picture";
  auto failed = [&] { return std::string("the PNG cannot be read: ") + source.message; };
  if (!reader.read_header(source)) return failed();
  const std::size_t w = reader.width(), h = reader.height();
  if (h > kMaxPixels / w) {
    return "the picture is " + std::to_string(w) + " x " + std::to_string(h) +
           " pixels, more than " + std::to_string(kMaxPixels);
  }
  if (!reader.choose_samples()) return failed();
  if (!sink.begin_page(w, h)) return sink.refused();
  std::vector<std::uint8_t> samples, grey;
  std::vector<std::uint8_t*> rows;
  try {
    const std::size_t row_bytes = w * static_cast<std::size_t>(reader.channels());
    samples.resize(row_bytes * (reader.interlaced() ? h : 1));
    grey.resize(w);
    for (std::size_t y = 0; y < (reader.interlaced() ? h : 1); ++y) {
      rows.push_back(samples.data() + y * row_bytes);
    }
  } catch (const std::bad_alloc&) {
    return "not enough memory for the picture";
  }
  if (!reader.read_rows(rows.data(), grey.data(), sink)) return failed();
  if (!sink.end_page()) return sink.refused();
  return {};
}

}  // namespace quillkit::image
