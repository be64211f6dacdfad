#include "virtual/barcode_renderer.hpp"

#include <zint.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "virtual/command_parser.hpp"
#include "virtual/text_decode.hpp"

namespace quillkit::vp {
namespace {

struct SymbolDeleter {
  void operator()(zint_symbol* symbol) const { ZBarcode_Delete(symbol); }
};
using Symbol = std::unique_ptr<zint_symbol, SymbolDeleter>;

struct Symbology {
  std::string_view name;
  int symbology;      // 0: the type exists in the language but zint cannot draw it
  int check_variant;  // tried when the first refuses the data (check digit included), or 0
  bool two_widths;
  int option_2;
  int add_on;  // EAN/UPC add-on digits at the end of the data (2 or 5), or 0
};

constexpr Symbology kSymbologies[] = {
    {"11", BARCODE_CODE11, 0, true, 0, 0},
    {"128", BARCODE_CODE128, 0, false, 0, 0},
    {"128M", BARCODE_CODE128, 0, false, 0, 0},
    {"25", BARCODE_C25INTER, 0, true, 0, 0},
    {"25C", BARCODE_C25INTER, 0, true, 1, 0},
    {"25I", BARCODE_C25IND, 0, true, 0, 0},
    {"25S", BARCODE_C25STANDARD, 0, true, 0, 0},
    {"39", BARCODE_EXCODE39, 0, true, 0, 0},
    {"39C", BARCODE_EXCODE39, 0, true, 1, 0},
    {"39S", BARCODE_CODE39, 0, true, 0, 0},
    {"93", BARCODE_CODE93, 0, false, 0, 0},
    {"CODA", BARCODE_CODABAR, 0, true, 0, 0},
    {"CODABAR", BARCODE_CODABAR, 0, true, 0, 0},
    {"CODE49", BARCODE_CODE49, 0, false, 0, 0},
    {"CPOST", 0, 0, false, 0, 0},
    {"DPI", BARCODE_DPIDENT, 0, true, 0, 0},
    {"DPL", BARCODE_DPLEIT, 0, true, 0, 0},
    {"EAN128", BARCODE_GS1_128, 0, false, 0, 0},
    {"EAN13", BARCODE_EANX, BARCODE_EANX_CHK, false, 0, 0},
    {"EAN13+2", BARCODE_EANX, BARCODE_EANX_CHK, false, 0, 2},
    {"EAN13+5", BARCODE_EANX, BARCODE_EANX_CHK, false, 0, 5},
    {"EAN14", BARCODE_EAN14, 0, false, 0, 0},
    {"EAN8", BARCODE_EANX, BARCODE_EANX_CHK, false, 0, 0},
    {"EAN8+2", BARCODE_EANX, BARCODE_EANX_CHK, false, 0, 2},
    {"EAN8+5", BARCODE_EANX, BARCODE_EANX_CHK, false, 0, 5},
    {"ITF", BARCODE_C25INTER, 0, true, 0, 0},
    {"ITF14", BARCODE_ITF14, 0, true, 0, 0},
    {"LOGMARS", BARCODE_LOGMARS, 0, true, 0, 0},
    {"MSI", BARCODE_MSI_PLESSEY, 0, true, 0, 0},
    {"MSIC", BARCODE_MSI_PLESSEY, 0, true, 1, 0},
    {"PLANET", BARCODE_PLANET, 0, false, 0, 0},
    {"PLESSEY", BARCODE_PLESSEY, 0, true, 0, 0},
    {"POST", BARCODE_POSTNET, 0, false, 0, 0},
    {"TELEPEN", BARCODE_TELEPEN, 0, false, 0, 0},
    {"TELEPENN", BARCODE_TELEPEN_NUM, 0, false, 0, 0},
    {"UPCA", BARCODE_UPCA, BARCODE_UPCA_CHK, false, 0, 0},
    {"UPCA+2", BARCODE_UPCA, BARCODE_UPCA_CHK, false, 0, 2},
    {"UPCA+5", BARCODE_UPCA, BARCODE_UPCA_CHK, false, 0, 5},
    {"UPCE", BARCODE_UPCE, BARCODE_UPCE_CHK, false, 0, 0},
    {"UPCE+2", BARCODE_UPCE, BARCODE_UPCE_CHK, false, 0, 2},
    {"UPCE+5", BARCODE_UPCE, BARCODE_UPCE_CHK, false, 0, 5},
};

const Symbology* find_symbology(std::string_view name) {
  std::string wanted = upper(name);
  for (const Symbology& s : kSymbologies) {
    if (s.name == wanted) return &s;
  }
  return nullptr;
}

// Reads the control codes of manual Code 128 ("!" and three digits). FNC1 first makes the
// symbol GS1-128: each FNC1 starts an element string, whose first two digits stand as its
// application identifier for zint (the bars do not depend on where identifiers end). Start and
// code-set codes only choose an encoding, which zint chooses itself; FNC2, FNC3 and SHIFT are
// named in `ignored`.
std::string manual_code128(std::string_view data, bool& gs1, std::string& ignored) {
  std::string plain;
  std::vector<std::string> elements;
  gs1 = false;
  bool any_text = false;
  for (std::size_t i = 0; i < data.size(); ++i) {
    int value = -1;
    if (data[i] == '!' && i + 3 < data.size()) {
      std::string_view digits = data.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        value = (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
      }
    }
    if (value < 0 || value > 106) {
      plain.push_back(data[i]);
      any_text = true;
      if (gs1 && !elements.empty()) elements.back().push_back(data[i]);
      continue;
    }
    i += 3;
    if (value == 102) {
      if (!any_text) gs1 = true;
      if (gs1) {
        elements.emplace_back();
      } else {
        ignored += " FNC1 inside the data";
      }
    } else if (value == 96 || value == 97 || value == 98) {
      ignored += value == 96 ? " FNC3" : value == 97 ? " FNC2" : " SHIFT";
    }
  }
  if (!gs1) return plain;
  std::string out;
  for (const std::string& element : elements) {
    if (element.size() < 2) continue;
    out += "[" + element.substr(0, 2) + "]" + element.substr(2);
  }
  return out;
}

bool module_set(const zint_symbol& symbol, int row, int col) {
  return ((symbol.encoded_data[row][col >> 3] >> (col & 7)) & 1) != 0;
}

// A zint symbol set up for the symbology; null, with `error` set, when zint has no memory.
Symbol create(int symbology, int option_1, int option_2, int input_mode, std::string& error) {
  Symbol symbol(ZBarcode_Create());
  if (!symbol) {
    error = "zint could not allocate a symbol";
    return nullptr;
  }
  symbol->symbology = symbology;
  symbol->option_1 = option_1;
  symbol->option_2 = option_2;
  symbol->input_mode = input_mode;
  return symbol;
}

Symbol encode(int symbology, int option_1, int option_2, int input_mode, std::string_view data,
              std::string& error) {
  Symbol symbol = create(symbology, option_1, option_2, input_mode, error);
  if (!symbol) return nullptr;
  int result = ZBarcode_Encode(symbol.get(), reinterpret_cast<const unsigned char*>(data.data()),
                               static_cast<int>(data.size()));
  if (result >= ZINT_ERROR || symbol->width <= 0 || symbol->rows <= 0) {
    error = symbol->errtxt[0] != '\0' ? symbol->errtxt : "zint refused the data";
    return nullptr;
  }
  return symbol;
}

}  // namespace

std::optional<Mono> render_barcode(const BarcodeRequest& request, FontRenderer& fonts,
                                   std::string& error, std::string& ignored) {
  const Symbology* symbology = find_symbology(request.type);
  if (symbology == nullptr) {
    error = "unknown barcode type \"" + request.type + "\"";
    return std::nullopt;
  }
  if (symbology->symbology == 0) {
    error = "barcode type " + std::string(symbology->name) + " cannot be drawn (zint lacks it)";
    return std::nullopt;
  }
  if (request.data.empty()) {
    error = "empty barcode data";
    return std::nullopt;
  }
  std::string data = request.data;
  int zint_type = symbology->symbology;
  int input_mode = zint_type == BARCODE_GS1_128 ? (GS1_MODE | GS1PARENS_MODE) : DATA_MODE;
  if (symbology->name == "128M") {
    bool gs1 = false;
    data = manual_code128(data, gs1, ignored);
    if (gs1) {
      zint_type = BARCODE_GS1_128;
      input_mode = GS1_MODE | GS1NOCHECK_MODE;
    }
    if (data.empty()) {
      error = "no data besides control codes";
      return std::nullopt;
    }
  }
  if (symbology->add_on > 0) {
    auto n = static_cast<std::size_t>(symbology->add_on);
    if (data.size() <= n) {
      error = "data shorter than its add-on";
      return std::nullopt;
    }
    data = data.substr(0, data.size() - n) + "+" + data.substr(data.size() - n);
  }
  if ((zint_type == BARCODE_CODE39 || zint_type == BARCODE_EXCODE39) && data.size() >= 2 &&
      data.front() == '*' && data.back() == '*') {
    data = data.substr(1, data.size() - 2);
  }
  if (symbology->symbology == BARCODE_CODABAR) {
    auto is_guard = [](char c) { return (c >= 'A' && c <= 'D') || (c >= 'a' && c <= 'd'); };
    if (!is_guard(data.front())) data = "A" + data + "A";
  }
  Symbol symbol = encode(zint_type, 0, symbology->option_2, input_mode, data, error);
  if (!symbol && symbology->check_variant != 0) {
    symbol = encode(symbology->check_variant, 0, symbology->option_2, input_mode, data, error);
  }
  if (!symbol) return std::nullopt;

  int narrow = std::max(1, request.narrow);
  int wide = std::max(1, request.wide);
  // Element widths in dots, alternating bar and space, from the symbol's first row.
  std::vector<std::pair<bool, int>> runs;
  for (int col = 0; col < symbol->width;) {
    bool bar = module_set(*symbol, 0, col);
    int start = col;
    while (col < symbol->width && module_set(*symbol, 0, col) == bar) ++col;
    int modules = col - start;
    int dots = symbology->two_widths ? (modules == 1 ? narrow : wide) : modules * narrow;
    runs.emplace_back(bar, dots);
  }
  long long bars_width = 0;
  for (const auto& run : runs) bars_width += run.second;
  int height = std::max(1, request.height);
  Mono hrt;
  if (request.readable > 0) {
    std::u32string text = decode_text(reinterpret_cast<const char*>(symbol->text));
    if (text.empty()) text = decode_text(data);
    hrt = fonts.cell_text(text, 12, 20);
  }
  constexpr int kTextGap = 2;
  int total_height = height + (hrt.width > 0 ? kTextGap + hrt.height : 0);
  if (static_cast<unsigned long long>(bars_width) * static_cast<unsigned long long>(total_height) >
      VirtualLimits::kMaxElementDots) {
    error = "barcode of " + std::to_string(bars_width) + " x " + std::to_string(total_height) +
            " dots exceeds the cap";
    return std::nullopt;
  }
  Mono out(static_cast<int>(bars_width), total_height);
  int x = 0;
  for (const auto& [bar, dots] : runs) {
    if (bar) out.fill_rect(x, 0, dots, height, 1);
    x += dots;
  }
  if (hrt.width > 0) {
    int text_x = 0;
    if (request.readable == 2) text_x = (out.width - hrt.width) / 2;
    if (request.readable >= 3) text_x = out.width - hrt.width;
    out.draw(hrt, text_x, height + kTextGap);
  }
  return out;
}

std::optional<Mono> render_matrix(const MatrixRequest& request, std::string& error, int* rows) {
  if (request.data.empty() || request.data.size() > VirtualLimits::kMaxQrDataBytes) {
    error = request.data.empty() ? "empty symbol data" : "symbol data too long";
    return std::nullopt;
  }
  Symbol symbol =
      create(request.symbology, request.option_1, request.option_2, request.input_mode, error);
  if (!symbol) return std::nullopt;
  symbol->option_3 = request.option_3;
  symbol->show_hrt = 0;
  symbol->output_options = BARCODE_NO_QUIET_ZONES;
  symbol->scale = request.scale;
  if (request.height > 0) symbol->height = request.height;
  if (!request.primary.empty()) {
    std::snprintf(symbol->primary, sizeof symbol->primary, "%s", request.primary.c_str());
  }
  int result = ZBarcode_Encode_and_Buffer(
      symbol.get(), reinterpret_cast<const unsigned char*>(request.data.data()),
      static_cast<int>(request.data.size()), 0);
  if (result >= ZINT_ERROR || symbol->bitmap == nullptr || symbol->bitmap_width <= 0 ||
      symbol->bitmap_height <= 0) {
    error = symbol->errtxt[0] != '\0' ? symbol->errtxt : "zint refused the data";
    return std::nullopt;
  }
  if (static_cast<std::size_t>(symbol->bitmap_width) *
          static_cast<std::size_t>(symbol->bitmap_height) >
      VirtualLimits::kMaxElementDots) {
    error = "symbol exceeds the element cap";
    return std::nullopt;
  }
  if (rows != nullptr) *rows = symbol->rows;
  Mono out(symbol->bitmap_width, symbol->bitmap_height);
  const unsigned char* pixel = symbol->bitmap;
  for (std::size_t i = 0; i < out.dots.size(); ++i, pixel += 3) out.dots[i] = pixel[0] < 128;
  return out;
}

}  // namespace quillkit::vp
