#include "printer-app/label.hpp"

#include <cstdio>

namespace quill_printer {
namespace {

// Hundredths of a millimetre as millimetres with no trailing zeros: 5000 "50", 10160 "101.6".
std::string millimetres(int hmm) {
  char text[32];
  if (hmm % 100 == 0) {
    std::snprintf(text, sizeof text, "%d", hmm / 100);
  } else if (hmm % 10 == 0) {
    std::snprintf(text, sizeof text, "%d.%d", hmm / 100, (hmm / 10) % 10);
  } else {
    std::snprintf(text, sizeof text, "%d.%02d", hmm / 100, hmm % 100);
  }
  return text;
}

}  // namespace

std::string label_setup(const LabelSettings& s) {
  std::string out = "SIZE " + millimetres(s.width_hmm) + " mm," + millimetres(s.length_hmm) +
                    " mm\r\nSPEED " + std::to_string(s.speed) + "\r\nDENSITY " +
                    std::to_string(s.density) + "\r\n";
  switch (s.sensing) {
    case Sensing::kGap:
      out += "GAP " + std::to_string(s.sensing_mm) + " mm,0 mm\r\n";
      break;
    case Sensing::kMark:
      out += "BLINE " + std::to_string(s.sensing_mm) + " mm,0 mm\r\n";
      break;
    case Sensing::kContinuous:
      out += "GAP 0 mm,0 mm\r\n";
      break;
  }
  return out + "CLS\r\n";
}

quillkit::PictureOptions picture_options(const LabelSettings& settings) {
  quillkit::PictureOptions options;
  options.width = static_cast<std::size_t>(settings.width_dots());
  options.height = static_cast<std::size_t>(settings.length_dots());
  options.rotation = quillkit::Rotation::automatic;
  return options;
}

std::string label_commands(const LabelSettings& settings, const quillkit::MonoImage& raster) {
  std::string out = label_setup(settings);
  const std::vector<std::uint8_t> bitmap = quillkit::bitmap_bytes(0, 0, raster);
  out.append(bitmap.begin(), bitmap.end());
  out += "PRINT 1,1\r\n";
  return out;
}

}  // namespace quill_printer
