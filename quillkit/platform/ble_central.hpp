// The Bluetooth Low Energy central: the adapter's power state, discovery of
// peripherals, connections, GATT service lookup, writes with response, a
// characteristic acquired for writes without response, and value
// notifications.
//
// Threading: every event is delivered on the central's own callback thread,
// one at a time, in the order the system reported it; the BLE printer plays
// its serial callback queue on it. Every member may be called from any thread,
// including from inside an event handler, and none of them waits on the radio:
// operations that need the radio are issued asynchronously and report through
// the events or their completion. stop() and the destructor end the callback
// thread and join it, so they must not run on that thread.
//
// Notes for implementers: nothing here throws. Errors of the system are turned
// into the text passed to a completion, or into the state kUnknown; a central
// whose system service is absent stays usable and reports kUnknown. Reports
// come only from the system service itself: a value that another program
// sends in its name is not one. When the service goes away the central
// reports kUnknown and every connection as down, forgets what it knew, and
// reads the adapter again when the service returns; peripherals the service
// forgets are forgotten too, so memory does not grow with the devices that
// other programs scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/platform/clock.hpp"
#include "quillkit/types.hpp"

namespace quillkit::platform {

class Clock;

// The central's state, numbered as the printer classes report it in their log.
enum class CentralState : int {
  kUnknown = 0,
  kResetting = 1,
  kUnsupported = 2,
  kUnauthorized = 3,
  kPoweredOff = 4,
  kPoweredOn = 5,
};

// One discovery report of a peripheral. `path` identifies it to the central.
struct PeripheralReport {
  std::string name;  // empty when the peripheral has no name
  std::string address;
  std::string path;
  std::vector<std::string> uuids;  // advertised or resolved service UUIDs
};

struct GattCharacteristic {
  std::string path;
  std::string uuid;
  std::size_t mtu = 0;  // the link's ATT MTU as the system reports it; 0 when it does not
};

struct GattService {
  std::string path;
  std::string uuid;
  std::vector<GattCharacteristic> characteristics;  // in the system's order
};

using quillkit::same_uuid;

// A characteristic acquired for writes without response: every packet sent
// goes out as one write command. The system takes packets only as fast as
// the radio carries them; a full socket makes send() wait.
// Thread-safety: one thread at a time.
class PacketWriter {
 public:
  virtual ~PacketWriter() = default;
  // The largest packet: the link's MTU less the write command's 3 bytes.
  virtual std::size_t packet_size() const = 0;
  // Sends one packet of at most packet_size() bytes, waiting for room until
  // `deadline`: 1 sent, 0 no room by then, -1 the socket failed or the
  // system closed it (the link went, or the characteristic was released),
  // with the reason in `error`.
  virtual int send(std::span<const std::uint8_t> packet, TimePoint deadline, std::string& error) = 0;
};

class BleCentral {
 public:
  // Handlers run on the callback thread; any of them may be empty.
  struct Events {
    std::function<void(CentralState)> state_changed;
    // A peripheral was seen while discovery is on (repeated sightings repeat).
    std::function<void(const PeripheralReport&)> discovered;
    // A peripheral's connection came up or went down (also when the system
    // forgets the peripheral or goes away while it is connected).
    std::function<void(const std::string& path, bool connected)> connection_changed;
    // A connected peripheral's services are now known (see services()).
    std::function<void(const std::string& path)> services_resolved;
    // A characteristic (named by its path) sent a value.
    std::function<void(const std::string& characteristic_path,
                       std::span<const std::uint8_t> value)>
        value_notified;
  };
  // Completion of an asynchronous operation: empty on success, else the error.
  using Done = std::function<void(const std::string& error)>;
  using ServicesDone =
      std::function<void(const std::string& error, const std::vector<GattService>& services)>;
  // Completion of acquire_write: the writer, or null with the error.
  using AcquireDone =
      std::function<void(std::shared_ptr<PacketWriter> writer, const std::string& error)>;

  virtual ~BleCentral() = default;

  // Ends the callback thread and joins it; no event or completion runs after
  // it returns. Idempotent. For the owner's teardown: it must not run on the
  // callback thread nor at the same time as another member.
  virtual void stop() = 0;

  // The adapter's state as last reported (no system call).
  virtual CentralState state() = 0;

  virtual void start_discovery() = 0;
  virtual void stop_discovery() = 0;

  virtual void connect(const std::string& path) = 0;
  // Ends the connection, or cancels a connection attempt still in progress.
  virtual void disconnect(const std::string& path) = 0;
  // Whether the peripheral's connection is up, as last reported.
  virtual bool is_connected(const std::string& path) = 0;

  // The peripheral's services and their characteristics. `done` runs exactly
  // once: on the callback thread, or at once when the request cannot be sent.
  virtual void services(const std::string& path, ServicesDone done) = 0;
  // Switches value notifications on for a characteristic.
  virtual void start_notify(const std::string& characteristic_path) = 0;
  // Writes the value with response. The system takes one write per
  // characteristic at a time: a write issued before the previous one is
  // confirmed is refused. When the write was sent, returns the empty text and
  // `done` runs once on the callback thread when the peripheral confirmed or
  // refused it or the call timed out; when it cannot be sent, returns the
  // reason and `done` never runs.
  [[nodiscard]] virtual std::string write_value(const std::string& characteristic_path,
                                                std::span<const std::uint8_t> value,
                                                Done done) = 0;
  // Acquires the characteristic for writes without response; `done` runs
  // exactly once, on the callback thread or at once when the request cannot
  // be sent. The system refuses a characteristic without that property.
  virtual void acquire_write(const std::string& characteristic_path, AcquireDone done) = 0;
};

// The central of the system's Bluetooth service (BlueZ over D-Bus, on the
// system bus; DBUS_SYSTEM_BUS_ADDRESS names another bus). Reports the first
// adapter's state once it is known, and again on every change. Holds `clock`
// (which must outlive it) from each call to BlueZ until its reply is handled.
std::unique_ptr<BleCentral> open_ble_central(BleCentral::Events events, Clock& clock);

}  // namespace quillkit::platform
