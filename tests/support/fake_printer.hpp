// A fake printer on 127.0.0.1 for the link tests: it records every chunk it
// receives with its arrival time and can answer, answer late or in pieces,
// stay silent, stop reading, close or reset the connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillkit/types.hpp"

namespace quillkit::testing {

using Clock = std::chrono::steady_clock;

struct Chunk {
  Bytes bytes;
  Clock::time_point at;
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

// Thread-safety: all members are thread-safe. One server thread accepts,
// reads and answers; the latest accepted connection is the current client.
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
  // Sends bytes to the current client now.
  void send(std::string_view bytes);
  // Stops or resumes reading from the clients (their writes then back up).
  void set_reading(bool reading);
  // Closes the current client connection (FIN), or resets it (RST).
  void close_client();
  void reset_client();

  std::vector<Chunk> chunks();
  std::string received();
  std::size_t connections();
  std::size_t open_connections();
  // Waits until at least `count` bytes arrived in all, or `seconds` pass.
  bool wait_for_bytes(std::size_t count, double seconds = 5);
  // Waits until `count` connections were accepted, or `seconds` pass.
  bool wait_for_connections(std::size_t count, double seconds = 5);
  // Forgets what was received so far.
  void clear();

 private:
  struct Pending {
    Clock::time_point at;
    std::string bytes;
  };
  void run(std::stop_token stop);
  void wake();

  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::uint16_t port_ = 0;

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Chunk> chunks_;
  std::string since_answer_;
  std::vector<AnswerRule> rules_;
  std::vector<Pending> pending_;
  std::vector<int> clients_;
  std::size_t accepted_ = 0;
  bool reading_ = true;
  enum class Drop { none, close, reset } drop_ = Drop::none;
  std::jthread thread_;
};

// Collects the library's diagnostic lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines();
  bool contains(std::string_view text);

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Polls `condition` every 10 ms until it holds or `seconds` pass; returns
// whether it held.
template <typename Condition>
bool wait_until(Condition condition, double seconds = 5) {
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Seconds elapsed since `start`.
inline double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace quillkit::testing
