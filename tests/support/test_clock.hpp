// A clock for tests: virtual time that moves only when the process is quiet.
//
// While alive, a TestClock is the test process's clock (testing::clock()),
// and the printers and links that tests make with testing::env() wait on it. Its
// time starts at an arbitrary point and moves forward only when
//   - at least one thread waits on it with a deadline,
//   - no thread has started or ended a wait, or held the clock (a stream
//     event being handled, a peer answering), for `settle` of real time, and
//   - no watched descriptor (the input of every open byte stream, and any
//     descriptor a test watches, such as a fake printer's socket) has input
//     pending;
// then it jumps to the earliest deadline, which wakes that waiter. A 2.0 s
// close thus costs about `settle` of wall time, and the waits end in the
// order of their deadlines, as they would on the real clock.
//
// How to write a test on it: the unit tests' main makes one for the whole
// run; give testing::env() to every printer or link the test makes, and let
// peers that answer on their own threads watch their descriptors on
// testing::clock() (FakePrinter does) so that time does not move while their
// input is unread. Assert virtual times with
// testing::since() (support/fake_printer.hpp); assert no wall time at all.
//
// The settle time is 20 ms, or QUILLKIT_TEST_CLOCK_SETTLE_MS from the
// environment: it covers the scheduling delay between one thread's action and
// the next thread's, so a loaded machine (sanitizers) wants more.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "quillkit/platform/clock.hpp"
#include "quillkit/platform/env.hpp"

namespace quillkit::testing {

class TestClock final : public platform::Clock {
 public:
  TestClock();
  explicit TestClock(std::chrono::milliseconds settle);
  ~TestClock() override;
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

  platform::TimePoint now() override;
  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                  platform::TimePoint deadline, const std::function<bool()>& done) override;
  short wait_fd(int fd, short events, platform::TimePoint deadline) override;
  void note_activity() override;
  void hold() override;
  void release() override;
  void watch_fd(int fd) override;
  void unwatch_fd(int fd) override;

  // The Linux services on this clock.
  const platform::Env& env() const { return env_; }

 private:
  struct Waiter {
    platform::TimePoint deadline;
    std::condition_variable* cv;
  };
  using Real = std::chrono::steady_clock;

  std::list<Waiter>::iterator enter(platform::TimePoint deadline, std::condition_variable* cv);
  void leave(std::list<Waiter>::iterator waiter);
  bool watched_input_pending();
  void wake_waiters_locked();
  void run(std::stop_token stop);

  const std::chrono::milliseconds settle_;

  std::mutex mu_;
  std::condition_variable_any changed_;
  // Guarded by mu_:
  platform::TimePoint now_;
  std::list<Waiter> waiters_;
  std::multiset<int> watched_;
  Real::time_point last_activity_;
  int holds_ = 0;
  std::uint64_t entries_ = 0;  // waits begun, ever

  const platform::Env env_;
  std::jthread advancer_;
};

// The test process's clock: the TestClock alive (the unit tests' main makes
// one), else the real clock (the slow tests, on their own main).
platform::Clock& clock();
// The services on that clock: what tests give the printers and links they make.
const platform::Env& env();

}  // namespace quillkit::testing
