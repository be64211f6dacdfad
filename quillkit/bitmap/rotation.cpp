#include "quillkit/bitmap/rotation.hpp"

#include <cmath>
#include <cstring>
#include <numbers>

#include "quillkit/bitmap/raster.hpp"

namespace quillkit::bitmap {

double degrees_to_radians(double degree) { return degree * std::numbers::pi / 180.0; }

Image rotate_image(const Image& image, double degree) {
  if (!is_well_formed(image)) return Image();
  if (!std::isfinite(degree)) return image;
  const std::size_t w = image.width;
  const std::size_t h = image.height;
  const bool swap = degree == 90.0 || degree == 270.0;
  Image turned(swap ? h : w, swap ? w : h);
  if (turned.empty()) return turned;

  // Exact sine and cosine for quarter turns, so that pixel centres map onto
  // pixel centres without rounding.
  double turn = std::fmod(degree, 360.0);
  if (turn < 0) turn += 360.0;
  double c = 1.0;
  double s = 0.0;
  if (turn == 90.0) {
    c = 0.0, s = 1.0;
  } else if (turn == 180.0) {
    c = -1.0, s = 0.0;
  } else if (turn == 270.0) {
    c = 0.0, s = -1.0;
  } else if (turn != 0.0 && turn != 360.0) {
    c = std::cos(degrees_to_radians(turn));
    s = std::sin(degrees_to_radians(turn));
  }

  // Each destination pixel centre, taken back through the inverse turn, picks
  // the source pixel it falls in.
  const double half_w = static_cast<double>(w) / 2.0;
  const double half_h = static_cast<double>(h) / 2.0;
  const double new_half_w = static_cast<double>(turned.width) / 2.0;
  const double new_half_h = static_cast<double>(turned.height) / 2.0;
  std::uint8_t* out = turned.rgba.data();
  for (std::size_t y = 0; y < turned.height; ++y) {
    const double dy = static_cast<double>(y) + 0.5 - new_half_h;
    for (std::size_t x = 0; x < turned.width; ++x, out += 4) {
      const double dx = static_cast<double>(x) + 0.5 - new_half_w;
      const double sx = c * dx + s * dy + half_w;
      const double sy = -s * dx + c * dy + half_h;
      if (!(sx >= 0.0 && sx < static_cast<double>(w) && sy >= 0.0 && sy < static_cast<double>(h))) {
        continue;
      }
      const auto column = static_cast<std::size_t>(sx);
      const auto row = static_cast<std::size_t>(sy);
      std::memcpy(out, image.rgba.data() + (row * w + column) * 4, 4);
    }
  }
  return turned;
}

}  // namespace quillkit::bitmap
