// A virtual printer's server that the test clock waits for.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "quillkit/platform/clock.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/test_clock.hpp"

namespace quillkit::testing {

// `options` with the server's descriptors watched by the test process's clock, and each block it
// receives counted as activity: time does not move while a request waits for the printer or
// while it answers.
inline VirtualServerOptions on_test_clock(VirtualServerOptions options = {}) {
  options.on_descriptor = [](int fd, bool reading) {
    if (reading) {
      clock().watch_fd(fd);
    } else {
      clock().unwatch_fd(fd);
    }
  };
  options.on_receive = [](std::string_view, std::span<const std::uint8_t>) {
    clock().note_activity();
  };
  return options;
}

}  // namespace quillkit::testing
