// Limits of the file download.
#pragma once

#include <cstddef>

namespace quillkit::detail {

// The largest file downloadpcx sends. The file is read whole into memory
// before the first write, so the size must stay bounded; this is far beyond
// any printer's file memory and still small for the host.
inline constexpr std::size_t kMaxDownloadBytes = std::size_t{64} * 1024 * 1024;

// On the links whose profile sends downloads in packets, a file of this size
// or more goes out in packets of this size, each after a pause of 2.3 s, so
// that the printer can store one packet before the next arrives.
inline constexpr std::size_t kDownloadPacketBytes = 50000;

}  // namespace quillkit::detail
