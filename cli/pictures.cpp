#include "cli/pictures.hpp"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <tuple>
#include <utility>

#include "quillkit/printer.hpp"

namespace quill {
namespace {

// The library reads no larger picture file; raw streams may carry downloads and bitmaps.
constexpr std::size_t kMaxInputBytes = 64 * 1024 * 1024;
constexpr double kMaxLabelMm = 1000;

// The pages "N", "N-M" or "N-" (to the last, 0), counted from 1; nothing for any other text.
std::optional<std::pair<std::size_t, std::size_t>> parse_pages(std::string_view text) {
  const auto number = [](std::string_view digits) -> std::optional<std::size_t> {
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value == 0) return {};
    return value;
  };
  const auto dash = text.find('-');
  const auto first = number(text.substr(0, dash));
  if (!first) return std::nullopt;
  if (dash == std::string_view::npos) return std::pair(*first, *first);
  if (dash + 1 == text.size()) return std::pair(*first, std::size_t{0});
  const auto last = number(text.substr(dash + 1));
  if (!last || *last < *first) return std::nullopt;
  return std::pair(*first, *last);
}

}  // namespace

void add_picture_options(CLI::App& command, PictureArgs& args) {
  const auto given = [&args](const std::string&) { args.given = true; };
  for (auto [name, side, what] : {std::tuple("--width", &args.width_mm, "Label width"),
                                  std::tuple("--height", &args.height_mm, "Label height")}) {
    command
        .add_option(name, *side,
                    std::string(what) + " in mm, 1 to 1000 (default: the picture's, fitted)")
        ->check(number_from(1, kMaxLabelMm, "millimetres", "MM"))
        ->each(given);
  }
  add_vocabulary(command, "--fit", args.fit, "How the picture meets the label", kFits, "FIT")
      ->each(given);
  add_vocabulary(command, "--rotate", args.rotation,
                 "Clockwise turn; auto turns to match the label", kRotations, "DEGREES")
      ->each(given);
  add_vocabulary(command, "--dither", args.dither, "How grey becomes dots", kDithers, "MODE")
      ->each(given);
  command.add_option("--pages", args.pages, "PDF pages: N, N-M or N- (default: all)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return parse_pages(text) ? ""
                                     : "expected a page or pages such as 2, 1-3 or 2-, got " + text;
          },
          "PAGES"))
      ->each(given);
}

std::optional<std::string> read_input(const std::string& name, std::string& error) {
  std::string bytes;
  std::ifstream file;
  std::istream* in = &std::cin;
  if (name != "-") {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(name, ec)) {
      error = name + ": not a file";
      return std::nullopt;
    }
    file.open(name, std::ios::binary);
    in = &file;
  }
  char buffer[65536];
  while (*in) {
    in->read(buffer, sizeof buffer);
    bytes.append(buffer, static_cast<std::size_t>(in->gcount()));
    if (bytes.size() > kMaxInputBytes) {
      error = name + ": larger than 64 MiB";
      return std::nullopt;
    }
  }
  if (in->bad()) {
    error = name + ": cannot be read";
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::vector<quillkit::MonoImage>> convert_file(
    std::string_view file, const std::string& name, const quillkit::PictureOptions& options,
    const quillkit::LoadOptions& load, std::string& error) {
  quillkit::MonoPages converted = quillkit::convert_picture_file(
      std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()), options, load);
  if (!converted.ok()) {
    error = name + ": " + converted.error;
    return std::nullopt;
  }
  return std::move(converted.pages);
}

std::optional<PictureLabels> convert_pictures(std::string_view file, const std::string& name,
                                              const PictureArgs& args, int dpi,
                                              std::string& error) {
  PictureLabels labels;
  labels.stock.dpi = dpi;
  labels.stock.width_mm = args.width_mm;
  labels.stock.height_mm = args.height_mm;
  quillkit::PictureOptions options;
  std::tie(options.width, options.height) = quillkit::stock_dots(labels.stock);
  options.fit = args.fit;
  options.rotation = args.rotation;
  options.dither = args.dither;
  quillkit::LoadOptions load;
  load.dpi = dpi;
  if (!args.pages.empty()) std::tie(load.first_page, load.last_page) = *parse_pages(args.pages);
  auto pages = convert_file(file, name, options, load, error);
  if (!pages) return std::nullopt;
  labels.pages = std::move(*pages);
  labels.first_page = load.first_page;
  return labels;
}

std::optional<std::string> print_pictures(quillkit::Printer& printer, const PictureLabels& labels,
                                          int copies) {
  for (std::size_t i = 0; i < labels.pages.size(); ++i) {
    if (printer.printpicture(labels.pages[i], labels.stock, copies) != 1) {
      return "page " + std::to_string(labels.first_page + i) +
             ": the link was lost before the picture was sent";
    }
  }
  return std::nullopt;
}

}  // namespace quill
