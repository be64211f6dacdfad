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

// The upright symbol, its top-left bar at (0, 0). Symbologies with two element widths (39, 25,
// ITF14, CODA, 11, MSI, LOGMARS) draw narrow elements `narrow` dots wide and wide ones `wide`
// dots; the others draw each module `narrow` dots wide. Empty, with `error` set, when the type
// is unknown or zint refuses the data.
std::optional<Mono> render_barcode(const BarcodeRequest& request, FontRenderer& fonts,
                                   std::string& error);

// A QR code with `cell` dots per module, no quiet zone. ecc is L, M, Q or H.
std::optional<Mono> render_qr(char ecc, int cell, std::string_view data, std::string& error);

}  // namespace quillkit::vp
