#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <cstring>

#include "quillkit/platform/text_codec.hpp"

namespace quillkit::platform {
namespace {

const char* iconv_name(Encoding encoding) {
  switch (encoding) {
    case Encoding::utf8:
      return "UTF-8";
    case Encoding::big5:
      return "BIG5";
    case Encoding::big5_hkscs:
      return "BIG5-HKSCS";
    case Encoding::gb18030:
      return "GB18030";
    case Encoding::mac_roman:
      return "MACINTOSH";
  }
  return "UTF-8";
}

class Converter {
 public:
  explicit Converter(const char* to) : cd_(iconv_open(to, "UTF-8")) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  std::optional<Bytes> run(std::string_view text) {
    Bytes out(text.size() * 4 + 16);
    char* in_ptr = const_cast<char*>(text.data());
    size_t in_left = text.size();
    char* out_ptr = reinterpret_cast<char*>(out.data());
    size_t out_left = out.size();
    while (in_left > 0) {
      if (iconv(cd_, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1)) continue;
      if (errno != E2BIG) return std::nullopt;
      const size_t used = out.size() - out_left;
      out.resize(out.size() * 2);
      out_ptr = reinterpret_cast<char*>(out.data()) + used;
      out_left = out.size() - used;
    }
    // Flush any shift state (stateful tables end their sequences here).
    for (;;) {
      if (iconv(cd_, nullptr, nullptr, &out_ptr, &out_left) != static_cast<size_t>(-1)) break;
      if (errno != E2BIG) return std::nullopt;
      const size_t used = out.size() - out_left;
      out.resize(out.size() * 2);
      out_ptr = reinterpret_cast<char*>(out.data()) + used;
      out_left = out.size() - used;
    }
    out.resize(out.size() - out_left);
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

namespace {

// Walks UTF-8 `text`, handing each character to `emit`; false at the first invalid sequence.
template <typename Emit>
bool walk_utf8(std::string_view text, Emit&& emit) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      emit(static_cast<char32_t>(c));
      ++p;
      continue;
    }
    int length;
    char32_t code;
    char32_t minimum;
    if ((c & 0xE0) == 0xC0) {
      length = 2, code = c & 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, code = c & 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, code = c & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (end - p < length) return false;
    for (int i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    emit(code);
    p += length;
  }
  return true;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  return walk_utf8(text, [](char32_t) {});
}

std::optional<std::u32string> decode(std::string_view bytes, const char* charset) {
  std::u32string out;
  out.reserve(bytes.size());
  if (std::strcmp(charset, "UTF-8") == 0) {
    if (!walk_utf8(bytes, [&out](char32_t c) { out.push_back(c); })) return std::nullopt;
    return out;
  }
  iconv_t cd = iconv_open("UTF-32LE", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  // No table yields more than one character per input byte, plus a flushed shift sequence.
  std::string wide(bytes.size() * 4 + 16, '\0');
  char* in_ptr = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  char* out_ptr = wide.data();
  size_t out_left = wide.size();
  bool ok = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1) &&
            in_left == 0 &&
            iconv(cd, nullptr, nullptr, &out_ptr, &out_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  const size_t produced = wide.size() - out_left;
  for (size_t k = 0; k + 3 < produced; k += 4) {
    auto byte = [&](size_t n) {
      return static_cast<char32_t>(static_cast<std::uint8_t>(wide[k + n]));
    };
    out.push_back(byte(0) | (byte(1) << 8) | (byte(2) << 16) | (byte(3) << 24));
  }
  return out;
}

std::string to_utf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
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

std::optional<Bytes> encode(std::string_view text, Encoding encoding) {
  if (!is_valid_utf8(text)) return std::nullopt;
  if (encoding == Encoding::utf8) return Bytes(text.begin(), text.end());
  Converter converter(iconv_name(encoding));
  if (!converter.ok()) return std::nullopt;
  return converter.run(text);
}

}  // namespace quillkit::platform
