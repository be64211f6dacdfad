// Grey to one bit a dot, packed as the BITMAP command takes it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillkit/image.hpp"

namespace quillkit::image {

// Dithers `height` rows of `width` grey pixels (rows `width` bytes apart) with
// `mode`. `threshold` is the level of Dither::threshold and of the sharp areas
// of Dither::label. Allocates only the result and a few rows.
MonoImage dither(const std::uint8_t* grey, std::size_t width, std::size_t height, Dither mode,
                 std::uint8_t threshold);

}  // namespace quillkit::image
