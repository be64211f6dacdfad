// Write turns: the writes of one printer object go out one after the other,
// never interleaved, whatever the link's write loop (whole writes on a stream,
// 20-byte pieces on BLE).
#pragma once

#include <condition_variable>
#include <mutex>

#include "quillkit/commands/link.hpp"
#include "quillkit/platform/clock.hpp"

namespace quillkit::detail {

// A write that makes no progress for this long gives up with -1, so that a
// turn is always released and a peer that stops reading cannot hold a caller.
inline constexpr double kWriteStallSeconds = 5.0;

// The turn state of one printer object, guarded by the object's mutex (passed
// in, and held only briefly: never across the write itself). A writer waits
// for its turn on the object's clock.
class WriteTurns {
 public:
  WriteTurns(std::mutex& mu, platform::Clock& clock) : mu_(mu), clock_(clock) {}
  WriteTurns(const WriteTurns&) = delete;
  WriteTurns& operator=(const WriteTurns&) = delete;

  // Holds the turn for its lifetime. Waiting for it is bounded by the holder's
  // own stall bound.
  class [[nodiscard]] Turn {
   public:
    explicit Turn(WriteTurns& turns) : turns_(turns) {
      std::unique_lock lock(turns_.mu_);
      turns_.clock_.wait_until(lock, turns_.cv_, platform::TimePoint::max(),
                               [this] { return !turns_.writing_; });
      turns_.writing_ = true;
    }
    ~Turn() {
      {
        std::lock_guard lock(turns_.mu_);
        turns_.writing_ = false;
      }
      turns_.cv_.notify_all();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    WriteTurns& turns_;
  };

 private:
  std::mutex& mu_;
  platform::Clock& clock_;
  std::condition_variable cv_;
  bool writing_ = false;  // guarded by mu_
};

// The frame every link's write primitive runs in: an empty buffer writes
// nothing (a reply it starts still begins); otherwise `body` runs holding the
// object's write turn, after `link.begin_reply()` when `start` asks for it, so
// that the reply starts right before the first byte goes out. Returns 1 for an
// empty buffer, else what `body` returns.
template <class Body>
Result write_in_turn(WriteTurns& turns, Link& link, std::size_t size, ReplyStart start,
                     Body&& body) {
  if (size == 0) {
    if (start == ReplyStart::begin) link.begin_reply();
    return 1;
  }
  WriteTurns::Turn turn(turns);
  if (start == ReplyStart::begin) link.begin_reply();
  return body();
}

}  // namespace quillkit::detail
