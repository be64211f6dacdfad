// The differences between the printer classes, as data.
#pragma once

#include <string_view>

#include "quillkit/types.hpp"

namespace quillkit::detail {

struct Profile {
  // Pre-send wait of the plain sendcommand_utf8, _big5 and _gb2312 forms.
  double text_send_wait = 0;
  // Pre-send wait of the plain data sender.
  double data_send_wait = 0;
  // Whether the senders refuse with -2 when the output has no space.
  bool space_gate = false;

  // Wait before the status request is written.
  double status_prewait = 0;
  // Whether printer_status() (plain form) also refuses when the probe gives 0.
  bool status_plain_needs_power = false;
  // printer_status_byte() (plain form) on a link that cannot be used.
  Result status_byte_link_down = -1;
  // printer_status(delay) on a stream link when nothing has been read.
  std::string_view status_delay_nothing_read = "-1";
  // Whether replies come from a stream (pending check, NUL cleaning, the
  // status text rendered as hex, one byte enough for a status byte) rather
  // than a notification buffer (taken as received; a status byte needs two).
  bool stream_replies = true;

  // First line of the battery report command.
  std::string_view battery_interface_line;

  // Whether downloads of 50000 bytes or more go out in packets of 50000.
  bool download_in_packets = true;
};

}  // namespace quillkit::detail
