// Limits and checks shared by the drawing, rotation and packing units.
#pragma once

#include <cstddef>

#include "quillkit/types.hpp"

namespace quillkit::bitmap {

// The largest drawing surface the library makes: no side above kMaxSurfaceSide
// pixels and no more than kMaxSurfacePixels pixels (256 MiB of RGBA) in all.
// A text that would need more is drawn as an 8 by 1 transparent image.
inline constexpr std::size_t kMaxSurfaceSide = 32767;
inline constexpr std::size_t kMaxSurfacePixels = std::size_t{1} << 26;

inline bool fits_surface_bound(std::size_t width, std::size_t height) {
  return width <= kMaxSurfaceSide && height <= kMaxSurfaceSide &&
         width * height <= kMaxSurfacePixels;
}

// Whether `image` holds exactly width x height RGBA pixels. Images that do not
// are treated as having no bitmap.
inline bool is_well_formed(const Image& image) {
  if (image.width != 0 && image.height > image.rgba.max_size() / 4 / image.width) return false;
  return image.rgba.size() == image.width * image.height * 4;
}

}  // namespace quillkit::bitmap
