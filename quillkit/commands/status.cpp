// The status request (1B 21 3F) and the two ways of reading its answer.
#include <array>
#include <cstdint>
#include <string>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {
namespace {

constexpr std::array<std::uint8_t, 3> kStatusRequest{0x1B, 0x21, 0x3F};

// A notification buffer gives a status byte only when it holds at least this
// many bytes; a stream reply needs one.
constexpr std::size_t kNotifiedStatusMinimum = 2;

enum class Asked { link_down, not_written, yes };

// The request up to the answer: the profile's pre-wait, the link gate, one
// write through the plain data sender (its own pre-send wait included) and the
// answer wait. The gate refuses a probe of -1, and of 0 too when `needs_power`
// is set. Without a written request there is no answer wait.
Asked request_status(detail::PrinterCore& core, double answer_wait, bool needs_power) {
  const auto& profile = core.profile();
  core.clock().sleep_seconds(profile.status_prewait);
  const Result probe = core.link().probe();
  if (probe == -1 || (needs_power && probe == 0)) return Asked::link_down;
  // A printer that has stopped answering must never be reported with the
  // status it gave before: the answer starts at this write.
  if (!core.request(kStatusRequest, profile.data_send_wait)) return Asked::not_written;
  core.clock().sleep_seconds(answer_wait);
  return Asked::yes;
}

// One byte as the stream links report it: lower-case hexadecimal in angle
// brackets, "<40>".
std::string render_byte(unsigned char byte) {
  constexpr char kDigits[] = "0123456789abcdef";
  return {'<', kDigits[byte >> 4], kDigits[byte & 0x0F], '>'};
}

std::string status_text(detail::PrinterCore& core, double answer_wait, bool plain) {
  const auto& profile = core.profile();
  if (request_status(core, answer_wait, plain && profile.status_plain_needs_power) != Asked::yes) {
    return "-1";
  }
  auto& link = core.link();
  if (!profile.stream_replies) return link.take_reply().text;
  if (link.reply_pending()) return "-1";
  const detail::Reply reply = link.take_reply();
  if (reply.received == 0) return std::string(plain ? "-1" : profile.status_delay_nothing_read);
  // The text has lost its NULs, so a status byte 00 shows the next byte, or
  // 00 when nothing else came.
  return render_byte(reply.text.empty() ? 0 : static_cast<unsigned char>(reply.text.front()));
}

Result status_byte(detail::PrinterCore& core, double answer_wait, Result link_down) {
  switch (request_status(core, answer_wait, false)) {
    case Asked::link_down:
      return link_down;
    case Asked::not_written:
      return -1;
    case Asked::yes:
      break;
  }
  auto& link = core.link();
  const bool stream = core.profile().stream_replies;
  if (stream && link.reply_pending()) return -1;
  const detail::Reply reply = link.take_reply();
  const std::size_t minimum = stream ? 1 : kNotifiedStatusMinimum;
  return reply.received >= minimum ? reply.first_byte : -1;
}

}  // namespace

std::string Printer::printer_status() { return status_text(core(), detail::kAnswerWait, true); }

std::string Printer::printer_status(double delay) { return status_text(core(), delay, false); }

Result Printer::printer_status_byte() {
  return status_byte(core(), detail::kAnswerWait, core().profile().status_byte_link_down);
}

Result Printer::printer_status_byte(double delay) { return status_byte(core(), delay, -1); }

}  // namespace quillkit
