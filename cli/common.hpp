// Shared pieces of the `quill` command: exit codes, the reporting of failures, the options of
// each subcommand and the functions that run them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// The link options of the subcommands that talk to a printer. At most one is given; with
// none, the printer comes from the QUILL_PRINTER environment variable.
struct LinkOptions {
  std::string wifi;  // HOST[:PORT]
  bool bt = false;
  std::string bt_device;         // ADDRESS or /dev/PATH; empty: the first paired serial printer
  std::string ble;               // NAME or ADDRESS
  std::size_t chunk = 0;         // BLE bytes per write; 0 keeps the default
  std::string printer_variable;  // QUILL_PRINTER's value; empty when unset
};

struct DemoOptions {
  std::filesystem::path png = "quill-demo.png";
  int dpi = 203;
};

struct ServeOptions {
  std::string bind = "127.0.0.1";
  std::uint16_t port = 9100;
  std::filesystem::path out = "quill-labels";
  int dpi = 203;
  bool pty = false;  // serve on a pseudo-terminal instead of TCP
  std::string http;  // [ADDR:]PORT of the web view; empty: none
};

struct PreviewOptions {
  std::string input;          // a file, or "-" for standard input
  std::filesystem::path out;  // the PNG, or with `all` the folder; empty: label.png or "."
  int dpi = 203;
  bool all = false;
};

// The queries `quill query` knows, by their command-line names.
enum class QueryKind { codepage, mileage, memory, files, model, serial };

// Serves `printer` on 127.0.0.1 in this process, connects the library to it and runs `work` on
// the connected printer; returns work's exit code, or kExitFailure when the connection fails.
int with_library_printer(quillkit::VirtualPrinter& printer,
                         const std::function<int(quillkit::Printer&)>& work);

int run_demo(const DemoOptions& options);
int run_preview(const PreviewOptions& options);
int run_serve(const ServeOptions& options);
int run_devices(bool json);
int run_print(const LinkOptions& link, const std::filesystem::path& label_path);
int run_send(const LinkOptions& link, const std::vector<std::string>& words,
             std::string_view encoding);
int run_query(const LinkOptions& link, QueryKind kind, std::optional<double> wait);
int run_status(const LinkOptions& link, bool json);
int run_battery(const LinkOptions& link, const std::vector<std::string>& items);
int run_download(const LinkOptions& link, const std::filesystem::path& file,
                 const std::string& name);

}  // namespace quill
