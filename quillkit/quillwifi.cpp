// The network printer: a TCP connection as a pair of byte streams.
#include "quillkit/commands/printer_core.hpp"
#include "quillkit/links/profiles.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/wifi.hpp"

namespace quillkit {
namespace {
constexpr double kOpenWait = 1.5;
}  // namespace

WiFi::WiFi() : WiFi(std::make_unique<detail::StreamLink>(detail::kWiFiRules)) {}

WiFi::WiFi(std::unique_ptr<detail::StreamLink> link)
    : Printer(std::make_unique<detail::PrinterCore>(detail::kWiFiProfile, *link)),
      link_(std::move(link)) {}

WiFi::~WiFi() { link_->close(); }

Result WiFi::openport(std::string_view host, std::uint32_t portnumber) {
  link_->close();
  link_->attach(platform::open_tcp_stream(std::string(host), portnumber, link_->handler()));
  platform::sleep_seconds(kOpenWait);
  return link_->stream_status() == platform::kStreamOpen ? 1 : -1;
}

Result WiFi::closeport(double delay) {
  platform::sleep_seconds(delay);
  link_->close();
  return 1;
}

}  // namespace quillkit
