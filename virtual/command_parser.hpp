// Splits the printer's byte stream into commands: text lines, the binary payloads of BITMAP and
// DOWNLOAD (taken by their declared lengths), ~! queries and ESC sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "quillkit/virtual_printer.hpp"

namespace quillkit::vp {

struct BitmapHeader {
  int x = 0;
  int y = 0;
  int width_bytes = 0;
  int height = 0;
  int mode = 0;
};

struct DownloadHeader {
  std::string name;
  std::size_t size = 0;
};

// Receives what the parser found, in stream order.
class CommandSink {
 public:
  virtual ~CommandSink() = default;
  // A complete line without its CR or LF; never empty.
  virtual void on_line(std::string_view line) = 0;
  virtual void on_bitmap(const BitmapHeader& header, std::span<const std::uint8_t> raster) = 0;
  virtual void on_download(const DownloadHeader& header, Bytes data) = 0;
  // "~!" and the letter that followed, at the start of a line.
  virtual void on_query(char letter) = 0;
  // ESC and the two bytes that followed it.
  virtual void on_escape(std::uint8_t first, std::uint8_t second) = 0;
  virtual void on_problem(std::string message) = 0;
};

// Incremental parser. Lines end at CR or LF (empty lines are dropped). A line that starts with
// BITMAP becomes binary once its fifth comma arrives; one that starts with DOWNLOAD once the
// comma after its size arrives. Memory is bounded by the caps of VirtualLimits. Not thread-safe.
class CommandParser {
 public:
  void feed(std::span<const std::uint8_t> bytes, CommandSink& sink);
  // What the input left unfinished (a line without its line end, a payload cut short, an ESC
  // sequence), for the log at the end of a connection; empty when nothing.
  std::string unfinished() const;

 private:
  enum class State { kText, kEscape1, kEscape2, kPayload };
  enum class Payload { kBitmap, kDownload, kSkip };

  void text_byte(std::uint8_t byte, CommandSink& sink);
  void end_line(CommandSink& sink);
  // Called after a comma outside quotes; may switch to kPayload.
  void check_binary_header(CommandSink& sink);
  void finish_payload(CommandSink& sink);
  void reset_line();

  State state_ = State::kText;
  std::string line_;
  bool overflow_ = false;
  bool in_quotes_ = false;
  int commas_ = 0;
  // Set once the line's binary header was found malformed: the line stays text.
  bool header_refused_ = false;
  std::uint8_t escape_first_ = 0;

  Payload payload_kind_ = Payload::kSkip;
  std::size_t payload_left_ = 0;
  Bytes payload_;
  BitmapHeader bitmap_;
  DownloadHeader download_;
};

// Helpers shared with the command interpreter.
bool parse_int(std::string_view text, long long& value);
bool parse_double(std::string_view text, double& value);
std::string_view trim(std::string_view text);
std::string upper(std::string_view text);
// The first word of a text (up to a blank) in upper case, and the rest, trimmed.
std::pair<std::string, std::string_view> first_word(std::string_view text);
// The inside of a text in double quotes, trimmed first; nothing when it is not one.
std::optional<std::string_view> unquote(std::string_view text);
// A text as the log quotes it: control and non-ASCII bytes as \xNN, cut to the log's line cap.
inline std::string printable(std::string_view text) {
  return escape_bytes(text, false, VirtualLimits::kMaxLogLineChars);
}

}  // namespace quillkit::vp
