#include "cli/ble.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sdbus-c++/sdbus-c++.h>
#include <set>
#include <vector>

#include "cli/common.hpp"

namespace quill {
namespace {

bool same_text(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// Empty when the adapter can scan, else why not.
std::string adapter_problem(quillkit::BLE& printer) {
  switch (printer.stream_Status()) {
    case 2:
      return {};
    case 0:
      return "the Bluetooth adapter is powered off (bluetoothctl power on)";
    default:
      return "no usable Bluetooth adapter (is bluetoothd running, and may you use it?)";
  }
}

// Whether BlueZ lists the printer's serial service among the device's UUIDs. BlueZ knows them
// only after a connection or from the advertisement, so a printer may go unmarked.
bool offers_serial_service(sdbus::IConnection* bus, const std::string& device) {
  if (bus == nullptr) return false;
  try {
    auto proxy = sdbus::createProxy(*bus, "org.bluez", device);
    const auto uuids = proxy->getProperty("UUIDs").onInterface("org.bluez.Device1").get<
        std::vector<std::string>>();
    return std::any_of(uuids.begin(), uuids.end(), [](const std::string& uuid) {
      return same_text(uuid, quillkit::BLE::SERVICE_UUID);
    });
  } catch (const sdbus::Error&) {
    return false;
  }
}

}  // namespace

std::unique_ptr<quillkit::BLE> open_ble(const std::string& device, std::size_t chunk,
                                        std::string& error) {
  auto printer = make_printer<quillkit::BLE>();
  if (error = adapter_problem(*printer); !error.empty()) return nullptr;
  diagnostic("searching for " + device);
  const auto found = printer->searchBLEDevice(kBleSearchSeconds);
  const auto match = std::find_if(found.begin(), found.end(), [&](const auto& p) {
    return p.name == device || same_text(p.address, device);
  });
  if (match == found.end()) {
    error = "no BLE printer named " + device + " answered within 5 s (quill scan lists them)";
    return nullptr;
  }
  if (chunk != 0) printer->set_write_chunk(chunk);
  if (printer->openport_ble(*match) != 1) {
    error = "the BLE printer " + device + " did not become ready within 10 s";
    return nullptr;
  }
  return printer;
}

int run_scan(const ScanOptions& options) {
  const auto owned = make_printer<quillkit::BLE>();
  quillkit::BLE& printer = *owned;
  if (const auto problem = adapter_problem(printer); !problem.empty()) return fail(problem);
  const auto found = printer.searchBLEDevice(options.seconds);
  std::unique_ptr<sdbus::IConnection> bus;
  try {
    bus = sdbus::createSystemBusConnection();
  } catch (const sdbus::Error&) {
  }
  std::set<std::string> seen;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& p : found) {
    if (!seen.insert(p.identifier).second) continue;
    const bool printer_service = offers_serial_service(bus.get(), p.identifier);
    if (options.json) {
      list.push_back({{"name", p.name}, {"address", p.address}, {"printer", printer_service}});
    } else {
      std::printf("%s  %s%s\n", p.address.c_str(), p.name.c_str(),
                  printer_service ? "  (printer)" : "");
    }
  }
  if (options.json) std::printf("%s\n", list.dump().c_str());
  return kExitOk;
}

}  // namespace quill
