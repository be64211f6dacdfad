// Packing an RGBA image to one bit per printer dot.
#pragma once

#include <cstdint>

#include "quillkit/types.hpp"

namespace quillkit::bitmap {

// (width div 8) x height bytes, rows from the top, each row starting on a byte
// boundary; the leftmost pixel is the most significant bit. A bit is 1 for a
// pixel with alpha 0 (no dot) and 0 for any other alpha (a dot); colour is not
// looked at. The last (width mod 8) pixels of each row are dropped. An empty
// image, or one whose pixel buffer does not match its size, gives no bytes.
Bytes pack_bits(const Image& image);

// The image widened on the right with transparent pixels to the next multiple
// of 8 (unchanged when it already is one), so that packing drops no pixel.
// An image whose pixel buffer does not match its size is returned unchanged.
Image pad_to_byte_width(const Image& image);

}  // namespace quillkit::bitmap
