#include "printer-app/app.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "printer-app/driver.hpp"
#include "printer-app/jobs.hpp"
#include "printer-app/links.hpp"
#include "quillkit/types.hpp"

namespace quill_printer {
namespace {

constexpr const char* kName = "quill-printer";
constexpr int kDefaultPort = 8000;

// What the system callback needs to know beyond the options.
struct Startup {
  bool serving = false;  // the server sub-command: listen, and say why not when it cannot
  std::string dir;       // QUILL_PRINTER_DIR, empty when unset
};

// Whether the library's diagnostic lines (link events, BLE writes) go to standard error: only
// at log-level=debug, as they come several to a label.
std::atomic<bool> library_lines{false};

pappl_system_t* fail_start(pappl_system_t* system, const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", kName, why.c_str());
  papplSystemDelete(system);
  return nullptr;
}

// Stands in for the web interface's Add Printer page when avahi-daemon is not running: PAPPL's
// own page lists network printers through DNS-SD, which then aborts the server.
constexpr const char* kAddPrinterWithoutDnssd =
    "<!DOCTYPE html><html><head><title>Add Printer</title></head><body><h1>Add Printer</h1>"
    "<p>Printers are added from the command line on this host while avahi-daemon is not "
    "running:</p><pre>quill-printer add -d NAME -v socket://HOST:9100 -m quill_203dpi</pre>"
    "<p><code>quill-printer devices</code> lists the Bluetooth printers; <code>quill-printer "
    "drivers</code> the drivers.</p><p><a href=\"/\">Back</a></p></body></html>";

pappl_loglevel_t log_level(std::string_view name) {
  if (name == "debug") return PAPPL_LOGLEVEL_DEBUG;
  if (name == "warn") return PAPPL_LOGLEVEL_WARN;
  if (name == "error") return PAPPL_LOGLEVEL_ERROR;
  if (name == "fatal") return PAPPL_LOGLEVEL_FATAL;
  return name == "info" ? PAPPL_LOGLEVEL_INFO : PAPPL_LOGLEVEL_UNSPEC;
}

// The server options this application takes ("server-options=no-tls,dnssd-host"). The web
// interface's remote administration and its password page are not offered: PAPPL 1.3.1 lets a
// wrong password through (see the README for administration from other hosts).
bool parse_server_options(std::string_view list, pappl_soptions_t& options, std::string& why) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view word = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (word == "no-tls") {
      options |= PAPPL_SOPTIONS_NO_TLS;
    } else if (word == "dnssd-host") {
      options |= PAPPL_SOPTIONS_DNSSD_HOST;
    } else if (word == "raw-socket") {
      options |= PAPPL_SOPTIONS_RAW_SOCKET;
    } else if (word == "web-remote" || word == "web-security") {
      why = std::string(word) +
            " is not offered: remote administration goes through a proxy "
            "on this host (see the README)";
      return false;
    } else {
      why = "unknown server option '" + std::string(word) + "'";
      return false;
    }
  }
  return true;
}

pappl_system_t* create_system(int num_options, cups_option_t* options, void* data) {
  const Startup& startup = *static_cast<const Startup*>(data);
  const auto option = [&](const char* name) { return cupsGetOption(name, num_options, options); };
  const char* value = nullptr;

  int port = kDefaultPort;
  if ((value = option("server-port")) != nullptr) {
    char* end = nullptr;
    const long p = std::strtol(value, &end, 10);
    if (*value == '\0' || *end != '\0' || p < 1 || p > 65535) {
      return fail_start(nullptr, std::string("bad server-port '") + value + "'");
    }
    port = static_cast<int>(p);
  }
  pappl_soptions_t soptions =
      PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG;
  std::string why;
  if ((value = option("server-options")) != nullptr &&
      !parse_server_options(value, soptions, why)) {
    return fail_start(nullptr, why);
  }
  // The other sub-commands make a system too (to list drivers); they say only what went wrong.
  const char* default_level = startup.serving ? "info" : "warn";
  const pappl_loglevel_t level = log_level((value = option("log-level")) ? value : default_level);
  if (level == PAPPL_LOGLEVEL_UNSPEC) {
    return fail_start(nullptr, std::string("bad log-level '") + value + "'");
  }
  library_lines = level == PAPPL_LOGLEVEL_DEBUG;
  std::string spool = startup.dir.empty() ? "" : startup.dir + "/spool";
  if ((value = option("spool-directory")) != nullptr) spool = value;
  const char* log_file = (value = option("log-file")) ? value : "-";

  pappl_system_t* system =
      papplSystemCreate(soptions, (value = option("server-name")) ? value : kName, port, "_print",
                        spool.empty() ? nullptr : spool.c_str(), log_file, level, nullptr, false);
  if (system == nullptr) return fail_start(nullptr, "cannot create the printing system");
  if ((value = option("server-hostname")) != nullptr) papplSystemSetHostName(system, value);
  // Every address by default: clients on the network print here.
  if (startup.serving && !papplSystemAddListeners(system, option("listen-hostname"))) {
    return fail_start(
        system, "cannot listen on port " + std::to_string(port) + ": " + std::strerror(errno));
  }
  const auto list = drivers();
  papplSystemSetPrinterDrivers(system, static_cast<int>(list.size()), list.data(),
                               auto_add_callback, nullptr, driver_callback, nullptr);
  add_document_filters(system);
  if (startup.serving && !dnssd_available()) {
    papplSystemAddResourceString(system, "/addprinter", "text/html", kAddPrinterWithoutDnssd);
  }
  return system;
}

bool print_device(const char* info, const char* uri, const char*, void*) {
  std::printf("%s\n    %s\n", uri, info);
  return false;
}

void print_device_error(const char* message, void*) {
  std::fprintf(stderr, "%s: %s\n", kName, message);
}

// The devices sub-command: every printer PAPPL's schemes and ours find, with DNS-SD only
// while avahi-daemon runs (see dnssd_available).
int list_devices(const char*, int, cups_option_t*, int, char**, void*) {
  pappl_devtype_t types = PAPPL_DEVTYPE_ALL;
  if (!dnssd_available()) types &= ~static_cast<pappl_devtype_t>(PAPPL_DEVTYPE_DNS_SD);
  papplDeviceList(types, print_device, nullptr, print_device_error, nullptr);
  return 0;
}

}  // namespace

int run(int argc, char** argv) {
  Startup startup;
  // The sub-command may follow options (-o name=value server); "server" is no option's value.
  startup.serving = std::any_of(argv + 1, argv + argc,
                                [](const char* arg) { return std::strcmp(arg, "server") == 0; });
  // A separate instance: PAPPL's main loop keeps its control socket and state file in
  // SNAP_COMMON when that is set, and the spool goes beside them.
  if (const char* dir = std::getenv("QUILL_PRINTER_DIR"); dir != nullptr && *dir != '\0') {
    startup.dir = dir;
    setenv("SNAP_COMMON", dir, 1);
  }
  quillkit::set_log_sink([](quillkit::LogChannel, std::string_view line) {
    if (library_lines) std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  });
  register_link_schemes();
  const auto list = drivers();
  // The footer must be set: PAPPL 1.3.1's web pages crash on a missing one.
  return papplMainloop(argc, argv, QUILL_PRINTER_VERSION, "quill-printer " QUILL_PRINTER_VERSION,
                       static_cast<int>(list.size()), list.data(), auto_add_callback,
                       driver_callback, "devices", list_devices, create_system, nullptr, &startup);
}

}  // namespace quill_printer
