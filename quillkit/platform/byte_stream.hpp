// A connected pair of byte streams (input and output) over one channel, with
// its events delivered on a reader thread that the pair owns.
//
// Threading: the event handler runs on the pair's reader thread only, one event
// at a time; read() belongs to that thread. Every other member may be called
// from any thread. close() ends the reader thread and joins it (so it must not
// be called from inside the event handler); the destructor closes.
//
// Notes for implementers: write() never blocks and never raises SIGPIPE; a
// channel that fails or ends moves status() to kAtEnd or kError for good, and
// has_space_available() is false from then on, so that writers stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "quillkit/types.hpp"

namespace quillkit::platform {

class Clock;

// Status numbers of a stream: the link states of the public interface.
using enum quillkit::StreamStatus;

// Stream event codes.
enum StreamEvent : int {
  kEventNone = 0,
  kEventOpenCompleted = 1,
  kEventHasBytesAvailable = 2,
  kEventHasSpaceAvailable = 4,
  kEventErrorOccurred = 8,
  kEventEndEncountered = 16,
};

enum class StreamSide { input, output };

class ByteStream {
 public:
  using EventHandler = std::function<void(ByteStream& stream, StreamSide side, int event)>;

  virtual ~ByteStream() = default;

  // Status of the output side (the pair shares one channel, so one status).
  virtual int status() const = 0;
  // Whether a write would now accept at least one byte.
  virtual bool has_space_available() = 0;
  // Waits until a write could accept a byte, the channel fails, or
  // `max_seconds` pass, whichever comes first.
  virtual void wait_for_space(double max_seconds) = 0;
  // Writes up to data.size() bytes without blocking. Returns the count taken,
  // 0 when no space, or -1 when the channel has failed or closed.
  virtual std::ptrdiff_t write(std::span<const std::uint8_t> data) = 0;
  // Waits until the bytes written have left this host: a TCP peer has
  // acknowledged them, a serial device has sent them. Returns early when the
  // channel ends or fails. 1 when none is left; 0 when some still are after
  // `max_seconds`, or at once when the channel cannot tell (a socket other
  // than TCP); -1 when the channel is not usable or ends or fails meanwhile.
  virtual int wait_until_sent(double max_seconds) = 0;

  // Whether a read would now return data.
  virtual bool has_bytes_available() = 0;
  // Reads up to buffer.size() bytes without blocking: the count read, 0 when
  // nothing is there (or at the end), negative on a read error. Reader thread only.
  virtual std::ptrdiff_t read(std::span<std::uint8_t> buffer) = 0;

  // A short text naming the stream of one side, for diagnostic lines.
  virtual std::string description(StreamSide side) const = 0;

  // Closes both sides and ends the reader thread. Idempotent.
  virtual void close() = 0;
};

// The Linux byte streams, which Env gives to the links (see env.hpp). Each
// pair's waits, its holds while it opens and handles an event, and the
// watching of its input go to `clock`, which must outlive it.

// A TCP connection to host:port. The reader thread writes the line
// "# connecting to host:port", resolves the name and connects; events follow
// as the connection opens, data arrives, the peer ends or an error occurs.
// The status is kStreamNotOpen at first, kStreamOpening while connecting.
std::shared_ptr<ByteStream> open_tcp_stream(Clock& clock, std::string host, std::uint32_t port,
                                            ByteStream::EventHandler handler);

// The pair over an already connected descriptor (a serial line, a socket),
// which it takes over. Open from the start.
std::shared_ptr<ByteStream> open_fd_stream(Clock& clock, int fd, std::string name,
                                           ByteStream::EventHandler handler);

// The pair over the serial device at `path` (a tty: /dev/rfcomm0, a USB CDC
// device, a pseudo-terminal), opened non-blocking in raw mode: no echo, no
// line-end translation, 8 bits. Open from the start; nullptr with the reason
// logged when the path cannot be opened or is not a serial device. A hang-up
// ends the stream (kStreamAtEnd or kStreamError).
std::shared_ptr<ByteStream> open_serial_stream(Clock& clock, const std::string& path,
                                               ByteStream::EventHandler handler);

// Test seam: sees what every byte stream of the process does, so that a test
// can count the reader's passes or hold the reader still (input that arrives
// meanwhile stays unread), and tell one write from two whatever the peer
// receives. Members run on the stream's threads and must not throw.
class StreamObserver {
 public:
  virtual ~StreamObserver() = default;
  // On the reader thread, before each event reaches the stream's handler
  // (`handled` false) and after it (true); `fd` is the stream's descriptor.
  virtual void on_event(int /*fd*/, StreamSide /*side*/, int /*event*/, bool /*handled*/) {}
  // On the writing thread, after each write() that took bytes: what it took.
  virtual void on_write(int /*fd*/, std::span<const std::uint8_t> /*taken*/) {}
};
// Adds or removes an observer; calls already under way may still reach a
// removed one, which the shared pointer keeps alive.
void add_stream_observer(std::shared_ptr<StreamObserver> observer);
void remove_stream_observer(const StreamObserver* observer);

}  // namespace quillkit::platform
