#include <limits>

#include "quillkit/types.hpp"

namespace quillkit {

// A size whose byte count does not fit in a size_t gives an empty (0 by 0)
// image rather than a wrapped-around allocation.
Image::Image(std::size_t w, std::size_t h) {
  constexpr std::size_t kMaxPixels = std::numeric_limits<std::size_t>::max() / 4;
  if (w != 0 && h > kMaxPixels / w) return;
  width = w;
  height = h;
  rgba.assign(w * h * 4, 0);
}

}  // namespace quillkit
