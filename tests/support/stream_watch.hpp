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
#include "support/test_clock.hpp"

namespace quillkit::testing {

// While alive, counts the finished passes of every stream's reader thread
// over arrived bytes, and records every write call of every stream in order,
// with its time: one write is one write, however the peer receives it.
// hold() stops the reader at the start of its next pass and every later one:
// bytes that arrive meanwhile stay unread on the input stream ("still
// arriving"), and time goes on. A hold lasts until release(), the destructor,
// or 5 s at most, so a failing test cannot hang.
class StreamWatch {
 public:
  struct Write {
    std::string bytes;
    platform::TimePoint at;  // when the write call returned, on the test process's clock
  };

  StreamWatch() { platform::add_stream_observer(state_); }
  ~StreamWatch() {
    release();
    platform::remove_stream_observer(state_.get());
  }
  StreamWatch(const StreamWatch&) = delete;
  StreamWatch& operator=(const StreamWatch&) = delete;

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
  std::vector<Write> writes() {
    std::lock_guard lock(state_->mu);
    return state_->writes;
  }
  // The bytes of each write.
  std::vector<std::string> texts() {
    std::vector<std::string> all;
    for (const Write& w : writes()) all.push_back(w.bytes);
    return all;
  }

 private:
  struct State : platform::StreamObserver {
    void on_event(int fd, platform::StreamSide, int event, bool handled) override {
      if (event != platform::kEventHasBytesAvailable) return;
      std::unique_lock lock(mu);
      passes += handled;
      cv.notify_all();
      if (handled || !holding) return;
      // Input pending on a held reader is nobody's next step.
      clock().unwatch_fd(fd);
      cv.wait_for(lock, std::chrono::seconds(5), [&] { return !holding; });
      clock().watch_fd(fd);
    }
    void on_write(int, std::span<const std::uint8_t> taken) override {
      std::lock_guard lock(mu);
      writes.push_back({std::string(taken.begin(), taken.end()), clock().now()});
    }
    std::mutex mu;
    std::condition_variable cv;
    std::size_t passes = 0;
    bool holding = false;
    std::vector<Write> writes;
  };
  void set_holding(bool holding) {
    {
      std::lock_guard lock(state_->mu);
      state_->holding = holding;
    }
    state_->cv.notify_all();
  }
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

using ReaderWatch = StreamWatch;
using WriteLog = StreamWatch;

}  // namespace quillkit::testing
