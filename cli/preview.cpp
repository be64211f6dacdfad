// `quill preview`: a label file, a picture or a stream of raw command bytes rendered by a virtual
// printer in this process, without any printer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "cli/common.hpp"
#include "cli/label_file.hpp"
#include "cli/pictures.hpp"
#include "quillkit/quillkit.hpp"
#include "quillkit/virtual_printer.hpp"

namespace quill {
namespace {

constexpr auto kLabelWait = std::chrono::seconds(30);

struct PreviewOptions {
  std::string input;          // a file, or "-" for standard input
  std::filesystem::path out;  // the PNG, or with `all` the folder; empty: label.png or "."
  int dpi = 203;
  bool all = false;
  PictureArgs picture;
};

// A label file is a JSON object; anything else is taken as command bytes.
bool looks_like_label_file(std::string_view bytes) {
  const auto first = bytes.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && bytes[first] == '{';
}

int run_preview(const PreviewOptions& options) {
  std::string error;
  const auto input = read_input(options.input, error);
  if (!input) return usage_error(error);
  // What the library prints, and the labels it makes; none for raw bytes, fed as they are.
  std::function<std::optional<std::string>(quillkit::Printer&)> send;
  std::uint64_t expected = 0;
  std::optional<Label> label;
  std::optional<PictureLabels> pictures;
  if (quillkit::is_picture_file(
          std::span(reinterpret_cast<const std::uint8_t*>(input->data()), input->size()))) {
    pictures = convert_pictures(*input, options.input, options.picture, options.dpi, error);
    if (!pictures) return usage_error(error);
    expected = pictures->pages.size();
    send = [&](quillkit::Printer& library) { return print_pictures(library, *pictures, 1); };
  } else if (options.picture.given) {
    return usage_error(
        options.input +
        ": not a PNG, JPEG or PDF file (the picture options apply to pictures only)");
  } else if (looks_like_label_file(*input)) {
    // Relative picture files are found next to the label file.
    const std::filesystem::path folder = options.input == "-"
                                             ? std::filesystem::path()
                                             : std::filesystem::path(options.input).parent_path();
    LabelParse parsed = parse_label(*input, folder);
    if (!parsed.label) return usage_error(options.input + ": " + parsed.error);
    label = std::move(parsed.label);
    expected = static_cast<std::uint64_t>(label->quantity) * label->copies;
    send = [&](quillkit::Printer& library) { return print_label(library, *label); };
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
  if (send) {
    const int code = with_library_printer(printer, [&](quillkit::Printer& library) {
      if (auto stopped = send(library)) return fail(*stopped);
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
      line, "preview",
      "Render a label file, a picture or raw command bytes to PNG, without a printer", run_preview);
  add_required(*command, "input", options->input,
               "Label JSON, a picture (PNG, JPEG, PDF) or command bytes; - reads stdin", "INPUT");
  command->add_option("-o,--out", options->out,
                      "The PNG (default label.png); with --all the folder (default .)");
  command->add_option("--dpi", options->dpi, "Resolution")
      ->check(CLI::IsMember({203, 300}))
      ->capture_default_str();
  command->add_flag("--all", options->all, "Write every label: label-0001.png, ...");
  add_picture_options(*command, options->picture);
}

}  // namespace quill
