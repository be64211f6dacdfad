// Turns the bytes of a TEXT or BARCODE field into characters.
#pragma once

#include <string>
#include <string_view>

namespace quillkit::vp {

// UTF-8 when the bytes are valid UTF-8. Otherwise GB 18030 or Big5-HKSCS, whichever decodes
// (Big5 is tried first when a lead byte A1-F9 is followed by a trail byte 40-7E, which GB 2312
// text never has); the bytes as Latin-1 when neither does. Best effort: it never fails.
std::u32string decode_text(std::string_view bytes);

// UTF-8 form of the characters (for the log and file names).
std::string to_utf8(const std::u32string& text);

}  // namespace quillkit::vp
