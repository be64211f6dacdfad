// Turns the bytes of a TEXT, BLOCK or BARCODE field into characters.
#pragma once

#include <string>
#include <string_view>

namespace quillkit::vp {

// With a `codepage` (an iconv name chosen by CODEPAGE): the bytes in that page. Otherwise UTF-8
// when the bytes are valid UTF-8, else GB 18030 or Big5-HKSCS, whichever decodes; when both do,
// the one that yields more ideographs and CJK punctuation (GB 18030 on a tie). The bytes as
// Latin-1 when nothing decodes them. Best effort: it never fails.
std::u32string decode_text(std::string_view bytes, const std::string& codepage = {});

}  // namespace quillkit::vp
