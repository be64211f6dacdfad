// What the command layer needs of a printer class's link.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "quillkit/types.hpp"

namespace quillkit::detail {

// The printer's answer as the reply source holds it after a query's wait.
struct Reply {
  // The reply's text: on the stream links the received bytes with every NUL
  // removed (the cleaned text is also stored back); on BLE the bytes as received.
  std::string text;
  // Bytes received since the reply began (before any cleaning).
  std::size_t received = 0;
  // The first byte received since the reply began, or -1 when none arrived.
  int first_byte = -1;
};

// Whether a write starts a new reply (a query's request) or leaves the reply
// source as it is.
enum class ReplyStart { keep, begin };

// A printer class's link: the probe, the write primitive, the reply source and
// the close. Opening differs per class and belongs to the concrete link.
// Implementations guard their state with the printer object's one mutex and
// never hold it across a wait or a write. Every member is thread-safe.
class Link {
 public:
  virtual ~Link() = default;

  // The link probe: -1 when the link cannot be used, else the state number.
  virtual Result probe() = 0;
  // Whether the output has free space right now (the WiFi senders' space gate).
  virtual bool has_space() = 0;
  // The write primitive: writes every byte, in order, without interleaving with
  // another write of the same object. 1 when all bytes were written (an empty
  // buffer writes nothing), -1 when the link has no stream or fails, closes or
  // stalls first. With ReplyStart::begin, begin_reply() runs once this write
  // holds its turn, right before the first byte goes out, so that the next
  // take_reply() sees only what answers this write.
  virtual Result write(std::span<const std::uint8_t> bytes, ReplyStart start) = 0;
  // Resets the reply source as on a fresh object.
  virtual void begin_reply() = 0;
  // Waits, at most `max_seconds`, until the bytes written have left this
  // computer: 1 when none is left, 0 when some still are at the end or the
  // link cannot tell, -1 when the link is down or goes down meanwhile.
  virtual Result wait_until_sent(double max_seconds) = 0;
  // The link check of the BITMAP command.
  virtual bool ready_for_bitmap() = 0;

  // Whether answer bytes are still waiting to be read (stream links only).
  virtual bool reply_pending() = 0;
  // The reply gathered since the last reset.
  virtual Reply take_reply() = 0;

  // Closes the link and ends its threads; the object then reads as closed.
  // Idempotent; returns promptly whatever the peer or the platform does.
  virtual void close() = 0;
};

}  // namespace quillkit::detail
