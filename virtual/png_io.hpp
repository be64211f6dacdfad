// PNG encoding of labels (the public save and load functions live beside it).
#pragma once

#include <cstdint>
#include <vector>

#include "quillkit/types.hpp"
#include "quillkit/virtual_printer.hpp"

namespace quillkit::vp {

// The label as a 1-bit grey PNG (ink black) in memory; false on an empty label or a libpng
// failure.
bool encode_png(const VirtualLabel& label, Bytes& out);
bool encode_png(int width, int height, const std::vector<std::uint8_t>& dots, Bytes& out);

}  // namespace quillkit::vp
