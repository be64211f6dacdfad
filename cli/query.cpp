// The subcommands that ask the printer: query, status and battery, each with its vocabulary.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/common.hpp"
#include "cli/link_target.hpp"

namespace quill {
namespace {

using quillkit::Printer;

// The queries by their command-line names: the printer's plain form and its form with a wait.
struct Query {
  std::string_view name;
  std::string (Printer::*plain)();
  std::string (Printer::*with_wait)(double);
};
constexpr Query kQueries[] = {
    {"codepage", &Printer::printer_codepage, &Printer::printer_codepage},
    {"mileage", &Printer::printer_mileage, &Printer::printer_mileage},
    {"memory", &Printer::printer_memory, &Printer::printer_memory},
    {"files", &Printer::printer_files, &Printer::printer_files},
    {"model", &Printer::printer_modelname, &Printer::printer_modelname},
    {"serial", &Printer::printer_serialnumber, &Printer::printer_serialnumber},
};

// The battery report's values, in the printer's index order.
struct BatteryValue {
  std::string_view name;
};
constexpr BatteryValue kBatteryValues[] = {{"serial"},       {"voltage"}, {"capacity"},
                                           {"temperature"},  {"cycles"},  {"manufactured"},
                                           {"replacements"}, {"life"},    {"health"}};

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

struct QueryOptions {
  LinkOptions link;
  std::string what;
  std::optional<double> wait;
};

int run_query(const QueryOptions& options) {
  OpenedPrinter opened = open_printer(options.link);
  if (!opened.printer) return opened.exit_code;
  Printer& p = *opened.printer;
  const Query& query = row(kQueries, options.what);
  const std::string answer =
      options.wait ? (p.*query.with_wait)(*options.wait) : (p.*query.plain)();
  if (answer == "-1") {
    if (!link_open(p)) return link_still_up(opened, "waiting for the answer");
    return fail("the answer was still arriving at the end of the wait (try a longer --wait)");
  }
  if (answer.empty()) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", options.wait.value_or(1.0));
    return fail("no answer from " + opened.name + " within " + seconds + " s");
  }
  // An empty list of files is an answer too: it prints nothing.
  if (const std::string shown = answer_lines(answer); !shown.empty()) {
    std::printf("%s\n", shown.c_str());
  }
  return kExitOk;
}

// The status byte 0 to 255, or a failure value. Printers answer the request with one byte;
// on BLE printer_status_byte() takes two, so there the answer's first byte is read as it came.
quillkit::Result read_status_byte(const OpenedPrinter& opened) {
  if (opened.kind != LinkKind::ble) return opened.printer->printer_status_byte();
  const std::string answer = opened.printer->printer_status();
  return answer.empty() || answer == "-1" ? -1 : static_cast<unsigned char>(answer.front());
}

struct StatusOptions {
  LinkOptions link;
  bool json = false;
};

int run_status(const StatusOptions& options) {
  OpenedPrinter opened = open_printer(options.link);
  if (!opened.printer) return opened.exit_code;
  const quillkit::Result byte = read_status_byte(opened);
  if (byte < 0 || byte > 255) {
    if (!link_open(*opened.printer)) return link_still_up(opened, "waiting for the status");
    return fail("no status from " + opened.name + " within 1 s");
  }
  const quillkit::PrinterState state = quillkit::decode_status(static_cast<std::uint8_t>(byte));
  if (options.json) {
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

struct BatteryOptions {
  LinkOptions link;
  std::vector<std::string> items;
};

int run_battery(const BatteryOptions& options) {
  std::vector<const BatteryValue*> wanted;
  for (const std::string& item : options.items) wanted.push_back(&row(kBatteryValues, item));
  if (options.items.empty()) {
    for (const BatteryValue& value : kBatteryValues) wanted.push_back(&value);
  }
  OpenedPrinter opened = open_printer(options.link);
  if (!opened.printer) return opened.exit_code;
  int missing = 0;
  for (const BatteryValue* item : wanted) {
    const std::string name(item->name);
    const std::string value = opened.printer->smartbattery_status(item - kBatteryValues);
    if (value == "-1") ++missing;
    std::printf("%s: %s\n", name.c_str(), value == "-1" ? "(no answer)" : value.c_str());
    std::fflush(stdout);
  }
  if (missing > 0) {
    if (!link_open(*opened.printer)) return link_still_up(opened, "reading the battery");
    return fail(std::to_string(missing) + " battery value(s) not answered by " + opened.name);
  }
  return kExitOk;
}

}  // namespace

void setup_query(CommandLine& line) {
  auto [command, options] =
      add_subcommand(line, "query", "Ask the printer for one piece of information", run_query);
  add_required(*command, "what", options->what, "What to ask for", "WHAT")
      ->check(CLI::IsMember(names_of(kQueries)));
  command
      ->add_option("--wait", options->wait, "Seconds to wait for the answer, 0.1 to 60 (default 1)")
      ->check(number_from(0.1, 60, "seconds", "SECONDS"));
  add_link_options(*command, options->link, line);
}

void setup_status(CommandLine& line) {
  auto [command, options] =
      add_subcommand(line, "status", "Read the printer's status, in words", run_status);
  command->add_flag("--json", options->json, "Write it as a JSON object");
  add_link_options(*command, options->link, line);
}

void setup_battery(CommandLine& line) {
  auto [command, options] =
      add_subcommand(line, "battery", "Read the smart battery's values", run_battery);
  command->add_option("item", options->items, "Values to read (all when none is named)")
      ->check(CLI::IsMember(names_of(kBatteryValues)))
      ->type_name("ITEM...");
  add_link_options(*command, options->link, line);
}

}  // namespace quill
