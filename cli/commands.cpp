// The subcommands that talk to a printer over a link: print, send, query, status, battery and
// download.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "cli/ble.hpp"
#include "cli/common.hpp"
#include "cli/label_file.hpp"
#include "cli/link_target.hpp"
#include "cli/progress.hpp"
#include "quillkit/quillkit.hpp"

namespace quill {
namespace {

// The printer named by the options, opened; or the exit code of the failure, already reported.
struct OpenedPrinter {
  std::unique_ptr<quillkit::Printer> printer;
  std::string name;
  int exit_code = kExitOk;
};

// A radio session often takes longer than the library's 0.5 s open: while the open has not
// decided (openport_status 0), wait for it a while longer.
constexpr auto kBluetoothSessionWait = std::chrono::seconds(10);

OpenedPrinter open_bluetooth(const LinkTarget& target) {
  auto bt = make_printer<quillkit::Bluetooth>();
  const std::string name = target.description();
  diagnostic("opening " + name);
  const quillkit::Result opened =
      target.device.empty() ? bt->openport_mfi() : bt->openport_mfi(target.device);
  const auto deadline = std::chrono::steady_clock::now() + kBluetoothSessionWait;
  while (opened != 1 && bt->openport_status() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (bt->openport_status() != 1) {
    return {nullptr, name,
            fail("cannot open " + name +
                 " (run with --verbose to see why; `quill devices` "
                 "lists the paired serial printers)")};
  }
  return {std::move(bt), name, kExitOk};
}

OpenedPrinter open_printer(const LinkOptions& options) {
  std::string error;
  const auto target = resolve_link(options, options.printer_variable.c_str(), error);
  if (!target) return {nullptr, {}, usage_error(error)};
  if (options.chunk != 0 && target->kind != LinkKind::ble) {
    return {nullptr, {}, usage_error("--chunk applies to --ble only")};
  }
  if (target->kind == LinkKind::bluetooth) return open_bluetooth(*target);
  const std::string name = target->description();
  if (target->kind == LinkKind::ble) {
    diagnostic("opening " + name);
    auto ble = open_ble(target->device, options.chunk, error);
    if (!ble) return {nullptr, name, fail(error)};
    return {std::move(ble), name, kExitOk};
  }
  auto wifi = make_printer<quillkit::WiFi>();
  diagnostic("opening " + name);
  if (wifi->openport(target->host, target->port) != 1) {
    return {nullptr, name,
            fail("cannot reach the printer at " + name + " (no connection within 1.5 s)")};
  }
  return {std::move(wifi), name, kExitOk};
}

// Link states (stream_Status) that quill tells apart: 2 to 4 mean open (stream links: open,
// reading, writing; BLE: radio on), 5 the peer ended the connection, 7 it failed or was reset.
constexpr quillkit::Result kLinkOpen = 2;
constexpr quillkit::Result kLinkWriting = 4;
constexpr quillkit::Result kLinkAtEnd = 5;
constexpr quillkit::Result kLinkError = 7;

bool link_open(quillkit::Printer& printer) {
  const quillkit::Result state = printer.stream_Status();
  return state >= kLinkOpen && state <= kLinkWriting;
}

// The work is done only if the link is still open after it: a printer that closed or reset the
// connection meanwhile lost bytes that the operations reported as handed over.
int link_still_up(quillkit::Printer& printer, const std::string& name, std::string_view what) {
  if (link_open(printer)) return kExitOk;
  const quillkit::Result state = printer.stream_Status();
  const std::string how = state == kLinkAtEnd   ? "the printer closed the connection"
                          : state == kLinkError ? "the connection failed or was reset"
                          : state == -1         ? "the link was lost"
                                                : "the link is no longer open";
  return fail(how + " while " + std::string(what) + " (" + name + ")");
}

// Answers end with CR; several lines are separated by CR, and the file list ends with SUB
// (1A). Shown as lines of the terminal, without the end marker.
std::string answer_lines(std::string_view answer) {
  std::string out;
  for (std::size_t i = 0; i < answer.size(); ++i) {
    if (answer[i] == '\x1A') continue;
    if (answer[i] == '\r') {
      out += '\n';
      if (i + 1 < answer.size() && answer[i + 1] == '\n') ++i;
    } else {
      out += answer[i];
    }
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
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
    const char c = text[++i];
    switch (c) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'e':
        out += '\x1B';
        break;
      case '\\':
        out += '\\';
        break;
      case 'x': {
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
        break;
      }
      default:
        error = std::string("unknown escape \\") + c + " (known: \\r \\n \\t \\e \\\\ \\xHH)";
        return std::nullopt;
    }
  }
  return out;
}

struct BatteryItem {
  std::string_view name;
  int index;
};
// The battery report's values, in the printer's index order.
constexpr std::array<BatteryItem, 9> kBatteryItems{{{"serial", 0},
                                                    {"voltage", 1},
                                                    {"capacity", 2},
                                                    {"temperature", 3},
                                                    {"cycles", 4},
                                                    {"manufactured", 5},
                                                    {"replacements", 6},
                                                    {"life", 7},
                                                    {"health", 8}}};

}  // namespace

int run_print(const LinkOptions& link, const std::filesystem::path& label_path) {
  // The whole description is checked before the printer is even opened.
  const LabelParse parsed = load_label(label_path);
  if (!parsed.label) return usage_error(parsed.error);
  OpenedPrinter opened = open_printer(link);
  if (!opened.printer) return opened.exit_code;
  if (auto stopped = print_label(*opened.printer, *parsed.label)) {
    if (!link_open(*opened.printer)) return link_still_up(*opened.printer, opened.name, "printing");
    return fail(*stopped);
  }
  if (const int code = link_still_up(*opened.printer, opened.name, "printing"); code != kExitOk) {
    return code;
  }
  const Label& label = *parsed.label;
  std::printf("printed %d x %d label(s) of %g x %g mm with %zu element(s) on %s\n", label.quantity,
              label.copies, label.width_mm, label.height_mm, label.elements.size(),
              opened.name.c_str());
  return kExitOk;
}

int run_send(const LinkOptions& link, const std::vector<std::string>& words,
             std::string_view encoding) {
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
  std::string error;
  const auto text = unescape(joined, error);
  if (!text) return usage_error(error);
  OpenedPrinter opened = open_printer(link);
  if (!opened.printer) return opened.exit_code;
  quillkit::Printer& printer = *opened.printer;
  // UTF-8 goes out through the write primitive itself, whose result tells a failed write.
  const quillkit::Result result =
      encoding == "gb18030" ? printer.sendcommand_gb2312(*text, 0)
      : encoding == "big5"
          ? printer.sendcommand_big5(*text, 0)
          : printer.sendBinaryData(
                std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
  if (const int code = link_still_up(printer, opened.name, "sending"); code != kExitOk) return code;
  if (result == -2) return fail("the printer at " + opened.name + " is not taking data");
  if (result != 1 && encoding != "utf-8") {
    return fail("the text cannot be written in " + std::string(encoding));
  }
  if (result != 1) return fail("the printer at " + opened.name + " took no data for 5 s");
  std::printf("sent to %s\n", opened.name.c_str());
  return kExitOk;
}

int run_query(const LinkOptions& link, QueryKind kind, std::optional<double> wait) {
  OpenedPrinter opened = open_printer(link);
  if (!opened.printer) return opened.exit_code;
  quillkit::Printer& p = *opened.printer;
  using Query = std::string (quillkit::Printer::*)();
  using QueryWithWait = std::string (quillkit::Printer::*)(double);
  struct Forms {
    Query plain;
    QueryWithWait with_wait;
  };
  static constexpr Forms kForms[] = {
      {&quillkit::Printer::printer_codepage, &quillkit::Printer::printer_codepage},
      {&quillkit::Printer::printer_mileage, &quillkit::Printer::printer_mileage},
      {&quillkit::Printer::printer_memory, &quillkit::Printer::printer_memory},
      {&quillkit::Printer::printer_files, &quillkit::Printer::printer_files},
      {&quillkit::Printer::printer_modelname, &quillkit::Printer::printer_modelname},
      {&quillkit::Printer::printer_serialnumber, &quillkit::Printer::printer_serialnumber},
  };
  const Forms& forms = kForms[static_cast<int>(kind)];
  const std::string answer = wait ? (p.*forms.with_wait)(*wait) : (p.*forms.plain)();
  if (answer == "-1") {
    if (!link_open(p)) return link_still_up(p, opened.name, "waiting for the answer");
    return fail("the answer was still arriving at the end of the wait (try a longer --wait)");
  }
  if (answer.empty()) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", wait.value_or(1.0));
    return fail("no answer from " + opened.name + " within " + seconds + " s");
  }
  // An empty list of files is an answer too: it prints nothing.
  if (const std::string shown = answer_lines(answer); !shown.empty()) {
    std::printf("%s\n", shown.c_str());
  }
  return kExitOk;
}

int run_status(const LinkOptions& link, bool json) {
  OpenedPrinter opened = open_printer(link);
  if (!opened.printer) return opened.exit_code;
  quillkit::Printer& printer = *opened.printer;
  const quillkit::Result byte = printer.printer_status_byte();
  if (byte < 0 || byte > 255) {
    if (!link_open(printer)) return link_still_up(printer, opened.name, "waiting for the status");
    return fail("no status from " + opened.name + " within 1 s");
  }
  const quillkit::PrinterState state = quillkit::decode_status(static_cast<std::uint8_t>(byte));
  if (json) {
    nlohmann::json out;
    out["byte"] = byte;
    out["ready"] = state.ready();
    out["conditions"] = nlohmann::json::array();
    for (std::string_view condition : state.conditions()) out["conditions"].push_back(condition);
    out["text"] = state.text();
    std::printf("%s\n", out.dump().c_str());
  } else {
    std::printf("%s (status byte 0x%02x)\n", state.text().c_str(), static_cast<unsigned>(byte));
  }
  return kExitOk;
}

int run_battery(const LinkOptions& link, const std::vector<std::string>& items) {
  std::vector<BatteryItem> wanted;
  for (const std::string& item : items) {
    for (const BatteryItem& known : kBatteryItems) {
      if (known.name == item) wanted.push_back(known);
    }
  }
  if (items.empty()) wanted.assign(kBatteryItems.begin(), kBatteryItems.end());
  OpenedPrinter opened = open_printer(link);
  if (!opened.printer) return opened.exit_code;
  int missing = 0;
  for (const BatteryItem& item : wanted) {
    const std::string value = opened.printer->smartbattery_status(item.index);
    if (value == "-1") {
      ++missing;
      std::printf("%s: (no answer)\n", std::string(item.name).c_str());
    } else {
      std::printf("%s: %s\n", std::string(item.name).c_str(), value.c_str());
    }
    std::fflush(stdout);
  }
  if (missing > 0) {
    if (!link_open(*opened.printer)) {
      return link_still_up(*opened.printer, opened.name, "reading the battery");
    }
    return fail(std::to_string(missing) + " battery value(s) not answered by " + opened.name);
  }
  return kExitOk;
}

int run_download(const LinkOptions& link, const std::filesystem::path& file,
                 const std::string& name) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) {
    return usage_error(file.string() + ": not a regular file");
  }
  OpenedPrinter opened = open_printer(link);
  if (!opened.printer) return opened.exit_code;
  quillkit::Result result;
  {
    ProgressReport progress(stderr, isatty(STDERR_FILENO) == 1);
    progress.start(static_cast<std::size_t>(std::filesystem::file_size(file, ec)));
    result = opened.printer->downloadpcx(
        file.string(), name,
        [&progress](std::size_t sent, std::size_t total) { progress.update(sent, total); });
  }
  if (result != 1) {
    return fail("cannot send " + file.string() + ": it cannot be read, or the name \"" + name +
                "\" cannot be written in Big5-HKSCS");
  }
  if (const int code = link_still_up(*opened.printer, opened.name, "sending the file");
      code != kExitOk) {
    return code;
  }
  std::printf("stored %s as \"%s\" (%ju bytes) on %s\n", file.string().c_str(), name.c_str(),
              static_cast<std::uintmax_t>(std::filesystem::file_size(file, ec)),
              opened.name.c_str());
  return kExitOk;
}

int run_devices(bool json) {
  const auto owned = make_printer<quillkit::Bluetooth>();
  const quillkit::Bluetooth& bt = *owned;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& device : bt.accessories()) {
    const bool serial = std::any_of(device.uuids.begin(), device.uuids.end(), [](const auto& u) {
      return std::equal(u.begin(), u.end(), quillkit::Bluetooth::kProtocolString.begin(),
                        quillkit::Bluetooth::kProtocolString.end(),
                        [](char a, char b) { return std::tolower(a) == std::tolower(b); });
    });
    if (!serial) continue;
    if (json) {
      list.push_back({{"address", device.address}, {"name", device.name}});
    } else {
      std::printf("%s  %s\n", device.address.c_str(), device.name.c_str());
    }
  }
  if (json) std::printf("%s\n", list.dump().c_str());
  return kExitOk;
}

}  // namespace quill
