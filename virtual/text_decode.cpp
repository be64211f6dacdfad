#include "virtual/text_decode.hpp"

#include <cstdint>
#include <optional>

#include "quillkit/platform/text_codec.hpp"

namespace quillkit::vp {
namespace {

// How much a decoding looks like Chinese text: ideographs, CJK punctuation and ASCII count.
int score(const std::u32string& text) {
  int points = 0;
  for (char32_t c : text) {
    if ((c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3000 && c <= 0x303F) || c < 0x80 ||
        (c >= 0xFF00 && c <= 0xFFEF)) {
      ++points;
    }
  }
  return points;
}

}  // namespace

std::u32string decode_text(std::string_view bytes, const std::string& codepage) {
  using platform::decode;
  if (!codepage.empty()) {
    if (auto text = decode(bytes, codepage.c_str())) return *text;
  } else {
    if (auto utf8 = decode(bytes, "UTF-8")) return *utf8;
    auto gb = decode(bytes, "GB18030");
    auto big5 = decode(bytes, "BIG5-HKSCS");
    if (gb && big5) return score(*big5) > score(*gb) ? *big5 : *gb;
    if (gb) return *gb;
    if (big5) return *big5;
  }
  std::u32string latin1;
  latin1.reserve(bytes.size());
  for (char c : bytes) latin1.push_back(static_cast<std::uint8_t>(c));
  return latin1;
}

}  // namespace quillkit::vp
