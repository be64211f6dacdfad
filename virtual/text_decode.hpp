// Turns the bytes of a TEXT or BARCODE field into characters.
#pragma once

#include <string>
#include <string_view>

namespace quillkit::vp {

// UTF-8 when the bytes are valid UTF-8. Otherwise GB 18030 or Big5-HKSCS, whichever decodes;
// when both do, the one that yields more ideographs and CJK punctuation (GB 18030 on a tie).
// The bytes as Latin-1 when neither decodes. Best effort: it never fails.
std::u32string decode_text(std::string_view bytes);

// UTF-8 form of the characters (for the log and file names).
std::string to_utf8(const std::u32string& text);

}  // namespace quillkit::vp
