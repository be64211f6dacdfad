// The BITMAP command, for host-font text and pictures.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "quillkit/image.hpp"
#include "quillkit/platform/font_host.hpp"
#include "quillkit/types.hpp"

namespace quillkit::bitmap {

// "BITMAP x,y,width in bytes,height,2," then the packed raster, then CR LF, in
// one buffer. The image is first padded on the right to a whole number of
// bytes, so the width field covers every pixel. Numbers are decimal ASCII with
// a leading minus sign when negative.
Bytes bitmap_command(std::intptr_t x, std::intptr_t y, const Image& image);

// "BITMAP x,y,row bytes,height,mode," then the picture's bits, then CR LF, in
// one buffer. The picture must be well formed.
Bytes bitmap_command(std::intptr_t x, std::intptr_t y, const MonoImage& picture, BitmapMode mode);

// Everything windowsfont does before its pause: the face for `style` (0 plain,
// 1 italic, 2 bold, 3 bold italic, others plain), the text drawn at `height`
// points and turned by `rotation` degrees, and the command built from it.
// `with_underline` is accepted and changes nothing.
Bytes windowsfont_command(platform::FontHost& host, std::intptr_t x, std::intptr_t y,
                          std::intptr_t height, std::intptr_t rotation, std::intptr_t style,
                          std::intptr_t with_underline, std::string_view font_name,
                          std::string_view content);

}  // namespace quillkit::bitmap
