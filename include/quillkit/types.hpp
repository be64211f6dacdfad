// Types shared by every printer class of quillkit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "quillkit/export.hpp"

namespace quillkit {

// Result code of open, close and command operations: 1 done (the bytes were
// handed to the link, or the port opened or closed), -1 the link cannot be used,
// the port did not open or a text cannot be represented in the operation's
// encoding, -2 (WiFi senders only) the output stream had no free space at the
// moment of the call and nothing was written.
using Result = std::intptr_t;

// The link states that stream_Status() reports when the link can be used (it
// gives -1 when it cannot): on the stream links the output stream's status,
// on BLE kStreamOpen while the radio is on and kStreamNotOpen while it is off.
enum StreamStatus : int {
  kStreamNotOpen = 0,
  kStreamOpening = 1,
  kStreamOpen = 2,
  kStreamReading = 3,
  kStreamWriting = 4,
  kStreamAtEnd = 5,  // the peer ended the connection
  kStreamClosed = 6,
  kStreamError = 7,  // the connection failed or was reset
};

// A byte buffer as written to or read from a link.
using Bytes = std::vector<std::uint8_t>;

// An RGBA raster, 4 bytes a pixel in the order R G B A, rows from the top, no
// padding between rows. One pixel is one printer dot.
struct QUILLKIT_EXPORT Image {
  Image() = default;
  // A fully transparent image of the given size.
  Image(std::size_t width, std::size_t height);

  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<std::uint8_t> rgba;

  bool empty() const { return width == 0 || height == 0; }
};

// Whether two UUID texts name the same UUID: letter case does not matter
// (BlueZ reports them in lower case, the printer classes' constants are
// written as the printers' documents write them).
QUILLKIT_EXPORT bool same_uuid(std::string_view a, std::string_view b);

// Where a diagnostic line would go on the original platform: the console
// (standard output) or the system log.
enum class LogChannel { console, system };

// Replaces the process-wide receiver of the library's diagnostic lines. The
// default writes console lines to standard output and system lines to syslog.
// An empty function restores the default. The sink may be called from any
// thread, including the printers' reader threads, but never with a printer's
// lock held; it must not call back into the printer that logged.
QUILLKIT_EXPORT void set_log_sink(std::function<void(LogChannel, std::string_view line)> sink);

// The library's version: 1.0, and an identification text naming it.
QUILLKIT_EXPORT extern const double quillkitVersionNumber;
QUILLKIT_EXPORT extern const char quillkitVersionString[];

}  // namespace quillkit

using quillkit::quillkitVersionNumber;
using quillkit::quillkitVersionString;
