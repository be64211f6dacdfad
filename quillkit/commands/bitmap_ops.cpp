// The BITMAP operations on every printer class, host-font text and pictures:
// thin over the bitmap units and the printer's font host.
#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/bitmap/face_choice.hpp"
#include "quillkit/bitmap/packing.hpp"
#include "quillkit/bitmap/rotation.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {

namespace {
// The pause before every BITMAP command.
constexpr double kBitmapPause = 0.5;

// The pause, the link check, and the BITMAP command in one write.
Result send_bitmap(detail::PrinterCore& core, const Bytes& command) {
  core.clock().sleep_seconds(kBitmapPause);
  if (!core.link().ready_for_bitmap()) return -1;
  core.write(command);  // the write primitive's own result is not reported
  return 1;
}

}  // namespace

std::string Printer::fnFindFontWithName(std::string_view name, bool bold, bool italic) {
  return bitmap::find_font_with_name(core().fonts(), name, bold, italic);
}

Image Printer::fnDrawString(std::string_view text, std::string_view fontName,
                            std::intptr_t fontSize, bool /*withUnderline*/,
                            std::intptr_t rotation) {
  return bitmap::draw_text(core().fonts(), text, fontName, fontSize, rotation);
}

Image Printer::fnRotateImage(const Image& image, double degree) {
  return bitmap::rotate_image(image, degree);
}

double Printer::radians(double degree) { return bitmap::degrees_to_radians(degree); }

Bytes Printer::fnBitsFromImage(const Image& image) { return bitmap::pack_bits(image); }

Result Printer::windowsfont(std::intptr_t x, std::intptr_t y, std::intptr_t height,
                            std::intptr_t rotation, std::intptr_t style,
                            std::intptr_t withUnderline, std::string_view fontName,
                            std::string_view content) {
  return send_bitmap(core(), bitmap::windowsfont_command(core().fonts(), x, y, height, rotation,
                                                         style, withUnderline, fontName, content));
}

Bytes bitmap_bytes(std::intptr_t x, std::intptr_t y, const MonoImage& picture, BitmapMode mode) {
  if (picture.empty() || !picture.well_formed() ||
      static_cast<unsigned>(mode) > static_cast<unsigned>(BitmapMode::exclusive)) {
    return {};
  }
  return bitmap::bitmap_command(x, y, picture, mode);
}

Result Printer::sendbitmap(std::intptr_t x, std::intptr_t y, const MonoImage& picture,
                           BitmapMode mode) {
  const Bytes command = bitmap_bytes(x, y, picture, mode);
  if (command.empty()) return -1;
  return send_bitmap(core(), command);
}

}  // namespace quillkit
