// Text conversion: the library's texts are UTF-8; the printer also takes Big5,
// Big5-HKSCS and GB 18030, and the BITMAP header is Mac OS Roman.
//
// The converters are glibc's iconv tables: "BIG5", "BIG5-HKSCS" (the 2008
// edition of the HKSCS table, a superset of the 1999 edition for every
// character the 1999 table maps), "GB18030" (glibc's table, which follows the
// 2005 and later editions; it differs from GB 18030-2000 only in a handful of
// code points moved from the private use area to their standard Unicode
// places) and "MACINTOSH" (Mac OS Roman).
//
// Thread-safe: every call uses its own converter.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quillkit/types.hpp"

namespace quillkit::platform {

enum class Encoding { utf8, big5, big5_hkscs, gb18030, mac_roman };

// Converts the whole UTF-8 `text` to `encoding`, strictly: no byte-order mark,
// no substitution, no partial output. Returns nothing when `text` is not valid
// UTF-8 (overlong forms, surrogates and values above U+10FFFF included) or a
// character has no representation in `encoding`.
std::optional<Bytes> encode(std::string_view text, Encoding encoding);

// Whether `text` is valid UTF-8, as encode() judges it.
bool is_valid_utf8(std::string_view text);

// Decodes `bytes` written in the iconv character set `charset` ("UTF-8", "CP1252", "GB18030",
// "BIG5-HKSCS", ...) into characters, strictly: nothing when the set is unknown to iconv or a
// byte sequence is invalid in it. UTF-8 is decoded without iconv.
std::optional<std::u32string> decode(std::string_view bytes, const char* charset);

// The UTF-8 form of `text`; values that are no Unicode scalar become U+FFFD.
std::string to_utf8(std::u32string_view text);

}  // namespace quillkit::platform
