#include "quillkit/links/stream_link.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

#include "quillkit/platform/clock.hpp"
#include "quillkit/platform/log.hpp"

namespace quillkit::detail {

StreamLink::StreamLink(const StreamRules& rules, const platform::Env& env)
    : rules_(rules), env_(env) {}

StreamLink::~StreamLink() { close(); }

platform::ByteStream::EventHandler StreamLink::handler() {
  return [this](platform::ByteStream& stream, platform::StreamSide side, int event) {
    this->stream(stream, side, event);
  };
}

void StreamLink::attach(std::shared_ptr<platform::ByteStream> stream) {
  std::shared_ptr<platform::ByteStream> previous;
  {
    std::lock_guard lock(mu_);
    previous = std::exchange(stream_, std::move(stream));
    openport_status_ = 1;
  }
  if (previous) previous->close();
}

void StreamLink::mark_open_failed() {
  std::lock_guard lock(mu_);
  openport_status_ = -1;
}

void StreamLink::open_with(std::function<void(std::stop_token)> open) {
  std::jthread previous;
  {
    std::lock_guard lock(mu_);
    previous = std::exchange(opener_, std::jthread(std::move(open)));
  }
  // A jthread stops and joins as it goes; never with mu_ held.
}

void StreamLink::close() {
  std::jthread opener;
  {
    std::lock_guard lock(mu_);
    opener = std::move(opener_);
  }
  opener = std::jthread();  // stop and join it before the streams go
  std::shared_ptr<platform::ByteStream> previous;
  {
    std::lock_guard lock(mu_);
    previous = std::exchange(stream_, nullptr);
    openport_status_ = 0;
  }
  if (previous) previous->close();
}

std::shared_ptr<platform::ByteStream> StreamLink::current_stream() {
  std::lock_guard lock(mu_);
  return stream_;
}

int StreamLink::stream_status() {
  auto stream = current_stream();
  return stream ? stream->status() : -1;
}

int StreamLink::openport_status() const {
  std::lock_guard lock(mu_);
  return openport_status_;
}

void StreamLink::stream(platform::ByteStream& stream, platform::StreamSide side, int event) {
  const auto rule = std::find_if(rules_.events.begin(), rules_.events.end(),
                                 [event](const StreamEventRule& r) { return r.event == event; });
  if (rule == rules_.events.end()) {
    platform::log_line(rules_.unknown_channel, rules_.unknown_text);
    return;
  }
  if (rule->reader == StreamEventRule::Reader::before_log) readstream(stream);
  if (rule->with_description) {
    platform::log_line(rule->channel, std::string(rule->text) + stream.description(side));
  } else {
    platform::log_line(rule->channel, rule->text);
  }
  if (rule->reader == StreamEventRule::Reader::after_log) readstream(stream);
}

void StreamLink::readstream(platform::ByteStream& stream) {
  std::array<std::uint8_t, 512> block{};
  while (stream.has_bytes_available()) {
    const std::ptrdiff_t count = stream.read(block);
    if (count >= rules_.min_used_read) {
      const std::size_t used = count > 0 ? static_cast<std::size_t>(count) : 0;
      const std::size_t decoded = rules_.decode_whole_buffer ? block.size() : used;
      std::lock_guard lock(mu_);
      const std::size_t room = kReplyLimit - std::min(kReplyLimit, output_string.size());
      output_string.append(reinterpret_cast<const char*>(block.data()), std::min(decoded, room));
      if (used > 0 && reply_received_ == 0) reply_first_byte_ = block[0];
      reply_received_ += used;
    }
    block.fill(0);  // a whole-block decode appends the zero fill past the bytes read
    if (count < 0) break;  // a failing read would otherwise repeat for ever
  }
}

void StreamLink::begin_reply() {
  std::lock_guard lock(mu_);
  output_string.clear();
  reply_received_ = 0;
  reply_first_byte_ = -1;
}

Result StreamLink::probe() { return stream_status(); }

bool StreamLink::has_space() {
  auto stream = current_stream();
  return stream && stream->has_space_available();
}

Result StreamLink::write(std::span<const std::uint8_t> bytes, ReplyStart start) {
  auto stream = current_stream();
  if (!stream) return -1;
  return write_in_turn(turns_, *this, bytes.size(), start,
                       [&] { return write_all(*stream, bytes); });
}

Result StreamLink::write_all(platform::ByteStream& stream, std::span<const std::uint8_t> bytes) {
  std::size_t offset = 0;
  auto last_progress = env_.clock.now();
  const auto stall = platform::to_duration(kWriteStallSeconds);
  for (;;) {
    if (stream.status() >= platform::kStreamAtEnd) return -1;
    if (stream.has_space_available()) {
      const std::ptrdiff_t n = stream.write(bytes.subspan(offset));
      if (n < 0) return -1;
      if (n > 0) {
        offset += static_cast<std::size_t>(n);
        last_progress = env_.clock.now();
        if (offset == bytes.size()) return 1;
        continue;
      }
    }
    if (env_.clock.now() - last_progress > stall) return -1;
    stream.wait_for_space(kSpacePollSeconds);
  }
}

Result StreamLink::wait_until_sent(double max_seconds) {
  auto stream = current_stream();
  return stream ? stream->wait_until_sent(max_seconds) : -1;
}

bool StreamLink::ready_for_bitmap() {
  std::lock_guard lock(mu_);
  return rules_.bitmap_needs_open_status ? openport_status_ == 1 : stream_ != nullptr;
}

bool StreamLink::reply_pending() {
  auto stream = current_stream();
  return stream && stream->has_bytes_available();
}

Reply StreamLink::take_reply() {
  std::lock_guard lock(mu_);
  auto& text = output_string;
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  return Reply{text, reply_received_, reply_first_byte_};
}

}  // namespace quillkit::detail
