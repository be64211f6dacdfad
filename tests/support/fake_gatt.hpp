// The test side of fake_bluez_gatt.py: starts it on a private bus and drives
// its control interface (recorded writes, notifications, link loss, power).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/types.hpp"
#include "support/private_bus.hpp"

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace quillkit::testing {

// One WriteValue as the fake received it.
struct GattWrite {
  std::string uuid;
  Bytes value;
  std::string type;  // the "type" option: "request" for a write with response
};

// Thread-safety: one thread at a time. Calls are synchronous on a connection
// of its own; every call fails the current test on a D-Bus error.
class FakeGatt {
 public:
  // Starts the fake with `args` (see the script) on `bus`; ok() tells.
  FakeGatt(PrivateBus& bus, const std::vector<std::string>& args = {});
  ~FakeGatt();

  bool ok() const { return proxy_ != nullptr; }
  std::vector<GattWrite> writes();
  // Waits until the fake has recorded at least `count` writes (bounded).
  bool wait_for_writes(std::size_t count, double seconds = 5);
  void clear_writes();
  void notify(std::string_view uuid, std::string_view value);
  void drop_on_write();
  void set_powered(bool powered);

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> proxy_;
};

}  // namespace quillkit::testing
