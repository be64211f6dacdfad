// The Bluetooth Low Energy printer: the printer module's GATT serial service,
// written in 20-byte pieces and answered by notifications.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/export.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {

namespace detail {
class BleLink;
}

// A peripheral found by a search. `identifier` names it to the system (the
// BlueZ object path of the device); it is what openport_ble connects to.
// `uuids` holds the services the system knew it to offer when it was reported
// (advertised, or resolved by an earlier connection): a printer may show none.
struct BLEPeripheral {
  std::string name;
  std::string address;
  std::string identifier;
  std::vector<std::string> uuids;
};

// A printer reached over BLE. Thread-safety: as Printer. The object owns one
// callback thread, which delivers the system's reports (discovery, connection,
// services, write confirmations, notifications) one at a time; no wait of
// this class runs on it. The destructor disconnects and ends that thread.
//
// Diagnostic lines go to the log sink (see set_log_sink): "UpdateState:" and
// the adapter state, "localName: " and each named peripheral found, "Connect
// to " and the name, the connection and discovery lines, "Write Data to " per
// piece written, "Write Success" or "Write Error: " per confirmation, and
// "connectPeripheral == nil", "disconnect-1", "disconnect-2" on closing.
class QUILLKIT_EXPORT BLE final : public Printer {
 public:
  // The printer module's serial service and its characteristics. UUIDs
  // compare without regard to letter case.
  static constexpr std::string_view SERVICE_UUID = "49535343-FE7D-4AE5-8FA9-9FAFD205E455";
  static constexpr std::string_view AIRPATCH_CHARACTERISTIC = "49535343-ACA3-481C-91EC-D85E28A60318";
  static constexpr std::string_view RX_CHARACTERISTIC = "49535343-8841-43F4-A8d4-ECBE34729BB3";
  static constexpr std::string_view TX_CHARACTERISTIC = "49535343-1E4D-4BD9-BA61-23C647249616";

  // How long openport_ble waits for the link to become ready.
  static constexpr double kOpenBound = 10.0;
  // Bytes per write, by default and at most (see set_write_chunk).
  static constexpr std::size_t kDefaultWriteChunk = 20;
  static constexpr std::size_t kMaxWriteChunk = 512;

  // Makes the object and its callback thread, then blocks 1.0 s so that the
  // adapter's state is known. Without BlueZ on the system bus the object
  // still works: the probe gives -1 and every request is dropped.
  BLE();
  // The same on the given services (the library's own: its tests give their
  // clock and BlueZ); `env` must outlive the object.
  explicit BLE(const platform::Env& env);
  // Disconnects the peripheral, if connected, and ends the callback thread.
  ~BLE() override;

  // Scans for `seconds` and returns the named peripherals reported meanwhile,
  // in report order; a peripheral reported twice is listed twice.
  std::vector<BLEPeripheral> searchBLEDevice(double seconds);
  void BLE_StartScan();
  void BLE_StopScan();
  // Asks for a connection to the peripheral and remembers it; does not wait.
  void BLE_Connect(const BLEPeripheral& peripheral);
  // Cancels the remembered peripheral's connection, if it is connected.
  void BLE_Disconnect();

  // Connects and waits, at most kOpenBound seconds, until the serial service's
  // characteristics are set up: 1, or -1 when the bound passed first
  // (openport_status stays 0). The second form then waits `delay` seconds.
  Result openport_ble(const BLEPeripheral& peripheral);
  Result openport_ble(const BLEPeripheral& peripheral, double delay);
  // 1 while the link is ready, else 0.
  Result openport_status() const;

  // Disconnects and returns 1; the second form waits `delay` seconds first.
  Result closeport();
  Result closeport(double delay);

  // Writes one value with response to the write characteristic: 1 when the
  // write was issued, -1 when no peripheral or write characteristic is known
  // (nothing is written). Its confirmation is only logged.
  Result BLE_WriteData(std::span<const std::uint8_t> data);
  // The write primitive: empties the answer buffer, then writes the bytes in
  // pieces of the write chunk (20), back to back in order without waiting for
  // each confirmation; 0 bytes make one empty write. Always 1.
  Result BLE_OutStream(std::span<const std::uint8_t> data);

  // The data sender: the optional wait, the link gate, one BLE_OutStream.
  using Printer::sendCommandWithData;

  // Bytes per write, for a printer that negotiated a larger MTU: 1 to
  // kMaxWriteChunk; other values are ignored. Changes nothing else.
  void set_write_chunk(std::size_t bytes);

 private:
  BLE(std::unique_ptr<detail::BleLink> link, const platform::Env& env);

  std::unique_ptr<detail::BleLink> link_;
};

}  // namespace quillkit
