// Fitting a picture that arrives row by row: each source row is scaled
// across as it comes, rows are combined down into the block's rows, and each
// finished block row is levelled and laid, turned, into the box.
#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "quillkit/image.hpp"
#include "quillkit/image/dither.hpp"
#include "quillkit/image/fit_plan.hpp"

namespace quillkit {

using image::FitPlan;
using image::kWeightBits;
using image::Taps;

std::string picture_options_error(const PictureOptions& options) {
  if (options.width > image::kMaxBoxSide || options.height > image::kMaxBoxSide ||
      options.width * options.height > kMaxPixels) {
    return "the box is larger than " + std::to_string(image::kMaxBoxSide) + " dots a side or " +
           std::to_string(kMaxPixels) + " dots";
  }
  if (options.black_point >= options.white_point) {
    return "the black point must be below the white point";
  }
  if (!(options.gamma >= 0.1 && options.gamma <= 10)) return "gamma must be from 0.1 to 10";
  if (static_cast<unsigned>(options.fit) > static_cast<unsigned>(Fit::none) ||
      static_cast<unsigned>(options.rotation) > static_cast<unsigned>(Rotation::automatic) ||
      static_cast<unsigned>(options.upscale) > static_cast<unsigned>(Upscale::bilinear) ||
      static_cast<unsigned>(options.dither) > static_cast<unsigned>(Dither::label)) {
    return "unknown fit, rotation, upscale or dither value";
  }
  return {};
}

class PictureConverter::Impl {
 public:
  Impl(std::size_t width, std::size_t height, const PictureOptions& options)
      : width_(width), height_(height), options_(options) {
    error_ = picture_options_error(options);
    if (!error_.empty()) return;
    if (width == 0 || height == 0) {
      error_ = "the picture is empty";
      return;
    }
    if (height > kMaxPixels / width) {
      error_ = "the picture is larger than " + std::to_string(kMaxPixels) + " pixels";
      return;
    }
    try {
      auto plan = image::plan_fit(width, height, options, error_);
      if (!plan) return;
      plan_ = std::move(*plan);
      box_.width = plan_.box_width;
      box_.height = plan_.box_height;
      box_.pixels.assign(box_.width * box_.height, 255);
      make_levels();
      const Taps& c = plan_.columns;
      const std::size_t n = c.size();
      column_begin_ = c.dense.empty() ? c.first[0] : std::min(c.first[0], c.dense_first[0]);
      const std::size_t column_end =
          c.dense.empty()
              ? c.last(n - 1) + 1
              : std::max<std::size_t>(c.last(n - 1) + 1, c.dense_first[n - 1] + image::kDenseTaps);
      // Rows drawn from up to two source rows each (enlarged, unscaled or
      // hardly shrunk) are blended from the last two rows scaled across. Rows
      // averaged over more are summed as their source rows pass (a source row
      // falls in at most two of them): summed as they are and scaled across
      // once per block row, or for very wide pictures scaled across first.
      averaging_ = plan_.rows.widest > 2;
      down_first_ = averaging_ && column_end - column_begin_ <= kMaxSummedColumns;
      const std::size_t kept = down_first_ ? column_end - column_begin_ : n;
      for (auto& row : kept_) row.assign(kept, 0);
      scratch_.resize(n);
      finished_.resize(n);
    } catch (const std::bad_alloc&) {
      error_ = "not enough memory for the picture";
    }
  }

  const std::string& error() const { return error_; }

  bool add_row(std::span<const std::uint8_t> row) {
    if (!error_.empty()) return false;
    if (row.size() != width_ || next_row_ == height_) return false;
    const auto y = static_cast<std::uint32_t>(next_row_++);
    const Taps& rows = plan_.rows;
    if (done_ == rows.size() || y < rows.first[done_]) return true;  // not visible
    if (averaging_) {
      average_down(row.data(), y);
    } else {
      blend_down(row.data(), y);
    }
    return true;
  }

  GreyImage finish_grey() {
    if (error_.empty() && next_row_ != height_) {
      error_ = "only " + std::to_string(next_row_) + " of the picture's " +
               std::to_string(height_) + " rows were handed in";
    }
    if (!error_.empty()) return {};
    error_ = "the conversion was finished already";
    return std::move(box_);
  }

  MonoImage finish() {
    const Dither mode = options_.dither;
    const std::uint8_t threshold = options_.threshold;
    const GreyImage grey = finish_grey();
    if (grey.empty()) return {};
    try {
      return image::dither(grey.pixels.data(), grey.width, grey.height, mode, threshold);
    } catch (const std::bad_alloc&) {
      error_ = "not enough memory for the picture";
      return {};
    }
  }

