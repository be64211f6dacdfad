// Printing jobs: raster pages from PAPPL, pictures and PDF pages through the picture
// conversion, raw command files unchanged.
#pragma once

#include <pappl/pappl.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "printer-app/label.hpp"
#include "quillkit/image.hpp"

namespace quill_printer {

// The MIME type of a file in the printer's command language.
constexpr const char* kCommandFormat = "application/vnd.quillkit-label";

// The printer setting that holds the gap or black-mark height in millimetres (an IPP
// attribute of the printer, "label-gap-default", 0 to kMaxGapMm).
constexpr const char* kGapAttribute = "label-gap";
constexpr const char* kGapDefaultAttribute = "label-gap-default";
constexpr const char* kGapSupportedAttribute = "label-gap-supported";
constexpr int kDefaultGapMm = 2;
constexpr int kMaxGapMm = 25;

// One raster page as PAPPL hands it, line by line, converted to the label's dots as the lines
// arrive (the page is never held whole). Takes 8-bit grey (white 255, or black 255 for the K
// colour space) and 24-bit RGB lines.
class RasterPage {
 public:
  // Starts a page of `header`'s size converted as `options` say; false (with the reason) for
  // any other raster type or a page the conversion refuses (empty, too large).
  bool start(const cups_page_header2_t& header, const quillkit::PictureOptions& options,
             std::string& why);
  // Takes line `y` (cupsBytesPerLine bytes); lines before it that never came are white, lines
  // outside the page and repeated lines are ignored.
  void write_line(unsigned y, const unsigned char* line);
  // The label's dots once the page ended (missing last lines white); empty with `why` set when
  // the page could not be converted.
  quillkit::MonoImage finish(std::string& why);

 private:
  bool add_white_rows(unsigned until);

  std::optional<quillkit::PictureConverter> converter_;
  std::vector<std::uint8_t> grey_;
  unsigned next_ = 0, height_ = 0;
  bool rgb_ = false, inverted_ = false;
};

// Whether the start of a file reads as the command language: its first word, after blank
// space, is one of the language's commands, or it begins with an escape sequence of it.
bool looks_like_commands(std::string_view head);

// The label settings for `media` (at most 108 x 400 mm) at `dpi` (100 to 600) with a darkness
// of 0 to 100, a speed in hundredths of a millimetre per second (0 or less: the default) and
// the gap or mark height in millimetres; values out of range are clamped.
LabelSettings label_settings(const pappl_media_col_t& media, int dpi, int darkness, int speed,
                             int gap_mm);

// The printer's gap or mark height setting (label-gap-default), or kDefaultGapMm.
int printer_gap_mm(pappl_printer_t* printer);

// Fills in the driver's job callbacks (raster pages and raw files).
void set_job_callbacks(pappl_pr_driver_data_t& data);

// Registers the MIME detection of command files and the filters that print PNG, JPEG and PDF
// documents through the picture conversion. Call before the system runs.
void add_document_filters(pappl_system_t* system);

}  // namespace quill_printer
