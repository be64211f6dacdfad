#include <utility>

#include "quillkit/platform/env.hpp"

namespace quillkit::platform {

Env linux_env(Clock& clock) {
  return Env{
      .clock = clock,
      .open_tcp_stream =
          [&clock](std::string host, std::uint32_t port, ByteStream::EventHandler handler) {
            return open_tcp_stream(clock, std::move(host), port, std::move(handler));
          },
      .open_fd_stream =
          [&clock](int fd, std::string name, ByteStream::EventHandler handler) {
            return open_fd_stream(clock, fd, std::move(name), std::move(handler));
          },
      .open_serial_stream =
          [&clock](const std::string& path, ByteStream::EventHandler handler) {
            return open_serial_stream(clock, path, std::move(handler));
          },
      .make_accessory_host = [&clock] { return make_bluez_host(clock); },
      .open_ble_central =
          [&clock](BleCentral::Events events) {
            return open_ble_central(std::move(events), clock);
          },
  };
}

const Env& default_env() {
  static const Env env = linux_env(real_clock());
  return env;
}

}  // namespace quillkit::platform
