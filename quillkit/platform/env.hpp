// The platform services of a printer object, in one struct that the object is
// made with and hands to its link and its command core, in the manner of
// leveldb's Env: a test (or an embedder) gives an object a clock, streams or
// radios of its own without touching any other object. The printer classes'
// default constructors use default_env(), the Linux services on the real
// clock.
//
// Ownership: objects hold their Env by reference; the Env, and the clock it
// names, must outlive every object made with it. Thread-safety: the members
// may be called from any thread, at once; each service states its own rules.
//
// Notes for implementers: a replacement for one service starts from
// linux_env(clock) and sets that member only; what a member makes waits and
// holds on the Env's clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "quillkit/platform/accessory_host.hpp"
#include "quillkit/platform/ble_central.hpp"
#include "quillkit/platform/byte_stream.hpp"
#include "quillkit/platform/clock.hpp"

namespace quillkit::platform {

struct Env {
  // Every wait and clock hold of the object, of its link and of what they open.
  Clock& clock;
  // A TCP connection to host:port as a byte stream pair (the WiFi link).
  std::function<std::shared_ptr<ByteStream>(std::string host, std::uint32_t port,
                                            ByteStream::EventHandler handler)>
      open_tcp_stream;
  // The pair over a connected descriptor, which it takes over (a session's socket).
  std::function<std::shared_ptr<ByteStream>(int fd, std::string name,
                                            ByteStream::EventHandler handler)>
      open_fd_stream;
  // The pair over a serial device, or nullptr with the reason logged.
  std::function<std::shared_ptr<ByteStream>(const std::string& path,
                                            ByteStream::EventHandler handler)>
      open_serial_stream;
  // A new accessory host, for one Bluetooth object.
  std::function<std::unique_ptr<AccessoryHost>()> make_accessory_host;
  // A new BLE central delivering `events`, for one BLE object.
  std::function<std::unique_ptr<BleCentral>(BleCentral::Events events)> open_ble_central;
};

// The Linux services (descriptor streams, BlueZ on the system bus), waiting
// and holding on `clock`, which must outlive what they make.
Env linux_env(Clock& clock);

// linux_env(real_clock()), made on first use and kept for the process's life.
const Env& default_env();

}  // namespace quillkit::platform
