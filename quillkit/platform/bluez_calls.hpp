// What the BlueZ clients share about asynchronous D-Bus calls through
// sdbus-c++: keeping a call's handle, and holding the clock until its reply.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <memory>
#include <mutex>
#include <vector>

#include "quillkit/platform/clock.hpp"

namespace quillkit::platform {

// The handles of asynchronous calls in flight. sdbus-c++ shares a call's state
// between the handle and its event loop; whichever lets go last frees it. Each
// handle is kept here until its call has finished (its reply handled), so that
// the caller's side is the one that frees the state, never racing the loop.
// Thread-safe.
class PendingCalls {
 public:
  void keep(sdbus::PendingAsyncCall call) {
    std::lock_guard lock(mu_);
    std::erase_if(calls_, [](const sdbus::PendingAsyncCall& c) { return !c.isPending(); });
    calls_.push_back(std::move(call));
  }
  // After the event loop has ended.
  void clear() {
    std::lock_guard lock(mu_);
    calls_.clear();
  }

 private:
  std::mutex mu_;
  std::vector<sdbus::PendingAsyncCall> calls_;  // guarded by mu_
};

// `handler` as a reply handler that holds `clock` from the sending of its
// call until it has run: BlueZ answers from another process,
// which a test clock cannot see. The signals that BlueZ sends before a reply
// (a connection's properties, the notifications that answer a write) are
// handled in that time too. The hold ends when the handler has run, or when
// sdbus-c++ drops the handler of a call that went unanswered with its proxy.
// The real clock ignores holds.
template <typename... Results, typename Handler>
auto holding(Clock& clock, Handler handler) {
  return [hold = std::make_shared<ClockHold>(clock), handler = std::move(handler)](
             const sdbus::Error* error, Results... results) {
    handler(error, results...);
    hold->release();
  };
}

}  // namespace quillkit::platform
