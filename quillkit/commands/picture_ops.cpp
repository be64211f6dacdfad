// A picture printed alone on a label.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {
namespace {

constexpr int kMinDpi = 100;
constexpr int kMaxDpi = 1200;
constexpr double kMaxLabelMm = 2000;
constexpr double kMaxGapMm = 100;

bool in_range(double value, double low, double high) { return value >= low && value <= high; }
// A label side: 0 (the picture's) or at least a millimetre.
bool label_side(double mm) { return mm == 0 || in_range(mm, 1, kMaxLabelMm); }

// Hundredths of a millimetre as the printer reads them: "101.5", "60".
std::string millimetres(std::int64_t hundredths) {
  std::string text = std::to_string(hundredths / 100);
  if (const std::int64_t rest = hundredths % 100; rest != 0) {
    text += '.';
    text += static_cast<char>('0' + rest / 10);
    if (rest % 10 != 0) text += static_cast<char>('0' + rest % 10);
  }
  return text;
}

std::int64_t hundredths(double mm) { return std::llround(mm * 100); }

// The printer's own rounding: 8 dots a millimetre at 203 dpi, 12 at 300.
int dots_per_mm(int dpi) { return static_cast<int>(std::lround(dpi / 25.4)); }

bool usable(const LabelStock& stock) {
  return stock.dpi >= kMinDpi && stock.dpi <= kMaxDpi && label_side(stock.width_mm) &&
         label_side(stock.height_mm) && in_range(stock.gap_mm, 0, kMaxGapMm) &&
         in_range(stock.gap_offset_mm, 0, kMaxGapMm);
}

// One side of the label: its length (given, or the picture's rounded up to
// the next hundredth of a millimetre, so that no dot is lost) and where the
// picture starts on it.
struct Side {
  std::int64_t hundredths;
  std::intptr_t offset;
};
Side side(double given_mm, std::size_t label_dots, std::size_t picture_dots, int dots_per_mm) {
  const auto dots = static_cast<std::int64_t>(picture_dots);
  if (given_mm == 0) return {(dots * 100 + dots_per_mm - 1) / dots_per_mm, 0};
  const auto free = static_cast<std::int64_t>(label_dots) - dots;
  return {hundredths(given_mm), static_cast<std::intptr_t>(std::max<std::int64_t>(0, free / 2))};
}

}  // namespace

std::pair<std::size_t, std::size_t> stock_dots(const LabelStock& stock) {
  if (!usable(stock)) return {0, 0};
  const int per_mm = dots_per_mm(stock.dpi);
  return {static_cast<std::size_t>(std::llround(stock.width_mm * per_mm)),
          static_cast<std::size_t>(std::llround(stock.height_mm * per_mm))};
}

Result Printer::printpicture(const MonoImage& picture, const LabelStock& stock,
                             std::intptr_t copies) {
  if (copies < 1 || !usable(stock) || picture.empty() || !picture.well_formed()) return -1;
  const auto [width, height] = stock_dots(stock);
  const Side across = side(stock.width_mm, width, picture.width, dots_per_mm(stock.dpi));
  const Side down = side(stock.height_mm, height, picture.height, dots_per_mm(stock.dpi));
  const std::string head = "SIZE " + millimetres(across.hundredths) + " mm," +
                           millimetres(down.hundredths) + " mm\r\nGAP " +
                           millimetres(hundredths(stock.gap_mm)) + " mm," +
                           millimetres(hundredths(stock.gap_offset_mm)) + " mm\r\nCLS\r\n";
  core().write(std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size()));
  const Result drawn = sendbitmap(across.offset, down.offset, picture);
  if (drawn != 1) return drawn;
  return printlabel(1, copies);
}

}  // namespace quillkit
