// Meaning of the printer's status byte, as printer_status_byte() returns it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/export.hpp"

namespace quillkit {

// The conditions a status byte reports. ready(), conditions() and text() read
// the named flags, so a state built by hand describes itself as well. A plain
// value: it holds no link state and is safe to use from any thread.
struct QUILLKIT_EXPORT PrinterState {
  std::uint8_t byte = 0;  // the status byte as received

  bool head_opened = false;    // bit 0
  bool paper_jam = false;      // bit 1
  bool out_of_paper = false;   // bit 2
  bool out_of_ribbon = false;  // bit 3
  bool paused = false;         // bit 4
  bool printing = false;       // bit 5
  bool cover_opened = false;   // bit 6
  bool other_error = false;    // bit 7

  // True when no condition is set (a status byte of 0). A printer that is
  // busy printing is not ready.
  bool ready() const { return conditions().empty(); }
  // The conditions that are set, in bit order, in lower-case words
  // ("head opened", "paper jam", "out of paper", "out of ribbon", "paused",
  // "printing", "cover opened", "other error"); empty when ready.
  std::vector<std::string_view> conditions() const;
  // "ready", or the conditions joined by ", " ("head opened, out of paper").
  std::string text() const;

  bool operator==(const PrinterState&) const = default;
};

// Decodes a status byte. printer_status_byte() gives -1 (and, on some links,
// 255 for a link that is down) when it has no byte: check for 0 to 255 and
// keep its failure values in mind before decoding.
QUILLKIT_EXPORT PrinterState decode_status(std::uint8_t byte);

}  // namespace quillkit
