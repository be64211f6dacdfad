// PNG encoding of labels, and whole files written (the public save and load functions live
// beside them).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "quillkit/types.hpp"

namespace quillkit::vp {

// The label as a 1-bit grey PNG (ink black) in memory; false on an empty label or a libpng
// failure.
bool encode_png(int width, int height, const std::vector<std::uint8_t>& dots, Bytes& out);
// Writes the whole file, replacing what was there; false when it cannot be written.
bool write_bytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace quillkit::vp
