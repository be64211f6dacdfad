// Helpers for the virtual printer's tests and the quill command's: text of bytes, ink bounding
// boxes, barcode decoding of a label.
#pragma once

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "quillkit/virtual_printer.hpp"
#include "support/fake_printer.hpp"
#include "support/fontconfig_leak.hpp"
#include "support/temp_files.hpp"

namespace quillkit::vptest {

inline std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Smallest rectangle holding every ink dot inside [x0, x1) x [y0, y1); right and bottom
// exclusive.
struct InkBox {
  int left = 1 << 30, top = 1 << 30, right = 0, bottom = 0;
  bool empty = true;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
};

inline InkBox ink_box(const VirtualLabel& label, int x0 = 0, int y0 = 0, int x1 = 1 << 30,
                      int y1 = 1 << 30) {
  InkBox box;
  for (int y = std::max(y0, 0); y < std::min(y1, label.height); ++y) {
    for (int x = std::max(x0, 0); x < std::min(x1, label.width); ++x) {
      if (!label.ink(x, y)) continue;
      box = {std::min(box.left, x), std::min(box.top, y), std::max(box.right, x + 1),
             std::max(box.bottom, y + 1), false};
    }
  }
  return box;
}

// Whether `box` holds ink and lies within [left, right) x [top, bottom).
inline ::testing::AssertionResult ink_within(const InkBox& box, int left, int top, int right,
                                             int bottom) {
  const bool within = !box.empty && box.left >= left && box.top >= top && box.right <= right &&
                      box.bottom <= bottom;
  return (within ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << "ink [" << box.left << ", " << box.right << ") x [" << box.top << ", " << box.bottom
         << ") within [" << left << ", " << right << ") x [" << top << ", " << bottom << ")";
}

// Decodes the one barcode of `format` in the label (white margin added around it).
inline std::optional<std::string> decode(const VirtualLabel& label, ZXing::BarcodeFormat format) {
  constexpr int kMargin = 40;
  const int width = label.width + 2 * kMargin, height = label.height + 2 * kMargin;
  std::vector<std::uint8_t> lum(static_cast<std::size_t>(width) * height, 255);
  for (int y = 0; y < label.height; ++y) {
    for (int x = 0; x < label.width; ++x) {
      if (label.ink(x, y)) lum[static_cast<std::size_t>(y + kMargin) * width + x + kMargin] = 0;
    }
  }
  const ZXing::ImageView view(lum.data(), width, height, ZXing::ImageFormat::Lum);
  auto hints = ZXing::DecodeHints().setFormats(format).setTryHarder(true).setTryRotate(true);
  hints.setTryCode39ExtendedMode(true);
  auto result = ZXing::ReadBarcode(view, hints);
  // zxing's detectors for the 2-D symbols miss large modules that its pure reader finds; that
  // reader wants the symbol upright, so it sees the label turned each way.
  hints.setIsPure(true);
  for (int turn = 0; turn < 360 && !result.isValid(); turn += 90) {
    result = ZXing::ReadBarcode(view.rotated(turn), hints);
  }
  return result.isValid() ? std::optional(result.text()) : std::nullopt;
}

}  // namespace quillkit::vptest