 private:
  // Beyond this many source columns the sums of source rows would take too
  // much memory; rows are then scaled across before they are summed.
  static constexpr std::size_t kMaxSummedColumns = std::size_t{1} << 20;

  // The levels and gamma as one table; the identity when they change nothing.
  void make_levels() {
    const double black = options_.black_point, white = options_.white_point;
    for (int v = 0; v < 256; ++v) {
      const double t = std::clamp((v - black) / (white - black), 0.0, 1.0);
      levels_[v] = static_cast<std::uint8_t>(std::lround(255 * std::pow(t, 1 / options_.gamma)));
      levelled_ = levelled_ || levels_[v] != v;
    }
  }

  // A line of source values (source[0] is column `offset`) scaled across
  // into the block's columns: each a weighted sum, in units of 1 / kWeightOne
  // of the source's unit.
  template <class T>
  void scale_across(const T* source, std::size_t offset, std::uint32_t* out) const {
    const Taps& c = plan_.columns;
    if (!c.dense.empty()) {
      const std::uint16_t* w = c.dense.data();
      for (std::size_t d = 0; d < c.size(); ++d, w += image::kDenseTaps) {
        const T* s = source + (c.dense_first[d] - offset);
        out[d] = static_cast<std::uint32_t>(w[0] * s[0] + w[1] * s[1] + w[2] * s[2] + w[3] * s[3]);
      }
      return;
    }
    for (std::size_t d = 0; d < c.size(); ++d) {
      const T* s = source + (c.first[d] - offset);
      const std::uint32_t n = c.count[d];
      std::uint64_t sum = std::uint64_t{c.w_first[d]} * s[0];
      if (n > 1) {
        std::uint64_t middle = 0;
        for (std::uint32_t k = 1; k + 1 < n; ++k) middle += s[k];
        sum += c.w_middle[d] * middle + std::uint64_t{c.w_last[d]} * s[n - 1];
      }
      out[d] = static_cast<std::uint32_t>(sum);
    }
  }

  // Shrinking down: source row y added, weighted, to the sums of the block
  // rows that cover it; the rows it completes are finished.
  void average_down(const std::uint8_t* row, std::uint32_t y) {
    const Taps& rows = plan_.rows;
    const std::uint8_t* columns = row + column_begin_;
    const std::uint32_t* across = scratch_.data();
    if (!down_first_) scale_across(row, 0, scratch_.data());
    for (std::size_t d = done_; d < rows.size() && rows.first[d] <= y; ++d) {
      std::uint32_t* sum = kept_[d % 2].data();
      const std::uint32_t weight = rows.weight(d, y);
      const std::size_t n = kept_[d % 2].size();
      // A block row's first source row starts its sum.
      const bool first = rows.first[d] == y;
      if (down_first_) {
        add_weighted(sum, columns, n, weight, first);
      } else {
        add_weighted(sum, across, n, weight, first);
      }
    }
    while (done_ < rows.size() && rows.last(done_) == y) {
      const std::uint32_t* sum = kept_[done_ % 2].data();
      if (down_first_) {
        scale_across(sum, column_begin_, scratch_.data());
        finish_row(scratch_.data(), 2 * kWeightBits);
      } else {
        finish_row(sum, 2 * kWeightBits);
      }
      ++done_;
    }
  }

  template <class T>
  static void add_weighted(std::uint32_t* __restrict sum, const T* __restrict values, std::size_t n,
                           std::uint32_t weight, bool first) {
    if (first) {
      for (std::size_t x = 0; x < n; ++x) sum[x] = weight * values[x];
    } else {
      for (std::size_t x = 0; x < n; ++x) sum[x] += weight * values[x];
    }
  }

  // Enlarging or hardly shrinking down: source row y scaled across and kept;
  // the block rows that end on it are made from it and the row before.
  void blend_down(const std::uint8_t* row, std::uint32_t y) {
    const Taps& rows = plan_.rows;
    std::uint32_t* here = kept_[y % 2].data();
    scale_across(row, 0, here);
    while (done_ < rows.size() && rows.last(done_) == y) {
      if (rows.count[done_] == 1) {
        finish_row(here, kWeightBits);
      } else {
        const std::uint32_t* above = kept_[(y + 1) % 2].data();
        const std::uint32_t w_above = rows.w_first[done_], w_here = rows.w_last[done_];
        std::uint32_t* mixed = scratch_.data();
        for (std::size_t x = 0; x < scratch_.size(); ++x) {
          mixed[x] = above[x] * w_above + here[x] * w_here;
        }
        finish_row(scratch_.data(), 2 * kWeightBits);
      }
      ++done_;
    }
  }

