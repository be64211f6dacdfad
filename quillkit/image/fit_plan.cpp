#include "quillkit/image/fit_plan.hpp"

#include <algorithm>
#include <utility>

namespace quillkit::image {
namespace {

using u64 = std::uint64_t;

// Scaled lengths are kept below this so that the tick arithmetic below (a
// scaled length times a source length) stays within 64 bits.
constexpr u64 kMaxScaledLength = u64{1} << 32;

u64 round_div(u64 numerator, u64 denominator) {
  return (numerator + denominator / 2) / denominator;
}

// The picture's size after the turn, the box, and the size of the scaled
// (turned) picture, before any part is cut off.
struct Scaling {
  int turns = 0;
  u64 turned_width = 0, turned_height = 0;
  u64 box_width = 0, box_height = 0;
  u64 scaled_width = 0, scaled_height = 0;
};

int quarter_turns(Rotation rotation, u64 width, u64 height, u64 box_width, u64 box_height) {
  switch (rotation) {
    case Rotation::none:
      return 0;
    case Rotation::cw90:
      return 1;
    case Rotation::cw180:
      return 2;
    case Rotation::cw270:
      return 3;
    case Rotation::automatic:
      if (box_width == 0 || box_height == 0) return 0;
      return (width > height && box_height > box_width) ||
                     (width < height && box_width > box_height)
                 ? 1
                 : 0;
  }
  return 0;
}

std::optional<Scaling> scaling(u64 width, u64 height, const PictureOptions& options,
                               std::string& error) {
  Scaling s;
  s.turns = quarter_turns(options.rotation, width, height, options.width, options.height);
  s.turned_width = s.turns % 2 ? height : width;
  s.turned_height = s.turns % 2 ? width : height;
  const u64 tw = s.turned_width, th = s.turned_height;
  s.box_width = options.width;
  s.box_height = options.height;
  if (s.box_width == 0 && s.box_height == 0) {
    s.box_width = tw;
    s.box_height = th;
  } else if (s.box_width == 0) {
    s.box_width = std::max<u64>(1, round_div(tw * s.box_height, th));
  } else if (s.box_height == 0) {
    s.box_height = std::max<u64>(1, round_div(th * s.box_width, tw));
  }
  if (s.box_width > kMaxBoxSide || s.box_height > kMaxBoxSide ||
      s.box_width * s.box_height > kMaxPixels) {
    error = "the box that keeps the picture's shape is larger than " + std::to_string(kMaxBoxSide) +
            " dots a side or " + std::to_string(kMaxPixels) + " dots";
    return std::nullopt;
  }
  const u64 bw = s.box_width, bh = s.box_height;
  // Which side meets the box: width-bound when bw / tw <= bh / th.
  const bool width_bound = bw * th <= bh * tw;
  auto keep_shape = [&](bool by_width) {
    if (by_width) {
      s.scaled_width = bw;
      s.scaled_height = std::max<u64>(1, round_div(th * bw, tw));
    } else {
      s.scaled_height = bh;
      s.scaled_width = std::max<u64>(1, round_div(tw * bh, th));
    }
  };
  switch (options.fit) {
    case Fit::fit:
      keep_shape(width_bound);
      break;
    case Fit::fill:
      keep_shape(!width_bound || bw * th == bh * tw);
      break;
    case Fit::stretch:
      s.scaled_width = bw;
      s.scaled_height = bh;
      break;
    case Fit::none:
      s.scaled_width = tw;
      s.scaled_height = th;
      break;
  }
  if (s.scaled_width >= kMaxScaledLength || s.scaled_height >= kMaxScaledLength) {
    error = "the picture is too narrow to fill the box";
    return std::nullopt;
  }
  return s;
}

// Weights of the dots [from, to) of a line of `scaled` dots made from a source
// line of `source` pixels.
Taps make_taps(u64 source, u64 scaled, u64 from, u64 to, Upscale upscale) {
  Taps taps;
  const std::size_t n = static_cast<std::size_t>(to - from);
  taps.first.resize(n);
  taps.count.resize(n);
  taps.w_first.resize(n);
  taps.w_middle.resize(n, 0);
  taps.w_last.resize(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const u64 d = from + i;
    u64 first = 0, count = 1, w_first = kWeightOne, w_middle = 0, w_last = 0;
    if (scaled <= source) {
      // Area average. In ticks of 1 / (source * scaled) of the line, source
      // pixel k spans [k * scaled, (k + 1) * scaled) and dot d spans
      // [d * source, (d + 1) * source). Weights come from rounding the running
      // coverage, so that they add up to exactly kWeightOne.
      const u64 begin = d * source, end = begin + source;
      first = begin / scaled;
      const u64 last = (end - 1) / scaled;
      count = last - first + 1;
      auto covered = [&](u64 k) {  // the dot's coverage up to the end of pixel k, rounded
        return round_div((std::min((k + 1) * scaled, end) - begin) * kWeightOne, source);
      };
      w_first = covered(first);
      if (count > 1) {
        w_last = kWeightOne - covered(last - 1);
        // Pixels between the ends are covered whole, each by the same share;
        // any rounding rest goes to the first pixel.
        w_middle = count > 2 ? (covered(last - 1) - w_first) / (count - 2) : 0;
        w_first = kWeightOne - w_last - w_middle * (count - 2);
      }
    } else if (upscale == Upscale::nearest || source == 1) {
      // The pixel under the dot's centre: (d + 1/2) * source / scaled.
      first = (2 * d + 1) * source / (2 * scaled);
    } else {
      // Between the two pixels around the dot's centre, in units of
      // 1 / (2 * scaled) pixel: (2d + 1) * source - scaled.
      const u64 twice = 2 * scaled;
      const u64 numerator = (2 * d + 1) * source;
      if (numerator > scaled) {
        const u64 at = numerator - scaled;
        first = at / twice;
        w_last = round_div((at % twice) * kWeightOne, twice);
      }
      if (first >= source - 1) {
        first = source - 2;
        w_last = kWeightOne;
      }
      count = 2;
      w_first = kWeightOne - w_last;
    }
    taps.first[i] = static_cast<std::uint32_t>(first);
    taps.count[i] = static_cast<std::uint32_t>(count);
    taps.w_first[i] = static_cast<std::uint16_t>(w_first);
    taps.w_middle[i] = static_cast<std::uint16_t>(w_middle);
    taps.w_last[i] = static_cast<std::uint16_t>(w_last);
    taps.widest = std::max(taps.widest, static_cast<std::uint32_t>(count));
  }
  if (taps.widest <= kDenseTaps && source >= kDenseTaps) {
    taps.dense_first.resize(n);
    taps.dense.resize(n * kDenseTaps, 0);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t first =
          std::min(taps.first[i], static_cast<std::uint32_t>(source - kDenseTaps));
      taps.dense_first[i] = first;
      for (std::uint32_t k = taps.first[i]; k <= taps.last(i); ++k) {
        taps.dense[i * kDenseTaps + (k - first)] = static_cast<std::uint16_t>(taps.weight(i, k));
      }
    }
  }
  return taps;
}

// The visible dots of an axis scaled to `scaled` in a box side of `box`: the
// overflow is cut evenly from both ends, a shorter line is centred.
struct Visible {
  u64 from, to, offset;
};
Visible visible(u64 scaled, u64 box) {
  if (scaled > box) {
    const u64 cut = (scaled - box) / 2;
    return {cut, cut + box, 0};
  }
  return {0, scaled, (box - scaled) / 2};
}

}  // namespace

