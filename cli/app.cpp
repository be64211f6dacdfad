// The `quill` command line: subcommands, options and exit codes.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cli/ble.hpp"
#include "cli/common.hpp"
#include "quillkit/quillkit.hpp"

namespace quill {
namespace {

std::mutex stderr_mu;
bool verbose_on = false;
const quillkit::platform::Env* services = nullptr;  // of the current run

void add_link_options(CLI::App& command, LinkOptions& link) {
  auto* wifi = command.add_option("--wifi", link.wifi,
                                  "Network printer: HOST or HOST:PORT (port 9100 by default)");
  wifi->type_name("HOST[:PORT]");
  auto* bt =
      command.add_option("--bt", link.bt_device,
                         "Bluetooth serial printer: an address, a device path (/dev/rfcomm0), "
                         "or alone the first paired serial printer");
  bt->expected(0, 1)->type_name("[DEVICE]");
  command.parse_complete_callback([&link, bt] { link.bt = bt->count() > 0; });
  auto* ble = command.add_option("--ble", link.ble,
                                 "Bluetooth LE printer by NAME or ADDRESS (searched for 5 s)");
  ble->type_name("NAME|ADDRESS");
  command.add_option("--chunk", link.chunk, "BLE bytes per write (default 20), for a larger MTU")
      ->check(CLI::Range(1, 512))
      ->type_name("N");
  wifi->excludes(bt)->excludes(ble);
  bt->excludes(ble);
  command.footer(
      "Without --wifi, --bt or --ble the printer is taken from QUILL_PRINTER\n"
      "(HOST[:PORT], wifi:HOST[:PORT], bt, bt:DEVICE or ble:NAME).");
}

}  // namespace

int fail(std::string_view reason) {
  std::lock_guard lock(stderr_mu);
  std::fprintf(stderr, "quill: %.*s\n", static_cast<int>(reason.size()), reason.data());
  return kExitFailure;
}

int usage_error(std::string_view reason) {
  std::lock_guard lock(stderr_mu);
  std::fprintf(stderr, "quill: %.*s\n", static_cast<int>(reason.size()), reason.data());
  return kExitUsage;
}

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

int run(int argc, char** argv, const char* printer_variable, const quillkit::platform::Env* env) {
  services = env;
  CLI::App app{"quill: drive a thermal label printer from the shell, or be one."};
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", std::string("quill, ") + quillkitVersionString);
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "Show the library's diagnostic lines on standard error");

  std::function<int()> action;
  LinkOptions link;
  if (printer_variable != nullptr) link.printer_variable = printer_variable;

  DemoOptions demo;
  auto* demo_cmd = app.add_subcommand(
      "demo", "Print a sample label on a virtual printer started here, save it as PNG");
  demo_cmd->add_option("--png", demo.png, "Where to write the label image")->capture_default_str();
  demo_cmd->add_option("--dpi", demo.dpi, "Resolution of the virtual printer")
      ->check(CLI::IsMember({203, 300}))
      ->capture_default_str();
  demo_cmd->callback([&] { action = [&] { return run_demo(demo); }; });

  PreviewOptions preview;
  auto* preview_cmd = app.add_subcommand(
      "preview", "Render a label file or raw command bytes to PNG, without a printer");
  preview_cmd->add_option("input", preview.input, "Label JSON or command bytes; - reads stdin")
      ->required()
      ->type_name("INPUT");
  preview_cmd->add_option("-o,--out", preview.out,
                          "The PNG (default label.png); with --all the folder (default .)");
  preview_cmd->add_option("--dpi", preview.dpi, "Resolution")
      ->check(CLI::IsMember({203, 300}))
      ->capture_default_str();
  preview_cmd->add_flag("--all", preview.all, "Write every label: label-0001.png, ...");
  preview_cmd->callback([&] { action = [&] { return run_preview(preview); }; });

  ServeOptions serve;
  auto* serve_cmd = app.add_subcommand(
      "serve", "Run the virtual printer, saving every printed label as PNG, until SIGINT/SIGTERM");
  serve_cmd->add_option("--port", serve.port, "TCP port (0 picks a free one)")
      ->capture_default_str();
  serve_cmd->add_option("--bind", serve.bind, "Address to listen on")->capture_default_str();
  serve_cmd->add_option("--out", serve.out, "Folder for label-0001.png, label-0002.png, ...")
      ->capture_default_str();
  serve_cmd
      ->add_option("--http", serve.http,
                   "Also serve a live web view of the printer (127.0.0.1 unless ADDR given)")
      ->type_name("[ADDR:]PORT");
  serve_cmd->add_option("--dpi", serve.dpi, "Resolution")
      ->check(CLI::IsMember({203, 300}))
      ->capture_default_str();
  serve_cmd->add_flag(
      "--pty", serve.pty,
      "Serve on a pseudo-terminal (a serial printer for --bt PATH); prints its path");
  serve_cmd->callback([&] { action = [&] { return run_serve(serve); }; });

