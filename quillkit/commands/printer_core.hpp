// The state behind every Printer: its link and its class profile, and the
// sending steps that the operations share.
#pragma once

#include <span>
#include <string_view>

#include "quillkit/commands/link.hpp"
#include "quillkit/commands/profile.hpp"
#include "quillkit/platform/font_host.hpp"
#include "quillkit/platform/text_codec.hpp"
#include "quillkit/types.hpp"

namespace quillkit::detail {

// The answer wait of every query's plain form, in seconds.
inline constexpr double kAnswerWait = 1.0;

// Thread-safety: as the link; the core itself holds no mutable state.
class PrinterCore {
 public:
  // `link` belongs to the printer class and must outlive the core's use of it.
  // `fonts`, when given, must outlive the core; without it the core draws with
  // the system's font host, set up on first use only.
  PrinterCore(const Profile& profile, Link& link, platform::FontHost* fonts = nullptr)
      : profile_(profile), link_(link), fonts_(fonts) {}

  const Profile& profile() const { return profile_; }
  Link& link() { return link_; }
  // The font host that draws host-font text.
  platform::FontHost& fonts() { return fonts_ ? *fonts_ : platform::default_font_host(); }

  // The class's write primitive, ungated.
  Result write(std::span<const std::uint8_t> bytes) { return link_.write(bytes, ReplyStart::keep); }

  // A sender: waits `wait` seconds, refuses with -1 when the link probe gives
  // -1, with -2 when the profile has a space gate and the output has no space,
  // with -1 when `text` cannot be converted; otherwise writes the converted
  // text in one write and returns 1, whatever the write primitive made of it.
  Result send_text(std::string_view text, platform::Encoding encoding, double wait);
  // The same for a byte buffer, which goes out unchanged.
  Result send_bytes(std::span<const std::uint8_t> bytes, double wait);

  // A query's request: the sender's steps, with a fresh reply begun right
  // before the first byte goes out. True only when the whole request was
  // written; false when a gate refused, the text could not be converted or
  // the write failed, stalled or was cut short, so that the query gives its
  // failure value at once instead of waiting for an answer to nothing. A
  // request in several writes passes ReplyStart::keep after the first.
  bool request(std::string_view text, double wait, ReplyStart start = ReplyStart::begin);
  bool request(std::span<const std::uint8_t> bytes, double wait);

 private:
  // The gates shared by both senders: 1 to go on, else the refusal.
  Result gates();
  // The write that ends every sender; `written` (when given) tells whether
  // every byte went out. Returns 1 whatever the write primitive reported.
  Result send(std::span<const std::uint8_t> bytes, ReplyStart start, bool* written);
  Result send(std::string_view text, platform::Encoding encoding, double wait, ReplyStart start,
              bool* written);

  const Profile& profile_;
  Link& link_;
  platform::FontHost* const fonts_;
};

}  // namespace quillkit::detail
