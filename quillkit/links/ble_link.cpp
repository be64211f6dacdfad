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

// One write with response, piece by piece: the next piece leaves when the
// previous one is answered, since BlueZ refuses a second write to a
// characteristic while one is in flight.
struct BleLink::Job {
  Job(Target where, std::span<const std::uint8_t> bytes, platform::TimePoint start)
      : target(std::move(where)),
        data(bytes.begin(), bytes.end()),
        pieces(data.empty() ? 1 : (data.size() + target.chunk - 1) / target.chunk),
        progress(start) {}

  const Target target;
  const std::vector<std::uint8_t> data;  // a copy: late answers may outlive the caller's
  const std::size_t pieces;              // an empty write is one empty piece
  // Guarded by the link's mutex:
  std::size_t next = 0;  // the next piece to send
  platform::TimePoint progress;  // the last confirmation (or the start)
  bool finished = false;         // every piece answered, or the link lost
  bool abandoned = false;        // given up at the progress bound
};

BleLink::BleLink(const platform::Env& env) : env_(env) {
  platform::BleCentral::Events events;
  events.state_changed = [this](CentralState state) { on_state(state); };
  events.discovered = [this](const platform::PeripheralReport& r) { on_discovered(r); };
  events.connection_changed = [this](const std::string& path, bool up) {
    on_connection(path, up);
  };
  events.services_resolved = [this](const std::string& path) { on_services_resolved(path); };
  events.value_notified = [this](const std::string& path, std::span<const std::uint8_t> value) {
    on_value(path, value);
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
    // Another printer's characteristics are not this one's.
    if (!connectPeripheral || connectPeripheral->path != peripheral.path) {
      cbWirteCharacteristic.clear();
      notify_characteristic_.clear();
      write_mtu_ = 0;
    }
    connectPeripheral = peripheral;
    writer_.reset();
    acquire_refused_ = false;
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
  {
    std::unique_lock lock(mu_);
    if (env_.clock.wait_until(lock, changed_, env_.clock.deadline_after(bound),
                             [this] { return openport_status_.load() != 0; })) {
      return true;
    }
  }
  // A connection that BlueZ is still setting up must not come up after the
  // caller was told -1.
  central_->disconnect(peripheral.path);
  log("disconnect-1");
  return false;
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
  if (bytes > BLE::kMaxWriteChunk) return;
  std::lock_guard lock(mu_);
  chunk_ = bytes;
}

void BleLink::set_write_without_response(bool enabled) {
  std::lock_guard lock(mu_);
  without_response_ = enabled;
  // Released, so that BlueZ takes writes with response again.
  if (!enabled) writer_.reset();
  acquire_refused_ = false;
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

std::optional<BleLink::Target> BleLink::target() {
  std::lock_guard lock(mu_);
  if (!connectPeripheral || cbWirteCharacteristic.empty()) return std::nullopt;
  std::size_t chunk = chunk_;
  if (chunk == 0) {
    chunk = write_mtu_ > 3 ? std::min(write_mtu_ - 3, BLE::kMaxWriteChunk) : BLE::kDefaultWriteChunk;
  }
  return Target{connectPeripheral->path, connectPeripheral->name, cbWirteCharacteristic, chunk};
}

Result BleLink::write(std::span<const std::uint8_t> bytes, ReplyStart /*start*/) {
  // Not write_in_turn: an empty buffer is one empty write here.
  WriteTurns::Turn turn(turns_);
  begin_reply();
  const auto where = target();
  if (!where) return 1;  // no printer to write to: skipped
  bool without_response;
  {
    std::lock_guard lock(mu_);
    without_response = without_response_;
  }
  // An empty value goes with response: an empty packet would end BlueZ's
  // reading of the acquired socket.
  if (bytes.empty() || !without_response || !write_without_response(*where, bytes)) {
    write_with_response(*where, bytes);
  }
  return 1;
}

void BleLink::write_with_response(const Target& where, std::span<const std::uint8_t> bytes) {
  auto job = std::make_shared<Job>(where, bytes, env_.clock.now());
  {
    std::lock_guard lock(mu_);
    job_ = job;
  }
  issue(job);
  bool abandoned = false;
  {
    std::unique_lock lock(mu_);
    while (!job->finished) {
      const auto deadline = job->progress + platform::to_duration(BLE::kProgressBound);
      if (env_.clock.now() >= deadline) {
        job->abandoned = abandoned = true;
        break;
      }
      env_.clock.wait_until(lock, changed_, deadline, [&] { return job->finished; });
    }
    job_.reset();
  }
  if (abandoned) log("Write Error: no write confirmed for 15 s; the rest of the write is dropped");
}

void BleLink::issue(const std::shared_ptr<Job>& job) {
  std::span<const std::uint8_t> piece;
  bool done;
  {
    std::lock_guard lock(mu_);
    if (job->finished || job->abandoned) return;
    done = job->finished = job->next == job->pieces;
    if (!done) {
      const std::size_t at = job->next++ * job->target.chunk;
      piece = std::span(job->data).subspan(at, std::min(job->target.chunk, job->data.size() - at));
    }
  }
  if (done) return changed_.notify_all();
  log("Write Data to " + job->target.name);
  const std::string error = central_->write_value(
      job->target.characteristic, piece,
      [this, job](const std::string& answer) { on_piece_done(job, answer); });
  if (error.empty()) return;  // its answer sends the next one
  // Not sent at all (no bus): neither would the rest be.
  log("Write Error: " + error);
  {
    std::lock_guard lock(mu_);
    job->finished = true;
  }
  changed_.notify_all();
}

void BleLink::on_piece_done(const std::shared_ptr<Job>& job, const std::string& error) {
  log(error.empty() ? std::string("Write Success") : "Write Error: " + error);
  // A refused piece is skipped, unless the link is gone: then so is the rest.
  const bool lost = !error.empty() && !central_->is_connected(job->target.path);
  {
    std::lock_guard lock(mu_);
    if (job->finished || job->abandoned) return;
    if (error.empty()) job->progress = env_.clock.now();
    job->finished = lost;
  }
  if (lost) return changed_.notify_all();
  issue(job);
}

bool BleLink::write_without_response(const Target& where, std::span<const std::uint8_t> bytes) {
  const auto writer = acquired(where);
  if (!writer) return false;
  auto progress = env_.clock.now();
  for (std::size_t at = 0; at < bytes.size();) {
    const auto packet = bytes.subspan(at, std::min(writer->packet_size(), bytes.size() - at));
    std::string error;
    const int sent =
        writer->send(packet, progress + platform::to_duration(BLE::kProgressBound), error);
    if (sent == 1) {
      log("Write Data to " + where.name);
      at += packet.size();
      progress = env_.clock.now();
      continue;
    }
    if (sent == 0) {
      log("Write Error: no packet taken for 15 s; the rest of the write is dropped");
    } else {
      log("Write Error: " + error);
      std::lock_guard lock(mu_);
      if (writer_ == writer) writer_.reset();
    }
    break;
  }
  return true;
}

std::shared_ptr<platform::PacketWriter> BleLink::acquired(const Target& where) {
  {
    std::lock_guard lock(mu_);
    if (writer_ || acquire_refused_) return writer_;
  }
  struct Outcome {
    bool done = false;
    std::shared_ptr<platform::PacketWriter> writer;
    std::string error = "BlueZ did not answer AcquireWrite";
  };
  auto outcome = std::make_shared<Outcome>();
  central_->acquire_write(where.characteristic, [this, outcome](auto writer, const auto& error) {
    {
      std::lock_guard lock(mu_);
      outcome->done = true;
      outcome->writer = std::move(writer);
      outcome->error = error;
    }
    changed_.notify_all();
  });
  std::shared_ptr<platform::PacketWriter> writer;
  std::string error;
  {
    std::unique_lock lock(mu_);
    env_.clock.wait_until(lock, changed_, env_.clock.deadline_after(BLE::kProgressBound),
                         [&] { return outcome->done; });
    if (outcome->writer && outcome->writer->packet_size() > 0) {
      writer = writer_ = outcome->writer;
    } else {
      acquire_refused_ = true;
      error = outcome->error;
    }
  }
  if (!writer) log("Write Error: " + error + " (writing with response instead)");
  return writer;
}

void BleLink::begin_reply() {
  std::lock_guard lock(mu_);
  BLEReceivebuffer.clear();
}

Result BleLink::write_data(std::span<const std::uint8_t> data) {
  const auto where = target();
  if (!where) return -1;
  log("Write Data to " + where->name);
  const std::string error = central_->write_value(where->characteristic, data, [](const auto& e) {
    log(e.empty() ? std::string("Write Success") : "Write Error: " + e);
  });
  if (!error.empty()) log("Write Error: " + error);
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
    {
      std::lock_guard lock(mu_);
      writer_.reset();
      acquire_refused_ = false;
      // The link went: the rest of a write in progress is dropped.
      if (job_ && job_->target.path == path) job_->finished = true;
    }
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
        std::lock_guard lock(mu_);
        notify_characteristic_ = characteristic.path;
      }
      if (platform::same_uuid(characteristic.uuid, BLE::RX_CHARACTERISTIC)) {
        std::lock_guard lock(mu_);
        cbWirteCharacteristic = characteristic.path;
        write_mtu_ = characteristic.mtu;
      }
    }
    log("=== Finished set notification ===\n");
    set_openport_status(1);
  }
}

void BleLink::on_value(const std::string& characteristic, std::span<const std::uint8_t> value) {
  std::lock_guard lock(mu_);
  // Only the connected printer's transmit characteristic: another printer of
  // the same model has the same UUIDs on other paths.
  if (characteristic != notify_characteristic_) return;
  const std::size_t room = kReplyLimit - std::min(kReplyLimit, BLEReceivebuffer.size());
  BLEReceivebuffer.insert(BLEReceivebuffer.end(), value.begin(),
                          value.begin() + static_cast<std::ptrdiff_t>(std::min(room, value.size())));
}

}  // namespace quillkit::detail
