// The BLE printer: the printer module's GATT serial service through the
// system's BLE central.
#include "quillkit/ble.hpp"

#include <memory>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/links/ble_link.hpp"
#include "quillkit/links/profiles.hpp"
#include "quillkit/platform/env.hpp"

namespace quillkit {
namespace {

// Lets the central report the adapter's state before the first call.
constexpr double kStartWait = 1.0;

platform::PeripheralReport report_of(const BLEPeripheral& peripheral) {
  return {peripheral.name, peripheral.address, peripheral.identifier, peripheral.uuids};
}

}  // namespace

BLE::BLE() : BLE(platform::default_env()) {}

BLE::BLE(const platform::Env& env) : BLE(std::make_unique<detail::BleLink>(env), env) {
  core().clock().sleep_seconds(kStartWait);
}

BLE::BLE(std::unique_ptr<detail::BleLink> link, const platform::Env& env)
    : Printer(std::make_unique<detail::PrinterCore>(detail::kBleProfile, *link, env)),
      link_(std::move(link)) {}

BLE::~BLE() = default;

std::vector<BLEPeripheral> BLE::searchBLEDevice(double seconds) {
  std::vector<BLEPeripheral> found;
  for (auto& report : link_->search(seconds)) {
    found.push_back({std::move(report.name), std::move(report.address), std::move(report.path),
                     std::move(report.uuids)});
  }
  return found;
}

void BLE::BLE_StartScan() { link_->start_scan(); }
void BLE::BLE_StopScan() { link_->stop_scan(); }
void BLE::BLE_Connect(const BLEPeripheral& peripheral) { link_->connect(report_of(peripheral)); }
void BLE::BLE_Disconnect() { link_->disconnect(); }

Result BLE::openport_ble(const BLEPeripheral& peripheral) {
  return link_->open(report_of(peripheral), kOpenBound) ? 1 : -1;
}

Result BLE::openport_ble(const BLEPeripheral& peripheral, double delay) {
  if (openport_ble(peripheral) != 1) return -1;
  core().clock().sleep_seconds(delay);
  return 1;
}

Result BLE::openport_status() const { return link_->openport_status(); }

Result BLE::closeport() {
  link_->close();
  return 1;
}

Result BLE::closeport(double delay) {
  core().clock().sleep_seconds(delay);
  return closeport();
}

Result BLE::BLE_WriteData(std::span<const std::uint8_t> data) { return link_->write_data(data); }

Result BLE::BLE_OutStream(std::span<const std::uint8_t> data) { return core().write(data); }

void BLE::set_write_chunk(std::size_t bytes) { link_->set_write_chunk(bytes); }

}  // namespace quillkit
