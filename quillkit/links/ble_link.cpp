#include "quillkit/links/ble_link.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "quillkit/ble.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/platform/log.hpp"

namespace quillkit::detail {
namespace {

using platform::CentralState;

void log(std::string_view line) { platform::log_line(LogChannel::console, line); }

std::string_view state_word(CentralState state) {
  constexpr std::array<std::string_view, 6> kWords{"Unknown\n",      "Resetting\n",
                                                   "Unsupported\n",  "Unauthorized\n",
                                                   "PoweredOff\n",   "PoweredOn\n"};
  const auto index = static_cast<std::size_t>(state);
  return index < kWords.size() ? kWords[index] : "none\n";
}

}  // namespace

BleLink::BleLink(const platform::Env& env) : env_(env) {
  platform::BleCentral::Events events;
  events.state_changed = [this](CentralState state) { on_state(state); };
  events.discovered = [this](const platform::PeripheralReport& r) { on_discovered(r); };
  events.connection_changed = [this](const std::string& path, bool up) {
    on_connection(path, up);
  };
  events.services_resolved = [this](const std::string& path) { on_services_resolved(path); };
  events.value_notified = [this](std::string_view uuid, std::span<const std::uint8_t> value) {
    on_value(uuid, value);
  };
  central_ = env_.open_ble_central(std::move(events));
}

BleLink::~BleLink() {
  disconnect();
  // Stopped while still reachable: a handler running until then uses central_.
  central_->stop();
}

std::vector<platform::PeripheralReport> BleLink::search(double seconds) {
  {
    std::lock_guard lock(mu_);
    BLEDeviceList.clear();
  }
  start_scan();
  env_.clock.sleep_seconds(seconds);
  stop_scan();
  std::lock_guard lock(mu_);
  return BLEDeviceList;
}

void BleLink::start_scan() { central_->start_discovery(); }

void BleLink::stop_scan() { central_->stop_discovery(); }

void BleLink::connect(const platform::PeripheralReport& peripheral) {
  {
    std::lock_guard lock(mu_);
    connectPeripheral = peripheral;
  }
  central_->connect(peripheral.path);
  log("Connect to " + peripheral.name);
}

void BleLink::disconnect() {
  std::optional<platform::PeripheralReport> peripheral;
  {
    std::lock_guard lock(mu_);
    peripheral = connectPeripheral;
  }
  if (!peripheral) return log("connectPeripheral == nil");
  if (!central_->is_connected(peripheral->path)) return;
  central_->disconnect(peripheral->path);
  log("disconnect-1");
}

bool BleLink::open(const platform::PeripheralReport& peripheral, double bound) {
  set_openport_status(0);
  connect(peripheral);
  std::unique_lock lock(mu_);
  return env_.clock.wait_until(lock, changed_, env_.clock.deadline_after(bound),
                               [this] { return openport_status_.load() != 0; });
}

void BleLink::set_openport_status(int status) {
  {
    // Under the mutex, so that a waiter between its check and its sleep
    // cannot miss the change.
    std::lock_guard lock(mu_);
    openport_status_.store(status);
  }
  changed_.notify_all();
}

void BleLink::set_write_chunk(std::size_t bytes) {
  if (bytes == 0 || bytes > BLE::kMaxWriteChunk) return;
  std::lock_guard lock(mu_);
  chunk_ = bytes;
}

Result BleLink::probe() {
  switch (central_->state()) {
    case CentralState::kPoweredOn:
      return kStreamOpen;
    case CentralState::kPoweredOff:
      return kStreamNotOpen;
    default:
      return -1;
  }
}

Result BleLink::write(std::span<const std::uint8_t> bytes, ReplyStart /*start*/) {
  // Not write_in_turn: an empty buffer is one empty write here.
  WriteTurns::Turn turn(turns_);
  begin_reply();
  std::size_t chunk;
  {
    std::lock_guard lock(mu_);
    chunk = chunk_;
  }
  std::size_t offset = 0;
  do {
    const std::size_t n = std::min(chunk, bytes.size() - offset);
    write_data(bytes.subspan(offset, n));
    offset += n;
  } while (offset < bytes.size());
  return 1;
}

void BleLink::begin_reply() {
  std::lock_guard lock(mu_);
  BLEReceivebuffer.clear();
}

Result BleLink::write_data(std::span<const std::uint8_t> data) {
  std::string name;
  std::string characteristic;
  {
    std::unique_lock lock(mu_);
    if (!connectPeripheral || cbWirteCharacteristic.empty()) return -1;
    name = connectPeripheral->name;
    characteristic = cbWirteCharacteristic;
    if (!env_.clock.wait_until(lock, changed_, env_.clock.deadline_after(kConfirmationBound),
                               [this] { return in_flight_ < kWritesInFlight; })) {
      return -1;
    }
    ++in_flight_;
  }
  central_->write_value(characteristic, data, [this](const std::string& error) {
    log(error.empty() ? std::string("Write Success") : "Write Error: " + error);
    {
      std::lock_guard lock(mu_);
      --in_flight_;
    }
    changed_.notify_all();
  });
  log("Write Data to " + name);
  return 1;
}

Reply BleLink::take_reply() {
  std::lock_guard lock(mu_);
  Reply reply;
  reply.text.assign(BLEReceivebuffer.begin(), BLEReceivebuffer.end());
  reply.received = BLEReceivebuffer.size();
  reply.first_byte = BLEReceivebuffer.empty() ? -1 : BLEReceivebuffer.front();
  return reply;
}

void BleLink::on_state(CentralState state) {
  log("UpdateState:" + std::string(state_word(state)));
}

void BleLink::on_discovered(const platform::PeripheralReport& report) {
  if (report.name.empty()) return;
  log("localName: " + report.name);
  std::lock_guard lock(mu_);
  if (BLEDeviceList.size() < kDeviceListLimit) BLEDeviceList.push_back(report);
}

std::optional<platform::PeripheralReport> BleLink::remembered(const std::string& path) {
  std::lock_guard lock(mu_);
  if (!connectPeripheral || connectPeripheral->path != path) return std::nullopt;
  return connectPeripheral;
}

void BleLink::on_connection(const std::string& path, bool connected) {
  const auto peripheral = remembered(path);
  if (!peripheral) return;
  if (!connected) {
    set_openport_status(0);
    return log("disconnect-2");
  }
  log("connected");
  log("Connect To Peripheral with name: " + peripheral->name + "\nwith UUID:" + path + "\n");
  // BlueZ discovers the services on its own and says when it is done
  // (on_services_resolved).
}

void BleLink::on_services_resolved(const std::string& path) {
  if (!remembered(path)) return;
  central_->services(path, [this, path](const std::string& error,
                                        const std::vector<platform::GattService>& services) {
    on_services(path, error, services);
  });
}

void BleLink::on_services(const std::string& path, const std::string& error,
                          const std::vector<platform::GattService>& services) {
  const auto peripheral = remembered(path);
  if (!peripheral) return;
  if (!error.empty()) {
    log(std::string("ERROR: ") + __FILE__);
    log(error);
    return set_openport_status(0);
  }
  log("====" + peripheral->name + "\n");
  log("=========== " + std::to_string(services.size()) + " of service for UUID " + path +
      " ===========\n");
  for (const auto& service : services) {
    if (!platform::same_uuid(service.uuid, BLE::SERVICE_UUID)) continue;
    log("Service found with UUID: " + service.uuid + "\n");
    log("=========== " + std::to_string(service.characteristics.size()) + " Characteristics of " +
        service.uuid + " service ");
    for (const auto& characteristic : service.characteristics) {
      log(characteristic.uuid);
      if (platform::same_uuid(characteristic.uuid, BLE::TX_CHARACTERISTIC)) {
        central_->start_notify(characteristic.path);
      }
      if (platform::same_uuid(characteristic.uuid, BLE::RX_CHARACTERISTIC)) {
        std::lock_guard lock(mu_);
        cbWirteCharacteristic = characteristic.path;
      }
    }
    log("=== Finished set notification ===\n");
    set_openport_status(1);
  }
}

void BleLink::on_value(std::string_view uuid, std::span<const std::uint8_t> value) {
  if (!platform::same_uuid(uuid, BLE::TX_CHARACTERISTIC)) return;
  std::lock_guard lock(mu_);
  const std::size_t room = kReplyLimit - std::min(kReplyLimit, BLEReceivebuffer.size());
  BLEReceivebuffer.insert(BLEReceivebuffer.end(), value.begin(),
                          value.begin() + static_cast<std::ptrdiff_t>(std::min(room, value.size())));
}

}  // namespace quillkit::detail