  bool devices_json = false;
  auto* devices_cmd =
      app.add_subcommand("devices", "List the paired Bluetooth devices that offer a serial port");
  devices_cmd->add_flag("--json", devices_json, "Write them as a JSON array");
  devices_cmd->callback([&] { action = [&] { return run_devices(devices_json); }; });

  std::filesystem::path label_path;
  auto* print_cmd = app.add_subcommand("print", "Print a label described in a JSON file");
  print_cmd->add_option("label", label_path, "The label description (docs/label-format.md)")
      ->required()
      ->type_name("LABEL.json");
  add_link_options(*print_cmd, link);
  print_cmd->callback([&] { action = [&] { return run_print(link, label_path); }; });

  std::vector<std::string> words;
  std::string encoding = "utf-8";
  auto* send_cmd =
      app.add_subcommand("send", "Send your own command text (escapes \\r \\n \\t \\e \\\\ \\xHH)");
  send_cmd->footer(
      "The words are joined by single blanks, as echo does, and sent as they are: no line\n"
      "end is added. Put -- before text that starts with a dash.");
  send_cmd->add_option("text", words, "The command text")->required()->type_name("TEXT...");
  send_cmd->add_option("--encoding", encoding, "Encoding of the text")
      ->check(CLI::IsMember({"utf-8", "gb18030", "big5"}))
      ->capture_default_str();
  add_link_options(*send_cmd, link);
  send_cmd->callback([&] { action = [&] { return run_send(link, words, encoding); }; });

  std::string query;
  std::optional<double> wait;
  const std::map<std::string, QueryKind> queries{
      {"codepage", QueryKind::codepage}, {"mileage", QueryKind::mileage},
      {"memory", QueryKind::memory},     {"files", QueryKind::files},
      {"model", QueryKind::model},       {"serial", QueryKind::serial}};
  auto* query_cmd = app.add_subcommand("query", "Ask the printer for one piece of information");
  query_cmd->add_option("what", query, "What to ask for")
      ->required()
      ->check(CLI::IsMember({"codepage", "mileage", "memory", "files", "model", "serial"}))
      ->type_name("WHAT");
  // CLI::Range lets NaN through (every comparison with it is false).
  query_cmd->add_option("--wait", wait, "Seconds to wait for the answer, 0.1 to 60 (default 1)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            double seconds = 0;
            const bool number = CLI::detail::lexical_cast(text, seconds);
            return number && seconds >= 0.1 && seconds <= 60.0
                       ? ""
                       : "expected seconds from 0.1 to 60, got " + text;
          },
          "SECONDS"));
  add_link_options(*query_cmd, link);
  query_cmd->callback([&] { action = [&] { return run_query(link, queries.at(query), wait); }; });

  bool json = false;
  auto* status_cmd = app.add_subcommand("status", "Read the printer's status, in words");
  status_cmd->add_flag("--json", json, "Write it as a JSON object");
  add_link_options(*status_cmd, link);
  status_cmd->callback([&] { action = [&] { return run_status(link, json); }; });

  std::vector<std::string> battery_items;
  auto* battery_cmd = app.add_subcommand("battery", "Read the smart battery's values");
  battery_cmd->add_option("item", battery_items, "Values to read (all when none is named)")
      ->check(CLI::IsMember({"serial", "voltage", "capacity", "temperature", "cycles",
                             "manufactured", "replacements", "life", "health"}))
      ->type_name("ITEM...");
  add_link_options(*battery_cmd, link);
  battery_cmd->callback([&] { action = [&] { return run_battery(link, battery_items); }; });

  std::filesystem::path download_file;
  std::string download_name;
  auto* download_cmd =
      app.add_subcommand("download", "Store a file in the printer's memory under a name");
  download_cmd->add_option("file", download_file, "The file to send")
      ->required()
      ->check(CLI::ExistingFile)
      ->type_name("FILE");
  download_cmd->add_option("name", download_name, "The name in the printer")
      ->required()
      ->type_name("NAME");
  add_link_options(*download_cmd, link);
  download_cmd->callback(
      [&] { action = [&] { return run_download(link, download_file, download_name); }; });

  ScanOptions scan;
  auto* scan_cmd = app.add_subcommand("scan", "List the Bluetooth LE peripherals nearby");
  scan_cmd->add_option("--seconds", scan.seconds, "How long to scan")
      ->check(CLI::Range(0.1, 120.0))
      ->capture_default_str();
  scan_cmd->add_flag("--json", scan.json, "Write the list as a JSON array");
  scan_cmd->callback([&] { action = [&] { return run_scan(scan); }; });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  route_diagnostics(verbose);
  const int code = action ? action() : kExitUsage;
  quillkit::set_log_sink(nullptr);
  return code;
}

}  // namespace quill
