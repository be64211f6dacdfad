#include "quillkit/virtual_printer.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <system_error>

#include "virtual/barcode_renderer.hpp"
#include "virtual/canvas.hpp"
#include "virtual/command_parser.hpp"
#include "virtual/font_renderer.hpp"
#include "virtual/png_io.hpp"
#include "virtual/text_decode.hpp"

namespace quillkit {
namespace {

using vp::parse_double;
using vp::parse_int;
using vp::trim;

constexpr long long kMaxCoordinate = 1'000'000;
constexpr double kMaxLength = 100'000;  // in the field's own unit

struct ResidentFont {
  char name;
  int width;
  int height;
};
constexpr ResidentFont kResidentFonts[] = {{'1', 8, 12},  {'2', 12, 20}, {'3', 16, 24},
                                           {'4', 24, 32}, {'5', 32, 48}, {'6', 14, 19},
                                           {'7', 21, 27}, {'8', 14, 25}};

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Printable form of a line for the log: control and non-ASCII bytes as \xNN, cut to the cap.
std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (out.size() >= VirtualLimits::kMaxLogLineChars) {
      out += "...";
      break;
    }
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      out.push_back(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

// The next field of a comma-separated list (commas inside double quotes do not count), trimmed;
// `rest` moves past it and its comma. `had_comma` tells whether a comma ended it.
std::string_view take_field(std::string_view& rest, bool* had_comma = nullptr) {
  bool quoted = false;
  std::size_t i = 0;
  for (; i < rest.size(); ++i) {
    if (rest[i] == '"') quoted = !quoted;
    if (rest[i] == ',' && !quoted) break;
  }
  std::string_view field = trim(rest.substr(0, i));
  if (had_comma != nullptr) *had_comma = i < rest.size();
  rest = i < rest.size() ? rest.substr(i + 1) : std::string_view();
  return field;
}

std::vector<std::string_view> split_fields(std::string_view args) {
  std::vector<std::string_view> fields;
  if (trim(args).empty()) return fields;
  bool had_comma = true;
  while (had_comma && fields.size() < 64) fields.push_back(take_field(args, &had_comma));
  return fields;
}

// A field in double quotes: its inside; else empty.
std::optional<std::string_view> unquote(std::string_view field) {
  field = trim(field);
  if (field.size() < 2 || field.front() != '"' || field.back() != '"') return std::nullopt;
  return field.substr(1, field.size() - 2);
}

// "lead fields..., [optional fields...,] "content"": at least `min_lead` fields before the
// content, at most `max_lead`; the content runs from its opening quote to the line's last
// quote, so it may hold commas and quotes.
bool split_with_content(std::string_view args, std::size_t min_lead, std::size_t max_lead,
                        std::vector<std::string_view>& lead, std::string_view& content) {
  lead.clear();
  std::string_view rest = args;
  while (lead.size() < min_lead) {
    bool had_comma = false;
    lead.push_back(take_field(rest, &had_comma));
    if (!had_comma) return false;
  }
  while (lead.size() < max_lead && !trim(rest).empty() && trim(rest).front() != '"') {
    bool had_comma = false;
    lead.push_back(take_field(rest, &had_comma));
    if (!had_comma) return false;
  }
  auto inside = unquote(rest);
  if (!inside) return false;
  content = *inside;
  return true;
}

bool parse_coordinate(std::string_view text, long long& value) {
  return parse_int(text, value) && value >= -kMaxCoordinate && value <= kMaxCoordinate;
}

bool parse_rotation(std::string_view text, int& rotation) {
  long long value = 0;
  if (!parse_int(text, value)) return false;
  if (value != 0 && value != 90 && value != 180 && value != 270) return false;
  rotation = static_cast<int>(value);
  return true;
}

std::string safe_file_name(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto b = static_cast<unsigned char>(name[i]);
    bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                 b == '-' || b == '_' || (b == '.' && i > 0);
    if (plain) {
      out.push_back(static_cast<char>(b));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      out += hex;
    }
  }
  return out;
}

bool wildcard_match(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

// Work that must run after the printer's lock is released: user callbacks.
struct Pending {
  struct Printed {
    std::shared_ptr<const VirtualLabel> image;
    std::uint64_t number;
    std::filesystem::path path;
  };
  std::vector<Printed> labels;
  std::vector<std::string> logs;
};

class VirtualPrinter::Impl {
 public:
  explicit Impl(VirtualPrinterConfig config) : config_(std::move(config)) {
    setup_.dpi = config_.dpi == 300 ? 300 : 203;
    canvas_.resize(setup_.width_dots, setup_.height_dots);
  }

  // Everything below is guarded by mutex_.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  VirtualPrinterConfig config_;
  VirtualLabelSetup setup_;
  vp::Canvas canvas_;
  std::unique_ptr<vp::FontRenderer> fonts_;
  std::vector<VirtualFile> files_;
  std::size_t file_bytes_ = 0;
  std::deque<VirtualLabel> labels_;
  std::uint64_t label_count_ = 0;
  std::uint64_t bytes_received_ = 0;
  Bytes transcript_;
  std::deque<std::string> log_;

  // The default stream of VirtualPrinter::feed, with its own lock (taken before mutex_).
  std::mutex default_stream_mutex_;
  std::unique_ptr<Stream> default_stream_;

  double dots_per_mm() const { return setup_.dpi == 300 ? 12.0 : 8.0; }

  vp::FontRenderer& fonts() {
    if (!fonts_) fonts_ = std::make_unique<vp::FontRenderer>();
    return *fonts_;
  }

  void log(Pending& pending, std::string line) {
    if (line.size() > VirtualLimits::kMaxLogLineChars + 3) {
      line.resize(VirtualLimits::kMaxLogLineChars);
      line += "...";
    }
    log_.push_back(line);
    while (log_.size() > VirtualLimits::kMaxLogLines) log_.pop_front();
    if (config_.on_log) pending.logs.push_back(std::move(line));
  }

  void record_received(std::span<const std::uint8_t> bytes) {
    bytes_received_ += bytes.size();
    std::size_t cap = VirtualLimits::kMaxTranscriptBytes;
    if (bytes.size() >= cap) {
      transcript_.assign(bytes.end() - static_cast<std::ptrdiff_t>(cap), bytes.end());
      return;
    }
    transcript_.insert(transcript_.end(), bytes.begin(), bytes.end());
    if (transcript_.size() > 2 * cap) {
      transcript_.erase(transcript_.begin(), transcript_.end() - static_cast<std::ptrdiff_t>(cap));
    }
  }

  std::size_t free_file_bytes() const { return VirtualLimits::kMaxTotalFileBytes - file_bytes_; }
};

namespace {

// Runs parsed commands against the printer. Lives for one feed call with the printer's lock
// held.
class Interpreter final : public vp::CommandSink {
 public:
  Interpreter(VirtualPrinter::Impl& printer, Bytes& answers, Pending& pending)
      : p_(printer), answers_(answers), pending_(pending) {}

  void on_line(std::string_view line) override;
  void on_bitmap(const vp::BitmapHeader& header, std::span<const std::uint8_t> raster) override;
  void on_download(const vp::DownloadHeader& header, Bytes data) override;
  void on_query(char letter) override;
  void on_escape(std::uint8_t first, std::uint8_t second) override;
  void on_problem(std::string message) override { p_.log(pending_, std::move(message)); }

 private:
  void answer(std::string_view text) { answers_.insert(answers_.end(), text.begin(), text.end()); }
  void malformed(std::string_view line, std::string_view why = {}) {
    std::string message = "malformed command skipped: " + printable(line);
    if (!why.empty()) message += " (" + std::string(why) + ")";
    p_.log(pending_, std::move(message));
  }
  std::optional<int> length_dots(std::string_view field);

  void size(std::string_view line, std::string_view args);
  void sensor(std::string_view line, std::string_view args, bool black_line);
  void print(std::string_view line, std::string_view args);
  void text(std::string_view line, std::string_view args);
  void barcode(std::string_view line, std::string_view args);
  void qrcode(std::string_view line, std::string_view args);
  void rect_command(std::string_view line, std::string_view args, vp::RectOp op);
  void box(std::string_view line, std::string_view args);
  void kill(std::string_view line, std::string_view args);
  void diagnostic(std::string_view line, std::string_view args);
  void set(std::string_view line, std::string_view args);
  void place(const vp::Mono& element, long long x, long long y, int rotation, int alignment);

  VirtualPrinter::Impl& p_;
  Bytes& answers_;
  Pending& pending_;
};

std::optional<int> Interpreter::length_dots(std::string_view field) {
  field = trim(field);
  std::string text = upper(field);
  double factor = p_.setup_.dpi;
  std::string_view number = field;
  auto ends_with = [&](std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (ends_with("MM")) {
    factor = p_.dots_per_mm();
    number = field.substr(0, field.size() - 2);
  } else if (ends_with("DOTS")) {
    factor = 1;
    number = field.substr(0, field.size() - 4);
  } else if (ends_with("DOT")) {
    factor = 1;
    number = field.substr(0, field.size() - 3);
  }
  double value = 0;
  if (!parse_double(number, value) || std::fabs(value) > kMaxLength) return std::nullopt;
  return static_cast<int>(std::lround(value * factor));
}

void Interpreter::on_line(std::string_view line) {
  std::string_view trimmed = trim(line);
  if (trimmed.empty()) return;
  std::size_t space = trimmed.find_first_of(" \t");
  std::string keyword = upper(trimmed.substr(0, space));
  std::string_view args =
      space == std::string_view::npos ? std::string_view() : trim(trimmed.substr(space + 1));
  VirtualLabelSetup& setup = p_.setup_;
  if (keyword == "SIZE") {
    size(line, args);
  } else if (keyword == "GAP") {
    sensor(line, args, false);
  } else if (keyword == "BLINE") {
    sensor(line, args, true);
  } else if (keyword == "SPEED") {
    double speed = 0;
    if (!parse_double(args, speed) || speed <= 0 || speed > 100) return malformed(line);
    setup.speed = speed;
  } else if (keyword == "DENSITY") {
    long long density = 0;
    if (!parse_int(args, density) || density < 0 || density > 15) return malformed(line);
    setup.density = static_cast<int>(density);
  } else if (keyword == "DIRECTION") {
    auto fields = split_fields(args);
    long long direction = 0, mirror = 0;
    if (fields.empty() || fields.size() > 2 || !parse_int(fields[0], direction) ||
        (direction != 0 && direction != 1) ||
        (fields.size() == 2 && (!parse_int(fields[1], mirror) || (mirror != 0 && mirror != 1)))) {
      return malformed(line);
    }
    setup.direction = static_cast<int>(direction);
    setup.mirror = static_cast<int>(mirror);
  } else if (keyword == "REFERENCE") {
    auto fields = split_fields(args);
    long long x = 0, y = 0;
    if (fields.size() != 2 || !parse_coordinate(fields[0], x) || !parse_coordinate(fields[1], y)) {
      return malformed(line);
    }
    setup.reference_x = static_cast<int>(x);
    setup.reference_y = static_cast<int>(y);
  } else if (keyword == "OFFSET") {
    auto dots = length_dots(args);
    if (!dots) return malformed(line);
    setup.offset_dots = *dots;
  } else if (keyword == "SET") {
    set(line, args);
  } else if (keyword == "CLS") {
    p_.canvas_.clear();
  } else if (keyword == "FORMFEED") {
    ++setup.form_feeds;
  } else if (keyword == "PRINT") {
    print(line, args);
  } else if (keyword == "TEXT") {
    text(line, args);
  } else if (keyword == "BARCODE") {
    barcode(line, args);
  } else if (keyword == "QRCODE") {
    qrcode(line, args);
  } else if (keyword == "BAR") {
    rect_command(line, args, vp::RectOp::kInk);
  } else if (keyword == "ERASE") {
    rect_command(line, args, vp::RectOp::kErase);
  } else if (keyword == "REVERSE") {
    rect_command(line, args, vp::RectOp::kInvert);
  } else if (keyword == "BOX") {
    box(line, args);
  } else if (keyword == "KILL") {
    kill(line, args);
  } else if (keyword == "OUT") {
    if (upper(args) == "_SERIAL$") {
      answer(p_.config_.answers.serial_number);
    } else if (auto literal = unquote(args)) {
      answer(*literal);
    } else {
      malformed(line);
    }
  } else if (keyword == "DIAGNOSTIC") {
    diagnostic(line, args);
  } else if (keyword == "BITMAP" || keyword == "DOWNLOAD") {
    malformed(line, "bad header");
  } else if (keyword == "CODEPAGE" || keyword == "COUNTRY" || keyword == "SOUND" ||
             keyword == "HOME" || keyword == "SHIFT" || keyword == "LIMITFEED" ||
             keyword == "CUT" || keyword == "EOP" || keyword == "INITIALPRINTER") {
    // Accepted; they change nothing the virtual printer shows.
  } else {
    p_.log(pending_, "unknown command skipped: " + printable(line));
  }
}

void Interpreter::size(std::string_view line, std::string_view args) {
  auto fields = split_fields(args);
  if (fields.empty() || fields.size() > 2) return malformed(line);
  auto width = length_dots(fields[0]);
  std::optional<int> height = fields.size() == 2 ? length_dots(fields[1]) : p_.setup_.height_dots;
  if (!width || !height || *width <= 0 || *height <= 0) return malformed(line);
  int w = std::min(*width, VirtualLimits::kMaxLabelWidthDots);
  int h = std::min(*height, VirtualLimits::kMaxLabelHeightDots);
  if (w != *width || h != *height) {
    p_.log(pending_, "label size cut to the cap: " + printable(line));
  }
  p_.setup_.width_dots = w;
  p_.setup_.height_dots = h;
  p_.canvas_.resize(w, h);
}

void Interpreter::sensor(std::string_view line, std::string_view args, bool black_line) {
  auto fields = split_fields(args);
  if (fields.size() != 2) return malformed(line);
  auto distance = length_dots(fields[0]);
  auto offset = length_dots(fields[1]);
  if (!distance || !offset || *distance < 0) return malformed(line);
  p_.setup_.black_line = black_line;
  p_.setup_.gap_dots = *distance;
  p_.setup_.gap_offset_dots = *offset;
}

void Interpreter::set(std::string_view line, std::string_view args) {
  std::size_t space = args.find_first_of(" \t");
  std::string name = upper(args.substr(0, space));
  std::string value =
      space == std::string_view::npos ? std::string() : upper(trim(args.substr(space + 1)));
  if (name == "TEAR") {
    if (value == "ON" || value == "1") {
      p_.setup_.tear = true;
    } else if (value == "OFF" || value == "0") {
      p_.setup_.tear = false;
    } else {
      malformed(line);
    }
  } else if (name.empty()) {
    malformed(line);
  }
  // Other SET switches (cutter, peel, ...) change nothing the virtual printer shows.
}

void Interpreter::print(std::string_view line, std::string_view args) {
  auto fields = split_fields(args);
  long long sets = 0, copies = 1;
  if (fields.empty() || fields.size() > 2 || !parse_int(fields[0], sets) ||
      (fields.size() == 2 && !parse_int(fields[1], copies))) {
    return malformed(line);
  }
  if (sets <= 0 || copies <= 0) return malformed(line, "nothing to print");
  std::uint64_t count = VirtualLimits::kMaxLabelsPerPrint;
  if (static_cast<unsigned long long>(sets) <= VirtualLimits::kMaxLabelsPerPrint &&
      static_cast<unsigned long long>(copies) <= VirtualLimits::kMaxLabelsPerPrint) {
    count = std::min<std::uint64_t>(count, static_cast<std::uint64_t>(sets * copies));
  }
  if (count < static_cast<unsigned long long>(sets) ||
      count / static_cast<unsigned long long>(sets) < static_cast<unsigned long long>(copies)) {
    p_.log(pending_, "PRINT cut to " + std::to_string(count) + " labels: " + printable(line));
  }

  // The printed image: the canvas as the direction and mirror settings turn it.
  auto image = std::make_shared<VirtualLabel>();
  const vp::Mono& canvas = p_.canvas_.image();
  image->width = canvas.width;
  image->height = canvas.height;
  image->dots.resize(canvas.dots.size());
  bool turn = p_.setup_.direction == 1;
  bool mirror = p_.setup_.mirror == 1;
  for (int y = 0; y < canvas.height; ++y) {
    for (int x = 0; x < canvas.width; ++x) {
      int sx = turn ? canvas.width - 1 - x : x;
      int sy = turn ? canvas.height - 1 - y : y;
      if (mirror) sx = canvas.width - 1 - sx;
      image->dots[static_cast<std::size_t>(y) * canvas.width + x] = canvas.at(sx, sy);
    }
  }

  Bytes png;
  bool write_files = !p_.config_.output_dir.empty();
  if (write_files) {
    std::error_code error;
    std::filesystem::create_directories(p_.config_.output_dir, error);
    if (!vp::encode_png(*image, png)) {
      p_.log(pending_, "PNG encoding failed; labels not written");
      write_files = false;
    }
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t number = ++p_.label_count_;
    std::filesystem::path path;
    if (write_files) {
      char name[48];
      std::snprintf(name, sizeof name, "label-%04llu.png", static_cast<unsigned long long>(number));
      path = p_.config_.output_dir / name;
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(png.data()),
                static_cast<std::streamsize>(png.size()));
      out.close();
      if (!out) {
        p_.log(pending_, "cannot write " + path.string());
        path.clear();
      }
    }
    if (count - i <= p_.config_.labels_kept) {
      VirtualLabel kept = *image;
      kept.number = number;
      kept.png_path = path;
      p_.labels_.push_back(std::move(kept));
      while (p_.labels_.size() > p_.config_.labels_kept) p_.labels_.pop_front();
    }
    if (p_.config_.on_label) pending_.labels.push_back({image, number, path});
  }
}

void Interpreter::place(const vp::Mono& element, long long x, long long y, int rotation,
                        int alignment) {
  long long shift = alignment == 2 ? -element.width / 2 : alignment == 3 ? -element.width : 0;
  x += p_.setup_.reference_x;
  y += p_.setup_.reference_y;
  switch (rotation) {
    case 90:
      y += shift;
      break;
    case 180:
      x -= shift;
      break;
    case 270:
      y -= shift;
      break;
    default:
      x += shift;
      break;
  }
  p_.canvas_.draw_rotated(element, x, y, rotation);
}

void Interpreter::text(std::string_view line, std::string_view args) {
  std::vector<std::string_view> lead;
  std::string_view content;
  long long x = 0, y = 0, alignment = 1;
  int rotation = 0;
  double mx = 0, my = 0;
  if (!split_with_content(args, 6, 7, lead, content) || !parse_coordinate(lead[0], x) ||
      !parse_coordinate(lead[1], y) || !parse_rotation(lead[3], rotation) ||
      !parse_double(lead[4], mx) || !parse_double(lead[5], my) ||
      (lead.size() == 7 && (!parse_int(lead[6], alignment) || alignment < 0 || alignment > 3))) {
    return malformed(line);
  }
  auto font = unquote(lead[2]);
  if (!font || font->empty()) return malformed(line, "font name");
  if (mx <= 0 || my <= 0 || mx > VirtualLimits::kMaxMagnification * 100.0 ||
      my > VirtualLimits::kMaxMagnification * 100.0) {
    return malformed(line, "magnification");
  }
  std::u32string characters = vp::decode_text(content);
  if (characters.size() > VirtualLimits::kMaxTextChars) {
    p_.log(pending_, "TEXT cut to " + std::to_string(VirtualLimits::kMaxTextChars) + " characters");
    characters.resize(VirtualLimits::kMaxTextChars);
  }
  if (characters.empty()) return;

  vp::Mono element;
  const ResidentFont* resident = nullptr;
  if (font->size() == 1) {
    for (const ResidentFont& f : kResidentFonts) {
      if (f.name == (*font)[0]) resident = &f;
    }
  }
  if (resident != nullptr) {
    long long ix = std::lround(mx), iy = std::lround(my);
    if (ix < 1 || iy < 1 || ix > VirtualLimits::kMaxMagnification ||
        iy > VirtualLimits::kMaxMagnification) {
      return malformed(line, "magnification");
    }
    if (characters.size() * static_cast<std::size_t>(resident->width * ix) *
            static_cast<std::size_t>(resident->height * iy) >
        VirtualLimits::kMaxElementDots) {
      return malformed(line, "text larger than the element cap");
    }
    element = vp::magnify(p_.fonts().cell_text(characters, resident->width, resident->height),
                          static_cast<int>(ix), static_cast<int>(iy));
  } else {
    // A name that carries a number (TSS24.BF2) is that many dots high times the
    // magnification; other names ("0", ROMAN.TTF) take the magnifications as points.
    long long cell = 0;
    std::size_t digits = font->find_first_of("0123456789");
    if (*font != "0" && digits != std::string_view::npos) {
      std::size_t end = font->find_first_not_of("0123456789", digits);
      parse_int(font->substr(digits, end == std::string_view::npos ? end : end - digits), cell);
    }
    double height = cell > 0 ? static_cast<double>(cell) * my : my * p_.setup_.dpi / 72.0;
    if (height < 1 || height > VirtualLimits::kMaxScalableTextDots) {
      return malformed(line, "text height");
    }
    double stretch = std::clamp(mx / my, 0.1, 10.0);
    element = p_.fonts().scalable_text(characters, static_cast<int>(std::lround(height)), stretch,
                                       VirtualLimits::kMaxElementDots);
    if (element.width == 0) return malformed(line, "text larger than the element cap");
  }
  place(element, x, y, rotation, static_cast<int>(alignment));
}

void Interpreter::barcode(std::string_view line, std::string_view args) {
  std::vector<std::string_view> lead;
  std::string_view code;
  long long x = 0, y = 0, height = 0, readable = 0, narrow = 0, wide = 0, alignment = 1;
  int rotation = 0;
  if (!split_with_content(args, 8, 9, lead, code) || !parse_coordinate(lead[0], x) ||
      !parse_coordinate(lead[1], y) || !parse_int(lead[3], height) ||
      !parse_int(lead[4], readable) || !parse_rotation(lead[5], rotation) ||
      !parse_int(lead[6], narrow) || !parse_int(lead[7], wide) ||
      (lead.size() == 9 && (!parse_int(lead[8], alignment) || alignment < 0 || alignment > 3))) {
    return malformed(line);
  }
  auto type = unquote(lead[2]);
  if (!type) return malformed(line, "barcode type");
  if (height < 1 || height > VirtualLimits::kMaxBarcodeHeightDots || readable < 0 || readable > 3 ||
      narrow < 1 || narrow > VirtualLimits::kMaxBarcodeNarrowDots || wide < 1 ||
      wide > VirtualLimits::kMaxBarcodeWideDots ||
      code.size() > VirtualLimits::kMaxBarcodeDataBytes) {
    return malformed(line, "size out of range");
  }
  vp::BarcodeRequest request{std::string(*type),       std::string(code),
                             static_cast<int>(height), static_cast<int>(readable),
                             static_cast<int>(narrow), static_cast<int>(wide)};
  std::string error;
  auto element = vp::render_barcode(request, p_.fonts(), error);
  if (!element) return malformed(line, error);
  place(*element, x, y, rotation, static_cast<int>(alignment));
}

void Interpreter::qrcode(std::string_view line, std::string_view args) {
  std::vector<std::string_view> lead;
  std::string_view data;
  long long x = 0, y = 0, cell = 0;
  int rotation = 0;
  if (!split_with_content(args, 6, 8, lead, data) || !parse_coordinate(lead[0], x) ||
      !parse_coordinate(lead[1], y) || lead[2].size() != 1 || !parse_int(lead[3], cell) ||
      !parse_rotation(lead[5], rotation)) {
    return malformed(line);
  }
  if (cell < 1 || cell > VirtualLimits::kMaxQrCellDots ||
      data.size() > VirtualLimits::kMaxQrDataBytes) {
    return malformed(line, "size out of range");
  }
  std::string error;
  auto element = vp::render_qr(lead[2][0], static_cast<int>(cell), data, error);
  if (!element) return malformed(line, error);
  place(*element, x, y, rotation, 1);
}

void Interpreter::rect_command(std::string_view line, std::string_view args, vp::RectOp op) {
  auto fields = split_fields(args);
  long long v[4];
  if (fields.size() != 4) return malformed(line);
  for (int k = 0; k < 4; ++k) {
    if (!parse_coordinate(fields[k], v[k])) return malformed(line);
  }
  if (v[2] < 0 || v[3] < 0) return malformed(line);
  p_.canvas_.rect(v[0] + p_.setup_.reference_x, v[1] + p_.setup_.reference_y, v[2], v[3], op);
}

void Interpreter::box(std::string_view line, std::string_view args) {
  auto fields = split_fields(args);
  long long v[5];
  if (fields.size() != 5 && fields.size() != 6) return malformed(line);
  for (int k = 0; k < 5; ++k) {
    if (!parse_coordinate(fields[k], v[k])) return malformed(line);
  }
  long long x0 = std::min(v[0], v[2]), x1 = std::max(v[0], v[2]);
  long long y0 = std::min(v[1], v[3]), y1 = std::max(v[1], v[3]);
  long long t = v[4];
  if (t < 1) return malformed(line, "thickness");
  x0 += p_.setup_.reference_x;
  x1 += p_.setup_.reference_x;
  y0 += p_.setup_.reference_y;
  y1 += p_.setup_.reference_y;
  vp::Canvas& c = p_.canvas_;
  c.rect(x0, y0, x1 - x0, t, vp::RectOp::kInk);
  c.rect(x0, y1 - t, x1 - x0, t, vp::RectOp::kInk);
  c.rect(x0, y0, t, y1 - y0, vp::RectOp::kInk);
  c.rect(x1 - t, y0, t, y1 - y0, vp::RectOp::kInk);
}

void Interpreter::kill(std::string_view line, std::string_view args) {
  std::string_view rest = args;
  std::string_view first = take_field(rest);
  std::string_view pattern_field = first;
  if (upper(first) == "F" || upper(first) == "E") pattern_field = trim(rest);
  auto pattern = unquote(pattern_field);
  if (!pattern || pattern->empty()) return malformed(line);
  std::size_t removed = 0;
  for (auto it = p_.files_.begin(); it != p_.files_.end();) {
    if (wildcard_match(*pattern, it->name)) {
      p_.file_bytes_ -= it->data.size();
      if (!p_.config_.files_dir.empty()) {
        std::error_code error;
        std::filesystem::remove(p_.config_.files_dir / safe_file_name(it->name), error);
      }
      it = p_.files_.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  if (removed == 0) p_.log(pending_, "KILL found no file: " + printable(line));
}

void Interpreter::diagnostic(std::string_view line, std::string_view args) {
  std::size_t space = args.find_first_of(" \t");
  std::string what = upper(args.substr(0, space));
  std::string value =
      space == std::string_view::npos ? std::string() : upper(trim(args.substr(space + 1)));
  if (what == "INTERFACE" && !value.empty()) {
    p_.setup_.diagnostic_interface = value;
  } else if (what == "REPORT" && !value.empty()) {
    const auto& battery = p_.config_.answers.battery;
    auto it = battery.find(value);
    if (it == battery.end()) return malformed(line, "no such report");
    answer(VirtualAnswers::kBatteryReplyPrefix);
    answer(it->second);
    answer("\r");
  } else {
    malformed(line);
  }
}

void Interpreter::on_bitmap(const vp::BitmapHeader& header, std::span<const std::uint8_t> raster) {
  vp::BlitOp op;
  switch (header.mode) {
    case 0:
      op = vp::BlitOp::kOverwrite;
      break;
    case 1:
      op = vp::BlitOp::kOr;
      break;
    case 2:
      op = vp::BlitOp::kXor;
      break;
    default:
      p_.log(pending_, "BITMAP mode " + std::to_string(header.mode) + " unknown; raster skipped");
      return;
  }
  if (raster.size() != static_cast<std::size_t>(header.width_bytes) * header.height) return;
  p_.canvas_.blit_raster(raster.data(), header.width_bytes, header.height,
                         static_cast<long long>(header.x) + p_.setup_.reference_x,
                         static_cast<long long>(header.y) + p_.setup_.reference_y, op);
}

void Interpreter::on_download(const vp::DownloadHeader& header, Bytes data) {
  auto existing = std::find_if(p_.files_.begin(), p_.files_.end(),
                               [&](const VirtualFile& f) { return f.name == header.name; });
  std::size_t old_size = existing != p_.files_.end() ? existing->data.size() : 0;
  if (existing == p_.files_.end() && p_.files_.size() >= VirtualLimits::kMaxFiles) {
    p_.log(pending_, "file memory holds " + std::to_string(VirtualLimits::kMaxFiles) +
                         " files; not stored: " + printable(header.name));
    return;
  }
  if (data.size() > p_.free_file_bytes() + old_size) {
    p_.log(pending_, "file memory full; not stored: " + printable(header.name));
    return;
  }
  if (!p_.config_.files_dir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(p_.config_.files_dir, error);
    std::ofstream out(p_.config_.files_dir / safe_file_name(header.name),
                      std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) p_.log(pending_, "cannot write file to the folder: " + printable(header.name));
  }
  p_.file_bytes_ = p_.file_bytes_ - old_size + data.size();
  if (existing != p_.files_.end()) {
    existing->data = std::move(data);
  } else {
    p_.files_.push_back({header.name, std::move(data)});
  }
}

void Interpreter::on_query(char letter) {
  const VirtualAnswers& answers = p_.config_.answers;
  switch (letter) {
    case 'T':
      answer(answers.model_name);
      break;
    case 'I':
      answer(answers.code_page);
      break;
    case '@':
      answer(answers.mileage);
      break;
    case 'A':
      if (answers.memory.empty()) {
        answer(std::to_string(p_.free_file_bytes() / 1024) + " KB FREE\r");
      } else {
        answer(answers.memory);
      }
      break;
    case 'F':
      for (const VirtualFile& file : p_.files_) {
        answer(file.name);
        answer("\r");
      }
      answer("\x1A");
      break;
    default:
      p_.log(pending_, "unknown query skipped: ~!" + printable(std::string_view(&letter, 1)));
      break;
  }
}

void Interpreter::on_escape(std::uint8_t first, std::uint8_t second) {
  if (first == '!' && second == '?') {
    const VirtualAnswers& answers = p_.config_.answers;
    answers_.push_back(answers.status);
    answers_.insert(answers_.end(), answers.status_trailer.begin(), answers.status_trailer.end());
    return;
  }
  char bytes[2] = {static_cast<char>(first), static_cast<char>(second)};
  p_.log(pending_, "unknown ESC sequence skipped: \\x1B" + printable(std::string_view(bytes, 2)));
}

class StreamImpl final : public VirtualPrinter::Stream {
 public:
  explicit StreamImpl(VirtualPrinter::Impl& printer) : printer_(printer) {}

  Bytes feed(std::span<const std::uint8_t> bytes) override {
    Bytes answers;
    Pending pending;
    std::function<void(const VirtualLabel&)> on_label;
    std::function<void(std::string_view)> on_log;
    {
      std::lock_guard lock(printer_.mutex_);
      printer_.record_received(bytes);
      Interpreter interpreter(printer_, answers, pending);
      parser_.feed(bytes, interpreter);
      if (!pending.labels.empty()) on_label = printer_.config_.on_label;
      if (!pending.logs.empty()) on_log = printer_.config_.on_log;
    }
    printer_.changed_.notify_all();
    for (const std::string& line : pending.logs) on_log(line);
    for (const Pending::Printed& printed : pending.labels) {
      VirtualLabel label = *printed.image;
      label.number = printed.number;
      label.png_path = printed.path;
      on_label(label);
    }
    return answers;
  }

 private:
  VirtualPrinter::Impl& printer_;
  vp::CommandParser parser_;
};

}  // namespace

VirtualPrinter::VirtualPrinter(VirtualPrinterConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {
  impl_->default_stream_ = open_stream();
}

VirtualPrinter::~VirtualPrinter() = default;

Bytes VirtualPrinter::feed(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(impl_->default_stream_mutex_);
  return impl_->default_stream_->feed(bytes);
}

Bytes VirtualPrinter::feed(std::string_view bytes) {
  return feed(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::unique_ptr<VirtualPrinter::Stream> VirtualPrinter::open_stream() {
  return std::make_unique<StreamImpl>(*impl_);
}

bool VirtualPrinter::deliver_answer(
    std::span<const std::uint8_t> answer, std::stop_token stop,
    const std::function<bool(std::span<const std::uint8_t>)>& write) const {
  VirtualAnswerTiming timing = this->timing();
  auto pause = [&stop](std::chrono::milliseconds duration) {
    if (duration.count() > 0) {
      std::mutex mutex;
      std::condition_variable_any wake;
      std::unique_lock lock(mutex);
      wake.wait_for(lock, stop, duration, [] { return false; });
    }
    return !stop.stop_requested();
  };
  if (!pause(timing.delay)) return false;
  std::size_t piece = timing.piece_size == 0 ? answer.size() : timing.piece_size;
  for (std::size_t offset = 0; offset < answer.size(); offset += piece) {
    if (offset > 0 && !pause(timing.piece_gap)) return false;
    if (!write(answer.subspan(offset, std::min(piece, answer.size() - offset)))) return false;
  }
  return true;
}

void VirtualPrinter::set_answers(VirtualAnswers answers) {
  std::lock_guard lock(impl_->mutex_);
  impl_->config_.answers = std::move(answers);
}

VirtualAnswers VirtualPrinter::answers() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->config_.answers;
}

void VirtualPrinter::set_status(std::uint8_t status) {
  std::lock_guard lock(impl_->mutex_);
  impl_->config_.answers.status = status;
}

void VirtualPrinter::set_timing(VirtualAnswerTiming timing) {
  std::lock_guard lock(impl_->mutex_);
  impl_->config_.timing = timing;
}

VirtualAnswerTiming VirtualPrinter::timing() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->config_.timing;
}

VirtualLabelSetup VirtualPrinter::setup() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->setup_;
}

VirtualLabel VirtualPrinter::canvas() const {
  std::lock_guard lock(impl_->mutex_);
  const vp::Mono& image = impl_->canvas_.image();
  VirtualLabel label;
  label.width = image.width;
  label.height = image.height;
  label.dots = image.dots;
  return label;
}

std::vector<VirtualLabel> VirtualPrinter::labels() const {
  std::lock_guard lock(impl_->mutex_);
  return {impl_->labels_.begin(), impl_->labels_.end()};
}

std::uint64_t VirtualPrinter::label_count() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->label_count_;
}

bool VirtualPrinter::wait_for_labels(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, timeout, [&] { return impl_->label_count_ >= count; });
}

std::vector<VirtualFile> VirtualPrinter::files() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->files_;
}

std::optional<Bytes> VirtualPrinter::file(std::string_view name) const {
  std::lock_guard lock(impl_->mutex_);
  for (const VirtualFile& f : impl_->files_) {
    if (f.name == name) return f.data;
  }
  return std::nullopt;
}

std::uint64_t VirtualPrinter::bytes_received() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->bytes_received_;
}

Bytes VirtualPrinter::transcript() const {
  std::lock_guard lock(impl_->mutex_);
  const Bytes& all = impl_->transcript_;
  std::size_t keep = std::min(all.size(), VirtualLimits::kMaxTranscriptBytes);
  return Bytes(all.end() - static_cast<std::ptrdiff_t>(keep), all.end());
}

bool VirtualPrinter::wait_for_bytes(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, timeout, [&] { return impl_->bytes_received_ >= count; });
}

std::vector<std::string> VirtualPrinter::log_lines() const {
  std::lock_guard lock(impl_->mutex_);
  return {impl_->log_.begin(), impl_->log_.end()};
}

void VirtualPrinter::log(std::string_view line) {
  Pending pending;
  std::function<void(std::string_view)> on_log;
  {
    std::lock_guard lock(impl_->mutex_);
    impl_->log(pending, std::string(line));
    on_log = impl_->config_.on_log;
  }
  for (const std::string& text : pending.logs) on_log(text);
}

}  // namespace quillkit
