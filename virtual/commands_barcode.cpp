// Linear barcodes: BARCODE in every type the language names (zint draws them).
#include "virtual/barcode_renderer.hpp"
#include "virtual/commands.hpp"

namespace quillkit::vp {

void cmd_barcode(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  std::string_view type = call.quoted(2);
  long long height = call.integer(3, 1, VirtualLimits::kMaxBarcodeHeightDots);
  long long readable = call.integer(4, 0, 3);
  int rotation = call.rotation(5);
  long long narrow = call.integer(6, 1, VirtualLimits::kMaxBarcodeNarrowDots);
  long long wide = call.integer(7, 1, VirtualLimits::kMaxBarcodeWideDots);
  long long alignment = call.has(8) ? call.integer(8, 0, 3) : 1;
  auto code = call.content_text();
  if (!call.ok() || !code) return call.malformed();
  if (code->size() > VirtualLimits::kMaxBarcodeDataBytes) return call.malformed("data too long");
  BarcodeRequest request{std::string(type),        *code,
                         static_cast<int>(height), static_cast<int>(readable),
                         static_cast<int>(narrow), static_cast<int>(wide)};
  std::string error, ignored;
  auto element = render_barcode(request, call.fonts(), error, ignored);
  if (!element) return call.malformed(error);
  if (!ignored.empty()) call.ignored("control codes" + ignored);
  call.place(*element, x, y, rotation, static_cast<int>(alignment));
}

}  // namespace quillkit::vp
