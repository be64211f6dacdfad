#include "virtual/text_decode.hpp"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <optional>

namespace quillkit::vp {
namespace {

std::optional<std::u32string> decode_utf8(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    auto b = static_cast<std::uint8_t>(bytes[i]);
    int extra;
    char32_t c;
    if (b < 0x80) {
      extra = 0;
      c = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      c = b & 0x07;
    } else {
      return std::nullopt;
    }
    if (i + static_cast<std::size_t>(extra) >= bytes.size()) return std::nullopt;
    for (int k = 1; k <= extra; ++k) {
      auto t = static_cast<std::uint8_t>(bytes[i + static_cast<std::size_t>(k)]);
      if ((t & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (t & 0x3F);
    }
    if ((extra == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
        (extra == 3 && (c < 0x10000 || c > 0x10FFFF))) {
      return std::nullopt;
    }
    out.push_back(c);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

std::optional<std::u32string> decode_with(const char* encoding, std::string_view bytes) {
  iconv_t cd = iconv_open("UTF-32LE", encoding);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in_ptr = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  char* out_ptr = out.data();
  std::size_t out_left = out.size();
  std::size_t result = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
  iconv_close(cd);
  if (result == static_cast<std::size_t>(-1) || in_left != 0) return std::nullopt;
  std::size_t produced = out.size() - out_left;
  std::u32string text;
  text.reserve(produced / 4);
  for (std::size_t k = 0; k + 3 < produced; k += 4) {
    auto byte = [&](std::size_t n) {
      return static_cast<char32_t>(static_cast<std::uint8_t>(out[k + n]));
    };
    text.push_back(byte(0) | (byte(1) << 8) | (byte(2) << 16) | (byte(3) << 24));
  }
  return text;
}

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

std::u32string decode_text(std::string_view bytes) {
  if (auto utf8 = decode_utf8(bytes)) return *utf8;
  auto gb = decode_with("GB18030", bytes);
  auto big5 = decode_with("BIG5-HKSCS", bytes);
  if (gb && big5) return score(*big5) > score(*gb) ? *big5 : *gb;
  if (gb) return *gb;
  if (big5) return *big5;
  std::u32string latin1;
  latin1.reserve(bytes.size());
  for (char c : bytes) latin1.push_back(static_cast<std::uint8_t>(c));
  return latin1;
}

std::string to_utf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace quillkit::vp
