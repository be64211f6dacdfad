// A fake printer on 127.0.0.1 for the link tests: it records what it receives
// and can answer, answer late or in pieces, stay silent, stop reading, close
// or reset the connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillkit/platform/clock.hpp"
#include "quillkit/types.hpp"
#include "support/test_clock.hpp"

namespace quillkit::testing {

// The test process's clock as the tests read it: virtual time in the unit
// tests (support/test_clock.hpp), real time in the slow ones.
struct Clock {
  using time_point = platform::TimePoint;
  using duration = platform::Duration;
  static time_point now() { return clock().now(); }
};

// An answer the printer sends when what it received since the last answer
// ends with `trigger`: `pieces` in order, the first after `delay` seconds and
// each further one `gap` seconds later.
struct AnswerRule {
  std::string trigger;
  std::vector<std::string> pieces;
  double delay = 0;
  double gap = 0.05;
};

// Thread-safety: all members are thread-safe. One server thread accepts and
// reads, one more sends the answers when they are due on the library's clock;
// the latest accepted connection is the current client. The client sockets
// are watched by the clock, so that virtual time stands still while a request
// is unread.
class FakePrinter {
 public:
  FakePrinter();
  ~FakePrinter();
  FakePrinter(const FakePrinter&) = delete;
  FakePrinter& operator=(const FakePrinter&) = delete;

  std::uint16_t port() const { return port_; }

  void add_answer(AnswerRule rule);
  // Forgets every answer rule and drops the answers not sent yet.
  void clear_answers();
  // Stops or resumes reading from the clients (their writes then back up).
  void set_reading(bool reading);
  // Closes the current client connection (FIN), or resets it (RST).
  void close_client();
  void reset_client();

  std::string received();
  std::size_t connections();
  std::size_t open_connections();
  // Waits until at least `count` bytes arrived in all, or `seconds` pass.
  bool wait_for_bytes(std::size_t count, double seconds = 5);
  // Forgets what was received so far.
  void clear();

 private:
  struct Pending {
    Clock::time_point at;
    std::string bytes;
  };
  void run(std::stop_token stop);
  void answer(std::stop_token stop);
  void wake();
  void close_client_locked(int fd);

  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::uint16_t port_ = 0;

  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable answer_cv_;
  // Holds the clock while an answer is due and not yet sent (see answer()).
  std::optional<platform::ClockHold> answer_hold_;
  std::string received_;
  std::string since_answer_;
  std::vector<AnswerRule> rules_;
  std::vector<Pending> pending_;
  std::vector<int> clients_;
  std::size_t accepted_ = 0;
  bool reading_ = true;
  enum class Drop { none, close, reset } drop_ = Drop::none;
  std::jthread thread_;
  std::jthread answer_thread_;
};

// Collects the library's diagnostic lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  bool contains(std::string_view text);

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Polls `condition` every 10 ms until it holds or `seconds` of real time
// pass; returns whether it held.
template <typename Condition>
bool wait_until(Condition condition, double seconds = 5) {
  using Real = std::chrono::steady_clock;
  const auto end =
      Real::now() + std::chrono::duration_cast<Real::duration>(std::chrono::duration<double>(seconds));
  while (!condition()) {
    if (Real::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Seconds between two times of the library's clock.
inline double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Seconds elapsed since `start` on the library's clock.
inline double since(Clock::time_point start) { return seconds_between(start, Clock::now()); }

}  // namespace quillkit::testing
