// 2-D and stacked symbols: QRCODE, DMATRIX, PDF417, AZTEC, MAXICODE, RSS (GS1 DataBar and its
// composites), TLC39 and CODABLOCK, drawn by zint.
#include <zint.h>

#include <algorithm>
#include <cmath>

#include "virtual/barcode_renderer.hpp"
#include "virtual/commands.hpp"

namespace quillkit::vp {
namespace {

constexpr int kMaxModuleDots = VirtualLimits::kMaxQrCellDots;

// Draws a symbol zint drew (or logs `error`, why it could not) magnified to mx by my dots per
// module.
void place_symbol(Call& call, const std::optional<Mono>& symbol, const std::string& error,
                  long long x, long long y, int rotation, int mx, int my) {
  if (!symbol) return call.malformed(error);
  if (static_cast<std::size_t>(symbol->width) * mx * static_cast<std::size_t>(symbol->height) * my >
      VirtualLimits::kMaxElementDots) {
    return call.malformed("symbol larger than the element cap");
  }
  call.place(magnify(*symbol, mx, my), x, y, rotation);
}

void draw_symbol(Call& call, const MatrixRequest& request, long long x, long long y, int rotation,
                 int mx, int my) {
  std::string error;
  place_symbol(call, render_matrix(request, error), error, x, y, rotation, mx, my);
}

// A request for zint's symbology over the data, plain bytes in.
MatrixRequest request_for(int symbology, std::string data) {
  MatrixRequest request;
  request.symbology = symbology;
  request.input_mode = DATA_MODE;
  request.data = std::move(data);
  return request;
}

// A field such as "x6" or "E4": its letter (upper case) and the number after it.
bool option(std::string_view field, char& letter, long long& value) {
  field = trim(field);
  if (field.size() < 2) return false;
  letter = upper(field.substr(0, 1))[0];
  return letter >= 'A' && letter <= 'Z' && parse_int(field.substr(1), value);
}

// zint's Data Matrix size index for rows x columns (ECC 200), or 0.
int datamatrix_size(long long rows, long long cols) {
  static constexpr int kSizes[][2] = {
      {10, 10}, {12, 12}, {14, 14}, {16, 16}, {18, 18},   {20, 20},   {22, 22},   {24, 24},
      {26, 26}, {32, 32}, {36, 36}, {40, 40}, {44, 44},   {48, 48},   {52, 52},   {64, 64},
      {72, 72}, {80, 80}, {88, 88}, {96, 96}, {104, 104}, {120, 120}, {132, 132}, {144, 144},
      {8, 18},  {8, 32},  {12, 26}, {12, 36}, {16, 36},   {16, 48}};
  for (int i = 0; i < static_cast<int>(std::size(kSizes)); ++i) {
    if (kSizes[i][0] == rows && kSizes[i][1] == cols) return i + 1;
  }
  return 0;
}

}  // namespace

void cmd_qrcode(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  std::string ecc = upper(call.has(2) ? trim(call.fields[2]) : "");
  long long cell = call.integer(3, 1, kMaxModuleDots);
  std::string mode = upper(call.has(4) ? trim(call.fields[4]) : "");
  int rotation = call.rotation(5);
  auto data = call.content_text();
  if (!call.ok() || !data) return call.malformed();
  static constexpr std::string_view kLevels = "LMQH";
  if (ecc.size() != 1 || kLevels.find(ecc[0]) == std::string_view::npos) {
    return call.malformed("error correction level");
  }
  MatrixRequest request = request_for(BARCODE_QRCODE, {});
  request.option_1 = static_cast<int>(kLevels.find(ecc[0])) + 1;
  for (std::size_t i = 6; i < call.fields.size(); ++i) {
    std::string field = upper(trim(call.fields[i]));
    long long value = 0;
    char letter = 0;
    if (field == "M2") continue;
    if (field == "M1") {
      call.ignored("model 1 (drawn as model 2)");
    } else if (option(field, letter, value) && letter == 'S' && value >= 0 && value <= 8) {
      // zint takes a mask as its number plus one in bits 8 and up; 8 is automatic.
      if (value < 8) request.option_3 = static_cast<int>(value + 1) << 8;
    } else {
      call.ignored("option " + field);
    }
  }
  std::string text = *data;
  if (mode == "M" && !text.empty()) {
    // Manual mode: a mode letter first (N numeric, A alphanumeric, K kanji, B byte with a
    // four-digit length); zint chooses the modes itself, so only the prefix is taken off.
    char first = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (first == 'B' && text.size() >= 5) {
      text = text.substr(5);
    } else if (first == 'N' || first == 'A' || first == 'K') {
      text = text.substr(1);
    } else {
      call.ignored("manual mode prefix");
    }
  } else if (mode != "A" && mode != "M") {
    call.ignored("mode " + mode);
  }
  request.data = text;
  draw_symbol(call, request, x, y, rotation, static_cast<int>(cell), static_cast<int>(cell));
}

void cmd_dmatrix(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  long long width = call.integer(2, 0, VirtualLimits::kMaxLabelWidthDots);
  long long height = call.integer(3, 0, VirtualLimits::kMaxLabelHeightDots);
  auto data = call.content_text();
  if (!call.ok() || !data) return call.malformed();
  MatrixRequest request = request_for(BARCODE_DATAMATRIX, *data);
  long long module = 0, rows = 0;
  int rotation = 0;
  for (std::size_t i = 4; i < call.fields.size(); ++i) {
    char letter = 0;
    long long value = 0;
    long long plain = 0;
    if (parse_int(call.fields[i], plain)) {
      if (rows == 0) {
        rows = plain;
      } else if (int size = datamatrix_size(rows, plain); size != 0) {
        request.option_2 = size;
      } else {
        call.ignored("symbol size " + std::to_string(rows) + "x" + std::to_string(plain));
      }
    } else if (option(call.fields[i], letter, value) && letter == 'X' && value >= 1 &&
               value <= kMaxModuleDots) {
      module = value;
    } else if (letter == 'R' && (value == 0 || value == 90 || value == 180 || value == 270)) {
      rotation = static_cast<int>(value);
    } else if (letter == 'C') {
      call.ignored("escape character");
    } else {
      call.ignored("option " + std::string(call.fields[i]));
    }
  }
  if (module == 0) {
    // The largest module that keeps the symbol inside the given area; 6 dots without one.
    std::string error;
    auto probe = render_matrix(request, error);
    if (!probe) return call.malformed(error);
    module = 6;
    if (width > 0 && height > 0) {
      module = std::clamp<long long>(std::min(width / probe->width, height / probe->height), 1,
                                     kMaxModuleDots);
    }
  }
  draw_symbol(call, request, x, y, rotation, static_cast<int>(module), static_cast<int>(module));
}

void cmd_pdf417(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  call.integer(2, 0, VirtualLimits::kMaxLabelWidthDots);
  call.integer(3, 0, VirtualLimits::kMaxLabelHeightDots);
  int rotation = call.rotation(4);
  auto data = call.content_text();
  if (!call.ok() || !data) return call.malformed();
  MatrixRequest request = request_for(BARCODE_PDF417, *data);
  long long module = 2, row = 0;
  for (std::size_t i = 5; i < call.fields.size(); ++i) {
    // Options may also share one field, separated by blanks.
    std::string_view rest = call.fields[i];
    while (!trim(rest).empty()) {
      rest = trim(rest);
      std::size_t end = rest.find_first_of(" \t");
      std::string_view word = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
      char letter = 0;
      long long value = 0;
      bool known = option(word, letter, value);
      if (known && letter == 'E' && value >= 0 && value <= 8) {
        request.option_1 = static_cast<int>(value);
      } else if (known && letter == 'C' && value >= 1 && value <= 30) {
        request.option_2 = static_cast<int>(value);
      } else if (known && letter == 'R' && value >= 3 && value <= 90) {
        request.option_3 = static_cast<int>(value);
      } else if (known && letter == 'W' && value >= 1 && value <= kMaxModuleDots) {
        module = value;
      } else if (known && letter == 'H' && value >= 1 && value <= 3 * kMaxModuleDots) {
        row = value;
      } else if (known && letter == 'T') {
        if (value == 1) request.symbology = BARCODE_PDF417COMP;
      } else {
        call.ignored("option " + std::string(word));
      }
    }
  }
  // zint draws each row three modules high.
  long long row_scale = row > 0 ? std::max(1LL, (row + 1) / 3) : module;
  draw_symbol(call, request, x, y, rotation, static_cast<int>(module), static_cast<int>(row_scale));
}

void cmd_aztec(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  int rotation = call.rotation(2);
  long long module = call.has(3) ? call.integer(3, 1, kMaxModuleDots) : 6;
  long long ecc = call.has(4) ? call.integer(4, 0, 300) : 0;
  auto data = call.content_text();
  if (!call.ok() || !data) return call.malformed();
  MatrixRequest request = request_for(BARCODE_AZTEC, *data);
  // Error correction in percent (1-99) maps to zint's four levels; 0 is zint's default.
  if (ecc >= 1 && ecc <= 99) request.option_1 = ecc <= 10 ? 1 : ecc <= 23 ? 2 : ecc <= 36 ? 3 : 4;
  if (ecc > 99) call.ignored("symbol size " + std::to_string(ecc));
  if (call.fields.size() > 5) call.ignored("options after the error correction");
  draw_symbol(call, request, x, y, rotation, static_cast<int>(module), static_cast<int>(module));
}

void cmd_maxicode(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  long long mode = call.integer(2, 2, 6);
  auto data = call.content_text();
  if (!call.ok() || !data) return call.malformed();
  MatrixRequest request = request_for(BARCODE_MAXICODE, *data);
  request.option_1 = static_cast<int>(mode);
  if (mode == 2 || mode == 3) {
    if (call.fields.size() != 6) return call.malformed("mode 2 and 3 need class, country, post");
    long long service = call.integer(3, 0, 999), country = call.integer(4, 0, 999);
    std::string_view post = trim(call.fields[5]);
    if (post.size() >= 2 && post.front() == '"') post = call.quoted(5);
    if (!call.ok() || post.empty() || post.size() > 9) return call.malformed("primary message");
    char tail[8];
    std::snprintf(tail, sizeof tail, "%03lld%03lld", country, service);
    request.primary = std::string(post) + tail;
  } else if (call.fields.size() > 3) {
    call.ignored("class, country and post outside modes 2 and 3");
  }
  // About an inch across, as the symbol's fixed size asks.
  request.scale = static_cast<float>(call.settings().setup.dpi) / 203.0f * 0.75f;
  draw_symbol(call, request, x, y, 0, 1, 1);
}

void cmd_rss(Call& call) {
  struct RssType {
    std::string_view name;
    int plain, composite;
    bool expanded;
  };
  static constexpr RssType kTypes[] = {
      {"RSS14", BARCODE_DBAR_OMN, BARCODE_DBAR_OMN_CC, false},
      {"RSS14T", BARCODE_DBAR_OMN, BARCODE_DBAR_OMN_CC, false},
      {"RSS14S", BARCODE_DBAR_STK, BARCODE_DBAR_STK_CC, false},
      {"RSS14SO", BARCODE_DBAR_OMNSTK, BARCODE_DBAR_OMNSTK_CC, false},
      {"RSSLIM", BARCODE_DBAR_LTD, BARCODE_DBAR_LTD_CC, false},
      {"RSSEXP", BARCODE_DBAR_EXP, BARCODE_DBAR_EXP_CC, true},
      {"UCC128CCA", BARCODE_GS1_128_CC, BARCODE_GS1_128_CC, true},
      {"UCC128CCC", BARCODE_GS1_128_CC, BARCODE_GS1_128_CC, true},
      {"EAN13", BARCODE_EANX_CC, BARCODE_EANX_CC, false},
      {"EAN8", BARCODE_EANX_CC, BARCODE_EANX_CC, false},
      {"UPCA", BARCODE_UPCA_CC, BARCODE_UPCA_CC, false},
      {"UPCE", BARCODE_UPCE_CC, BARCODE_UPCE_CC, false},
  };
  long long x = call.coordinate(0), y = call.coordinate(1);
  std::string type = upper(call.quoted(2));
  int rotation = call.rotation(3);
  long long module = call.integer(4, 1, kMaxModuleDots);
  long long separator = call.integer(5, 0, kMaxModuleDots);
  long long segments = call.has(6) ? call.integer(6, 2, 22) : 0;
  auto data = call.content_text();
  if (!call.ok() || !data) return call.malformed();
  bool composite = type.ends_with("CC") && !type.starts_with("UCC128");
  std::string base = composite ? type.substr(0, type.size() - 2) : type;
  const RssType* found = nullptr;
  for (const RssType& t : kTypes) {
    if (t.name == base) found = &t;
  }
  if (found == nullptr ||
      (!composite && found->plain == found->composite && !type.starts_with("UCC"))) {
    return call.malformed("unknown RSS type");
  }
  MatrixRequest request;
  request.symbology = composite ? found->composite : found->plain;
  request.input_mode = DATA_MODE;
  std::string linear = *data, extra;
  if (std::size_t bar = linear.find('|'); bar != std::string::npos) {
    extra = linear.substr(bar + 1);
    linear.resize(bar);
  }
  if (request.symbology == BARCODE_GS1_128_CC || composite) {
    request.option_1 = type == "UCC128CCC" ? 3 : -1;
    request.primary = linear;
    request.data = extra;
    request.input_mode = GS1_MODE | (extra.find('(') != std::string::npos ? GS1PARENS_MODE : 0);
    if (request.data.empty()) return call.malformed("composite data after '|'");
  } else if (found->expanded) {
    request.data = linear;
    request.input_mode = GS1_MODE | (linear.find('(') != std::string::npos ? GS1PARENS_MODE : 0);
    if (segments > 0) {
      request.symbology = BARCODE_DBAR_EXPSTK;
      request.option_2 = static_cast<int>(segments / 2);
    }
  } else {
    if (linear.starts_with("(01)")) linear = linear.substr(4);
    request.data = linear;
  }
  if (type == "RSS14T") request.height = 13;
  if (separator > 1) call.ignored("separator height");
  if (segments > 0 && !found->expanded) call.ignored("segment width");
  draw_symbol(call, request, x, y, rotation, static_cast<int>(module), static_cast<int>(module));
}

void cmd_tlc39(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  int rotation = call.rotation(2);
  bool sized = call.fields.size() > 3;
  if (sized && call.fields.size() != 8) return call.malformed("number of fields");
  long long height = sized ? call.integer(3, 1, VirtualLimits::kMaxBarcodeHeightDots) : 40;
  long long narrow = sized ? call.integer(4, 1, VirtualLimits::kMaxBarcodeNarrowDots) : 2;
  long long wide = sized ? call.integer(5, 1, VirtualLimits::kMaxBarcodeWideDots) : 4;
  long long cell_w = sized ? call.integer(6, 1, kMaxModuleDots) : 2;
  long long cell_h = sized ? call.integer(7, 1, 3 * kMaxModuleDots) : 4;
  auto data = call.content_text();
  if (!call.ok() || !data) return call.malformed();
  // "ECI,serial,more": the six-digit ECI as Code 39, the rest as MicroPDF417 above it.
  std::size_t comma = data->find(',');
  std::string eci = data->substr(0, comma);
  std::string rest = comma == std::string::npos ? std::string() : data->substr(comma + 1);
  BarcodeRequest linear{
      "39S", eci, static_cast<int>(height), 0, static_cast<int>(narrow), static_cast<int>(wide)};
  std::string error, ignored;
  auto bars = render_barcode(linear, call.fonts(), error, ignored);
  if (!bars) return call.malformed(error);
  Mono micro;
  if (!rest.empty()) {
    MatrixRequest request = request_for(BARCODE_MICROPDF417, rest);
    auto symbol = render_matrix(request, error);
    if (!symbol) return call.malformed(error);
    // zint draws each row two modules high.
    micro = magnify(*symbol, static_cast<int>(cell_w), static_cast<int>(std::max(1LL, cell_h / 2)));
  }
  constexpr int kGap = 2;
  int gap = micro.height > 0 ? kGap : 0;
  Mono element(std::max(bars->width, micro.width), bars->height + micro.height + gap);
  element.draw(micro, 0, 0);
  element.draw(*bars, 0, micro.height + gap);
  call.place(element, x, y, rotation);
}

void cmd_codablock(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  int rotation = call.rotation(2);
  long long row = call.has(3) ? call.integer(3, 1, 3 * kMaxModuleDots) : 0;
  long long module = call.has(4) ? call.integer(4, 1, kMaxModuleDots) : 2;
  auto data = call.content_text();
  if (!call.ok() || !data) return call.malformed();
  MatrixRequest request = request_for(BARCODE_CODABLOCKF, *data);
  std::string error;
  int rows = 1;
  auto symbol = render_matrix(request, error, &rows);
  if (!symbol) return call.malformed(error);
  int row_dots = symbol->height / std::max(1, rows);
  long long wanted = row > 0 ? row : 8 * module;
  int my = static_cast<int>(std::max(1LL, wanted / std::max(1, row_dots)));
  place_symbol(call, symbol, error, x, y, rotation, static_cast<int>(module), my);
}

}  // namespace quillkit::vp
