#include "callbacks.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quillkit::python {
namespace {

// Calls from library threads into Python, and whether the interpreter still takes them.
struct Gate {
  std::mutex mu;
  std::condition_variable idle;
  bool closed = false;
  int active = 0;
};

Gate& gate() {
  // Never destroyed: library threads may still look at it while the process exits.
  static Gate* g = new Gate;
  return *g;
}

// How long exit waits for callbacks in progress; one stuck in Python must not hold up the exit.
constexpr std::chrono::seconds kExitWait{5};

}  // namespace

CallbackEntry::CallbackEntry() {
  Gate& g = gate();
  std::lock_guard lock(g.mu);
  entered_ = !g.closed;
  if (entered_) ++g.active;
}

CallbackEntry::~CallbackEntry() {
  if (!entered_) return;
  Gate& g = gate();
  std::lock_guard lock(g.mu);
  if (--g.active == 0) g.idle.notify_all();
}

void close_callbacks() {
  Gate& g = gate();
  {
    std::lock_guard lock(g.mu);
    g.closed = true;
  }
  py::gil_scoped_release release;
  std::unique_lock lock(g.mu);
  g.idle.wait_for(lock, kExitWait, [&] { return g.active == 0; });
}

}  // namespace quillkit::python
