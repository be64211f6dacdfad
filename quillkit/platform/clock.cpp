#include "quillkit/platform/clock.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace quillkit::platform {
namespace {

class RealClock final : public Clock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }

  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                  TimePoint deadline, const std::function<bool()>& done) override {
    if (deadline == TimePoint::max()) {
      cv.wait(lock, done);
      return true;
    }
    // The steady clock: never shorter than asked, whatever the system clock
    // does meanwhile.
    return cv.wait_until(lock, deadline, done);
  }

  short wait_fd(int fd, short events, TimePoint deadline) override {
    for (;;) {
      int timeout_ms = -1;
      if (deadline != TimePoint::max()) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= Duration::zero()) {
          timeout_ms = 0;
        } else {
          const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
          timeout_ms = static_cast<int>(std::min<long long>(ms, 24LL * 60 * 60 * 1000));
        }
      }
      pollfd pfd{fd, events, 0};
      const int ready = poll(&pfd, 1, timeout_ms);
      if (ready > 0) return pfd.revents;
      if (ready < 0 && errno != EINTR) return POLLERR;
      if (ready == 0 && timeout_ms == 0) return 0;
      if (ready == 0 && std::chrono::steady_clock::now() >= deadline) return 0;
    }
  }
};

RealClock real;

}  // namespace

Clock& real_clock() { return real; }

ClockHold::ClockHold(Clock& clock) : clock_(clock) { clock_.hold(); }

void ClockHold::release() {
  if (!released_.exchange(true)) clock_.release();
}

Duration to_duration(double seconds) {
  if (!(seconds > 0)) return Duration::zero();
  if (seconds > kMaxWaitSeconds) seconds = kMaxWaitSeconds;
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

TimePoint Clock::deadline_after(double seconds) { return now() + to_duration(seconds); }

void Clock::sleep_seconds(double seconds) {
  const auto duration = to_duration(seconds);
  if (duration == Duration::zero()) return;
  std::mutex mu;
  std::condition_variable cv;
  std::unique_lock lock(mu);
  wait_until(lock, cv, now() + duration, [] { return false; });
}

}  // namespace quillkit::platform
