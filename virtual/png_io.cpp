// PNG files of labels, through libpng. libpng reports errors by longjmp, so each function keeps
// its C++ objects outside the region that may jump, or ends their use before it.
#include "virtual/png_io.hpp"

#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "quillkit/virtual_printer.hpp"

namespace quillkit {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct Sink {
  Bytes* out;
  bool failed = false;
};

void write_to_sink(png_structp png, png_bytep data, png_size_t length) {
  auto* sink = static_cast<Sink*>(png_get_io_ptr(png));
  try {
    sink->out->insert(sink->out->end(), data, data + length);
  } catch (...) {
    sink->failed = true;
  }
  if (sink->failed) png_error(png, "out of memory");
}

void flush_sink(png_structp) {}

// Encodes rows (packed 1-bit, 1 = white); false on any libpng error.
bool write_rows(Sink& sink, int width, int height, std::vector<png_bytep>& rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    return false;
  }
  png_set_write_fn(png, &sink, write_to_sink, flush_sink);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 1,
               PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return !sink.failed;
}

// Reads the image as 8-bit grey rows; false on any libpng error.
bool read_grey(std::FILE* file, png_uint_32& width, png_uint_32& height,
               std::vector<png_byte>& pixels, std::vector<png_bytep>& rows) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    return false;
  }
  png_init_io(png, file);
  png_set_user_limits(png, 1u << 16, 1u << 16);
  png_read_info(png, info);
  width = png_get_image_width(png, info);
  height = png_get_image_height(png, info);
  if (static_cast<unsigned long long>(width) * height > (1ULL << 28)) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_rgb_to_gray_fixed(png, 1, -1, -1);
  png_read_update_info(png, info);
  if (png_get_channels(png, info) != 1 || png_get_bit_depth(png, info) != 8) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  // Allocation happens before any further libpng call that may jump.
  pixels.assign(static_cast<std::size_t>(width) * height, 0);
  rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y)
    rows[y] = pixels.data() + static_cast<std::size_t>(y) * width;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace

namespace vp {

bool encode_png(int width, int height, const std::vector<std::uint8_t>& dots, Bytes& out) {
  out.clear();
  if (width <= 0 || height <= 0 ||
      dots.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
    return false;
  }
  auto w = static_cast<std::size_t>(width);
  std::size_t stride = (w + 7) / 8;
  std::vector<png_byte> packed(stride * static_cast<std::size_t>(height), 0xFF);
  std::vector<png_bytep> rows(static_cast<std::size_t>(height));
  for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
    png_bytep row = packed.data() + stride * y;
    rows[y] = row;
    const std::uint8_t* line = dots.data() + y * w;
    std::size_t x = 0;
    for (; x + 8 <= w; x += 8) {
      // Eight dots of 0 or 1 to one byte, leftmost dot in the top bit (see the magic below).
      std::uint64_t eight;
      std::memcpy(&eight, line + x, 8);
      if ((eight & 0xFEFEFEFEFEFEFEFEULL) != 0) break;
      // Each dot i (byte i, little-endian) lands on bit 63 - i; no two products overlap.
      static_assert(std::endian::native == std::endian::little);
      row[x / 8] = static_cast<png_byte>(~((eight * 0x8040201008040201ULL) >> 56));
    }
    for (; x < w; x += 8) {
      unsigned ink = 0;
      for (std::size_t b = 0; b < 8 && x + b < w; ++b) ink |= (line[x + b] != 0 ? 0x80u : 0u) >> b;
      row[x / 8] = static_cast<png_byte>(~ink);
    }
  }
  out.reserve(packed.size() / 4 + 256);
  Sink sink{&out};
  return write_rows(sink, width, height, rows);
}

bool write_bytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace vp

bool save_label_png(const VirtualLabel& label, const std::filesystem::path& path) {
  Bytes png;
  return vp::encode_png(label.width, label.height, label.dots, png) && vp::write_bytes(path, png);
}

std::optional<VirtualLabel> load_label_png(const std::filesystem::path& path) {
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  png_uint_32 width = 0, height = 0;
  std::vector<png_byte> pixels;
  std::vector<png_bytep> rows;
  if (!read_grey(file.get(), width, height, pixels, rows)) return std::nullopt;
  VirtualLabel label;
  label.width = static_cast<int>(width);
  label.height = static_cast<int>(height);
  label.dots.resize(pixels.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) label.dots[i] = pixels[i] < 128 ? 1 : 0;
  label.png_path = path;
  return label;
}

}  // namespace quillkit
