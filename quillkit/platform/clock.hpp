// Blocking waits of the calling thread, in seconds.
#pragma once

#include <chrono>

namespace quillkit::platform {

// The longest wait the library takes: a longer request is cut to this.
inline constexpr double kMaxWaitSeconds = 24.0 * 60 * 60;

// Blocks the calling thread for `seconds`. Zero, negative and NaN values return
// at once; values above kMaxWaitSeconds wait kMaxWaitSeconds.
void sleep_seconds(double seconds);

// `seconds` as a steady-clock duration, clamped as sleep_seconds clamps.
std::chrono::steady_clock::duration to_duration(double seconds);

}  // namespace quillkit::platform
