#include "quillkit/image/dither.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace quillkit::image {
namespace {

// Grey at or below this is black, at or above kLight white, for the sharp
// areas of Dither::label: scans and compressed pictures rarely hold exact 0
// and 255 in their black and white.
constexpr int kDark = 32;
constexpr int kLight = 223;
// A pixel next to pure black or white is on an edge when the grey around it
// spans at least this much.
constexpr int kEdgeSpan = 160;

// The Bayer matrix of order 8.
constexpr std::array<std::array<std::uint8_t, 8>, 8> kBayer = {{
    {0, 32, 8, 40, 2, 34, 10, 42},
    {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},
    {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},
    {63, 31, 55, 23, 61, 29, 53, 21},
}};

// Packs the bits of one row as its pixels are decided, in either direction,
// storing each byte once it is complete.
template <int step>
class RowBits {
 public:
  RowBits(std::uint8_t* row, std::size_t width) : row_(row), width_(width) {}
  void put(std::size_t x, bool white) {
    bits_ |= unsigned{white} << (7 - (x & 7));
    if (step > 0 ? ((x & 7) == 7 || x + 1 == width_) : (x & 7) == 0) {
      row_[x >> 3] = static_cast<std::uint8_t>(bits_);
      bits_ = 0;
    }
  }

 private:
  std::uint8_t* row_;
  std::size_t width_;
  unsigned bits_ = 0;
};

// Sets the bits past the width in each row's last byte (no dot there).
void clear_padding(MonoImage& out) {
  const unsigned spare = static_cast<unsigned>(out.row_bytes() * 8 - out.width);
  if (spare == 0) return;
  const auto mask = static_cast<std::uint8_t>((1u << spare) - 1);
  for (std::size_t y = 0; y < out.height; ++y) out.bits[(y + 1) * out.row_bytes() - 1] |= mask;
}

void threshold_rows(const std::uint8_t* grey, MonoImage& out, std::uint8_t level) {
  for (std::size_t y = 0; y < out.height; ++y) {
    const std::uint8_t* g = grey + y * out.width;
    RowBits<1> bits(out.bits.data() + y * out.row_bytes(), out.width);
    for (std::size_t x = 0; x < out.width; ++x) bits.put(x, g[x] >= level);
  }
}

void ordered_rows(const std::uint8_t* grey, MonoImage& out) {
  for (std::size_t y = 0; y < out.height; ++y) {
    const std::uint8_t* g = grey + y * out.width;
    RowBits<1> bits(out.bits.data() + y * out.row_bytes(), out.width);
    // Cell thresholds 2, 6, ... 254: grey v prints about (256 - v) / 4 of 64 dots.
    std::array<int, 8> level;
    for (int i = 0; i < 8; ++i) level[i] = kBayer[y & 7][i] * 4 + 2;
    for (std::size_t x = 0; x < out.width; ++x) bits.put(x, g[x] >= level[x & 7]);
  }
}

// By value, unlike std::min and std::max, so that loops of them vectorise.
inline std::uint8_t smaller(std::uint8_t a, std::uint8_t b) { return a < b ? a : b; }
inline std::uint8_t larger(std::uint8_t a, std::uint8_t b) { return a < b ? b : a; }

// Which pixels of row y the label mode thresholds: pure black or white, and
// pixels whose 3 x 3 neighbourhood holds pure black or white and spans at
// least kEdgeSpan of grey (the rims of text and bars).
class SharpMask {
 public:
  SharpMask(const std::uint8_t* grey, std::size_t width, std::size_t height)
      : grey_(grey),
        width_(width),
        height_(height),
        low_(3 * width),
        high_(3 * width),
        sharp_(width) {}

  const std::uint8_t* row(std::size_t y) {
    // Rolling horizontal minima and maxima of rows y - 1, y and y + 1.
    for (std::size_t r = (y == 0 ? 0 : y + 1); r <= y + 1; ++r) {
      if (r >= height_) continue;
      spans(r);
    }
    const std::uint8_t* __restrict g = grey_ + y * width_;
    const std::size_t above = (y == 0 ? y : y - 1) % 3, here = y % 3;
    const std::size_t below = (y + 1 < height_ ? y + 1 : y) % 3;
    const std::uint8_t* __restrict l0 = &low_[above * width_], * __restrict l1 = &low_[here * width_], * __restrict l2 = &low_[below * width_];
    const std::uint8_t* __restrict h0 = &high_[above * width_], * __restrict h1 = &high_[here * width_], * __restrict h2 = &high_[below * width_];
    std::uint8_t* __restrict sharp = sharp_.data();
    for (std::size_t x = 0; x < width_; ++x) {
      const std::uint8_t v = g[x];
      const std::uint8_t lo = smaller(l0[x], smaller(l1[x], l2[x]));
      const std::uint8_t hi = larger(h0[x], larger(h1[x], h2[x]));
      const bool pure = (v <= kDark) | (v >= kLight);
      const bool edge = ((lo <= kDark) | (hi >= kLight)) & (hi - lo >= kEdgeSpan);
      sharp[x] = pure | edge;
    }
    return sharp_.data();
  }

