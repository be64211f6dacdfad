#include "quillkit/bitmap/text_drawing.hpp"

#include <cmath>

#include "quillkit/bitmap/raster.hpp"
#include "quillkit/bitmap/rotation.hpp"

namespace quillkit::bitmap {

std::optional<ImageSize> text_image_size(double measured_width, double measured_height) {
  if (std::isnan(measured_width) || std::isnan(measured_height)) return std::nullopt;
  constexpr double kLimit = static_cast<double>(kMaxSurfaceSide) + 8.0;
  if (measured_width >= kLimit || measured_height >= kLimit) return std::nullopt;
  const auto truncated_width = static_cast<std::size_t>(std::max(0.0, std::trunc(measured_width)));
  const auto truncated_height =
      static_cast<std::size_t>(std::max(0.0, std::trunc(measured_height)));
  const ImageSize size{.width = truncated_width + (8 - truncated_width % 8),
                       .height = truncated_height + 1};
  if (!fits_surface_bound(size.width, size.height)) return std::nullopt;
  return size;
}

Image draw_text(platform::FontHost& host, std::string_view text, std::string_view font_name,
                std::intptr_t font_size, std::intptr_t rotation) {
  std::unique_ptr<platform::Font> font = host.open_font(font_name, static_cast<double>(font_size));
  const platform::TextExtent extent = font ? font->measure(text) : platform::TextExtent{};
  Image image;
  if (const auto size = text_image_size(extent.width, extent.height)) {
    image = Image(size->width, size->height);
    if (font) font->draw(text, image);
  } else {
    image = Image(8, 1);
  }
  if (rotation != 0) {
    // The angle goes through single precision on its way to a double, so that
    // angles beyond 2^24 degrees round as they always have.
    image = rotate_image(image, static_cast<double>(static_cast<float>(rotation)));
  }
  return image;
}

}  // namespace quillkit::bitmap
