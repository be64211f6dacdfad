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
#include "support/stream_watch.hpp"

namespace quillkit::testing {

// `text` one byte a piece: with a gap between the pieces, an answer that
// keeps arriving for a while.
inline std::vector<std::string> one_byte_pieces(std::string_view text) {
  std::vector<std::string> pieces;
  for (const char c : text) pieces.emplace_back(1, c);
  return pieces;
}

// One fake printer and one WiFi printer connected to it, shared by the tests
// of a suite, so that the 1.5 s open is paid once per suite. Each test starts
// with the fake's record and answer rules cleared, and has a stream watch of
// its own. Tests that close the link use their own object.
class OpenWiFiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fake_ = std::make_unique<FakePrinter>();
    printer_ = std::make_unique<WiFi>(env());
    ASSERT_EQ(printer_->openport("127.0.0.1", fake_->port()), 1);
  }
  static void TearDownTestSuite() {
    printer_.reset();
    fake_.reset();
  }
  void SetUp() override {
    fake_->clear();
    fake_->clear_answers();
  }
  static FakePrinter& fake() { return *fake_; }
  static WiFi& printer() { return *printer_; }

  static inline std::unique_ptr<FakePrinter> fake_;
  static inline std::unique_ptr<WiFi> printer_;
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
      : ProfiledPrinter(profile,
                        std::make_unique<detail::StreamLink>(detail::kBluetoothRules, env())) {}
  ~ProfiledPrinter() override { link_->close(); }

  // Connects to 127.0.0.1:port; true once the stream is open (3 s at most).
  bool open(std::uint16_t port) {
    link_->attach(env().open_tcp_stream("127.0.0.1", port, link_->handler()));
    return wait_until([&] { return link_->stream_status() == platform::kStreamOpen; }, 3);
  }

 private:
  ProfiledPrinter(const detail::Profile& profile, std::unique_ptr<detail::StreamLink> link)
      : Printer(std::make_unique<detail::PrinterCore>(profile, *link, env())),
        link_(std::move(link)) {}

  std::unique_ptr<detail::StreamLink> link_;
};

}  // namespace quillkit::testing
