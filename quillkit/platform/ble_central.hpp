// The Bluetooth Low Energy central: the adapter's power state, discovery of
// peripherals, connections, GATT service lookup, writes with response and
// value notifications.
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
// whose system service is absent stays usable and reports kUnknown.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
};

struct GattService {
  std::string path;
  std::string uuid;
  std::vector<GattCharacteristic> characteristics;  // in the system's order
};

using quillkit::same_uuid;

class BleCentral {
 public:
  // Handlers run on the callback thread; any of them may be empty.
  struct Events {
    std::function<void(CentralState)> state_changed;
    // A peripheral was seen while discovery is on (repeated sightings repeat).
    std::function<void(const PeripheralReport&)> discovered;
    // A peripheral's connection came up or went down.
    std::function<void(const std::string& path, bool connected)> connection_changed;
    // A connected peripheral's services are now known (see services()).
    std::function<void(const std::string& path)> services_resolved;
    // A characteristic with notifications on sent a value.
    std::function<void(std::string_view characteristic_uuid, std::span<const std::uint8_t> value)>
        value_notified;
  };
  // Completion of an asynchronous operation: empty on success, else the error.
  using Done = std::function<void(const std::string& error)>;
  using ServicesDone =
      std::function<void(const std::string& error, const std::vector<GattService>& services)>;

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
  virtual void disconnect(const std::string& path) = 0;
  // Whether the peripheral's connection is up, as last reported.
  virtual bool is_connected(const std::string& path) = 0;

  // The peripheral's services and their characteristics. `done` runs exactly
  // once: on the callback thread, or at once when the request cannot be sent.
  virtual void services(const std::string& path, ServicesDone done) = 0;
  // Switches value notifications on for a characteristic.
  virtual void start_notify(const std::string& characteristic_path) = 0;
  // Writes the value with response. Writes issued by one thread go out in the
  // order issued. `done` runs exactly once: on the callback thread once the
  // peripheral confirmed or refused the write or the call timed out, or at
  // once when the write cannot be sent.
  virtual void write_value(const std::string& characteristic_path,
                           std::span<const std::uint8_t> value, Done done) = 0;
};

// The central of the system's Bluetooth service (BlueZ over D-Bus, on the
// system bus; DBUS_SYSTEM_BUS_ADDRESS names another bus). Reports the first
// adapter's state once it is known, and again on every change. Holds `clock`
// (which must outlive it) from each call to BlueZ until its reply is handled.
std::unique_ptr<BleCentral> open_ble_central(BleCentral::Events events, Clock& clock);

}  // namespace quillkit::platform
