#include "quillkit/bitmap/bitmap_command.hpp"

#include <optional>
#include <string>

#include "quillkit/bitmap/face_choice.hpp"
#include "quillkit/bitmap/packing.hpp"
#include "quillkit/bitmap/text_drawing.hpp"

namespace quillkit::bitmap {
namespace {

Bytes command_with(std::intptr_t x, std::intptr_t y, std::size_t row_bytes, std::size_t height,
                   int mode, std::span<const std::uint8_t> raster) {
  const std::string header = "BITMAP " + std::to_string(x) + "," + std::to_string(y) + "," +
                             std::to_string(row_bytes) + "," + std::to_string(height) + "," +
                             std::to_string(mode) + ",";
  Bytes command;
  command.reserve(header.size() + raster.size() + 2);
  command.insert(command.end(), header.begin(), header.end());
  command.insert(command.end(), raster.begin(), raster.end());
  command.push_back('\r');
  command.push_back('\n');
  return command;
}

}  // namespace

Bytes bitmap_command(std::intptr_t x, std::intptr_t y, const MonoImage& picture, BitmapMode mode) {
  return command_with(x, y, picture.row_bytes(), picture.height, static_cast<int>(mode),
                      picture.bits);
}

Bytes bitmap_command(std::intptr_t x, std::intptr_t y, const Image& image) {
  // Only images turned by 90 or 270 degrees need padding; the others are
  // packed where they are, without copying the whole raster.
  std::optional<Image> padded_copy;
  if (image.width % 8 != 0) padded_copy = pad_to_byte_width(image);
  const Image& padded = padded_copy ? *padded_copy : image;
  const Bytes raster = pack_bits(padded);
  // An image without a usable bitmap packs to nothing; its size fields then
  // say so too, keeping the command well formed.
  const bool usable = !raster.empty();
  return command_with(x, y, usable ? padded.width / 8 : 0, usable ? padded.height : 0,
                      static_cast<int>(BitmapMode::exclusive), raster);
}

Bytes windowsfont_command(platform::FontHost& host, std::intptr_t x, std::intptr_t y,
                          std::intptr_t height, std::intptr_t rotation, std::intptr_t style,
                          std::intptr_t /*with_underline*/, std::string_view font_name,
                          std::string_view content) {
  const bool bold = style == 2 || style == 3;
  const bool italic = style == 1 || style == 3;
  const std::string face = find_font_with_name(host, font_name, bold, italic);
  return bitmap_command(x, y, draw_text(host, content, face, height, rotation));
}

}  // namespace quillkit::bitmap
