// The geometry of fitting a picture to a box: the turn, the scale on each
// axis, what part of the scaled picture is visible and where it lands, and the
// resampling weights that make each visible dot from the source pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillkit/image.hpp"

namespace quillkit::image {

// Weights are fixed-point numbers with this many fraction bits; the weights of
// one dot sum to exactly kWeightOne, so flat areas keep their exact grey.
inline constexpr int kWeightBits = 12;
inline constexpr std::uint32_t kWeightOne = 1u << kWeightBits;

// The largest box side: the BITMAP command and every printer stay far below.
inline constexpr std::size_t kMaxBoxSide = 65535;

// Dots drawn on at most this many pixels also get their weights as a fixed
// row of this many, for loops without branches.
inline constexpr std::uint32_t kDenseTaps = 4;

// How the dots of one line are made from the pixels of a source line. Dot d
// draws on the `count[d]` source pixels from `first[d]`: the first with weight
// `w_first[d]`, the last (when count > 1) with `w_last[d]`, each one between
// with `w_middle[d]`. first[d] + count[d] never exceeds the source length.
// Shrinking gives area averages (a box filter), enlarging nearest or bilinear
// samples, an unscaled line one pixel of weight kWeightOne a dot.
struct Taps {
  std::vector<std::uint32_t> first;
  std::vector<std::uint32_t> count;
  std::vector<std::uint16_t> w_first;
  std::vector<std::uint16_t> w_middle;
  std::vector<std::uint16_t> w_last;
  // The largest count.
  std::uint32_t widest = 1;
  // When widest <= kDenseTaps and the source line has at least kDenseTaps
  // pixels: dot d draws on the kDenseTaps pixels from dense_first[d] with the
  // weights dense[d * kDenseTaps ...] (zero for pixels it does not cover);
  // otherwise empty.
  std::vector<std::uint32_t> dense_first;
  std::vector<std::uint16_t> dense;

  std::size_t size() const { return first.size(); }
  std::uint32_t last(std::size_t d) const { return first[d] + count[d] - 1; }
  // Weight of source pixel `k` in dot `d`; k within the dot's pixels.
  std::uint32_t weight(std::size_t d, std::uint32_t k) const {
    if (k == first[d]) return w_first[d];
    return k == last(d) ? w_last[d] : w_middle[d];
  }
};

// A picture's fitting, worked out once from its size. The visible part of the
// scaled picture (the block) is described in the source's orientation, so that
// source rows can be scaled as they arrive; turning it is the last step.
struct FitPlan {
  std::size_t box_width = 0;
  std::size_t box_height = 0;
  // Clockwise quarter turns, 0 to 3.
  int turns = 0;
  // The block in source orientation: its columns from source columns, its
  // rows from source rows.
  Taps columns;
  Taps rows;
  // Where the turned block's top left dot lies in the box.
  std::size_t left = 0;
  std::size_t top = 0;

  std::size_t block_width() const { return columns.size(); }
  std::size_t block_height() const { return rows.size(); }
};

// The plan for a picture of width x height pixels, both at least 1, under
// usable `options` (picture_options_error gave nothing). Nothing, with the
// reason in `error`, when a side of the box that follows from the picture's
// shape is too large, or the scaled picture would be over 2^32 pixels long.
std::optional<FitPlan> plan_fit(std::size_t width, std::size_t height,
                                const PictureOptions& options, std::string& error);

// The factor by which the plan shrinks the picture on its less shrunk axis: 1
// or more means the picture is not enlarged anywhere and each axis is shrunk
// at least that much. A decoder may hand in the picture reduced by up to this
// factor. 0 when the options cannot be used.
double shrink_factor(std::size_t width, std::size_t height, const PictureOptions& options);

}  // namespace quillkit::image