std::optional<FitPlan> plan_fit(std::size_t width, std::size_t height,
                                const PictureOptions& options, std::string& error) {
  const auto s = scaling(width, height, options, error);
  if (!s) return std::nullopt;
  FitPlan plan;
  plan.box_width = s->box_width;
  plan.box_height = s->box_height;
  plan.turns = s->turns;
  const Visible across = visible(s->scaled_width, s->box_width);
  const Visible down = visible(s->scaled_height, s->box_height);
  plan.left = across.offset;
  plan.top = down.offset;
  // Each source axis is one of the turned axes, read backwards by some turns:
  // a quarter turn clockwise puts the source's last row in the first column.
  const bool odd = s->turns % 2 != 0;
  const Visible& source_x = odd ? down : across;
  const Visible& source_y = odd ? across : down;
  const u64 scaled_x = odd ? s->scaled_height : s->scaled_width;
  const u64 scaled_y = odd ? s->scaled_width : s->scaled_height;
  const bool x_backwards = s->turns == 2 || s->turns == 3;
  const bool y_backwards = s->turns == 1 || s->turns == 2;
  auto axis_taps = [&](const Visible& v, u64 source, u64 scaled, bool backwards) {
    return backwards ? make_taps(source, scaled, scaled - v.to, scaled - v.from, options.upscale)
                     : make_taps(source, scaled, v.from, v.to, options.upscale);
  };
  plan.columns = axis_taps(source_x, width, scaled_x, x_backwards);
  plan.rows = axis_taps(source_y, height, scaled_y, y_backwards);
  return plan;
}

double shrink_factor(std::size_t width, std::size_t height, const PictureOptions& options) {
  std::string ignored;
  const auto s = scaling(width, height, options, ignored);
  if (!s) return 0;
  const bool odd = s->turns % 2 != 0;
  const double x =
      static_cast<double>(width) / static_cast<double>(odd ? s->scaled_height : s->scaled_width);
  const double y =
      static_cast<double>(height) / static_cast<double>(odd ? s->scaled_width : s->scaled_height);
  return std::min(x, y);
}

}  // namespace quillkit::image
