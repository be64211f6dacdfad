// The network printer: a TCP connection as a pair of byte streams.
#include "quillkit/commands/printer_core.hpp"
#include "quillkit/links/profiles.hpp"
#include "quillkit/platform/env.hpp"
#include "quillkit/wifi.hpp"

namespace quillkit {
namespace {
constexpr double kOpenWait = 1.5;
}  // namespace

WiFi::WiFi() : WiFi(platform::default_env()) {}

WiFi::WiFi(const platform::Env& env)
    : WiFi(std::make_unique<detail::StreamLink>(detail::kWiFiRules, env), env) {}

WiFi::WiFi(std::unique_ptr<detail::StreamLink> link, const platform::Env& env)
    : Printer(std::make_unique<detail::PrinterCore>(detail::kWiFiProfile, *link, env)),
      link_(std::move(link)) {}

WiFi::~WiFi() { link_->close(); }

Result WiFi::openport(std::string_view host, std::uint32_t portnumber) {
  link_->close();
  link_->attach(core().env().open_tcp_stream(std::string(host), portnumber, link_->handler()));
  core().clock().sleep_seconds(kOpenWait);
  return link_->stream_status() == platform::kStreamOpen ? 1 : -1;
}

Result WiFi::closeport(double delay) {
  core().clock().sleep_seconds(delay);
  link_->close();
  return 1;
}

}  // namespace quillkit
