// The state behind every Printer: its link and its class profile, and the
// sending steps that the operations share.
#pragma once

#include <memory>
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
  // `fonts`, when given, must outlive the core; without it the core draws with
  // the system's font host, set up on first use only.
  PrinterCore(const Profile& profile, std::unique_ptr<Link> link,
              platform::FontHost* fonts = nullptr)
      : profile_(profile), link_(std::move(link)), fonts_(fonts) {}

  const Profile& profile() const { return profile_; }
  Link& link() { return *link_; }
  // The font host that draws host-font text.
  platform::FontHost& fonts() { return fonts_ ? *fonts_ : platform::default_font_host(); }

  // The class's write primitive, ungated.
  Result write(std::span<const std::uint8_t> bytes) { return link_->write(bytes, false); }

  // A sender: waits `wait` seconds, refuses with -1 when the link probe gives
  // -1, with -2 when the profile has a space gate and the output has no space,
  // with -1 when `text` cannot be converted; otherwise writes the converted
  // text in one write and returns 1. `begin_reply` starts a fresh reply at the
  // moment of the write (queries).
  Result send_text(std::string_view text, platform::Encoding encoding, double wait,
                   bool begin_reply = false);
  // The same for a byte buffer, which goes out unchanged.
  Result send_bytes(std::span<const std::uint8_t> bytes, double wait, bool begin_reply = false);

 private:
  // The gates shared by both senders: 1 to go on, else the refusal.
  Result gates();

  const Profile& profile_;
  std::unique_ptr<Link> link_;
  platform::FontHost* const fonts_;
};

}  // namespace quillkit::detail
