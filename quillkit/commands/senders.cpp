// The senders through which applications write their own commands, and the
// link probe they gate on.
#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {

namespace detail {

Result PrinterCore::sender_result(Sent sent) {
  if (sent == Sent::no_space) return -2;
  return sent == Sent::link_down || sent == Sent::unconvertible ? -1 : 1;
}

PrinterCore::Sent PrinterCore::send(std::string_view payload,
                                    std::optional<platform::Encoding> encoding, double wait,
                                    ReplyStart start) {
  clock().sleep_seconds(wait);
  if (link_.probe() == -1) return Sent::link_down;
  if (profile_.space_gate && !link_.has_space()) return Sent::no_space;
  std::optional<Bytes> converted;
  if (encoding) {
    converted = platform::encode(payload, *encoding);
    if (!converted) return Sent::unconvertible;
  }
  const auto bytes = converted ? std::span<const std::uint8_t>(*converted)
                               : std::span(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                           payload.size());
  return link_.write(bytes, start) == 1 ? Sent::written : Sent::cut_short;
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
