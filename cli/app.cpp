// The `quill` command line: subcommands, options and exit codes.
#include <cstdio>
#include <mutex>
#include <string>

#include "cli/common.hpp"
#include "quillkit/quillkit.hpp"

namespace quill {
namespace {

std::mutex stderr_mu;
bool verbose_on = false;
const quillkit::platform::Env* services = nullptr;  // of the current run

int report(std::string_view reason, int code) {
  std::lock_guard lock(stderr_mu);
  std::fprintf(stderr, "quill: %.*s\n", static_cast<int>(reason.size()), reason.data());
  return code;
}

}  // namespace

int fail(std::string_view reason) { return report(reason, kExitFailure); }

int usage_error(std::string_view reason) { return report(reason, kExitUsage); }

void route_diagnostics(bool on) {
  verbose_on = on;
  quillkit::set_log_sink([](quillkit::LogChannel, std::string_view line) { diagnostic(line); });
}

bool verbose_enabled() { return verbose_on; }

void diagnostic(std::string_view line) {
  if (!verbose_on) return;
  std::lock_guard lock(stderr_mu);
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

const quillkit::platform::Env* run_env() { return services; }

CLI::Validator number_from(double low, double high, std::string what, std::string shown) {
  char range[64];
  std::snprintf(range, sizeof range, " from %g to %g, got ", low, high);
  return CLI::Validator(
      [=, expected = "expected " + what + range](std::string& text) -> std::string {
        double number = 0;
        const bool ok = CLI::detail::lexical_cast(text, number) && number >= low && number <= high;
        return ok ? "" : expected + text;
      },
      std::move(shown));
}

int run(int argc, char** argv, const char* printer_variable, const quillkit::platform::Env* env) {
  services = env;
  CommandLine line;
  if (printer_variable != nullptr) line.printer_variable = printer_variable;
  CLI::App& app = line.app;
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", std::string("quill, ") + quillkitVersionString);
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "Show the library's diagnostic lines on standard error");
  for (const auto setup :
       {setup_demo, setup_preview, setup_serve, setup_devices, setup_print, setup_print_image,
        setup_send, setup_query, setup_status, setup_battery, setup_download, setup_scan}) {
    setup(line);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  route_diagnostics(verbose);
  const int code = line.chosen ? line.chosen() : kExitUsage;
  quillkit::set_log_sink(nullptr);
  return code;
}

}  // namespace quill
