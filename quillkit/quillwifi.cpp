// The network printer: a TCP connection as a pair of byte streams.
#include <array>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/receive/stream_link.hpp"
#include "quillkit/wifi.hpp"

namespace quillkit {
namespace {

using detail::StreamEventRule;
using Reader = StreamEventRule::Reader;

constexpr double kOpenWait = 1.5;

constexpr std::array<StreamEventRule, 5> kWiFiEvents{{
    {platform::kEventOpenCompleted, LogChannel::console, "NSStreamEvent.OpenCompleted ", true,
     Reader::none},
    {platform::kEventHasBytesAvailable, LogChannel::console, "NSStreamEvent.HasBytesAvailable ",
     true, Reader::before_log},
    {platform::kEventHasSpaceAvailable, LogChannel::console, "NSStreamEvent.HasSpaceAvailable ",
     true, Reader::none},
    {platform::kEventEndEncountered, LogChannel::console, "NSStreamEvent.EndEncountered ", true,
     Reader::none},
    {platform::kEventErrorOccurred, LogChannel::console, "NSStreamEvent.ErrorOccurred ", true,
     Reader::none},
}};

const detail::StreamRules kWiFiRules{
    .events = kWiFiEvents,
    .unknown_channel = LogChannel::console,
    .unknown_text = "# something weird happend",
    .min_used_read = 0,
    .decode_whole_buffer = false,
    .bitmap_needs_open_status = false,
};

const detail::Profile kWiFiProfile{
    .text_send_wait = 0.2,
    .data_send_wait = 0.2,
    .space_gate = true,
    .status_prewait = 0,
    .status_plain_needs_power = false,
    .status_byte_link_down = -1,
    .status_delay_nothing_read = "-1",
    .stream_replies = true,
    .battery_interface_line = "DIAGNOSTIC INTERFACE NET\r\n",
    .download_in_packets = true,
};

detail::StreamLink& stream_link(detail::PrinterCore& core) {
  return static_cast<detail::StreamLink&>(core.link());
}

}  // namespace

WiFi::WiFi()
    : Printer(std::make_unique<detail::PrinterCore>(
          kWiFiProfile, std::make_unique<detail::StreamLink>(kWiFiRules))) {}

WiFi::~WiFi() { stream_link(core()).close_stream(); }

Result WiFi::openport(std::string_view host, std::uint32_t portnumber) {
  auto& link = stream_link(core());
  link.close_stream();
  link.attach(platform::open_tcp_stream(std::string(host), portnumber, link.handler()));
  platform::sleep_seconds(kOpenWait);
  return link.stream_status() == platform::kStreamOpen ? 1 : -1;
}

Result WiFi::closeport(double delay) {
  platform::sleep_seconds(delay);
  stream_link(core()).close_stream();
  return 1;
}

}  // namespace quillkit