 private:
  void spans(std::size_t r) {
    // Distinct rows: __restrict lets the compiler vectorise.
    const std::uint8_t* __restrict g = grey_ + r * width_;
    std::uint8_t* __restrict lo = &low_[(r % 3) * width_];
    std::uint8_t* __restrict hi = &high_[(r % 3) * width_];
    const std::size_t last = width_ - 1;
    lo[0] = std::min(g[0], g[std::min<std::size_t>(1, last)]);
    hi[0] = std::max(g[0], g[std::min<std::size_t>(1, last)]);
    for (std::size_t x = 1; x < last; ++x) {
      const std::uint8_t left = g[x - 1], middle = g[x], right = g[x + 1];
      lo[x] = smaller(left, smaller(middle, right));
      hi[x] = larger(left, larger(middle, right));
    }
    lo[last] = std::min(g[last - (last > 0)], g[last]);
    hi[last] = std::max(g[last - (last > 0)], g[last]);
  }

  const std::uint8_t* grey_;
  std::size_t width_, height_;
  std::vector<std::uint8_t> low_, high_, sharp_;
};

// One row of Floyd-Steinberg error diffusion in direction `step` (+1 or -1).
// `above` holds the error the row above passed to each pixel, `below` gets
// what this row passes on, both in sixteenths of grey and offset by one (the
// cells before the first and after the last pixel take what falls off the
// picture). Every cell of `below` for a pixel is written exactly once. The
// errors still moving along the row are kept in variables. With a sharp mask,
// sharp pixels are thresholded at `level`, neither taking nor giving error.
template <int step, bool masked>
void diffuse_row(const std::uint8_t* g, std::uint8_t* row, std::size_t width, const int* above,
                 int* below, const std::uint8_t* sharp, int level) {
  RowBits<step> bits(row, width);
  int ahead = 0;   // for the next pixel of this row
  int behind = 0;  // for the pixel below the previous one
  int under = 0;   // for the pixel below this one
  std::size_t x = step > 0 ? 0 : width - 1;
  for (std::size_t n = 0; n < width; ++n, x += step) {
    const int v = g[x] + ((above[x + 1] + ahead + 8) >> 4);
    bool white = v >= 128;
    int q = v - (white ? 255 : 0);
    if constexpr (masked) {
      // Without a branch: sharp and dithered pixels mix unpredictably.
      const bool is_sharp = sharp[x] != 0;
      white = (is_sharp & (g[x] >= level)) | (!is_sharp & white);
      q &= static_cast<int>(is_sharp) - 1;
    }
    bits.put(x, white);
    below[x + 1 - step] = behind + 3 * q;
    behind = under + 5 * q;
    under = q;
    ahead = 7 * q;
  }
  below[x + 1 - step] = behind;
}

void floyd_steinberg_rows(const std::uint8_t* grey, MonoImage& out, bool label, int level) {
  const std::size_t w = out.width;
  std::vector<int> above(w + 2, 0), below(w + 2, 0);
  std::optional<SharpMask> mask;
  if (label) mask.emplace(grey, w, out.height);
  for (std::size_t y = 0; y < out.height; ++y) {
    const std::uint8_t* g = grey + y * w;
    std::uint8_t* row = out.bits.data() + y * out.row_bytes();
    const std::uint8_t* sharp = label ? mask->row(y) : nullptr;
    if (y % 2 == 0) {
      label ? diffuse_row<1, true>(g, row, w, above.data(), below.data(), sharp, level)
            : diffuse_row<1, false>(g, row, w, above.data(), below.data(), sharp, level);
    } else {
      label ? diffuse_row<-1, true>(g, row, w, above.data(), below.data(), sharp, level)
            : diffuse_row<-1, false>(g, row, w, above.data(), below.data(), sharp, level);
    }
    above.swap(below);
  }
}

// Atkinson's diffusion, left to right: an eighth of the error to each of six
// neighbours (three quarters in all), in eighths of grey; two spare cells at
// each end of the three rows take what falls off the picture.
void atkinson_rows(const std::uint8_t* grey, MonoImage& out) {
  const std::size_t w = out.width;
  std::array<std::vector<int>, 3> rows;
  for (auto& r : rows) r.assign(w + 4, 0);
  for (std::size_t y = 0; y < out.height; ++y) {
    const std::uint8_t* g = grey + y * w;
    std::uint8_t* row = out.bits.data() + y * out.row_bytes();
    int* e0 = rows[y % 3].data() + 2;
    int* e1 = rows[(y + 1) % 3].data() + 2;
    int* e2 = rows[(y + 2) % 3].data() + 2;
    RowBits<1> bits(row, w);
    for (std::size_t x = 0; x < w; ++x) {
      const int v = g[x] + ((e0[x] + 4) >> 3);
      const bool white = v >= 128;
      bits.put(x, white);
      const int q = v - (white ? 255 : 0);
      e0[x + 1] += q;
      e0[x + 2] += q;
      e1[x - 1] += q;
      e1[x] += q;
      e1[x + 1] += q;
      e2[x] += q;
    }
    std::fill(rows[y % 3].begin(), rows[y % 3].end(), 0);
  }
}

}  // namespace

MonoImage dither(const std::uint8_t* grey, std::size_t width, std::size_t height, Dither mode,
                 std::uint8_t threshold) {
  MonoImage out;
  out.width = width;
  out.height = height;
  out.bits.assign(out.row_bytes() * height, 0);
  switch (mode) {
    case Dither::threshold:
      threshold_rows(grey, out, threshold);
      break;
    case Dither::ordered:
      ordered_rows(grey, out);
      break;
    case Dither::floyd_steinberg:
      floyd_steinberg_rows(grey, out, false, threshold);
      break;
    case Dither::atkinson:
      atkinson_rows(grey, out);
      break;
    case Dither::label:
      floyd_steinberg_rows(grey, out, true, threshold);
      break;
  }
  clear_padding(out);
  return out;
}

}  // namespace quillkit::image
