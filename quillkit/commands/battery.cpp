// Smart battery values, cut out of the printer's diagnostic report.
#include <array>
#include <string>
#include <string_view>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {
namespace {

// Report lines by index; the keywords are the printer's, spelling included.
constexpr std::array<std::string_view, 9> kReportLines{
    "DIAGNOSTIC REPORT SMBSERIAL\r\n",       "DIAGNOSTIC REPORT SMBVOLTAGE\r\n",
    "DIAGNOSTIC REPORT SMBREMCAPCITY\r\n",   "DIAGNOSTIC REPORT SMBTEMPERATURE\r\n",
    "DIAGNOSTIC REPORT SMBDISCYCLE\r\n",     "DIAGNOSTIC REPORT SMBMANUDATE\r\n",
    "DIAGNOSTIC REPORT SMBREPLACECOUNT\r\n", "DIAGNOSTIC REPORT SMBLIFE\r\n",
    "DIAGNOSTIC REPORT SMBSOH\r\n",
};

// After the write: a short pause, then a check that the answer is not still
// arriving, then the answer wait.
constexpr double kPendingCheckPause = 0.1;

// The value sits between the reply's first 7 characters and its last one.
constexpr std::size_t kValueStart = 7;
constexpr std::size_t kShortestReply = kValueStart + 1;

}  // namespace

std::string Printer::smartbattery_status(std::intptr_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= kReportLines.size()) return "-1";
  auto& core = this->core();
  auto& link = core.link();
  std::string command(core.profile().battery_interface_line);
  command += kReportLines[static_cast<std::size_t>(index)];
  // The answer starts at this write: an older report is never taken for it.
  // A report that was not asked for is not waited for.
  if (!core.request(command, 0)) return "-1";
  core.clock().sleep_seconds(kPendingCheckPause);
  if (core.profile().stream_replies && link.reply_pending()) return "-1";
  core.clock().sleep_seconds(detail::kAnswerWait);
  const std::string reply = link.take_reply().text;
  if (reply.size() < kShortestReply) return "-1";
  return reply.substr(kValueStart, reply.size() - kShortestReply);
}

}  // namespace quillkit
