// Helpers for tests that build and inspect RGBA images.
#pragma once

#include <array>
#include <cstring>

#include "quillkit/platform/font_host.hpp"
#include "quillkit/types.hpp"

namespace quillkit::testing {

using Pixel = std::array<std::uint8_t, 4>;
inline constexpr Pixel kInk{0, 0, 0, 255};
inline constexpr Pixel kClear{0, 0, 0, 0};

inline Pixel pixel_at(const Image& image, std::size_t x, std::size_t y) {
  Pixel p;
  std::memcpy(p.data(), image.rgba.data() + (y * image.width + x) * 4, 4);
  return p;
}

inline void set_pixel(Image& image, std::size_t x, std::size_t y, Pixel p) {
  std::memcpy(image.rgba.data() + (y * image.width + x) * 4, p.data(), 4);
}

// Pixels with any alpha.
inline std::size_t ink_count(const Image& image) {
  std::size_t count = 0;
  for (std::size_t i = 3; i < image.rgba.size(); i += 4) count += image.rgba[i] != 0;
  return count;
}

// An opaque image whose pixels are all distinct: R G column, B A row (A >= 1).
inline Image coordinate_image(std::size_t width, std::size_t height) {
  Image image(width, height);
  for (std::size_t i = 0; i < width * height; ++i) {
    const std::size_t x = i % width, y = i / width;
    set_pixel(image, x, y,
              {std::uint8_t(x), std::uint8_t(x >> 8), std::uint8_t(y), std::uint8_t(1 + (y >> 8))});
  }
  return image;
}

// A font host that sees only the named files of Debian's DejaVu folder.
inline std::unique_ptr<platform::FontHost> dejavu_host(const std::vector<std::string>& files) {
  std::vector<std::string> paths;
  for (const std::string& file : files) paths.push_back("/usr/share/fonts/truetype/dejavu/" + file);
  return platform::new_font_host_for_files(paths);
}

}  // namespace quillkit::testing
