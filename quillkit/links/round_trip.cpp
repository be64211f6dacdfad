// The query round trip of the stream links.
#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {

std::string Printer::sendcommand_getstring(std::string_view command) {
  return sendcommand_getstring(command, detail::kAnswerWait);
}

std::string Printer::sendcommand_getstring(std::string_view command, double delay) {
  auto& link = core().link();
  // The reply starts when the command goes out: whatever arrived before
  // belongs to an earlier question. A question not (wholly) asked is not
  // waited for.
  if (!core().request(command, 0) || !core().request("\r\n", 0, detail::ReplyStart::keep))
    return "-1";
  core().clock().sleep_seconds(delay);
  if (link.reply_pending()) return "-1";
  return link.take_reply().text;
}

}  // namespace quillkit
