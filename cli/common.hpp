// Shared pieces of the `quill` command: exit codes, the reporting of failures, and what the
// subcommands' set-up functions register themselves on.
#pragma once

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillkit {
class Printer;
class VirtualPrinter;
namespace platform {
struct Env;
}
}  // namespace quillkit

namespace quill {

// The exit codes: success, a printer or link failure (with a one-line reason on standard
// error), a usage error (bad arguments, a bad label file, a link this build lacks).
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The whole command: parses the command line (argv[0] is the program), runs the subcommand and
// returns the exit code. `printer_variable` is QUILL_PRINTER's value, or nullptr when unset.
// `env`, when given, holds the platform services of the printers the run makes (the command's
// tests give their test clock's); nullptr: the system's. Writes to standard output and error;
// one run at a time per process.
int run(int argc, char** argv, const char* printer_variable,
        const quillkit::platform::Env* env = nullptr);

// The services the current run was given (nullptr: the system's), and a closed printer of
// class P on them.
const quillkit::platform::Env* run_env();
template <class P>
std::unique_ptr<P> make_printer() {
  const quillkit::platform::Env* env = run_env();
  return env ? std::make_unique<P>(*env) : std::make_unique<P>();
}

// Writes "quill: <reason>" as one line on standard error and returns kExitFailure.
int fail(std::string_view reason);
// Writes "quill: <reason>" as one line on standard error and returns kExitUsage.
int usage_error(std::string_view reason);

// Routes the library's diagnostic lines: to standard error when `verbose`, else nowhere.
// Also decides whether the virtual printer's log lines are shown (see verbose_enabled).
void route_diagnostics(bool verbose);
bool verbose_enabled();
// Writes one diagnostic line to standard error when verbose, whole, from any thread.
void diagnostic(std::string_view line);

// The command line that the subcommands register on, and the run the parse chose.
struct CommandLine {
  CLI::App app{"quill: drive a thermal label printer from the shell, or be one."};
  std::string printer_variable;  // QUILL_PRINTER's value; empty when unset
  std::function<int()> chosen;
};

// Registers one subcommand. Each is defined in the file of its family (print.cpp: print,
// print-image, send, download; query.cpp: query, status, battery; devices.cpp: devices, scan; the
// others in theirs), and run() calls them in the order of the help text.
using SetUp = void(CommandLine& line);
SetUp setup_demo, setup_preview, setup_serve, setup_devices, setup_print, setup_print_image,
    setup_send, setup_query, setup_status, setup_battery, setup_download, setup_scan;

// Adds subcommand `name`; once the parse chose it, `run` runs with the options its arguments
// filled in. Returns the subcommand, to add those arguments to, and the options.
template <class Options>
std::pair<CLI::App*, Options*> add_subcommand(CommandLine& line, std::string name,
                                              std::string description, int (*run)(const Options&)) {
  auto options = std::make_shared<Options>();
  CLI::App* command = line.app.add_subcommand(std::move(name), std::move(description));
  command->callback(
      [&line, options, run] { line.chosen = [options, run] { return run(*options); }; });
  return {command, options.get()};
}

// Adds a positional argument that must be given; `shown` names it in the help text.
template <class T>
CLI::Option* add_required(CLI::App& command, std::string name, T& value, std::string description,
                          std::string shown) {
  return command.add_option(std::move(name), value, std::move(description))
      ->required()
      ->type_name(std::move(shown));
}

// A vocabulary of the command line (query names, battery values): a table of rows with a
// `name`. Its names feed CLI11's check and the help text; `row` finds the row of a name that
// the check let through.
template <class Row, std::size_t N>
std::vector<std::string> names_of(const Row (&table)[N]) {
  std::vector<std::string> names;
  for (const Row& r : table) names.emplace_back(r.name);
  return names;
}
template <class Row, std::size_t N>
const Row& row(const Row (&table)[N], std::string_view name) {
  return *std::find_if(table, table + N, [&](const Row& r) { return r.name == name; });
}

// A row of a vocabulary that stands for a value (an enumerator).
template <class V>
struct Named {
  std::string_view name;
  V value;
};

// Adds option `name` of a vocabulary of Named rows, filling `value`: CLI11's transformer takes a
// name of the table to its value, and the help text lists the names (`shown` names the value)
// with the name of value's default. Any other text is refused, with the names.
template <class V, std::size_t N>
CLI::Option* add_vocabulary(CLI::App& command, std::string name, V& value, std::string description,
                            const Named<V> (&table)[N], std::string shown) {
  std::string list;
  for (const std::string& n : names_of(table)) list += (list.empty() ? "" : ",") + n;
  list = "{" + list + "}";
  const auto transform = [&table, list](std::string& text) -> std::string {
    for (const Named<V>& r : table) {
      if (r.name != text) continue;
      text = std::to_string(static_cast<long long>(r.value));
      return {};
    }
    return text + " not in " + list;
  };
  const auto fallback =
      std::find_if(table, table + N, [&](const Named<V>& r) { return r.value == value; });
  return command.add_option(std::move(name), value, std::move(description))
      ->transform(CLI::Validator(transform, list))
      ->type_name(std::move(shown))
      ->default_str(fallback == table + N ? "" : std::string(fallback->name));
}

// CLI11's check of a number from `low` to `high` (CLI::Range lets NaN through: every comparison
// with it is false). `what` names the unit in the message ("expected seconds from 0.1 to 60, got
// nan"), `shown` the value in the help text.
CLI::Validator number_from(double low, double high, std::string what, std::string shown);

// Serves `printer` on 127.0.0.1 in this process, connects the library to it and runs `work` on
// the connected printer; returns work's exit code, or kExitFailure when the connection fails.
int with_library_printer(quillkit::VirtualPrinter& printer,
                         const std::function<int(quillkit::Printer&)>& work);

}  // namespace quill
