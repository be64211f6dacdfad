// The device URI schemes of the two Bluetooth links, through the library's printer classes:
//   quill-bt://AABBCCDDEEFF     a paired classic Bluetooth printer (its address, no colons)
//   quill-bt:///dev/rfcomm0     a serial device: a bound RFCOMM port, USB CDC, a pseudo-terminal
//   quill-ble://AABBCCDDEEFF    a BLE printer by address
//   quill-ble://NAME            a BLE printer by its advertised name (percent-encoded)
// Network printers use PAPPL's own socket://HOST:9100 device.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quill_printer {

struct LinkTarget {
  enum class Kind { kBluetooth, kBle } kind;
  // For kBluetooth "AA:BB:CC:DD:EE:FF" or a path beginning with "/"; for kBle an address in
  // that form or a name.
  std::string target;
  bool operator==(const LinkTarget&) const = default;
};

// The link a device URI of ours names; nothing for other schemes and malformed URIs.
std::optional<LinkTarget> parse_link_uri(std::string_view uri);

// Registers the two schemes with PAPPL (open, close, write, discovery). Call once, before
// PAPPL lists or opens devices.
void register_link_schemes();

// Whether avahi-daemon answers on the system bus (asked with a bound of 2 s). Without it,
// PAPPL 1.3.1's DNS-SD discovery aborts the process (a failed assertion inside Avahi).
bool dnssd_available();

// Asks the printer behind `device`, opened for the printer's `device_uri`, for its status byte
// (the status request, answered with one byte). Nothing when it does not answer in time.
// Blocks for the link's answer wait (about 1 s; longer on the Bluetooth links).
std::optional<std::uint8_t> request_status_byte(pappl_device_t* device,
                                                std::string_view device_uri);

}  // namespace quill_printer
