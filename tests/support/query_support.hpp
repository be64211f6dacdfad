// Support for the query tests: a hold on a printer's reader thread, the
// shared WiFi suite with it, and a printer over a real stream link with a
// profile of the test's choosing.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/links/profiles.hpp"
#include "quillkit/links/stream_link.hpp"
#include "quillkit/platform/byte_stream.hpp"
#include "quillkit/printer.hpp"
#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/wifi_suite.hpp"

namespace quillkit::testing {

// Counts the finished passes of every stream's reader thread over arrived
// bytes, and can hold the reader at the start of such a pass: bytes that
// arrive while it is held stay unread on the input stream ("still
// arriving"), and time goes on meanwhile.
// A hold lasts until release(), the destructor, or 5 s at most, so a failing
// test cannot hang. Installs itself as the stream event observer while alive.
class ReaderWatch {
 public:
  ReaderWatch() : state_(std::make_shared<State>()) {
    platform::set_event_observer(
        [state = state_](int fd, platform::StreamSide, int event, bool handled) {
          if (event != platform::kEventHasBytesAvailable) return;
          std::unique_lock lock(state->mu);
          if (handled) {
            ++state->passes;
            state->cv.notify_all();
            return;
          }
          if (!state->holding) return;
          // Input pending on a held reader is nobody's next step.
          platform::clock().unwatch_fd(fd);
          state->cv.wait_for(lock, std::chrono::seconds(5), [&] { return !state->holding; });
          platform::clock().watch_fd(fd);
        });
  }
  ~ReaderWatch() {
    release();
    platform::set_event_observer(nullptr);
  }
  ReaderWatch(const ReaderWatch&) = delete;
  ReaderWatch& operator=(const ReaderWatch&) = delete;

  // Holds the reader at its next pass and every later one.
  void hold() { set_holding(true); }
  void release() { set_holding(false); }
  std::size_t passes() {
    std::lock_guard lock(state_->mu);
    return state_->passes;
  }
  // Waits until `count` reader passes have finished in all, or 5 s pass.
  bool wait_for_passes(std::size_t count) {
    std::unique_lock lock(state_->mu);
    return state_->cv.wait_for(lock, std::chrono::seconds(5),
                               [&] { return state_->passes >= count; });
  }

 private:
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::size_t passes = 0;
    bool holding = false;
  };
  void set_holding(bool holding) {
    {
      std::lock_guard lock(state_->mu);
      state_->holding = holding;
    }
    state_->cv.notify_all();
  }
  std::shared_ptr<State> state_;
};

// `text` one byte a piece: with a gap between the pieces, an answer that
// keeps arriving for a while.
inline std::vector<std::string> one_byte_pieces(std::string_view text) {
  std::vector<std::string> pieces;
  for (const char c : text) pieces.emplace_back(1, c);
  return pieces;
}

// The shared WiFi suite: each test also starts with no answer rules and has
// a reader watch of its own. Tests that close the link use their own object.
class OpenWiFiTest : public WiFiSuite {
 protected:
  void SetUp() override {
    WiFiSuite::SetUp();
    fake_->clear_answers();
  }
  static FakePrinter& fake() { return *fake_; }
  static WiFi& printer() { return *printer_; }

  ReaderWatch reader_;
};

// A case of a table-driven test: its name stands for it in test names and
// listings (with ::testing::PrintToStringParamName()).
struct NamedCase {
  const char* name;
  friend std::ostream& operator<<(std::ostream& os, const NamedCase& c) { return os << c.name; }
};

// The table-driven query tests over the shared WiFi suite.
template <class Case>
class QueryTableTest : public OpenWiFiTest, public ::testing::WithParamInterface<Case> {};

// A printer over a real TCP stream link with the Bluetooth receive rules and
// the differences of `profile`: the operations see it exactly as they see a
// shipped class's profile. `profile` must outlive the object.
class ProfiledPrinter final : public Printer {
 public:
  explicit ProfiledPrinter(const detail::Profile& profile)
      : ProfiledPrinter(profile, std::make_unique<detail::StreamLink>(detail::kBluetoothRules)) {}
  ~ProfiledPrinter() override { link_->close(); }

  // Connects to 127.0.0.1:port; true once the stream is open (3 s at most).
  bool open(std::uint16_t port) {
    link_->attach(platform::open_tcp_stream("127.0.0.1", port, link_->handler()));
    return wait_until([&] { return link_->stream_status() == platform::kStreamOpen; }, 3);
  }

 private:
  ProfiledPrinter(const detail::Profile& profile, std::unique_ptr<detail::StreamLink> link)
      : Printer(std::make_unique<detail::PrinterCore>(profile, *link)), link_(std::move(link)) {}

  std::unique_ptr<detail::StreamLink> link_;
};

}  // namespace quillkit::testing
