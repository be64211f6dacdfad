#include "cli/link_target.hpp"

#include <cctype>
#include <charconv>

namespace quill {
namespace {

constexpr std::string_view kHowToName =
    "name a printer with --wifi HOST[:PORT] or set QUILL_PRINTER (for example "
    "QUILL_PRINTER=192.168.1.20:9100)";

bool parse_port(std::string_view text, std::uint32_t& port) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
    return false;
  }
  port = value;
  return true;
}

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

std::optional<LinkTarget> parse_wifi_address(std::string_view text, std::string& error) {
  LinkTarget target;
  std::string_view host = text;
  std::string_view port;
  bool has_port = false;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) {
      error = "bad printer address \"" + std::string(text) + "\": missing ']'";
      return std::nullopt;
    }
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) {
        error = "bad printer address \"" + std::string(text) + "\": expected ':' after ']'";
        return std::nullopt;
      }
      port = rest.substr(1);
      has_port = true;
    }
  } else if (const auto colon = text.find(':');
             colon != std::string_view::npos &&
             text.find(':', colon + 1) == std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    has_port = true;
  }
  if (host.empty()) {
    error = "bad printer address \"" + std::string(text) + "\": no host";
    return std::nullopt;
  }
  if (host.find_first_of(std::string_view("\0 \t\r\n", 5)) != std::string_view::npos) {
    error = "bad printer address \"" + std::string(text) + "\": blank or control character";
    return std::nullopt;
  }
  if (has_port && !parse_port(port, target.port)) {
    error = "bad printer address \"" + std::string(text) + "\": the port must be 1 to 65535";
    return std::nullopt;
  }
  target.host = std::string(host);
  return target;
}

std::optional<LinkTarget> resolve_link(const LinkOptions& options, const char* environment,
                                       std::string& error) {
  if (!options.wifi.empty()) return parse_wifi_address(options.wifi, error);
  if (options.bt) return bluetooth_target(options.bt_device, error);
  if (!options.ble.empty()) return ble_target(options.ble);

  const std::string_view named = environment == nullptr ? "" : environment;
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
  auto target = parse_wifi_address(named.starts_with("wifi:") ? named.substr(5) : named, error);
  if (!target) error = "QUILL_PRINTER: " + error;
  return target;
}

}  // namespace quill
