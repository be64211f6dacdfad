// The 1-bit drawing surface and the small monochrome images that elements are drawn into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillkit::vp {

// A monochrome image, one byte per dot (1 ink, 0 blank), rows from the top.
struct Mono {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> dots;

  Mono() = default;
  Mono(int w, int h)
      : width(w), height(h), dots(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0) {}
  std::uint8_t& at(int x, int y) {
    return dots[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)];
  }
  std::uint8_t at(int x, int y) const {
    return dots[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)];
  }
  void fill_rect(int x, int y, int w, int h, std::uint8_t value);
  // Copies `src` with its top left at (x, y); only ink dots are drawn.
  void draw(const Mono& src, int x, int y);
};

enum class RectOp { kInk, kErase, kInvert };
enum class BlitOp { kOverwrite, kOr, kXor };

// The label's image buffer. Everything outside it is clipped.
class Canvas {
 public:
  void resize(int width, int height);
  void clear();
  const Mono& image() const { return image_; }
  void restore(Mono image) { image_ = std::move(image); }

  void rect(long long x, long long y, long long w, long long h, RectOp op);
  // Inks the outline, `thickness` dots wide, of the rectangle [x0, x1) x [y0, y1) whose corners
  // are quarter ellipses with radii rx and ry (0: square corners; half the sides: an ellipse).
  void rounded_outline(long long x0, long long y0, long long x1, long long y1, long long thickness,
                       double rx, double ry);
  // Inks a line from (x0, y0) to (x1, y1), `thickness` dots across.
  void line(long long x0, long long y0, long long x1, long long y1, long long thickness);
  // Ink dots of `src` turned clockwise by `rotation` (0, 90, 180, 270) about (x, y): the dot
  // (u, v) of the source lands on (x+u, y+v), (x-1-v, y+u), (x-1-u, y-1-v) or (x+v, y-1-u).
  void draw_rotated(const Mono& src, long long x, long long y, int rotation);
  // A packed raster (most significant bit leftmost, 0 bits are ink) at (x, y).
  void blit_raster(const std::uint8_t* raster, int width_bytes, int height, long long x,
                   long long y, BlitOp op);

 private:
  Mono image_;
};

}  // namespace quillkit::vp
