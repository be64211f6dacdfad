// The stream link of WiFi and Bluetooth: a byte stream pair from any
// transport of platform/, the write loop over it, and the receive path that
// turns arriving bytes into replies.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillkit/commands/link.hpp"
#include "quillkit/links/write_turn.hpp"
#include "quillkit/platform/byte_stream.hpp"
#include "quillkit/platform/env.hpp"
#include "quillkit/types.hpp"

namespace quillkit::detail {

// One row of a class's stream event table: what an event code does.
struct StreamEventRule {
  int event;
  LogChannel channel;
  std::string_view text;
  // Whether the stream's description follows the text on the line.
  bool with_description;
  enum class Reader { none, before_log, after_log } reader;
};

// The per-class rules of the receive path.
struct StreamRules {
  // Event rules in the order they are compared; the first match acts.
  std::span<const StreamEventRule> events;
  // Line for an event that no rule matches.
  LogChannel unknown_channel;
  std::string_view unknown_text;
  // A read is used when it returns at least this many bytes.
  std::ptrdiff_t min_used_read;
  // Whether a used read adds the whole receive buffer to the text (zero fill
  // included) rather than only the bytes read.
  bool decode_whole_buffer;
  // Whether the BITMAP command needs openport_status 1 rather than a stream.
  bool bitmap_needs_open_status;
};

// Thread-safety: every member may be called from any thread. One mutex (the
// printer object's) guards the stream member, the reply and the write turn; it is never held across a wait, a write or a call into the stream's
// event loop. The event handler runs on the stream's reader thread.
class StreamLink final : public Link {
 public:
  // The largest reply kept: bytes that arrive beyond it, before the next query
  // starts a new reply, are dropped.
  static constexpr std::size_t kReplyLimit = 64 * 1024;
  // Step of the write primitive's wait for space.
  static constexpr double kSpacePollSeconds = 0.1;

  // `env` must outlive the link: its clock takes every wait of the link, and
  // the printer class opens its streams through it.
  explicit StreamLink(const StreamRules& rules, const platform::Env& env = platform::default_env());
  ~StreamLink() override;

  // The event handler to give to a new stream pair; it must not outlive the link.
  platform::ByteStream::EventHandler handler();
  // Opening: installs a new stream pair (the previous one, if any, is closed
  // first and its reader thread ended) and sets openport_status to 1.
  void attach(std::shared_ptr<platform::ByteStream> stream);
  // Opening failed: openport_status becomes -1; the streams stay as they are.
  void mark_open_failed();
  // Opening that takes its time (a radio session): runs `open` on a thread of
  // its own, which decides with attach() or mark_open_failed(). close() and a
  // later open_with() request its stop and join it; `open` must end promptly
  // once its stop token is requested.
  void open_with(std::function<void(std::stop_token)> open);
  // The output stream's status, or -1 with no stream.
  int stream_status();
  // 1 open, 0 closed (or never opened), -1 the last open failed.
  int openport_status() const;

  // The stream event handler and the reader; reader thread only.
  void stream(platform::ByteStream& stream, platform::StreamSide side, int event);
  void readstream(platform::ByteStream& stream);

  // Link
  Result probe() override;
  bool has_space() override;
  Result write(std::span<const std::uint8_t> bytes, ReplyStart start) override;
  void begin_reply() override;
  Result wait_until_sent(double max_seconds) override;
  bool ready_for_bitmap() override;
  bool reply_pending() override;
  Reply take_reply() override;
  // Ends an open in progress (stop and join), then closes and drops the stream
  // pair, ending its reader thread; openport_status 0.
  void close() override;

 private:
  std::shared_ptr<platform::ByteStream> current_stream();
  // The whole-buffer write loop; runs holding the write turn.
  Result write_all(platform::ByteStream& stream, std::span<const std::uint8_t> bytes);

  const StreamRules& rules_;
  const platform::Env& env_;

  mutable std::mutex mu_;
  WriteTurns turns_{mu_, env_.clock};
  // Guarded by mu_:
  std::shared_ptr<platform::ByteStream> stream_;
  std::jthread opener_;
  int openport_status_ = 0;
  // The reply: the text received since it began (kept as read, up to
  // kReplyLimit), how many bytes that was and the first of them.
  std::string output_string;
  std::size_t reply_received_ = 0;
  int reply_first_byte_ = -1;
};

}  // namespace quillkit::detail
