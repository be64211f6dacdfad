// One printed page as the printer's command language: the label's setup, the page as one
// BITMAP, and PRINT.
#pragma once

#include <string>

#include "quillkit/image.hpp"

namespace quill_printer {

// How the printer finds the start of each label.
enum class Sensing { kGap, kMark, kContinuous };

// The settings a label is printed with, from the job, the printer's defaults and its media.
struct LabelSettings {
  int width_hmm = 0;   // label width, hundredths of a millimetre
  int length_hmm = 0;  // label length, hundredths of a millimetre
  int dpi = 203;
  Sensing sensing = Sensing::kGap;
  int sensing_mm = 2;  // gap or black mark height
  int density = 8;     // 0 to 15
  int speed = 4;       // inches per second

  // The size in dots, to the nearest dot.
  int width_dots() const { return (width_hmm * dpi + 1270) / 2540; }
  int length_dots() const { return (length_hmm * dpi + 1270) / 2540; }
};

// The lines that set the label up and clear the image buffer: SIZE, SPEED, DENSITY, GAP or
// BLINE, CLS, each ending in CR LF.
std::string label_setup(const LabelSettings& settings);

// How a page becomes the label's dots: fitted to the label (turned a quarter when that fits it
// larger) and dithered in the picture library's default mode.
quillkit::PictureOptions picture_options(const LabelSettings& settings);

// The whole label for one page: setup, the raster at 0,0 as one BITMAP, PRINT 1,1. Copies are
// separate labels: a copy count of 0 or less never reaches the printer.
std::string label_commands(const LabelSettings& settings, const quillkit::MonoImage& raster);

}  // namespace quill_printer
