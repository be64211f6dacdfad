// The test side of fake_bluez_gatt.py: starts it on a private bus and drives
// its control interface (recorded writes, notifications, link loss, stalls,
// power) and the BlueZ calls another program would make.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/types.hpp"
#include "support/private_bus.hpp"

namespace quillkit::testing {

// One write as the fake received it.
struct GattWrite {
  std::string uuid;
  Bytes value;
  std::string type;     // "request" (with response) or "command"
  std::string outcome;  // "" when it reached the printer, else the error's name
  bool operator==(const GattWrite&) const = default;
};

// The fake's first device and its receive characteristic.
inline constexpr const char* kFirstDevice = "/org/bluez/hci0/dev_0";
inline constexpr const char* kFirstWriteCharacteristic =
    "/org/bluez/hci0/dev_0/service0010/char0013";

// Thread-safety: one thread at a time. Calls are synchronous on a connection
// of its own; every call fails the current test on a D-Bus error.
class FakeGatt {
 public:
  // Starts the fake with `args` (see the script) on `bus`; ok() tells.
  FakeGatt(PrivateBus& bus, const std::vector<std::string>& args = {});
  ~FakeGatt();

  bool ok() const { return proxy_ != nullptr; }
  // BlueZ ends (as on SIGTERM), and starts again with the same arguments.
  void stop() { bus_.stop_fakes(); }
  bool start();

  std::vector<GattWrite> writes();
  // Waits until the fake has recorded at least `count` writes (bounded).
  bool wait_for_writes(std::size_t count, double seconds = 5);
  void clear_writes() { call("ClearWrites"); }
  // The printer behind device `device` notifies `value` on `uuid`.
  void notify(std::string_view uuid, std::string_view value, unsigned device = 0) {
    call("Notify", device, std::string(uuid), std::vector<std::uint8_t>(value.begin(), value.end()));
  }
  // Another client sends PropertiesChanged(Value) on `path`.
  void spoof(const std::string& path, std::string_view value) {
    call("Spoof", sdbus::ObjectPath(path), std::vector<std::uint8_t>(value.begin(), value.end()));
  }
  void drop_on_write() { call("DropOnWrite"); }
  void stall(bool stalled) { call("Stall", stalled); }
  void set_powered(bool powered) { call("SetPowered", powered); }
  std::string state(unsigned device = 0);
  // Adapter1.RemoveDevice, as another program (bluetoothctl remove) calls it.
  void remove_device(const std::string& path);
  // Sends `values` as WriteValue calls on `characteristic`, each with its
  // "type", one right after the other and without waiting for replies; the
  // fake records each one's outcome (see writes()).
  void write_without_waiting(const std::string& characteristic,
                             const std::vector<std::pair<std::string, Bytes>>& values);

 private:
  static constexpr const char* kControl = "org.quillkit.FakeGatt";
  static void failed(const char* what, const sdbus::Error& error);
  template <typename... Args>
  void call(const char* method, const Args&... args) {
    try {
      proxy_->callMethod(method).onInterface(kControl).withArguments(args...);
    } catch (const sdbus::Error& error) {
      failed(method, error);
    }
  }

  PrivateBus& bus_;
  std::vector<std::string> args_;
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> proxy_;
};

}  // namespace quillkit::testing
