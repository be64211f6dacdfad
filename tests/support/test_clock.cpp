#include "support/test_clock.hpp"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

namespace quillkit::testing {
namespace {

// The step in which waiters look at virtual time again, in real time: a
// backstop for a wake-up that raced with the start of a wait.
constexpr auto kRecheck = std::chrono::milliseconds(1);
// How long unread input on a watched descriptor holds time still at most.
constexpr auto kPendingLimit = std::chrono::milliseconds(500);

std::chrono::milliseconds settle_from_environment() {
  if (const char* value = std::getenv("QUILLKIT_TEST_CLOCK_SETTLE_MS")) {
    const long ms = std::strtol(value, nullptr, 10);
    if (ms > 0 && ms < 10000) return std::chrono::milliseconds(ms);
  }
  return std::chrono::milliseconds(20);
}

std::atomic<TestClock*> alive{nullptr};

}  // namespace

platform::Clock& clock() {
  TestClock* test_clock = alive.load(std::memory_order_acquire);
  return test_clock ? static_cast<platform::Clock&>(*test_clock) : platform::real_clock();
}

const platform::Env& env() {
  TestClock* test_clock = alive.load(std::memory_order_acquire);
  return test_clock ? test_clock->env() : platform::default_env();
}

TestClock::TestClock() : TestClock(settle_from_environment()) {}

TestClock::TestClock(std::chrono::milliseconds settle)
    : settle_(settle),
      now_(platform::TimePoint{} + std::chrono::hours(1)),
      last_activity_(Real::now()),
      env_(platform::linux_env(*this)) {
  advancer_ = std::jthread([this](std::stop_token stop) { run(stop); });
  alive.store(this, std::memory_order_release);
}

TestClock::~TestClock() {
  TestClock* self = this;
  alive.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  advancer_.request_stop();
  changed_.notify_all();
  advancer_.join();
}

void TestClock::wake_waiters_locked() {
  // Under mu_: a waiter leaves (and its condition variable may end) only
  // after taking mu_.
  for (const auto& w : waiters_) w.cv->notify_all();
}

platform::TimePoint TestClock::now() {
  std::lock_guard lock(mu_);
  return now_;
}

std::list<TestClock::Waiter>::iterator TestClock::enter(platform::TimePoint deadline,
                                                         std::condition_variable* cv) {
  std::lock_guard lock(mu_);
  last_activity_ = Real::now();
  waiters_.push_back({deadline, cv});
  ++entries_;
  changed_.notify_all();
  return std::prev(waiters_.end());
}

void TestClock::leave(std::list<Waiter>::iterator waiter) {
  std::lock_guard lock(mu_);
  waiters_.erase(waiter);
  last_activity_ = Real::now();
}

bool TestClock::wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                           platform::TimePoint deadline, const std::function<bool()>& done) {
  const auto waiter = enter(deadline, &cv);
  bool result = done();
  while (!result && now() < deadline) {
    cv.wait_for(lock, kRecheck);
    result = done();
  }
  leave(waiter);
  return result;
}

short TestClock::wait_fd(int fd, short events, platform::TimePoint deadline) {
  std::condition_variable unused;
  const auto waiter = enter(deadline, &unused);
  short seen = 0;
  for (;;) {
    pollfd pfd{fd, events, 0};
    if (poll(&pfd, 1, 0) > 0) {
      seen = pfd.revents;
      break;
    }
    if (now() >= deadline) break;
    pfd.revents = 0;
    if (poll(&pfd, 1, static_cast<int>(kRecheck.count())) > 0) {
      seen = pfd.revents;
      break;
    }
  }
  leave(waiter);
  return seen;
}

void TestClock::note_activity() {
  std::lock_guard lock(mu_);
  last_activity_ = Real::now();
}

void TestClock::hold() {
  std::lock_guard lock(mu_);
  ++holds_;
  last_activity_ = Real::now();
}

void TestClock::release() {
  std::lock_guard lock(mu_);
  --holds_;
  last_activity_ = Real::now();
  changed_.notify_all();
}

void TestClock::watch_fd(int fd) {
  std::lock_guard lock(mu_);
  watched_.insert(fd);
  last_activity_ = Real::now();
}

void TestClock::unwatch_fd(int fd) {
  std::lock_guard lock(mu_);
  if (auto it = watched_.find(fd); it != watched_.end()) watched_.erase(it);
}

bool TestClock::watched_input_pending() {
  std::vector<pollfd> fds;
  {
    std::lock_guard lock(mu_);
    for (const int fd : watched_) fds.push_back({fd, POLLIN, 0});
  }
  if (fds.empty()) return false;
  if (poll(fds.data(), fds.size(), 0) <= 0) return false;
  // Hang-ups and errors are pending input too only until a reader has seen
  // them; a descriptor that stays in that state must not stop time for good.
  return std::any_of(fds.begin(), fds.end(), [](const pollfd& p) { return p.revents & POLLIN; });
}

void TestClock::run(std::stop_token stop) {
  std::unique_lock lock(mu_);
  auto pending_since = Real::time_point::max();
  while (!stop.stop_requested()) {
    const auto quiet_since = last_activity_;
    auto next = platform::TimePoint::max();
    for (const auto& w : waiters_) next = std::min(next, w.deadline);
    if (next == platform::TimePoint::max()) {
      // Nobody waits for a time: sleep until the set of waiters changes.
      const auto seen = entries_;
      changed_.wait(lock, stop, [&] { return entries_ != seen; });
      continue;
    }
    if (holds_ > 0) {
      changed_.wait(lock, stop, [&] { return holds_ == 0; });
      continue;
    }
    const auto quiet_until = quiet_since + settle_;
    if (Real::now() < quiet_until) {
      changed_.wait_until(lock, stop, quiet_until, [] { return false; });
      continue;
    }
    lock.unlock();
    const bool pending = watched_input_pending();
    lock.lock();
    // Input that stays unread for long has no reader coming (a peer's end
    // of stream that nobody looks at): time goes on regardless.
    if (pending) {
      if (pending_since == Real::time_point::max()) pending_since = Real::now();
      if (Real::now() - pending_since < kPendingLimit) {
        last_activity_ = Real::now();
        continue;
      }
    }
    pending_since = Real::time_point::max();
    if (last_activity_ != quiet_since || holds_ > 0) continue;
    if (next > now_) now_ = next;
    last_activity_ = Real::now();
    wake_waiters_locked();
  }
}

}  // namespace quillkit::testing
