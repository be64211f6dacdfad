// Time as a service: every wait of the library (the fixed pauses, the answer
// waits, the polling steps, the stall bound, the open bound) goes through the
// clock of the printer object's services (platform/env.hpp), so that a test can
// give its objects a clock of its own.
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

  // The deadline `seconds` from now, clamped as to_duration clamps.
  TimePoint deadline_after(double seconds);
  // Blocks the calling thread for `seconds`, clamped as to_duration clamps;
  // never shorter than asked.
  void sleep_seconds(double seconds);

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

// Holds a clock still for the life of the object, or until release() (see
// Clock::hold). Keep the scope short: it stops a test clock for everyone.
class ClockHold {
 public:
  explicit ClockHold(Clock& clock);
  ~ClockHold() { release(); }
  ClockHold(const ClockHold&) = delete;
  ClockHold& operator=(const ClockHold&) = delete;
  // Ends the hold early; idempotent, from any thread.
  void release();

 private:
  Clock& clock_;
  std::atomic<bool> released_{false};
};

// The real clock: the steady clock and the thread's own blocking calls.
Clock& real_clock();

// `seconds` as a duration. Zero, negative and NaN values give zero; values
// above kMaxWaitSeconds give kMaxWaitSeconds.
Duration to_duration(double seconds);

}  // namespace quillkit::platform
