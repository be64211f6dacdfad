// The subcommands that list printers to choose from: devices (paired Bluetooth devices with a
// serial port) and scan (BLE peripherals nearby).
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/common.hpp"
#include "cli/link_target.hpp"

namespace quill {
namespace {

bool offers(const std::vector<std::string>& uuids, std::string_view service) {
  return std::any_of(uuids.begin(), uuids.end(),
                     [&](const std::string& uuid) { return quillkit::same_uuid(uuid, service); });
}

struct DevicesOptions {
  bool json = false;
};

int run_devices(const DevicesOptions& options) {
  const auto owned = make_printer<quillkit::Bluetooth>();
  const quillkit::Bluetooth& bt = *owned;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& device : bt.accessories()) {
    if (!offers(device.uuids, quillkit::Bluetooth::kProtocolString)) continue;
    if (options.json) {
      list.push_back({{"address", device.address}, {"name", device.name}});
    } else {
      std::printf("%s  %s\n", device.address.c_str(), device.name.c_str());
    }
  }
  if (options.json) std::printf("%s\n", list.dump().c_str());
  return kExitOk;
}

struct ScanOptions {
  double seconds = 5.0;
  bool json = false;
};

// The named peripherals seen within the scan, each once, in the order first seen: address, name,
// and "printer" for those that offer the printer's serial service. BlueZ knows a device's
// services only after a connection or from the advertisement, so a printer may go unmarked; a
// later report of a device may know more than its first.
int run_scan(const ScanOptions& options) {
  const auto owned = make_printer<quillkit::BLE>();
  quillkit::BLE& printer = *owned;
  if (const auto problem = adapter_problem(printer); !problem.empty()) return fail(problem);
  std::vector<quillkit::BLEPeripheral> seen;
  for (auto& found : printer.searchBLEDevice(options.seconds)) {
    const auto known = std::find_if(
        seen.begin(), seen.end(), [&](const auto& p) { return p.identifier == found.identifier; });
    if (known == seen.end()) {
      seen.push_back(std::move(found));
    } else if (!found.uuids.empty()) {
      known->uuids = std::move(found.uuids);
    }
  }
  nlohmann::json list = nlohmann::json::array();
  for (const quillkit::BLEPeripheral& p : seen) {
    const bool is_printer = offers(p.uuids, quillkit::BLE::SERVICE_UUID);
    if (options.json) {
      list.push_back({{"name", p.name}, {"address", p.address}, {"printer", is_printer}});
    } else {
      std::printf("%s  %s%s\n", p.address.c_str(), p.name.c_str(), is_printer ? "  (printer)" : "");
    }
  }
  if (options.json) std::printf("%s\n", list.dump().c_str());
  return kExitOk;
}

}  // namespace

void setup_devices(CommandLine& line) {
  auto [command, options] = add_subcommand(
      line, "devices", "List the paired Bluetooth devices that offer a serial port", run_devices);
  command->add_flag("--json", options->json, "Write them as a JSON array");
}

void setup_scan(CommandLine& line) {
  auto [command, options] =
      add_subcommand(line, "scan", "List the Bluetooth LE peripherals nearby", run_scan);
  command->add_option("--seconds", options->seconds, "How long to scan")
      ->check(CLI::Range(0.1, 120.0))
      ->capture_default_str();
  command->add_flag("--json", options->json, "Write the list as a JSON array");
}

}  // namespace quill
