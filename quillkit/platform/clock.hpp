// Time as a service: every wait of the library (the fixed pauses, the answer
// waits, the polling steps, the stall bound, the open bound) goes through the
// process's clock, so that a test can put a clock of its own in its place.
//
// The real clock is the steady clock and the thread's own blocking calls. A
// test clock (tests/support/test_clock.hpp) keeps virtual time that moves only
// when every thread waiting on it is blocked and nothing else is happening, so
// that a 2.0 s close costs no wall time and the order of events stays exact.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace quillkit::platform {

// The longest wait the library takes: a longer request is cut to this.
inline constexpr double kMaxWaitSeconds = 24.0 * 60 * 60;

using Duration = std::chrono::steady_clock::duration;
using TimePoint = std::chrono::steady_clock::time_point;

// Notes for implementers: every member may be called from any thread at any
// time, including from the reader threads of the byte streams; a wait must
// return once `done()` holds after a notification of `cv`, or once its
// deadline has passed on this clock, whichever comes first.
class Clock {
 public:
  virtual ~Clock() = default;

  virtual TimePoint now() = 0;

  // Waits on `cv` (with `lock` held on entry and exit, as
  // std::condition_variable::wait_until) until `done()` returns true or
  // `deadline` passes. `done` is evaluated with the lock held. Returns done().
  // TimePoint::max() waits for `done` alone.
  virtual bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          TimePoint deadline, const std::function<bool()>& done) = 0;

  // Waits until descriptor `fd` reports one of `events` (as poll(2)) or
  // `deadline` passes. Returns the events seen, or 0 at the deadline.
  virtual short wait_fd(int fd, short events, TimePoint deadline) = 0;

  // Tells the clock that something happened that the waiting threads may be
  // about to see (bytes arrived, an event was dispatched). The real clock
  // ignores it; a test clock holds virtual time still for a moment.
  virtual void note_activity() {}
  // Work in progress that waiting threads may be about to see (a stream
  // event being handled, a peer answering): a test clock does not move
  // between hold() and the matching release(). The real clock ignores both.
  virtual void hold() {}
  virtual void release() {}
  // Descriptors whose pending input means that a thread is about to act on
  // it: a test clock does not move while one of them is readable. The real
  // clock ignores them.
  virtual void watch_fd(int /*fd*/) {}
  virtual void unwatch_fd(int /*fd*/) {}
};

// Holds the process's clock still for the life of the object, or until
// release() (see Clock::hold). Keep the scope short: it stops a test clock
// for everyone.
class ClockHold {
 public:
  ClockHold();
  ~ClockHold() { release(); }
  ClockHold(const ClockHold&) = delete;
  ClockHold& operator=(const ClockHold&) = delete;
  // Ends the hold early; idempotent, from any thread.
  void release();

 private:
  Clock& clock_;
  std::atomic<bool> released_{false};
};

// The process's clock: the real one unless a test has put another in place.
Clock& clock();
// The real clock.
Clock& real_clock();
// Test seam: makes `replacement` the process's clock (nullptr: the real one).
// Call it while no library wait is in progress; `replacement` must outlive
// its use.
void set_clock(Clock* replacement);

// `seconds` as a duration. Zero, negative and NaN values give zero; values
// above kMaxWaitSeconds give kMaxWaitSeconds.
Duration to_duration(double seconds);

// Now, on the process's clock.
inline TimePoint now() { return clock().now(); }

// The deadline `seconds` from now on the process's clock.
inline TimePoint deadline_after(double seconds) { return now() + to_duration(seconds); }

// Blocks the calling thread for `seconds` on the process's clock, clamped as
// to_duration clamps; never shorter than asked.
void sleep_seconds(double seconds);

// Waits on `cv` through the process's clock until `done()` or `deadline`.
inline bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                       TimePoint deadline, const std::function<bool()>& done) {
  return clock().wait_until(lock, cv, deadline, done);
}

}  // namespace quillkit::platform
