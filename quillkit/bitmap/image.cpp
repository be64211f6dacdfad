#include <limits>
#include <new>

#include "quillkit/types.hpp"

namespace quillkit {

// A size whose bytes cannot be counted in a size_t or allocated gives an empty
// (0 by 0) image: the library throws nothing across its interface.
Image::Image(std::size_t w, std::size_t h) {
  constexpr std::size_t kMaxPixels = std::numeric_limits<std::size_t>::max() / 4;
  if (w != 0 && h > kMaxPixels / w) return;
  try {
    rgba.assign(w * h * 4, 0);
  } catch (const std::exception&) {  // std::bad_alloc or std::length_error
    return;
  }
  width = w;
  height = h;
}

}  // namespace quillkit
