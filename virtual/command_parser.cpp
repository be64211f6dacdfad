#include "virtual/command_parser.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "quillkit/virtual_printer.hpp"

namespace quillkit::vp {
namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::size_t kPayloadReserveStep = 64 * 1024;

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Splits on every comma (the BITMAP header holds no quotes).
std::vector<std::string_view> split_plain(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ',') {
      fields.push_back(trim(text.substr(start, i - start)));
      start = i + 1;
    }
  }
  return fields;
}

// Whether the line starts with the (upper-case) keyword, followed by a blank or nothing.
bool starts_with_keyword(std::string_view line, std::string_view keyword) {
  if (line.size() < keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    if (upper(line[i]) != keyword[i]) return false;
  }
  return line.size() == keyword.size() || line[keyword.size()] == ' ' ||
         line[keyword.size()] == '\t';
}

// A number's text: trimmed, without a leading '+'.
std::string_view number_text(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return text;
}

}  // namespace

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upper(c);
  return out;
}

std::pair<std::string, std::string_view> first_word(std::string_view text) {
  std::size_t space = text.find_first_of(" \t");
  if (space == std::string_view::npos) return {upper(text), {}};
  return {upper(text.substr(0, space)), trim(text.substr(space + 1))};
}

std::optional<std::string_view> unquote(std::string_view text) {
  text = trim(text);
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::nullopt;
  return text.substr(1, text.size() - 2);
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool parse_int(std::string_view text, long long& value) {
  text = number_text(text);
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool parse_double(std::string_view text, double& value) {
  text = number_text(text);
  if (text.empty()) return false;
  auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

void CommandParser::feed(std::span<const std::uint8_t> bytes, CommandSink& sink) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (state_ == State::kPayload) {
      std::size_t take = std::min(payload_left_, bytes.size() - i);
      if (payload_kind_ != Payload::kSkip) {
        if (payload_.capacity() < payload_.size() + take) {
          payload_.reserve(std::min(
              payload_.size() + payload_left_,
              std::max(payload_.size() + take, payload_.capacity() + kPayloadReserveStep)));
        }
        payload_.insert(payload_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                        bytes.begin() + static_cast<std::ptrdiff_t>(i + take));
      }
      payload_left_ -= take;
      i += take;
      if (payload_left_ == 0) finish_payload(sink);
      continue;
    }
    std::uint8_t byte = bytes[i++];
    switch (state_) {
      case State::kEscape1:
        escape_first_ = byte;
        state_ = State::kEscape2;
        break;
      case State::kEscape2:
        state_ = State::kText;
        sink.on_escape(escape_first_, byte);
        break;
      default:
        text_byte(byte, sink);
        break;
    }
  }
}

std::string CommandParser::unfinished() const {
  switch (state_) {
    case State::kEscape1:
    case State::kEscape2:
      return "an ESC sequence cut short";
    case State::kPayload:
      return std::string(payload_kind_ == Payload::kBitmap ? "a BITMAP raster" : "a DOWNLOAD") +
             " cut short: " + std::to_string(payload_left_) + " bytes missing";
    case State::kText:
      break;
  }
  if (overflow_) return "an overlong line without its line end";
  if (!line_.empty()) {
    return "a last line without its line end (" + std::to_string(line_.size()) + " bytes)";
  }
  return {};
}

void CommandParser::text_byte(std::uint8_t byte, CommandSink& sink) {
  if (byte == '\r' || byte == '\n') {
    end_line(sink);
    return;
  }
  if (byte == kEsc) {
    state_ = State::kEscape1;
    return;
  }
  if (overflow_) return;
  if (line_.size() >= VirtualLimits::kMaxLineBytes) {
    overflow_ = true;
    line_.clear();
    line_.shrink_to_fit();
    return;
  }
  line_.push_back(static_cast<char>(byte));
  if (byte == '"') {
    in_quotes_ = !in_quotes_;
  } else if (byte == ',' && !in_quotes_) {
    ++commas_;
    check_binary_header(sink);
  } else if (line_.size() == 3 && line_[0] == '~' && line_[1] == '!') {
    char letter = line_[2];
    reset_line();
    sink.on_query(letter);
  }
}

void CommandParser::end_line(CommandSink& sink) {
  if (overflow_) {
    sink.on_problem("line longer than " + std::to_string(VirtualLimits::kMaxLineBytes) +
                    " bytes skipped");
  } else if (!line_.empty()) {
    std::string line = std::move(line_);
    reset_line();
    sink.on_line(line);
    return;
  }
  reset_line();
}

void CommandParser::reset_line() {
  line_.clear();
  if (line_.capacity() > 4096) line_.shrink_to_fit();
  overflow_ = false;
  in_quotes_ = false;
  commas_ = 0;
  header_refused_ = false;
}

void CommandParser::check_binary_header(CommandSink& sink) {
  if (header_refused_) return;
  // A malformed header leaves the line a text line.
  auto refuse = [this] { header_refused_ = true; };
  std::string_view line = line_;
  std::size_t payload_size = 0;
  bool fits = false;
  if (starts_with_keyword(line, "BITMAP")) {
    if (commas_ < 5) return;
    // The header is "BITMAP x,y,widthBytes,height,mode," and the raster follows the comma.
    auto fields = split_plain(line.substr(6, line.size() - 7));
    long long v[5];
    bool ok = fields.size() == 5;
    for (std::size_t k = 0; ok && k < 5; ++k) ok = parse_int(fields[k], v[k]);
    if (!ok || v[2] < 0 || v[3] < 0 || v[2] > (1LL << 30) || v[3] > (1LL << 30) ||
        std::llabs(v[0]) > (1LL << 30) || std::llabs(v[1]) > (1LL << 30))
      return refuse();
    bitmap_ = {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
               static_cast<int>(v[3]), static_cast<int>(std::clamp(v[4], -1LL, 1000LL))};
    unsigned long long size =
        static_cast<unsigned long long>(v[2]) * static_cast<unsigned long long>(v[3]);
    if (size > VirtualLimits::kMaxSkippedPayloadBytes) return refuse();
    payload_size = static_cast<std::size_t>(size);
    fits =
        v[2] <= VirtualLimits::kMaxBitmapWidthBytes && v[3] <= VirtualLimits::kMaxBitmapHeightDots;
    payload_kind_ = Payload::kBitmap;
    if (!fits) {
      sink.on_problem("BITMAP of " + std::to_string(v[2]) + " x " + std::to_string(v[3]) +
                      " bytes exceeds the cap; raster skipped");
    }
  } else if (starts_with_keyword(line, "DOWNLOAD")) {
    std::string_view rest = trim(line.substr(8));
    int needed = 2;
    if (!rest.empty() && upper(rest.front()) == 'F') {
      std::string_view after = trim(rest.substr(1));
      if (after.empty() || after.front() != ',') return refuse();
      needed = 3;
      rest = trim(after.substr(1));
    }
    if (commas_ < needed) return;
    // rest is now "\"NAME\",size," exactly.
    std::size_t close = rest.size() >= 2 ? rest.find('"', 1) : std::string_view::npos;
    long long size = -1;
    if (rest.empty() || rest.front() != '"' || close == std::string_view::npos) return refuse();
    std::string_view name = rest.substr(1, close - 1);
    std::string_view tail = trim(rest.substr(close + 1));
    if (tail.empty() || tail.front() != ',' || tail.back() != ',' ||
        !parse_int(tail.substr(1, tail.size() - 2), size) || size < 0 ||
        static_cast<unsigned long long>(size) > VirtualLimits::kMaxSkippedPayloadBytes)
      return refuse();
    download_ = {std::string(name), static_cast<std::size_t>(size)};
    payload_size = download_.size;
    fits = payload_size <= VirtualLimits::kMaxFileBytes && !name.empty() &&
           name.size() <= VirtualLimits::kMaxFileNameBytes;
    payload_kind_ = Payload::kDownload;
    if (!fits) {
      sink.on_problem("DOWNLOAD of " + std::to_string(payload_size) + " bytes (name of " +
                      std::to_string(name.size()) +
                      " bytes) exceeds a cap or has no name; data skipped");
    }
  } else {
    return refuse();
  }
  if (!fits) payload_kind_ = Payload::kSkip;
  payload_.clear();
  payload_.shrink_to_fit();
  if (payload_kind_ != Payload::kSkip)
    payload_.reserve(std::min(payload_size, kPayloadReserveStep));
  payload_left_ = payload_size;
  state_ = State::kPayload;
  if (payload_left_ == 0) finish_payload(sink);
}

void CommandParser::finish_payload(CommandSink& sink) {
  state_ = State::kText;
  Payload kind = payload_kind_;
  Bytes data = std::move(payload_);
  payload_ = Bytes();
  reset_line();
  if (kind == Payload::kBitmap) {
    sink.on_bitmap(bitmap_, data);
  } else if (kind == Payload::kDownload) {
    sink.on_download(download_, std::move(data));
  }
}

}  // namespace quillkit::vp
