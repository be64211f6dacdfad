#include "quillkit/platform/clock.hpp"

#include <cmath>
#include <thread>

namespace quillkit::platform {

std::chrono::steady_clock::duration to_duration(double seconds) {
  if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
  if (seconds > kMaxWaitSeconds) seconds = kMaxWaitSeconds;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

void sleep_seconds(double seconds) {
  const auto duration = to_duration(seconds);
  if (duration == std::chrono::steady_clock::duration::zero()) return;
  // sleep_until on the steady clock: never shorter than asked, whatever the
  // system clock does meanwhile.
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + duration);
}

}  // namespace quillkit::platform
