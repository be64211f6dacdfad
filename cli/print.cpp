// The subcommands that hand the printer something to print or keep: print, print-image, send and
// download.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "cli/common.hpp"
#include "cli/label_file.hpp"
#include "cli/link_target.hpp"
#include "cli/pictures.hpp"
#include "cli/progress.hpp"

namespace quill {
namespace {

// A printer that resets the connection instead of taking the last bytes does so within a
// round trip or two; this bounds the wait for their acknowledgement.
constexpr double kSentWait = 2.0;

struct PrintOptions {
  LinkOptions link;
  std::filesystem::path label;
};

int run_print(const PrintOptions& options) {
  // The whole description is checked before the printer is even opened.
  const LabelParse parsed = load_label(options.label);
  if (!parsed.label) return usage_error(parsed.error);
  OpenedPrinter opened = open_printer(options.link);
  if (!opened.printer) return opened.exit_code;
  if (auto stopped = print_label(*opened.printer, *parsed.label)) {
    if (!link_open(*opened.printer)) return link_still_up(opened, "printing");
    return fail(*stopped);
  }
  if (const int code = link_still_up(opened, "printing"); code != kExitOk) return code;
  const Label& label = *parsed.label;
  std::printf("printed %d x %d label(s) of %g x %g mm with %zu element(s) on %s\n", label.quantity,
              label.copies, label.width_mm, label.height_mm, label.elements.size(),
              opened.name.c_str());
  return kExitOk;
}

struct PrintImageOptions {
  LinkOptions link;
  std::string file;
  PictureArgs picture;
  int dpi = 203;
  int copies = 1;
};

int run_print_image(const PrintImageOptions& options) {
  // The whole file is converted before the printer is even opened.
  std::string error;
  const auto file = read_input(options.file, error);
  if (!file) return usage_error(error);
  const auto labels = convert_pictures(*file, options.file, options.picture, options.dpi, error);
  if (!labels) return usage_error(error);
  OpenedPrinter opened = open_printer(options.link);
  if (!opened.printer) return opened.exit_code;
  if (auto stopped = print_pictures(*opened.printer, *labels, options.copies)) {
    if (!link_open(*opened.printer)) return link_still_up(opened, "printing");
    return fail(*stopped);
  }
  if (const int code = link_still_up(opened, "printing"); code != kExitOk) return code;
  const quillkit::MonoImage& first = labels->pages.front();
  std::printf("printed %zu x %d label(s) of %zu x %zu dots from %s on %s\n", labels->pages.size(),
              options.copies, first.width, first.height, options.file.c_str(), opened.name.c_str());
  return kExitOk;
}

// Turns the escapes of `quill send` into their characters: \r \n \t \e (ESC) \\ and \xHH for
// 00 to 7F. Nothing, with `error` set, on any other escape.
std::optional<std::string> unescape(std::string_view text, std::string& error) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 == text.size()) {
      error = "a lone backslash ends the text (write \\\\ for a backslash)";
      return std::nullopt;
    }
    constexpr std::string_view kEscaped = "rnte\\", kMeant = "\r\n\t\x1B\\";
    const char c = text[++i];
    if (const auto k = kEscaped.find(c); k != std::string_view::npos) {
      out += kMeant[k];
      continue;
    }
    if (c != 'x') {
      error = std::string("unknown escape \\") + c + " (known: \\r \\n \\t \\e \\\\ \\xHH)";
      return std::nullopt;
    }
    const auto hex = [](char h) {
      return h >= '0' && h <= '9'   ? h - '0'
             : h >= 'a' && h <= 'f' ? h - 'a' + 10
             : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                    : -1;
    };
    const int high = i + 1 < text.size() ? hex(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? hex(text[i + 2]) : -1;
    if (high < 0 || low < 0 || high > 7) {
      error = "\\x needs two hex digits from 00 to 7F (write other characters as themselves)";
      return std::nullopt;
    }
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

struct SendOptions {
  LinkOptions link;
  std::vector<std::string> words;
  std::string encoding = "utf-8";
};

int run_send(const SendOptions& options) {
  std::string joined;
  for (const std::string& word : options.words) joined += (joined.empty() ? "" : " ") + word;
  std::string error;
  const auto text = unescape(joined, error);
  if (!text) return usage_error(error);
  OpenedPrinter opened = open_printer(options.link);
  if (!opened.printer) return opened.exit_code;
  quillkit::Printer& printer = *opened.printer;
  const std::string_view encoding = options.encoding;
  // UTF-8 goes out through the write primitive itself, whose result tells a failed write.
  const quillkit::Result result =
      encoding == "gb18030" ? printer.sendcommand_gb2312(*text, 0)
      : encoding == "big5"
          ? printer.sendcommand_big5(*text, 0)
          : printer.sendBinaryData(
                std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
  // The last bytes are still on their way: a printer that resets the connection instead of
  // taking them is seen only once they are acknowledged or the reset has come.
  if (result == 1) printer.wait_until_sent(kSentWait);
  if (const int code = link_still_up(opened, "sending"); code != kExitOk) return code;
  if (result == -2) return fail("the printer at " + opened.name + " is not taking data");
  if (result != 1 && encoding != "utf-8") {
    return fail("the text cannot be written in " + std::string(encoding));
  }
  if (result != 1) return fail("the printer at " + opened.name + " took no data for 5 s");
  std::printf("sent to %s\n", opened.name.c_str());
  return kExitOk;
}

struct DownloadOptions {
  LinkOptions link;
  std::filesystem::path file;
  std::string name;
};

int run_download(const DownloadOptions& options) {
  const std::filesystem::path& file = options.file;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) {
    return usage_error(file.string() + ": not a regular file");
  }
  OpenedPrinter opened = open_printer(options.link);
  if (!opened.printer) return opened.exit_code;
  quillkit::Result result;
  {
    ProgressReport progress(stderr, isatty(STDERR_FILENO) == 1);
    progress.start(static_cast<std::size_t>(std::filesystem::file_size(file, ec)));
    result = opened.printer->downloadpcx(
        file.string(), options.name,
        [&progress](std::size_t sent, std::size_t total) { progress.update(sent, total); });
  }
  if (result != 1) {
    return fail("cannot send " + file.string() + ": it cannot be read, or the name \"" +
                options.name + "\" cannot be written in Big5-HKSCS");
  }
  if (const int code = link_still_up(opened, "sending the file"); code != kExitOk) return code;
  std::printf(
      "stored %s as \"%s\" (%ju bytes) on %s\n", file.string().c_str(), options.name.c_str(),
      static_cast<std::uintmax_t>(std::filesystem::file_size(file, ec)), opened.name.c_str());
  return kExitOk;
}

}  // namespace

void setup_print(CommandLine& line) {
  auto [command, options] =
      add_subcommand(line, "print", "Print a label described in a JSON file", run_print);
  add_required(*command, "label", options->label, "The label description (docs/label-format.md)",
               "LABEL.json");
  add_link_options(*command, options->link, line);
}

void setup_print_image(CommandLine& line) {
  auto [command, options] =
      add_subcommand(line, "print-image",
                     "Print a picture (PNG, JPEG, PDF pages), one label per page", run_print_image);
  add_required(*command, "file", options->file, "The picture; - reads stdin", "FILE");
  command->add_option("--dpi", options->dpi, "The printer's resolution")
      ->check(CLI::IsMember({203, 300}))
      ->capture_default_str();
  add_picture_options(*command, options->picture);
  command->add_option("--copies", options->copies, "Copies of each label, 1 to 1000")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  add_link_options(*command, options->link, line);
}

void setup_send(CommandLine& line) {
  auto [command, options] = add_subcommand(
      line, "send", "Send your own command text (escapes \\r \\n \\t \\e \\\\ \\xHH)", run_send);
  add_required(*command, "text", options->words, "The command text", "TEXT...");
  command->add_option("--encoding", options->encoding, "Encoding of the text")
      ->check(CLI::IsMember({"utf-8", "gb18030", "big5"}))
      ->capture_default_str();
  add_link_options(*command, options->link, line);
}

void setup_download(CommandLine& line) {
  auto [command, options] = add_subcommand(
      line, "download", "Store a file in the printer's memory under a name", run_download);
  add_required(*command, "file", options->file, "The file to send", "FILE")
      ->check(CLI::ExistingFile);
  add_required(*command, "name", options->name, "The name in the printer", "NAME");
  add_link_options(*command, options->link, line);
}

}  // namespace quill
