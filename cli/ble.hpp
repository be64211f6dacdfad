// The BLE side of `quill`: finding a printer by name or address, and `quill scan`.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "quillkit/ble.hpp"

namespace quill {

// How long a search for a printer named with --ble lasts, in seconds.
constexpr double kBleSearchSeconds = 5.0;

// Searches kBleSearchSeconds for the peripheral whose name or address (any letter case) is
// `device`, opens it and sets the write chunk when `chunk` is not 0. Nothing, with `error` set
// to a one-line reason, when the adapter is unusable, nothing matched or the link did not come up.
std::unique_ptr<quillkit::BLE> open_ble(const std::string& device, std::size_t chunk,
                                        std::string& error);

struct ScanOptions {
  double seconds = 5.0;
  bool json = false;
};

// Lists the named peripherals seen within the scan, each once, in the order first seen: address,
// name, and "printer" for those that offer the printer's serial service.
int run_scan(const ScanOptions& options);

}  // namespace quill
