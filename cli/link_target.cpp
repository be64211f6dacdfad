// The link of the subcommands that talk to a printer: naming it, opening it, checking it held.
#include "cli/link_target.hpp"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace quill {
namespace {

constexpr std::string_view kHowToName =
    "name a printer with --wifi HOST[:PORT] or set QUILL_PRINTER (for example "
    "QUILL_PRINTER=192.168.1.20:9100)";

// A Bluetooth address AA:BB:CC:DD:EE:FF.
bool is_bluetooth_address(std::string_view text) {
  if (text.size() != 17) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i % 3 == 2 ? c != ':' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Nothing, with `error` set, when `device` is neither empty, an address nor a path.
std::optional<LinkTarget> bluetooth_target(std::string_view device, std::string& error) {
  if (!device.empty() && !device.starts_with('/') && !is_bluetooth_address(device)) {
    error = "bad Bluetooth device \"" + std::string(device) +
            "\": give an address AA:BB:CC:DD:EE:FF or a device path such as /dev/rfcomm0 "
            "(write --bt=DEVICE, or put --bt after the other arguments)";
    return std::nullopt;
  }
  LinkTarget target;
  target.kind = LinkKind::bluetooth;
  target.device = std::string(device);
  return target;
}

LinkTarget ble_target(std::string_view device) {
  LinkTarget target;
  target.kind = LinkKind::ble;
  target.device = std::string(device);
  return target;
}

// "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT" (port 9100 by default). Nothing, with `error`
// set, when the host is empty or holds a blank, or the port is not 1 to 65535.
std::optional<LinkTarget> wifi_target(std::string_view text, std::string& error) {
  const auto bad = [&](std::string_view problem) -> std::optional<LinkTarget> {
    error = "bad printer address \"" + std::string(text) + "\": " + std::string(problem);
    return std::nullopt;
  };
  std::string problem;
  const auto parts = split_address(text, Alone::host, problem);
  if (!parts) return bad(problem);
  LinkTarget target;
  target.host = std::string(*parts->host);
  if (target.host.find_first_of(std::string_view("\0 \t\r\n", 5)) != std::string::npos) {
    return bad("blank or control character");
  }
  if (parts->port) {
    const auto port = parse_port(*parts->port);
    if (!port || *port == 0) return bad("the port must be 1 to 65535");
    target.port = *port;
  }
  return target;
}

OpenedPrinter open_bluetooth(const LinkTarget& target) {
  auto bt = make_printer<quillkit::Bluetooth>();
  const std::string name = target.description();
  diagnostic("opening " + name);
  const quillkit::Result opened =
      target.device.empty() ? bt->openport_mfi() : bt->openport_mfi(target.device);
  if (opened != 1) {
    return {nullptr, name,
            fail("cannot open " + name +
                 " (run with --verbose to see why; `quill devices` "
                 "lists the paired serial printers)")};
  }
  return {std::move(bt), name, kExitOk, LinkKind::bluetooth};
}

// How long a search for a printer named with --ble lasts, in seconds.
constexpr double kBleSearchSeconds = 5.0;

// Searches for the peripheral whose name or address (any letter case) is the target's device,
// opens it and sets the write chunk when `chunk` is not 0.
OpenedPrinter open_ble(const LinkTarget& target, std::size_t chunk) {
  const std::string name = target.description();
  diagnostic("opening " + name);
  auto printer = make_printer<quillkit::BLE>();
  if (const std::string problem = adapter_problem(*printer); !problem.empty()) {
    return {nullptr, name, fail(problem)};
  }
  const std::string& device = target.device;
  diagnostic("searching for " + device);
  const auto found = printer->searchBLEDevice(kBleSearchSeconds);
  const auto match = std::find_if(found.begin(), found.end(), [&](const auto& p) {
    return p.name == device || strcasecmp(p.address.c_str(), device.c_str()) == 0;
  });
  if (match == found.end()) {
    return {
        nullptr, name,
        fail("no BLE printer named " + device + " answered within 5 s (quill scan lists them)")};
  }
  if (chunk != 0) printer->set_write_chunk(chunk);
  if (printer->openport_ble(*match) != 1) {
    return {nullptr, name, fail("the BLE printer " + device + " did not become ready within 10 s")};
  }
  return {std::move(printer), name, kExitOk, LinkKind::ble};
}

}  // namespace

std::string LinkTarget::description() const {
  switch (kind) {
    case LinkKind::wifi:
      return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
             std::to_string(port);
    case LinkKind::bluetooth:
      return device.empty() ? "the paired Bluetooth printer" : "Bluetooth printer " + device;
    case LinkKind::ble:
      return "BLE printer " + device;
  }
  return {};
}

void add_link_options(CLI::App& command, LinkOptions& link, const CommandLine& line) {
  link.printer_variable = line.printer_variable;
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

std::optional<AddressParts> split_address(std::string_view text, Alone alone, std::string& error) {
  AddressParts parts;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) {
      error = "missing ']'";
      return std::nullopt;
    }
    parts.host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) {
      error = "expected ':' after ']'";
      return std::nullopt;
    }
    if (!rest.empty()) parts.port = rest.substr(1);
  } else if (const auto colon = alone == Alone::port ? text.rfind(':') : text.find(':');
             colon != std::string_view::npos &&
             (alone == Alone::port || text.find(':', colon + 1) == std::string_view::npos)) {
    parts.host = text.substr(0, colon);
    parts.port = text.substr(colon + 1);
  } else if (alone == Alone::host) {
    parts.host = text;
  } else {
    parts.port = text;
  }
  if (parts.host && parts.host->empty()) {
    error = "no host";
    return std::nullopt;
  }
  return parts;
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::optional<LinkTarget> resolve_link(const LinkOptions& options, std::string& error) {
  if (!options.wifi.empty()) return wifi_target(options.wifi, error);
  if (options.bt) return bluetooth_target(options.bt_device, error);
  if (!options.ble.empty()) return ble_target(options.ble);

  const std::string_view named = options.printer_variable;
  if (named.empty()) {
    error = "no printer named: " + std::string(kHowToName);
    return std::nullopt;
  }
  if (named == "bt") return bluetooth_target("", error);
  if (named.starts_with("bt:")) return bluetooth_target(named.substr(3), error);
  if (named.starts_with("ble:")) {
    if (named.size() == 4) {
      error = "QUILL_PRINTER=ble: needs a device name or address after the colon";
      return std::nullopt;
    }
    return ble_target(named.substr(4));
  }
  auto target = wifi_target(named.starts_with("wifi:") ? named.substr(5) : named, error);
  if (!target) error = "QUILL_PRINTER: " + error;
  return target;
}

