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
  if (link.probe() == -1) return "-1";
  // The reply starts when the command goes out: whatever arrived before
  // belongs to an earlier question.
  core().send_text(command, platform::Encoding::utf8, 0, /*begin_reply=*/true);
  core().send_text("\r\n", platform::Encoding::utf8, 0);
  platform::sleep_seconds(delay);
  if (link.reply_pending()) return "-1";
  return link.take_reply().text;
}

}  // namespace quillkit
