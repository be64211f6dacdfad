// The information queries: one fixed query line each, answered by whatever the
// printer sends back within the wait.
#include <string_view>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {
namespace {

constexpr std::string_view kCodepageQuery = "~!I\r\n";
constexpr std::string_view kMileageQuery = "~!@\r\n";
constexpr std::string_view kMemoryQuery = "~!A\r\n";
constexpr std::string_view kFilesQuery = "~!F\r\n";
constexpr std::string_view kModelnameQuery = "~!T\r\n";
constexpr std::string_view kSerialnumberQuery = "OUT _SERIAL$\r\n";

// Writes `line` with the plain sendcommand, waits `delay` seconds and returns
// the answer received since the write: the empty text when none came. "-1"
// without the wait when the line was not written (link gate, space gate, a
// failed or cut-short write), and "-1" when, on a stream link, answer bytes
// are still waiting to be read at the end of the wait.
std::string information_query(detail::PrinterCore& core, std::string_view line, double delay) {
  auto& link = core.link();
  // The answer starts at this write: an older answer, or one that came too
  // late for an earlier query, is never taken for this one.
  if (!core.request(line, 0)) return "-1";
  core.clock().sleep_seconds(delay);
  if (core.profile().stream_replies && link.reply_pending()) return "-1";
  return link.take_reply().text;
}

}  // namespace

std::string Printer::printer_codepage() { return printer_codepage(detail::kAnswerWait); }
std::string Printer::printer_codepage(double delay) {
  return information_query(core(), kCodepageQuery, delay);
}

std::string Printer::printer_mileage() { return printer_mileage(detail::kAnswerWait); }
std::string Printer::printer_mileage(double delay) {
  return information_query(core(), kMileageQuery, delay);
}

std::string Printer::printer_memory() { return printer_memory(detail::kAnswerWait); }
std::string Printer::printer_memory(double delay) {
  return information_query(core(), kMemoryQuery, delay);
}

std::string Printer::printer_files() { return printer_files(detail::kAnswerWait); }
std::string Printer::printer_files(double delay) {
  return information_query(core(), kFilesQuery, delay);
}

std::string Printer::printer_modelname() { return printer_modelname(detail::kAnswerWait); }
std::string Printer::printer_modelname(double delay) {
  return information_query(core(), kModelnameQuery, delay);
}

std::string Printer::printer_serialnumber() { return printer_serialnumber(detail::kAnswerWait); }
std::string Printer::printer_serialnumber(double delay) {
  return information_query(core(), kSerialnumberQuery, delay);
}

}  // namespace quillkit