OpenedPrinter open_printer(const LinkOptions& options) {
  std::string error;
  const auto target = resolve_link(options, error);
  if (!target) return {nullptr, {}, usage_error(error)};
  if (options.chunk != 0 && target->kind != LinkKind::ble) {
    return {nullptr, {}, usage_error("--chunk applies to --ble only")};
  }
  if (target->kind == LinkKind::bluetooth) return open_bluetooth(*target);
  if (target->kind == LinkKind::ble) return open_ble(*target, options.chunk);
  const std::string name = target->description();
  auto wifi = make_printer<quillkit::WiFi>();
  diagnostic("opening " + name);
  if (wifi->openport(target->host, target->port) != 1) {
    return {nullptr, name,
            fail("cannot reach the printer at " + name + " (no connection within 1.5 s)")};
  }
  return {std::move(wifi), name, kExitOk};
}

std::string adapter_problem(quillkit::BLE& printer) {
  switch (printer.stream_Status()) {
    case quillkit::kStreamOpen:
      return {};
    case quillkit::kStreamNotOpen:
      return "the Bluetooth adapter is powered off (bluetoothctl power on)";
    default:
      return "no usable Bluetooth adapter (is bluetoothd running, and may you use it?)";
  }
}

bool link_open(quillkit::Printer& printer) {
  const quillkit::Result state = printer.stream_Status();
  return state >= quillkit::kStreamOpen && state <= quillkit::kStreamWriting;
}

int link_still_up(const OpenedPrinter& opened, std::string_view what) {
  if (link_open(*opened.printer)) return kExitOk;
  const quillkit::Result state = opened.printer->stream_Status();
  const std::string how = state == quillkit::kStreamAtEnd   ? "the printer closed the connection"
                          : state == quillkit::kStreamError ? "the connection failed or was reset"
                          : state == -1                     ? "the link was lost"
                                                            : "the link is no longer open";
  return fail(how + " while " + std::string(what) + " (" + opened.name + ")");
}

}  // namespace quill
