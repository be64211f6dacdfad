// Pictures for `quill print-image`, `quill preview` and the label file's image element: the
// options and their vocabularies, the input read whole, its conversion by the library, and its
// pages printed as labels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/common.hpp"
#include "quillkit/image.hpp"

namespace quill {

inline constexpr Named<quillkit::Fit> kFits[] = {{"fit", quillkit::Fit::fit},
                                                 {"fill", quillkit::Fit::fill},
                                                 {"stretch", quillkit::Fit::stretch},
                                                 {"none", quillkit::Fit::none}};
inline constexpr Named<quillkit::Rotation> kRotations[] = {{"0", quillkit::Rotation::none},
                                                           {"90", quillkit::Rotation::cw90},
                                                           {"180", quillkit::Rotation::cw180},
                                                           {"270", quillkit::Rotation::cw270},
                                                           {"auto", quillkit::Rotation::automatic}};
inline constexpr Named<quillkit::Dither> kDithers[] = {
    {"label", quillkit::Dither::label},
    {"threshold", quillkit::Dither::threshold},
    {"ordered", quillkit::Dither::ordered},
    {"floyd-steinberg", quillkit::Dither::floyd_steinberg},
    {"atkinson", quillkit::Dither::atkinson}};

// How a picture file becomes labels, as the command line gave it.
struct PictureArgs {
  // The label in millimetres; 0: the picture's size (a PDF page's at the resolution).
  double width_mm = 0;
  double height_mm = 0;
  quillkit::Fit fit = quillkit::Fit::fit;
  quillkit::Rotation rotation = quillkit::Rotation::none;
  quillkit::Dither dither = quillkit::Dither::label;
  std::string pages;   // "N", "N-M" or "N-"; empty: every page
  bool given = false;  // whether any of these options was on the command line
};

// Adds --width, --height, --fit, --rotate, --dither and --pages to `command`, filling `args`.
void add_picture_options(CLI::App& command, PictureArgs& args);

// A picture file's pages converted for a printer of `stock.dpi`, and the stock each prints on.
struct PictureLabels {
  std::vector<quillkit::MonoImage> pages;
  std::size_t first_page = 1;  // the document's number of pages[0]
  quillkit::LabelStock stock;
};

// The whole file `name`, or standard input for "-", at most 64 MiB; nothing, with `error` set
// to "NAME: why", when it is not a file, is larger or cannot be read.
std::optional<std::string> read_input(const std::string& name, std::string& error);

// The pages of the picture file `file` (named `name` in messages) converted by the library;
// nothing, with `error` set to "NAME: why", when it is not a picture the library reads or the
// options cannot be used.
std::optional<std::vector<quillkit::MonoImage>> convert_file(
    std::string_view file, const std::string& name, const quillkit::PictureOptions& options,
    const quillkit::LoadOptions& load, std::string& error);
// The same for the command line's options and a printer of `dpi` dots an inch.
std::optional<PictureLabels> convert_pictures(std::string_view file, const std::string& name,
                                              const PictureArgs& args, int dpi, std::string& error);

// Prints each page on a label of its own, `copies` of each. Nothing when done, else the one-line
// reason it stopped (the link refused a picture). Does not check the link before it starts.
std::optional<std::string> print_pictures(quillkit::Printer& printer, const PictureLabels& labels,
                                          int copies);

}  // namespace quill
