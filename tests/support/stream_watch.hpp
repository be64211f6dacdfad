// Watching the library's byte streams through their observer seam
// (platform::add_stream_observer): the reader's passes, and each write.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "quillkit/platform/byte_stream.hpp"
#include "quillkit/platform/clock.hpp"

namespace quillkit::testing {

// Registers an observer of type T for the life of the object; T's members are
// shared with the stream threads.
template <class T>
class Observed {
 public:
  Observed() : observer_(std::make_shared<T>()) { platform::add_stream_observer(observer_); }
  ~Observed() { platform::remove_stream_observer(observer_.get()); }
  Observed(const Observed&) = delete;
  Observed& operator=(const Observed&) = delete;

 protected:
  const std::shared_ptr<T> observer_;
};

struct ReaderState : platform::StreamObserver {
  void on_event(int fd, platform::StreamSide, int event, bool handled) override {
    if (event != platform::kEventHasBytesAvailable) return;
    std::unique_lock lock(mu);
    if (handled) {
      ++passes;
      cv.notify_all();
      return;
    }
    if (!holding) return;
    // Input pending on a held reader is nobody's next step.
    platform::clock().unwatch_fd(fd);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return !holding; });
    platform::clock().watch_fd(fd);
  }
  std::mutex mu;
  std::condition_variable cv;
  std::size_t passes = 0;
  bool holding = false;
};

// Counts the finished passes of every stream's reader thread over arrived
// bytes, and can hold the reader at the start of such a pass: bytes that
// arrive while it is held stay unread on the input stream ("still
// arriving"), and time goes on meanwhile. A hold lasts until release(), the
// destructor, or 5 s at most, so a failing test cannot hang.
class ReaderWatch : Observed<ReaderState> {
 public:
  ~ReaderWatch() { release(); }

  // Holds the reader at its next pass and every later one.
  void hold() { set_holding(true); }
  void release() { set_holding(false); }
  std::size_t passes() {
    std::lock_guard lock(observer_->mu);
    return observer_->passes;
  }
  // Waits until `count` reader passes have finished in all, or 5 s pass.
  bool wait_for_passes(std::size_t count) {
    std::unique_lock lock(observer_->mu);
    return observer_->cv.wait_for(lock, std::chrono::seconds(5),
                                  [&] { return observer_->passes >= count; });
  }

 private:
  void set_holding(bool holding) {
    {
      std::lock_guard lock(observer_->mu);
      observer_->holding = holding;
    }
    observer_->cv.notify_all();
  }
};

struct WriteState : platform::StreamObserver {
  void on_write(int, std::span<const std::uint8_t> taken) override {
    std::lock_guard lock(mu);
    writes.push_back({std::string(taken.begin(), taken.end()), platform::now()});
  }
  struct Write {
    std::string bytes;
    platform::TimePoint at;  // when the write call returned, on the process's clock
  };
  std::mutex mu;
  std::vector<Write> writes;
};

// Every write call of every stream of the process, in order, with its time:
// one write is one write, however the peer happens to receive it.
class WriteLog : Observed<WriteState> {
 public:
  using Write = WriteState::Write;
  std::vector<Write> writes() {
    std::lock_guard lock(observer_->mu);
    return observer_->writes;
  }
  // The bytes of each write.
  std::vector<std::string> texts() {
    std::vector<std::string> all;
    for (const Write& w : writes()) all.push_back(w.bytes);
    return all;
  }
};

}  // namespace quillkit::testing
