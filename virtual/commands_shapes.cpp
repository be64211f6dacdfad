// Shapes: BAR, ERASE, REVERSE, BOX (rounded corners too), CIRCLE, ELLIPSE and DIAGONAL.
#include <algorithm>

#include "virtual/commands.hpp"

namespace quillkit::vp {
namespace {

constexpr long long kMaxThickness = 1000;
constexpr long long kMaxSide = 2 * VirtualLimits::kMaxLabelHeightDots;

void rect_command(Call& call, RectOp op) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  long long w = call.integer(2, 0, kMaxSide), h = call.integer(3, 0, kMaxSide);
  if (!call.ok()) return call.malformed();
  const VirtualLabelSetup& setup = call.settings().setup;
  call.page().canvas().rect(x + setup.reference_x, y + setup.reference_y, w, h, op);
}

// An outline in the box whose top left is (x, y), with the printer's reference.
void outline(Call& call, long long x, long long y, long long w, long long h, long long thickness,
             double rx, double ry) {
  const VirtualLabelSetup& setup = call.settings().setup;
  x += setup.reference_x;
  y += setup.reference_y;
  call.page().canvas().rounded_outline(x, y, x + w, y + h, thickness, rx, ry);
}

}  // namespace

void cmd_bar(Call& call) { rect_command(call, RectOp::kInk); }

void cmd_erase(Call& call) { rect_command(call, RectOp::kErase); }

void cmd_reverse(Call& call) { rect_command(call, RectOp::kInvert); }

void cmd_box(Call& call) {
  long long xa = call.coordinate(0), ya = call.coordinate(1);
  long long xb = call.coordinate(2), yb = call.coordinate(3);
  long long thickness = call.integer(4, 1, kMaxThickness);
  long long radius = call.has(5) ? call.integer(5, 0, kMaxSide) : 0;
  if (!call.ok()) return call.malformed();
  long long x0 = std::min(xa, xb), y0 = std::min(ya, yb);
  auto r = static_cast<double>(radius);
  outline(call, x0, y0, std::max(xa, xb) - x0, std::max(ya, yb) - y0, thickness, r, r);
}

void cmd_circle(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  long long diameter = call.integer(2, 1, kMaxSide);
  long long thickness = call.integer(3, 1, kMaxThickness);
  if (!call.ok()) return call.malformed();
  auto r = static_cast<double>(diameter) / 2;
  outline(call, x, y, diameter, diameter, thickness, r, r);
}

void cmd_ellipse(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  long long w = call.integer(2, 1, kMaxSide), h = call.integer(3, 1, kMaxSide);
  long long thickness = call.integer(4, 1, kMaxThickness);
  if (!call.ok()) return call.malformed();
  outline(call, x, y, w, h, thickness, static_cast<double>(w) / 2, static_cast<double>(h) / 2);
}

void cmd_diagonal(Call& call) {
  long long x0 = call.coordinate(0), y0 = call.coordinate(1);
  long long x1 = call.coordinate(2), y1 = call.coordinate(3);
  long long thickness = call.integer(4, 1, kMaxThickness);
  if (!call.ok()) return call.malformed();
  const VirtualLabelSetup& setup = call.settings().setup;
  call.page().canvas().line(x0 + setup.reference_x, y0 + setup.reference_y, x1 + setup.reference_x,
                            y1 + setup.reference_y, thickness);
}

}  // namespace quillkit::vp
