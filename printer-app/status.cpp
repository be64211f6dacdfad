#include "printer-app/status.hpp"

#include <mutex>
#include <set>

#include "printer-app/links.hpp"
#include "quillkit/status.hpp"

namespace quill_printer {
namespace {

// The printers whose queue update_status paused because the printer said it was paused.
// PAPPL's printers are process-wide, and so is this record of them.
std::mutex paused_mu;
std::set<pappl_printer_t*> paused_by_printer;  // guarded by paused_mu

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

bool update_status(pappl_printer_t* printer) {
  std::optional<std::uint8_t> byte;
  if (pappl_device_t* device = papplPrinterOpenDevice(printer)) {
    byte = request_status_byte(device, papplPrinterGetDeviceURI(printer));
    papplPrinterCloseDevice(printer);
  } else if (papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING) {
    return true;  // a job holds the device: the status is left as it was
  }
  const StatusReport report = status_report(byte);
  papplPrinterSetReasons(printer, report.reasons, kStatusReasons & ~report.reasons);
  pappl_supply_t ribbon{PAPPL_SUPPLY_COLOR_BLACK, "Ribbon", true,
                        (report.reasons & PAPPL_PREASON_MARKER_SUPPLY_EMPTY) ? 0 : -1,
                        PAPPL_SUPPLY_TYPE_INK_RIBBON};
  papplPrinterSetSupplies(printer, 1, &ribbon);

  bool pause = false, resume = false;
  {
    std::lock_guard lock(paused_mu);
    const bool ours = paused_by_printer.contains(printer);
    pause = report.paused && !ours && papplPrinterGetState(printer) != IPP_PSTATE_STOPPED;
    resume = byte && !report.paused && ours;
    if (pause) paused_by_printer.insert(printer);
    if (resume) paused_by_printer.erase(printer);
  }
  if (pause) papplPrinterPause(printer);
  if (resume) papplPrinterResume(printer);
  return true;
}

void forget_status(pappl_printer_t* printer) {
  std::lock_guard lock(paused_mu);
  paused_by_printer.erase(printer);
}

}  // namespace quill_printer