  // Block row done_ from its values in units of 2^-shift of grey: rounded,
  // levelled and laid into the box at its turned place.
  void finish_row(const std::uint32_t* values, int shift) {
    const std::uint32_t half = 1u << (shift - 1);
    const std::size_t n = finished_.size();
    std::uint8_t* finished = finished_.data();
    for (std::size_t x = 0; x < n; ++x) {
      finished[x] =
          static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (values[x] + half) >> shift));
    }
    if (levelled_) {
      const std::uint8_t* levels = levels_.data();
      for (std::size_t x = 0; x < n; ++x) finished[x] = levels[finished[x]];
    }
    // The block row in source orientation, turned: its first dot's place in
    // the box and the step between its dots.
    const std::size_t bw = plan_.block_width(), bh = plan_.block_height(), y = done_;
    const auto box_w = static_cast<std::ptrdiff_t>(box_.width);
    std::size_t col = 0, row = y;
    std::ptrdiff_t step = 1;
    switch (plan_.turns) {
      case 1:
        col = bh - 1 - y, row = 0, step = box_w;
        break;
      case 2:
        col = bw - 1, row = bh - 1 - y, step = -1;
        break;
      case 3:
        col = y, row = bw - 1, step = -box_w;
        break;
      default:
        break;
    }
    std::uint8_t* out = box_.pixels.data() + (plan_.top + row) * box_.width + plan_.left + col;
    if (step == 1) {
      std::copy(finished_.begin(), finished_.end(), out);
      return;
    }
    for (std::size_t x = 0; x < n; ++x, out += step) *out = finished_[x];
  }

  std::size_t width_, height_;
  PictureOptions options_;
  std::string error_;
  FitPlan plan_;
  GreyImage box_;
  std::array<std::uint8_t, 256> levels_{};
  bool levelled_ = false;  // whether levels_ changes any grey
  bool averaging_ = false;
  bool down_first_ = false;
  // The first source column the block draws on.
  std::size_t column_begin_ = 0;
  // The sums of the (at most two) open block rows, or the last two source
  // rows scaled across; a row of block values in the making; one finished row.
  std::array<std::vector<std::uint32_t>, 2> kept_;
  std::vector<std::uint32_t> scratch_;
  std::vector<std::uint8_t> finished_;
  std::size_t next_row_ = 0;
  std::size_t done_ = 0;  // block rows finished
};

PictureConverter::PictureConverter(std::size_t width, std::size_t height,
                                   const PictureOptions& options)
    : impl_(std::make_unique<Impl>(width, height, options)) {}
PictureConverter::~PictureConverter() = default;
PictureConverter::PictureConverter(PictureConverter&&) noexcept = default;
PictureConverter& PictureConverter::operator=(PictureConverter&&) noexcept = default;

const std::string& PictureConverter::error() const { return impl_->error(); }
bool PictureConverter::add_row(std::span<const std::uint8_t> row) { return impl_->add_row(row); }
GreyImage PictureConverter::finish_grey() { return impl_->finish_grey(); }
MonoImage PictureConverter::finish() { return impl_->finish(); }

namespace {

// A converter that has taken every row of `picture`; one whose error() is set
// when the picture is not well formed.
PictureConverter converter_over(const GreyImage& picture, const PictureOptions& options) {
  const bool usable = picture.well_formed();
  PictureConverter converter(usable ? picture.width : 0, usable ? picture.height : 0, options);
  for (std::size_t y = 0; usable && y < picture.height; ++y) {
    converter.add_row(std::span(picture.pixels).subspan(y * picture.width, picture.width));
  }
  return converter;
}

}  // namespace

GreyImage fit_picture(const GreyImage& picture, const PictureOptions& options) {
  return converter_over(picture, options).finish_grey();
}

MonoImage convert_picture(const GreyImage& picture, const PictureOptions& options) {
  return converter_over(picture, options).finish();
}

MonoImage dither_picture(const GreyImage& picture, const PictureOptions& options) {
  if (picture.empty() || !picture.well_formed() ||
      static_cast<unsigned>(options.dither) > static_cast<unsigned>(Dither::label)) {
    return {};
  }
  try {
    return image::dither(picture.pixels.data(), picture.width, picture.height, options.dither,
                         options.threshold);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace quillkit
