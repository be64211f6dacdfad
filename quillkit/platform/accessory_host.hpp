// The accessory list and sessions of classic Bluetooth: the paired devices
// with the services they offer, and a serial session to one of them.
//
// Threading: every member may be called from any thread; calls may run at
// once. Each wait is bounded and ends early when the caller's stop token is
// requested, so that an owner can always stop and join the thread that waits.
//
// Notes for implementers: report why a list or a session failed through
// log_line (system channel); never throw.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/bluetooth.hpp"

namespace quillkit::platform {

class Clock;

class AccessoryHost {
 public:
  virtual ~AccessoryHost() = default;

  // The paired devices in the platform's order, each with its address, name
  // and service UUIDs. Empty when there are none or the platform cannot be
  // reached.
  virtual std::vector<BluetoothDevice> accessories(std::stop_token stop) = 0;

  // Opens a serial session for the service `uuid` to the paired device at
  // `address`: the session's connected socket (the caller owns it), or -1.
  virtual int open_session(std::string_view address, std::string_view uuid,
                           std::stop_token stop) = 0;
};

// The BlueZ host: one connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS
// when set) with its own event-loop thread, for one printer object. Made even
// when the bus cannot be reached; its calls then fail with the reason logged.
// Holds `clock` (which must outlive it) while a call to BlueZ is answered.
std::unique_ptr<AccessoryHost> make_bluez_host(Clock& clock);

}  // namespace quillkit::platform
