// Drawing a line of text into an image sized from its measured extent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "quillkit/platform/font_host.hpp"
#include "quillkit/types.hpp"

namespace quillkit::bitmap {

struct ImageSize {
  std::size_t width = 0;
  std::size_t height = 0;
};

// The image size for a measured text extent: the width truncated and raised to
// the next multiple of 8 strictly above it (16.0 gives 24, 0 gives 8), the
// height truncated plus one (28.6 gives 29). Negative measures count as 0.
// Nothing when the size is beyond the surface bound of raster.hpp or a measure
// is not a number.
std::optional<ImageSize> text_image_size(double measured_width, double measured_height);

// Draws `text` in the font `font_name` (face or family, see FontHost) at
// `font_size` points into a transparent image of text_image_size(), black and
// without antialiasing, then turns it by `rotation` degrees unless that is 0.
// A font that cannot be opened measures and draws as nothing (8 by 1 before
// turning); a size beyond the bound gives an 8 by 1 transparent image.
Image draw_text(platform::FontHost& host, std::string_view text, std::string_view font_name,
                std::intptr_t font_size, std::intptr_t rotation);

}  // namespace quillkit::bitmap
