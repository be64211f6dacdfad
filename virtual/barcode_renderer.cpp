#include "virtual/barcode_renderer.hpp"

#include <zint.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "quillkit/virtual_printer.hpp"
#include "virtual/text_decode.hpp"

namespace quillkit::vp {
namespace {

struct SymbolDeleter {
  void operator()(zint_symbol* symbol) const { ZBarcode_Delete(symbol); }
};
using Symbol = std::unique_ptr<zint_symbol, SymbolDeleter>;

struct Symbology {
  std::string_view name;
  int symbology;
  int check_variant;  // tried when the first refuses the data (check digit included), or 0
  bool two_widths;
  int option_2;
};

constexpr Symbology kSymbologies[] = {
    {"128", BARCODE_CODE128, 0, false, 0},
    {"128M", BARCODE_CODE128, 0, false, 0},
    {"EAN128", BARCODE_GS1_128, 0, false, 0},
    {"25", BARCODE_C25INTER, 0, true, 0},
    {"25C", BARCODE_C25INTER, 0, true, 1},
    {"25S", BARCODE_C25STANDARD, 0, true, 0},
    {"25I", BARCODE_C25IND, 0, true, 0},
    {"ITF", BARCODE_C25INTER, 0, true, 0},
    {"ITF14", BARCODE_ITF14, 0, true, 0},
    {"39", BARCODE_CODE39, 0, true, 0},
    {"39S", BARCODE_CODE39, 0, true, 0},
    {"39C", BARCODE_CODE39, 0, true, 1},
    {"LOGMARS", BARCODE_LOGMARS, 0, true, 0},
    {"93", BARCODE_CODE93, 0, false, 0},
    {"EAN13", BARCODE_EANX, BARCODE_EANX_CHK, false, 0},
    {"EAN8", BARCODE_EANX, BARCODE_EANX_CHK, false, 0},
    {"EAN14", BARCODE_EAN14, 0, false, 0},
    {"UPCA", BARCODE_UPCA, BARCODE_UPCA_CHK, false, 0},
    {"UPCE", BARCODE_UPCE, BARCODE_UPCE_CHK, false, 0},
    {"CODA", BARCODE_CODABAR, 0, true, 0},
    {"CODABAR", BARCODE_CODABAR, 0, true, 0},
    {"11", BARCODE_CODE11, 0, true, 0},
    {"MSI", BARCODE_MSI_PLESSEY, 0, true, 0},
    {"TELEPEN", BARCODE_TELEPEN, 0, false, 0},
};

const Symbology* find_symbology(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const Symbology& s : kSymbologies) {
    if (s.name == upper) return &s;
  }
  return nullptr;
}

bool module_set(const zint_symbol& symbol, int row, int col) {
  return ((symbol.encoded_data[row][col >> 3] >> (col & 7)) & 1) != 0;
}

Symbol encode(int symbology, int option_1, int option_2, int input_mode, std::string_view data,
              std::string& error) {
  Symbol symbol(ZBarcode_Create());
  if (!symbol) {
    error = "zint could not allocate a symbol";
    return nullptr;
  }
  symbol->symbology = symbology;
  symbol->option_1 = option_1;
  symbol->option_2 = option_2;
  symbol->input_mode = input_mode;
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
                                   std::string& error) {
  const Symbology* symbology = find_symbology(request.type);
  if (symbology == nullptr) {
    error = "unknown barcode type \"" + request.type + "\"";
    return std::nullopt;
  }
  if (request.data.empty()) {
    error = "empty barcode data";
    return std::nullopt;
  }
  std::string data = request.data;
  if (symbology->symbology == BARCODE_CODE39 && data.size() >= 2 && data.front() == '*' &&
      data.back() == '*') {
    data = data.substr(1, data.size() - 2);
  }
  if (symbology->symbology == BARCODE_CODABAR) {
    auto is_guard = [](char c) { return (c >= 'A' && c <= 'D') || (c >= 'a' && c <= 'd'); };
    if (!is_guard(data.front())) data = "A" + data + "A";
  }
  int input_mode =
      symbology->symbology == BARCODE_GS1_128 ? (GS1_MODE | GS1PARENS_MODE) : DATA_MODE;
  Symbol symbol = encode(symbology->symbology, 0, symbology->option_2, input_mode, data, error);
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

std::optional<Mono> render_qr(char ecc, int cell, std::string_view data, std::string& error) {
  int level = 1;
  switch (ecc) {
    case 'L':
    case 'l':
      level = 1;
      break;
    case 'M':
    case 'm':
      level = 2;
      break;
    case 'Q':
    case 'q':
      level = 3;
      break;
    case 'H':
    case 'h':
      level = 4;
      break;
    default:
      error = std::string("unknown QR error correction level '") + ecc + "'";
      return std::nullopt;
  }
  if (data.empty()) {
    error = "empty QR data";
    return std::nullopt;
  }
  Symbol symbol = encode(BARCODE_QRCODE, level, 0, DATA_MODE, data, error);
  if (!symbol) return std::nullopt;
  cell = std::max(1, cell);
  Mono out(symbol->width * cell, symbol->rows * cell);
  for (int row = 0; row < symbol->rows; ++row) {
    for (int col = 0; col < symbol->width; ++col) {
      if (module_set(*symbol, row, col)) out.fill_rect(col * cell, row * cell, cell, cell, 1);
    }
  }
  return out;
}

}  // namespace quillkit::vp
