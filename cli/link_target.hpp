// Which printer a subcommand talks to: the link options, else QUILL_PRINTER.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/common.hpp"

namespace quill {

enum class LinkKind { wifi, bluetooth, ble };

struct LinkTarget {
  LinkKind kind = LinkKind::wifi;
  std::string host;           // wifi
  std::uint32_t port = 9100;  // wifi
  std::string device;         // bluetooth: address or path (empty: the first); ble: name or address
  // How the printer was named, for messages ("192.168.1.20:9100").
  std::string description() const;
};

// "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT"; an address with several colons and no
// brackets is taken as an IPv6 host without a port. Nothing, with `error` set, when the host
// is empty or the port is not 1 to 65535.
std::optional<LinkTarget> parse_wifi_address(std::string_view text, std::string& error);

// The printer named by the options, else by `environment` (the value of QUILL_PRINTER, null
// when unset), which takes "HOST[:PORT]", "wifi:HOST[:PORT]", "bt", "bt:DEVICE" or "ble:NAME".
// Nothing, with `error` set to a message that says how to name a printer, when neither names one or
// the name is malformed.
std::optional<LinkTarget> resolve_link(const LinkOptions& options, const char* environment,
                                       std::string& error);

}  // namespace quill
