// The state behind every Printer: its link and its class profile, and the
// sending steps that the operations share.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "quillkit/commands/link.hpp"
#include "quillkit/commands/profile.hpp"
#include "quillkit/platform/env.hpp"
#include "quillkit/platform/font_host.hpp"
#include "quillkit/platform/text_codec.hpp"
#include "quillkit/types.hpp"

namespace quillkit::detail {

// The answer wait of every query's plain form, in seconds.
inline constexpr double kAnswerWait = 1.0;

// Thread-safety: as the link; the core itself holds no mutable state.
class PrinterCore {
 public:
  // `link` belongs to the printer class and must outlive the core's use of it;
  // `env` (the services the link was made with) must outlive the core.
  // `fonts`, when given, must outlive the core; without it the core draws with
  // the system's font host, set up on first use only.
  PrinterCore(const Profile& profile, Link& link, const platform::Env& env,
              platform::FontHost* fonts = nullptr)
      : profile_(profile), link_(link), env_(env), fonts_(fonts) {}

  const Profile& profile() const { return profile_; }
  Link& link() { return link_; }
  const platform::Env& env() const { return env_; }
  // The clock of every wait of the operations.
  platform::Clock& clock() const { return env_.clock; }
  // The font host that draws host-font text.
  platform::FontHost& fonts() { return fonts_ ? *fonts_ : platform::default_font_host(); }

  // The class's write primitive, ungated.
  Result write(std::span<const std::uint8_t> bytes) { return link_.write(bytes, ReplyStart::keep); }

  // The senders: 1 when the text or bytes were handed to the write primitive
  // (whatever it made of them), -1 when the link probe gave -1 or the text
  // cannot be converted, -2 when the space gate refused.
  Result send_text(std::string_view text, platform::Encoding encoding, double wait) {
    return sender_result(send(text, encoding, wait, ReplyStart::keep));
  }
  Result send_bytes(std::span<const std::uint8_t> bytes, double wait) {
    return sender_result(send(as_text(bytes), std::nullopt, wait, ReplyStart::keep));
  }

  // A query's request: the sender's steps, with a fresh reply begun right
  // before the first byte goes out. True only when the whole request was
  // written, so that the query gives its failure value at once instead of
  // waiting for an answer to nothing. A request in several writes passes
  // ReplyStart::keep after the first.
  bool request(std::string_view text, double wait, ReplyStart start = ReplyStart::begin) {
    return send(text, platform::Encoding::utf8, wait, start) == Sent::written;
  }
  bool request(std::span<const std::uint8_t> bytes, double wait) {
    return send(as_text(bytes), std::nullopt, wait, ReplyStart::begin) == Sent::written;
  }

 private:
  // What one send came to, by the step that decided it.
  enum class Sent {
    link_down,      // the link probe gave -1; nothing written
    no_space,       // the profile's space gate found the output full; nothing written
    unconvertible,  // the text has no form in the encoding; nothing written
    cut_short,      // the write failed, stalled or closed before its last byte
    written,        // every byte went out
  };
  static Result sender_result(Sent sent);
  static std::string_view as_text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
  }

  // The one flow of every sender and request: waits `wait` seconds, then the
  // gates (the probe, then the space gate), which come before the conversion
  // so that a closed link refuses with -1 and a full one with -2 whatever the
  // text holds; then converts `payload` from UTF-8 to `encoding` (none: the
  // bytes go out unchanged) and writes it in one write, starting a reply
  // first when `start` asks.
  Sent send(std::string_view payload, std::optional<platform::Encoding> encoding, double wait,
            ReplyStart start);

  const Profile& profile_;
  Link& link_;
  const platform::Env& env_;
  platform::FontHost* const fonts_;
};

}  // namespace quillkit::detail
