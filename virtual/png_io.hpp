// PNG encoding of labels (the public save and load functions live beside it).
#pragma once

#include "quillkit/types.hpp"
#include "quillkit/virtual_printer.hpp"

namespace quillkit::vp {

// The label as a 1-bit grey PNG (ink black) in memory; false on an empty label or a libpng
// failure.
bool encode_png(const VirtualLabel& label, Bytes& out);

}  // namespace quillkit::vp
