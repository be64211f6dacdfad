#include "printer-app/status.hpp"

#include <mutex>
#include <set>

#include "printer-app/links.hpp"
#include "quillkit/status.hpp"

namespace quill_printer {
namespace {

// What update_status remembers of each printer: whether a query of it runs, and whether its
// queue was paused because the printer said it was paused. PAPPL's printers are process-wide,
// and so is this record of them. Thread-safe.
class StatusRecord {
 public:
  enum class Queue { kLeave, kPause, kResume };

  // False when a query of `printer` runs already (its device is then busy); else marks one.
  bool begin(pappl_printer_t* printer) {
    std::lock_guard lock(mu_);
    return querying_.insert(printer).second;
  }
  // Ends the query: what to do with the queue, given the printer's answer (if any), its pause
  // and whether the queue is stopped now.
  Queue end(pappl_printer_t* printer, bool answered, bool paused, bool stopped) {
    std::lock_guard lock(mu_);
    querying_.erase(printer);
    const bool ours = paused_.contains(printer);
    if (paused && !ours && !stopped) {
      paused_.insert(printer);
      return Queue::kPause;
    }
    if (answered && !paused && ours) {
      paused_.erase(printer);
      return Queue::kResume;
    }
    return Queue::kLeave;
  }
  void forget(pappl_printer_t* printer) {
    std::lock_guard lock(mu_);
    paused_.erase(printer);
  }

 private:
  std::mutex mu_;
  std::set<pappl_printer_t*> querying_, paused_;  // guarded by mu_
};

StatusRecord record;

}  // namespace

StatusReport status_report(std::optional<std::uint8_t> byte) {
  if (!byte) return {PAPPL_PREASON_OFFLINE, false};
  const quillkit::PrinterState state = quillkit::decode_status(*byte);
  StatusReport report;
  report.paused = state.paused;
  if (state.out_of_paper) report.reasons |= PAPPL_PREASON_MEDIA_EMPTY;
  if (state.paper_jam) report.reasons |= PAPPL_PREASON_MEDIA_JAM;
  if (state.head_opened || state.cover_opened) report.reasons |= PAPPL_PREASON_COVER_OPEN;
  if (state.out_of_ribbon) report.reasons |= PAPPL_PREASON_MARKER_SUPPLY_EMPTY;
  if (state.other_error) report.reasons |= PAPPL_PREASON_OTHER;
  return report;
}

bool update_status(pappl_printer_t* printer) try {
  if (!record.begin(printer)) return true;
  std::optional<std::uint8_t> byte;
  pappl_device_t* device = papplPrinterOpenDevice(printer);
  if (device != nullptr) {
    byte = request_status_byte(device, papplPrinterGetDeviceURI(printer));
    papplPrinterCloseDevice(printer);
  }
  const StatusReport report = status_report(byte);
  // A job that holds the device leaves the status as it was.
  if (device != nullptr || papplPrinterGetState(printer) != IPP_PSTATE_PROCESSING) {
    papplPrinterSetReasons(printer, report.reasons, kStatusReasons & ~report.reasons);
    pappl_supply_t ribbon{PAPPL_SUPPLY_COLOR_BLACK, "Ribbon", true,
                          (report.reasons & PAPPL_PREASON_MARKER_SUPPLY_EMPTY) ? 0 : -1,
                          PAPPL_SUPPLY_TYPE_INK_RIBBON};
    papplPrinterSetSupplies(printer, 1, &ribbon);
  }
  switch (record.end(printer, byte.has_value(), report.paused,
                     papplPrinterGetState(printer) == IPP_PSTATE_STOPPED)) {
    case StatusRecord::Queue::kPause:
      papplPrinterPause(printer);
      break;
    case StatusRecord::Queue::kResume:
      papplPrinterResume(printer);
      break;
    case StatusRecord::Queue::kLeave:
      break;
  }
  return true;
} catch (const std::exception&) {
  return true;
}

void forget_status(pappl_printer_t* printer) { record.forget(printer); }

}  // namespace quill_printer
