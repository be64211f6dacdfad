// The printer's status byte as IPP printer-state-reasons.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <optional>

namespace quill_printer {

// The reasons this application sets; it leaves every other reason to PAPPL.
constexpr pappl_preason_t kStatusReasons =
    PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_COVER_OPEN |
    PAPPL_PREASON_MARKER_SUPPLY_EMPTY | PAPPL_PREASON_OTHER | PAPPL_PREASON_OFFLINE;

// What a status byte says, as the library decodes it: out of paper media-empty, paper jam
// media-jam, head or cover open cover-open, out of ribbon marker-supply-empty, other error
// other. No byte (no answer) is offline. The printer's own pause has no reason bit: it is
// `paused` here and pauses the queue (see update_status).
//
// Head and cover are reported as cover-open, not door-open: PAPPL 1.3.1 writes no
// printer-state-reasons at all while door-open is set (its list stops one bit short).
struct StatusReport {
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  bool paused = false;
  bool operator==(const StatusReport&) const = default;
};
StatusReport status_report(std::optional<std::uint8_t> byte);

// The driver's status callback: opens the printer's device (when no job holds it), asks for
// the status byte and sets the printer's reasons and its ribbon supply (level unknown, 0 when
// the printer is out of ribbon). While the printer reports itself paused the
// queue is paused; it is resumed when the printer no longer does, if this pause is the one in
// force. Blocks for the link's answer wait. Always true. Thread-safe.
bool update_status(pappl_printer_t* printer);

// Forgets what update_status remembers about `printer`; called when it is deleted.
void forget_status(pappl_printer_t* printer);

}  // namespace quill_printer
