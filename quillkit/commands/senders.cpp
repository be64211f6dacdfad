// The senders through which applications write their own commands, and the
// link probe they gate on.
#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {

namespace detail {

Result PrinterCore::gates() {
  if (link_.probe() == -1) return -1;
  if (profile_.space_gate && !link_.has_space()) return -2;
  return 1;
}

Result PrinterCore::send(std::span<const std::uint8_t> bytes, ReplyStart start, bool* written) {
  const Result wrote = link_.write(bytes, start);
  if (written) *written = wrote == 1;
  return 1;
}

Result PrinterCore::send(std::string_view text, platform::Encoding encoding, double wait,
                         ReplyStart start, bool* written) {
  platform::sleep_seconds(wait);
  // The gates come before the conversion: a closed link refuses with -1 and a
  // full one with -2 whatever the text holds.
  if (const Result refusal = gates(); refusal != 1) return refusal;
  const auto bytes = platform::encode(text, encoding);
  if (!bytes) return -1;
  return send(*bytes, start, written);
}

Result PrinterCore::send_text(std::string_view text, platform::Encoding encoding, double wait) {
  return send(text, encoding, wait, ReplyStart::keep, nullptr);
}

Result PrinterCore::send_bytes(std::span<const std::uint8_t> bytes, double wait) {
  platform::sleep_seconds(wait);
  if (const Result refusal = gates(); refusal != 1) return refusal;
  return send(bytes, ReplyStart::keep, nullptr);
}

bool PrinterCore::request(std::string_view text, double wait, ReplyStart start) {
  bool written = false;
  send(text, platform::Encoding::utf8, wait, start, &written);
  return written;
}

bool PrinterCore::request(std::span<const std::uint8_t> bytes, double wait) {
  platform::sleep_seconds(wait);
  if (gates() != 1) return false;
  bool written = false;
  send(bytes, ReplyStart::begin, &written);
  return written;
}

}  // namespace detail

using platform::Encoding;

Printer::Printer(std::unique_ptr<detail::PrinterCore> core) : core_(std::move(core)) {}

Printer::~Printer() = default;

Result Printer::stream_Status() { return core_->link().probe(); }

Result Printer::stream_Status(unsigned times) {
  Result status = core_->link().probe();
  for (unsigned i = 0; i < times && status != -1; ++i) status = core_->link().probe();
  return status;
}

Result Printer::wait_until_sent(double max_seconds) {
  return core_->link().wait_until_sent(max_seconds);
}

Result Printer::sendcommand(std::string_view text) {
  return core_->send_text(text, Encoding::utf8, 0);
}

Result Printer::sendcommand(std::string_view text, double timeout) {
  return core_->send_text(text, Encoding::utf8, timeout);
}

Result Printer::sendcommand_utf8(std::string_view text) {
  return core_->send_text(text, Encoding::utf8, core_->profile().text_send_wait);
}

Result Printer::sendcommand_utf8(std::string_view text, double timeout) {
  return core_->send_text(text, Encoding::utf8, timeout);
}

Result Printer::sendcommand_big5(std::string_view text) {
  return core_->send_text(text, Encoding::big5, core_->profile().text_send_wait);
}

Result Printer::sendcommand_big5(std::string_view text, double timeout) {
  return core_->send_text(text, Encoding::big5, timeout);
}

Result Printer::sendcommand_gb2312(std::string_view text) {
  return core_->send_text(text, Encoding::gb18030, core_->profile().text_send_wait);
}

Result Printer::sendcommand_gb2312(std::string_view text, double timeout) {
  return core_->send_text(text, Encoding::gb18030, timeout);
}

Result Printer::send_data(std::span<const std::uint8_t> data) {
  return core_->send_bytes(data, core_->profile().data_send_wait);
}

Result Printer::send_data(std::span<const std::uint8_t> data, double delay) {
  return core_->send_bytes(data, delay);
}

Result Printer::sendBinaryData(std::span<const std::uint8_t> data) { return core_->write(data); }

}  // namespace quillkit
