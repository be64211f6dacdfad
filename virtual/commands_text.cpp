// Text: TEXT and the wrapped BLOCK, in the resident fonts, the scalable fonts and fonts stored
// by DOWNLOAD.
#include <algorithm>
#include <cmath>

#include "virtual/commands.hpp"

namespace quillkit::vp {
namespace {

struct ResidentFont {
  char name;
  int width;
  int height;
};
constexpr ResidentFont kResidentFonts[] = {{'1', 8, 12},  {'2', 12, 20}, {'3', 16, 24},
                                           {'4', 24, 32}, {'5', 32, 48}, {'6', 14, 19},
                                           {'7', 21, 27}, {'8', 14, 25}};
// The line height given to font names whose size the virtual printer does not know.
constexpr int kApproximateDots = 24;
// Scalable text smaller than this is taken as a magnification of kApproximateDots.
constexpr int kSmallestScalableDots = 8;

// How one text is drawn.
struct TextStyle {
  const ResidentFont* resident = nullptr;
  int mx = 1, my = 1;                 // resident fonts: integer magnification
  double height = 0;                  // scalable: line height in dots
  double stretch = 1;                 // scalable: width over height scale
  const VirtualFile* file = nullptr;  // a stored TrueType font
};

// Resolves a font name and its magnifications; logs what it approximates. Nothing when the
// magnification is out of range (the call is then malformed).
std::optional<TextStyle> text_style(Call& call, std::string_view font, double mx, double my) {
  TextStyle style;
  if (mx <= 0 || my <= 0 || mx > VirtualLimits::kMaxMagnification * 100.0 ||
      my > VirtualLimits::kMaxMagnification * 100.0) {
    return std::nullopt;
  }
  if (font.size() == 1) {
    for (const ResidentFont& f : kResidentFonts) {
      if (f.name == font[0]) style.resident = &f;
    }
  }
  if (style.resident != nullptr) {
    long long ix = std::lround(mx), iy = std::lround(my);
    if (ix < 1 || iy < 1 || ix > VirtualLimits::kMaxMagnification ||
        iy > VirtualLimits::kMaxMagnification) {
      return std::nullopt;
    }
    style.mx = static_cast<int>(ix);
    style.my = static_cast<int>(iy);
    return style;
  }
  std::string name = upper(font);
  const double points = call.settings().setup.dpi / 72.0;
  style.stretch = std::clamp(mx / my, 0.1, 10.0);
  if (name.ends_with(".BF2") && name.find_first_of("0123456789") != std::string::npos) {
    // Double-byte bitmap fonts carry their height in dots in the name (TSS24.BF2).
    std::size_t digits = name.find_first_of("0123456789");
    long long cell = 0;
    parse_int(name.substr(digits, name.find_first_not_of("0123456789", digits) - digits), cell);
    style.height = static_cast<double>(cell) * my;
    return style;
  }
  if (name.ends_with(".TTF") || name.ends_with(".TTC") || name.ends_with(".OTF")) {
    style.file = call.files().find(font);
    if (style.file == nullptr) style.file = call.files().find(name);
  }
  bool truetype = name == "0" || name == "ROMAN.TTF" || style.file != nullptr;
  if (name == "ROMAN.TTF") style.stretch = 1;
  if (truetype && my * points >= kSmallestScalableDots) {
    style.height = my * points;
  } else {
    style.height = kApproximateDots * std::min(my, double{VirtualLimits::kMaxMagnification});
    call.ignored("font \"" + std::string(font) + "\" size (drawn " +
                 std::to_string(static_cast<int>(style.height)) + " dots high)");
  }
  return style;
}

// The text upright; an empty image when it would exceed the element cap or the height cap.
Mono draw_text(Call& call, const TextStyle& style, const std::u32string& text) {
  FontRenderer& fonts = call.fonts();
  if (style.resident != nullptr) {
    const ResidentFont& f = *style.resident;
    if (text.size() * static_cast<std::size_t>(f.width * style.mx) *
            static_cast<std::size_t>(f.height * style.my) >
        VirtualLimits::kMaxElementDots) {
      return Mono();
    }
    return magnify(fonts.cell_text(text, f.width, f.height), style.mx, style.my);
  }
  int height = static_cast<int>(std::lround(style.height));
  if (height < 1 || height > VirtualLimits::kMaxScalableTextDots) return Mono();
  const Bytes* face = style.file != nullptr ? &style.file->data : nullptr;
  std::string key = style.file != nullptr ? style.file->name : std::string();
  return fonts.scalable_text(text, height, style.stretch, VirtualLimits::kMaxElementDots, face,
                             key);
}

// The style and characters of a TEXT or BLOCK; false (the call logged as malformed) when the
// magnification is out of range. Characters past the cap are dropped and logged.
bool prepare(Call& call, std::string_view font, double mx, double my, const std::string& content,
             TextStyle& style, std::u32string& characters) {
  auto resolved = text_style(call, font, mx, my);
  if (!resolved) {
    call.malformed("magnification");
    return false;
  }
  style = *resolved;
  characters = call.decode(content);
  if (characters.size() > VirtualLimits::kMaxTextChars) {
    call.ignored("characters past " + std::to_string(VirtualLimits::kMaxTextChars));
    characters.resize(VirtualLimits::kMaxTextChars);
  }
  return true;
}

int line_height(const TextStyle& style) {
  return style.resident != nullptr ? style.resident->height * style.my
                                   : static_cast<int>(std::lround(style.height));
}

// Greedy word wrap to `width` dots; a word wider than a line is broken between characters.
std::vector<std::u32string> wrap(Call& call, const TextStyle& style, const std::u32string& text,
                                 int width) {
  std::vector<std::u32string> lines;
  std::u32string line;
  auto fits = [&](const std::u32string& candidate) {
    return draw_text(call, style, candidate).width <= width;
  };
  std::size_t i = 0;
  while (i <= text.size()) {
    if (i == text.size() || text[i] == U'\n') {
      lines.push_back(line);
      line.clear();
      ++i;
      continue;
    }
    std::size_t end = text.find_first_of(U" \n", i);
    if (end == std::u32string::npos) end = text.size();
    std::u32string word = text.substr(i, end - i);
    std::u32string candidate = line.empty() ? word : line + U' ' + word;
    if (fits(candidate)) {
      line = candidate;
    } else {
      if (!line.empty()) lines.push_back(line);
      line.clear();
      for (char32_t c : word) {
        if (!line.empty() && !fits(line + c)) {
          lines.push_back(line);
          line.clear();
        }
        line += c;
      }
    }
    i = end < text.size() && text[end] == U' ' ? end + 1 : end;
    if (lines.size() > VirtualLimits::kMaxTextChars) break;
  }
  return lines;
}

}  // namespace

void cmd_text(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  std::string_view font = call.quoted(2);
  int rotation = call.rotation(3);
  double mx = call.number(4, 0, 1e6), my = call.number(5, 0, 1e6);
  long long alignment = call.has(6) ? call.integer(6, 0, 3) : 1;
  auto content = call.content_text();
  if (!call.ok() || !content || font.empty()) return call.malformed();
  TextStyle style;
  std::u32string characters;
  if (!prepare(call, font, mx, my, *content, style, characters) || characters.empty()) return;
  Mono element = draw_text(call, style, characters);
  if (element.width == 0) return call.malformed("text larger than the element cap");
  call.place(element, x, y, rotation, static_cast<int>(alignment));
}

void cmd_block(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  long long width = call.integer(2, 1, VirtualLimits::kMaxLabelWidthDots * 2);
  long long height = call.integer(3, 1, VirtualLimits::kMaxLabelHeightDots * 2);
  std::string_view font = call.quoted(4);
  int rotation = call.rotation(5);
  double mx = call.number(6, 0, 1e6), my = call.number(7, 0, 1e6);
  std::size_t n = call.fields.size();
  long long space = n >= 10 ? call.integer(8, -1000, 1000) : 0;
  long long alignment = call.integer(n >= 10 ? 9 : 8, 0, 3);
  long long fit = n == 11 ? call.integer(10, 0, 1) : 0;
  auto content = call.content_text();
  if (!call.ok() || !content || font.empty()) return call.malformed();
  if (static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) >
      VirtualLimits::kMaxElementDots) {
    return call.malformed("block larger than the element cap");
  }
  TextStyle text;
  std::u32string characters;
  if (!prepare(call, font, mx, my, *content, text, characters)) return;
  TextStyle* style = &text;
  std::vector<std::u32string> lines = wrap(call, *style, characters, static_cast<int>(width));
  // Fit: shrink the scalable font until every line fits the box's height.
  while (fit == 1 && style->resident == nullptr && style->height > kSmallestScalableDots &&
         static_cast<long long>(lines.size()) * (line_height(*style) + space) - space > height) {
    style->height *= 0.9;
    lines = wrap(call, *style, characters, static_cast<int>(width));
  }
  if (fit == 1 && style->resident != nullptr) call.ignored("fit with a resident font");
  Mono box(static_cast<int>(width), static_cast<int>(height));
  int top = 0;
  for (const std::u32string& line : lines) {
    int step = line_height(*style);
    if (top + step > height) break;
    Mono drawn = draw_text(call, *style, line);
    int left = alignment == 2   ? (box.width - drawn.width) / 2
               : alignment == 3 ? box.width - drawn.width
                                : 0;
    box.draw(drawn, left, top);
    top += step + static_cast<int>(space);
  }
  call.place(box, x, y, rotation);
}

}  // namespace quillkit::vp
