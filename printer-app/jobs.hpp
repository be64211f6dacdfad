// Printing jobs: raster pages from PAPPL, pictures and PDF pages through the picture
// conversion, raw command files unchanged.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <string_view>

#include "printer-app/label.hpp"
#include "printer-app/picture.hpp"

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

// One raster page as PAPPL hands it, line by line, gathered as 8-bit grey. Takes 8-bit grey
// (white 255, or black 255 for the K colour space) and 24-bit RGB lines.
class RasterPage {
 public:
  // Starts a page of `header`'s size; false (with the reason) for any other raster type or a
  // page over kMaxPagePixels.
  bool start(const cups_page_header2_t& header, std::string& why);
  // Stores line `y` (cupsBytesPerLine bytes); lines outside the page are ignored.
  void write_line(unsigned y, const unsigned char* line);
  const GreyPage& page() const { return page_; }

 private:
  GreyPage page_;
  bool rgb_ = false, inverted_ = false;
};

// The label commands for `page` printed with `settings`: fitted to the label and made 1-bit.
std::string page_label(const LabelSettings& settings, const GreyPage& page);

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
