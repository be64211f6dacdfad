// The link of the BLE printer: a central connected to the printer's GATT serial
// service, the chunked write primitive, and the notification buffer that holds
// the printer's answer to the last write.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/commands/link.hpp"
#include "quillkit/links/write_turn.hpp"
#include "quillkit/platform/ble_central.hpp"
#include "quillkit/platform/env.hpp"
#include "quillkit/types.hpp"

namespace quillkit::detail {

// Thread-safety: every public member may be called from any thread but the
// central's callback thread, which runs the on_* handlers. One mutex guards
// the fields below it; it is never held across a wait, a call into the central
// or a log line. openport_status is atomic.
class BleLink final : public Link {
 public:
  // The largest answer kept: notified bytes beyond it, before the next write
  // empties the buffer, are dropped.
  static constexpr std::size_t kReplyLimit = 64 * 1024;
  // Peripherals kept from one search; later reports are dropped.
  static constexpr std::size_t kDeviceListLimit = 4096;
  // Writes issued and not yet confirmed, at most: a system bus limits the
  // replies a client may await, so a long write waits for confirmations here.
  static constexpr std::size_t kWritesInFlight = 64;
  // Longest wait for a confirmation to free a place; past it the rest of the
  // write is dropped.
  static constexpr double kConfirmationBound = 15.0;

  // Opens its central through `env`, whose clock takes every wait of the
  // link; `env` must outlive the link.
  explicit BleLink(const platform::Env& env = platform::default_env());
  ~BleLink() override;

  // The parts of BLE that touch the link (see <quillkit/ble.hpp>).
  std::vector<platform::PeripheralReport> search(double seconds);
  void start_scan();
  void stop_scan();
  void connect(const platform::PeripheralReport& peripheral);
  void disconnect();
  // Connects and waits at most `bound` seconds for the link to be ready.
  bool open(const platform::PeripheralReport& peripheral, double bound);
  int openport_status() const { return openport_status_.load(); }
  Result write_data(std::span<const std::uint8_t> data);
  void set_write_chunk(std::size_t bytes);

  // Link
  Result probe() override;
  bool has_space() override { return true; }
  // Every write starts a fresh answer, whether or not it asks for one.
  Result write(std::span<const std::uint8_t> bytes, ReplyStart start) override;
  void begin_reply() override;
  // The system does not say what it still holds of a write.
  Result wait_until_sent(double /*max_seconds*/) override { return probe() == -1 ? -1 : 0; }
  bool ready_for_bitmap() override { return openport_status_.load() == 1; }
  bool reply_pending() override { return false; }
  Reply take_reply() override;
  // Disconnects; the callback thread lives on until the link is destroyed,
  // since a BLE printer reconnects without being made again.
  void close() override { disconnect(); }

 private:
  struct Target {
    std::string name;
    std::string characteristic;
  };

  void on_state(platform::CentralState state);
  void on_discovered(const platform::PeripheralReport& report);
  void on_connection(const std::string& path, bool connected);
  void on_services_resolved(const std::string& path);
  void on_services(const std::string& path, const std::string& error,
                   const std::vector<platform::GattService>& services);
  void on_value(std::string_view uuid, std::span<const std::uint8_t> value);
  void set_openport_status(int status);
  // The remembered peripheral, when `path` names it.
  std::optional<platform::PeripheralReport> remembered(const std::string& path);

  const platform::Env& env_;
  std::atomic<int> openport_status_{0};

  mutable std::mutex mu_;
  std::condition_variable changed_;
  // Guarded by mu_:
  std::vector<std::uint8_t> BLEReceivebuffer;
  std::vector<platform::PeripheralReport> BLEDeviceList;
  std::optional<platform::PeripheralReport> connectPeripheral;
  std::string cbWirteCharacteristic;  // its object path; empty until found
  std::size_t chunk_ = 20;
  std::size_t in_flight_ = 0;
  WriteTurns turns_{mu_, env_.clock};

  // Last, so that it goes first: its callback thread ends before the fields
  // that the handlers touch.
  std::unique_ptr<platform::BleCentral> central_;
};

}  // namespace quillkit::detail
