#include "virtual/canvas.hpp"

#include <algorithm>
#include <cstdlib>

namespace quillkit::vp {

void Mono::fill_rect(int x, int y, int w, int h, std::uint8_t value) {
  int x0 = std::max(x, 0), y0 = std::max(y, 0);
  int x1 = std::min(x + w, width), y1 = std::min(y + h, height);
  for (int yy = y0; yy < y1; ++yy) {
    for (int xx = x0; xx < x1; ++xx) at(xx, yy) = value;
  }
}

void Mono::draw(const Mono& src, int x, int y) {
  for (int v = 0; v < src.height; ++v) {
    int yy = y + v;
    if (yy < 0 || yy >= height) continue;
    for (int u = 0; u < src.width; ++u) {
      int xx = x + u;
      if (xx >= 0 && xx < width && src.at(u, v)) at(xx, yy) = 1;
    }
  }
}

void Canvas::resize(int width, int height) { image_ = Mono(width, height); }

void Canvas::clear() { std::fill(image_.dots.begin(), image_.dots.end(), 0); }

void Canvas::rect(long long x, long long y, long long w, long long h, RectOp op) {
  if (w <= 0 || h <= 0) return;
  long long x0 = std::max(x, 0LL), y0 = std::max(y, 0LL);
  long long x1 = std::min(x + w, static_cast<long long>(image_.width));
  long long y1 = std::min(y + h, static_cast<long long>(image_.height));
  for (long long yy = y0; yy < y1; ++yy) {
    for (long long xx = x0; xx < x1; ++xx) {
      std::uint8_t& dot = image_.at(static_cast<int>(xx), static_cast<int>(yy));
      dot = op == RectOp::kInk ? 1 : op == RectOp::kErase ? 0 : static_cast<std::uint8_t>(!dot);
    }
  }
}

namespace {

// Whether the dot centre (px, py) lies in the rounded rectangle.
bool inside_rounded(double px, double py, double x0, double y0, double x1, double y1, double rx,
                    double ry) {
  if (px < x0 || px > x1 || py < y0 || py > y1) return false;
  rx = std::min(rx, (x1 - x0) / 2);
  ry = std::min(ry, (y1 - y0) / 2);
  if (rx <= 0 || ry <= 0) return true;
  double cx = std::clamp(px, x0 + rx, x1 - rx);
  double cy = std::clamp(py, y0 + ry, y1 - ry);
  double dx = (px - cx) / rx, dy = (py - cy) / ry;
  return dx * dx + dy * dy <= 1.0;
}

}  // namespace

void Canvas::rounded_outline(long long x0, long long y0, long long x1, long long y1,
                             long long thickness, double rx, double ry) {
  if (x1 <= x0 || y1 <= y0 || thickness <= 0) return;
  auto t = static_cast<double>(thickness);
  long long cx0 = std::max(x0, 0LL), cy0 = std::max(y0, 0LL);
  long long cx1 = std::min(x1, static_cast<long long>(image_.width));
  long long cy1 = std::min(y1, static_cast<long long>(image_.height));
  for (long long y = cy0; y < cy1; ++y) {
    for (long long x = cx0; x < cx1; ++x) {
      double px = static_cast<double>(x) + 0.5, py = static_cast<double>(y) + 0.5;
      if (inside_rounded(px, py, x0, y0, x1, y1, rx, ry) &&
          !inside_rounded(px, py, x0 + t, y0 + t, x1 - t, y1 - t, std::max(0.0, rx - t),
                          std::max(0.0, ry - t))) {
        image_.at(static_cast<int>(x), static_cast<int>(y)) = 1;
      }
    }
  }
}

void Canvas::line(long long x0, long long y0, long long x1, long long y1, long long thickness) {
  long long dx = std::llabs(x1 - x0), dy = -std::llabs(y1 - y0);
  long long sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  long long error = dx + dy;
  long long half = thickness / 2;
  while (true) {
    rect(x0 - half, y0 - half, thickness, thickness, RectOp::kInk);
    if (x0 == x1 && y0 == y1) break;
    long long e2 = 2 * error;
    if (e2 >= dy) {
      error += dy;
      x0 += sx;
    }
    if (e2 <= dx) {
      error += dx;
      y0 += sy;
    }
  }
}

void Canvas::draw_rotated(const Mono& src, long long x, long long y, int rotation) {
  if (rotation == 0) {
    // Upright, the common case: whole clipped rows at once.
    long long u0 = std::max(0LL, -x), u1 = std::min<long long>(src.width, image_.width - x);
    for (int v = 0; v < src.height && u0 < u1; ++v) {
      long long cy = y + v;
      if (cy < 0 || cy >= image_.height) continue;
      const std::uint8_t* from = &src.dots[static_cast<std::size_t>(v) * src.width];
      std::uint8_t* to = &image_.at(0, static_cast<int>(cy));
      for (long long u = u0; u < u1; ++u) to[x + u] |= from[u];
    }
    return;
  }
  for (int v = 0; v < src.height; ++v) {
    for (int u = 0; u < src.width; ++u) {
      if (!src.at(u, v)) continue;
      long long cx, cy;
      switch (rotation) {
        case 90:
          cx = x - 1 - v;
          cy = y + u;
          break;
        case 180:
          cx = x - 1 - u;
          cy = y - 1 - v;
          break;
        case 270:
          cx = x + v;
          cy = y - 1 - u;
          break;
        default:
          cx = x + u;
          cy = y + v;
          break;
      }
      if (cx >= 0 && cy >= 0 && cx < image_.width && cy < image_.height) {
        image_.at(static_cast<int>(cx), static_cast<int>(cy)) = 1;
      }
    }
  }
}

void Canvas::blit_raster(const std::uint8_t* raster, int width_bytes, int height, long long x,
                         long long y, BlitOp op) {
  for (int row = 0; row < height; ++row) {
    long long cy = y + row;
    if (cy < 0 || cy >= image_.height) continue;
    const std::uint8_t* bytes = raster + static_cast<std::size_t>(row) * width_bytes;
    for (int col = 0; col < width_bytes * 8; ++col) {
      long long cx = x + col;
      if (cx < 0 || cx >= image_.width) continue;
      bool ink = ((bytes[col / 8] >> (7 - col % 8)) & 1) == 0;
      std::uint8_t& dot = image_.at(static_cast<int>(cx), static_cast<int>(cy));
      switch (op) {
        case BlitOp::kOverwrite:
          dot = ink ? 1 : 0;
          break;
        case BlitOp::kOr:
          if (ink) dot = 1;
          break;
        case BlitOp::kXor:
          if (ink) dot = static_cast<std::uint8_t>(!dot);
          break;
      }
    }
  }
}

}  // namespace quillkit::vp
