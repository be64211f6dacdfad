// Barcodes and QR codes drawn with zint, at the printer's dot widths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "virtual/canvas.hpp"
#include "virtual/font_renderer.hpp"

namespace quillkit::vp {

struct BarcodeRequest {
  std::string type;  // the language's name: 128, 39, 93, EAN13, EAN8, UPCA, UPCE, 25, CODA, ...
  std::string data;
  int height = 0;    // bar height in dots
  int readable = 0;  // 0 none, 1 left, 2 centred, 3 right-aligned text under the bars
  int narrow = 1;    // dots
  int wide = 2;      // dots (symbologies with two element widths only)
};

// The upright symbol, its top-left bar at (0, 0). 128M data holds control codes "!nnn". Symbologies
// with two element widths (39, 25, ITF14, CODA, 11, MSI, LOGMARS) draw narrow elements `narrow`
// dots wide and wide ones `wide` dots; the others draw each module `narrow` dots wide. Empty, with
// `error` set, when the type is unknown, zint cannot draw it or zint refuses the data. `ignored`
// names what was not honoured.
std::optional<Mono> render_barcode(const BarcodeRequest& request, FontRenderer& fonts,
                                   std::string& error, std::string& ignored);

// A 2-D or stacked symbol drawn by zint's raster output, without quiet zones or text.
struct MatrixRequest {
  int symbology = 0;                              // a zint BARCODE_ value
  int option_1 = -1, option_2 = 0, option_3 = 0;  // zint's meaning for the symbology
  int input_mode = 0;                             // zint's DATA_MODE, GS1_MODE, ...
  std::string primary;  // MaxiCode modes 2 and 3: postcode, country, class
  std::string data;
  float scale = 0.5f;  // zint raster scale: 0.5 draws one dot per module
  float height = 0;    // symbol height in modules for stacked and linear symbols; 0: zint's
};
// `rows`, when given, receives the symbol's number of rows.
std::optional<Mono> render_matrix(const MatrixRequest& request, std::string& error,
                                  int* rows = nullptr);

}  // namespace quillkit::vp
