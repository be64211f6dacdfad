#include "quillkit/links/profiles.hpp"

#include <array>

namespace quillkit::detail {
namespace {

using Reader = StreamEventRule::Reader;

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

constexpr std::array<StreamEventRule, 6> kBluetoothEvents{{
    {platform::kEventNone, LogChannel::console, "none", false, Reader::none},
    {platform::kEventOpenCompleted, LogChannel::system, "Stream opened", false, Reader::none},
    {platform::kEventHasBytesAvailable, LogChannel::system, "HasBytesAvailable", false,
     Reader::after_log},
    {platform::kEventHasSpaceAvailable, LogChannel::console, "space available", false,
     Reader::none},
    {platform::kEventErrorOccurred, LogChannel::system, "ErrorOccurred", false, Reader::none},
    {platform::kEventEndEncountered, LogChannel::system, "EndEncountered", false, Reader::none},
}};

}  // namespace

const StreamRules kWiFiRules{
    .events = kWiFiEvents,
    .unknown_channel = LogChannel::console,
    .unknown_text = "# something weird happend",
    .min_used_read = 0,
    .bitmap_needs_open_status = false,
};

const Profile kWiFiProfile{
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

// A serial read counts when it returns a byte or more; the BITMAP command
// needs an open session.
const StreamRules kBluetoothRules{
    .events = kBluetoothEvents,
    .unknown_channel = LogChannel::system,
    .unknown_text = "unknown.",
    .min_used_read = 1,
    .bitmap_needs_open_status = true,
};

const Profile kBluetoothProfile{
    .text_send_wait = 0,
    .data_send_wait = 0,
    .space_gate = false,
    .status_prewait = 0.3,
    .status_plain_needs_power = false,
    .status_byte_link_down = 255,
    .status_delay_nothing_read = "-11",
    .stream_replies = true,
    .battery_interface_line = "DIAGNOSTIC INTERFACE COM\r\n",
    .download_in_packets = true,
};

// Answers come from notifications, taken as received; a download goes out in
// one write, which the link cuts into pieces.
const Profile kBleProfile{
    .text_send_wait = 0,
    .data_send_wait = 0,
    .space_gate = false,
    .status_prewait = 0.3,
    .status_plain_needs_power = true,
    .status_byte_link_down = -1,
    .status_delay_nothing_read = "-1",
    .stream_replies = false,
    .battery_interface_line = "DIAGNOSTIC INTERFACE COM\r\n",
    .download_in_packets = false,
};

}  // namespace quillkit::detail
