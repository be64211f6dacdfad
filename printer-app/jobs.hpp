// Printing jobs: raster pages from PAPPL, pictures and PDF pages through the picture
// conversion, raw command files unchanged.
#pragma once

#include <pappl/pappl.h>

#include <string_view>

#include "printer-app/label.hpp"

namespace quill_printer {

// The MIME type of a file in the printer's command language.
constexpr const char* kCommandFormat = "application/vnd.quillkit-label";

// The printer setting that holds the gap or black-mark height in millimetres (an IPP
// attribute of the printer, "label-gap-default", 0 to kMaxGapMm).
constexpr const char* kGapAttribute = "label-gap";
constexpr int kDefaultGapMm = 2;
constexpr int kMaxGapMm = 25;

// Whether the start of a file reads as the command language: its first word, after blank
// space, is one of the language's commands, or it begins with an escape sequence of it.
bool looks_like_commands(std::string_view head);

// The label settings for `media` at `dpi` with a darkness of 0 to 100 (anything else is
// clamped), a speed in hundredths of a millimetre per second (0 or less: the default) and the
// gap or mark height in millimetres.
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
