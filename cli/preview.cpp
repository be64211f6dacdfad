// `quill preview`: a label file or a stream of raw command bytes rendered by a virtual printer in
// this process, without any printer.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>

#include "cli/common.hpp"
#include "cli/label_file.hpp"
#include "quillkit/quillkit.hpp"
#include "quillkit/virtual_printer.hpp"

namespace quill {
namespace {

// Twice the largest label file; raw streams may carry downloads and bitmaps.
constexpr std::size_t kMaxInputBytes = 64 * 1024 * 1024;
constexpr auto kLabelWait = std::chrono::seconds(30);

struct PreviewOptions {
  std::string input;          // a file, or "-" for standard input
  std::filesystem::path out;  // the PNG, or with `all` the folder; empty: label.png or "."
  int dpi = 203;
  bool all = false;
};

// The whole input, or nothing with `error` set.
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

// A label file is a JSON object; anything else is taken as command bytes.
bool looks_like_label_file(std::string_view bytes) {
  const auto first = bytes.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && bytes[first] == '{';
}

int run_preview(const PreviewOptions& options) {
  std::string error;
  const auto input = read_input(options.input, error);
  if (!input) return usage_error(error);
  std::optional<Label> label;
  if (looks_like_label_file(*input)) {
    LabelParse parsed = parse_label(*input);
    if (!parsed.label) return usage_error(options.input + ": " + parsed.error);
    label = std::move(parsed.label);
  }

  std::error_code ec;
  const std::filesystem::path out =
      std::filesystem::absolute(options.out.empty()
                                    ? std::filesystem::path(options.all ? "." : "label.png")
                                    : options.out,
                                ec)
          .lexically_normal();
  std::mutex mu;
  std::optional<quillkit::VirtualLabel> first;
  quillkit::VirtualPrinterConfig config;
  config.dpi = options.dpi;
  config.labels_kept = 1;
  if (options.all) config.output_dir = out;
  // Every line the printer logs is shown: the preview doubles as a check of the stream.
  config.on_log = [](std::string_view line) {
    std::fprintf(stderr, "virtual printer: %.*s\n", static_cast<int>(line.size()), line.data());
  };
  config.on_label = [&](const quillkit::VirtualLabel& printed) {
    std::lock_guard lock(mu);
    if (!first) first = printed;
    if (options.all) {
      std::printf("%s: %d x %d dots\n",
                  printed.png_path.empty() ? "(not saved)" : printed.png_path.string().c_str(),
                  printed.width, printed.height);
    }
  };
  quillkit::VirtualPrinter printer(config);
  if (label) {
    const std::uint64_t expected = static_cast<std::uint64_t>(label->quantity) * label->copies;
    const int code = with_library_printer(printer, [&](quillkit::Printer& library) {
      if (auto stopped = print_label(library, *label)) return fail(*stopped);
      printer.wait_for_labels(expected, kLabelWait);
      return kExitOk;
    });
    if (code != kExitOk) return code;
  } else {
    printer.feed(*input);
  }

  std::lock_guard lock(mu);
  if (!first) return fail("no label printed (the input has no PRINT command that was understood)");
  if (options.all) return kExitOk;
  if (out.has_parent_path()) std::filesystem::create_directories(out.parent_path(), ec);
  if (!quillkit::save_label_png(*first, out)) return fail("cannot write " + out.string());
  const double dots_per_mm = options.dpi == 300 ? 12 : 8;
  std::printf("%s: %d x %d dots (%g x %g mm at %d dpi)\n", out.string().c_str(), first->width,
              first->height, first->width / dots_per_mm, first->height / dots_per_mm, options.dpi);
  return kExitOk;
}

}  // namespace

void setup_preview(CommandLine& line) {
  auto [command, options] = add_subcommand(
      line, "preview", "Render a label file or raw command bytes to PNG, without a printer",
      run_preview);
  add_required(*command, "input", options->input, "Label JSON or command bytes; - reads stdin",
               "INPUT");
  command->add_option("-o,--out", options->out,
                      "The PNG (default label.png); with --all the folder (default .)");
  command->add_option("--dpi", options->dpi, "Resolution")
      ->check(CLI::IsMember({203, 300}))
      ->capture_default_str();
  command->add_flag("--all", options->all, "Write every label: label-0001.png, ...");
}

}  // namespace quill
