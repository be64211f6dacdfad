// Setup and layout: media size and sensing, print settings, the page buffer, PRINT, the text
// encoding and counters.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "virtual/commands.hpp"
#include "virtual/png_io.hpp"

namespace quillkit::vp {
namespace {

constexpr std::size_t kMaxVariables = 64;
constexpr std::size_t kMaxVariableBytes = 256;

void sensor(Call& call, bool black_line) {
  int distance = call.length(0);
  int offset = call.length(1);
  if (!call.ok() || distance < 0) return call.malformed();
  call.printer.setup_.black_line = black_line;
  call.printer.setup_.gap_dots = distance;
  call.printer.setup_.gap_offset_dots = offset;
}

// The canvas as the direction and mirror settings turn it.
std::shared_ptr<const Mono> printed_image(const VirtualPrinter::Impl& p) {
  const Mono& canvas = p.canvas_.image();
  bool turn = p.setup_.direction == 1;
  bool mirror = p.setup_.mirror == 1;
  if (!turn && !mirror) return std::make_shared<Mono>(canvas);
  auto image = std::make_shared<Mono>(canvas.width, canvas.height);
  for (int y = 0; y < canvas.height; ++y) {
    for (int x = 0; x < canvas.width; ++x) {
      int sx = turn ? canvas.width - 1 - x : x;
      int sy = turn ? canvas.height - 1 - y : y;
      if (mirror) sx = canvas.width - 1 - sx;
      image->at(x, y) = canvas.at(sx, sy);
    }
  }
  return image;
}

// Writes one label file within the output caps; the path, or empty when not written.
std::filesystem::path write_label_file(Call& call, const Bytes& png, std::uint64_t number) {
  VirtualPrinter::Impl& p = call.printer;
  if (p.output_labels_ >= p.config_.output_max_labels ||
      p.output_bytes_ + png.size() > p.config_.output_max_bytes) {
    if (!p.output_cap_logged_) {
      p.output_cap_logged_ = true;
      call.log("output folder cap reached (" + std::to_string(p.config_.output_max_labels) +
               " labels or " + std::to_string(p.config_.output_max_bytes) + " bytes): label " +
               std::to_string(number) + " and later ones are not written");
    }
    return {};
  }
  char name[48];
  std::snprintf(name, sizeof name, "label-%04llu.png", static_cast<unsigned long long>(number));
  std::filesystem::path path = p.config_.output_dir / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  out.close();
  if (!out) {
    call.log("cannot write " + path.string());
    return {};
  }
  ++p.output_labels_;
  p.output_bytes_ += png.size();
  return path;
}

void keep_label(VirtualPrinter::Impl& p, const KeptLabel& label) {
  p.labels_.push_back(label);
  p.kept_dots_ += label.image->dots.size();
  while (p.labels_.size() > 1 && (p.labels_.size() > p.config_.labels_kept ||
                                  p.kept_dots_ > VirtualLimits::kMaxKeptLabelDots)) {
    p.kept_dots_ -= p.labels_.front().image->dots.size();
    p.labels_.pop_front();
  }
  if (p.config_.labels_kept == 0) {
    p.kept_dots_ = 0;
    p.labels_.clear();
  }
}

// Clears the canvas and runs the page's drawing commands again with the current variables.
void redraw_page(Call& call) {
  VirtualPrinter::Impl& p = call.printer;
  p.canvas_.clear();
  std::vector<PageOp> page = p.page_;
  Bytes answers;
  for (const PageOp& op : page) {
    if (op.line.empty()) {
      draw_bitmap(p, call.pending(), op.bitmap, op.raster);
    } else {
      run_line(p, call.stream, answers, call.pending(), op.line, false);
    }
  }
  p.page_stale_ = false;
}

// The counter's next value: decimal values keep their width (zero-padded); others stay.
bool step_value(std::string& value, long long step) {
  if (value.empty() || value.size() > 18 ||
      !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  long long next = std::stoll(value) + step;
  if (next < 0) next = 0;
  std::string text = std::to_string(next);
  if (text.size() < value.size()) text.insert(0, value.size() - text.size(), '0');
  value = text;
  return true;
}

void step_counters(Call& call) {
  VirtualPrinter::Impl& p = call.printer;
  for (const auto& [name, step] : p.counter_steps_) {
    std::string& value = p.variables_[name];
    if (!step_value(value, step)) call.ignored("counter " + name + " holding no number");
    p.page_stale_ = true;
  }
}

}  // namespace

void cmd_size(Call& call) {
  VirtualPrinter::Impl& p = call.printer;
  int width = call.length(0);
  int height = call.has(1) ? call.length(1) : p.setup_.height_dots;
  if (!call.ok() || width <= 0 || height <= 0) return call.malformed();
  int w = std::min(width, VirtualLimits::kMaxLabelWidthDots);
  int h = std::min(height, VirtualLimits::kMaxLabelHeightDots);
  if (w != width || h != height) call.log("label size cut to the cap: " + printable(call.line));
  p.setup_.width_dots = w;
  p.setup_.height_dots = h;
  p.canvas_.resize(w, h);
}

void cmd_gap(Call& call) { sensor(call, false); }

void cmd_bline(Call& call) { sensor(call, true); }

void cmd_speed(Call& call) {
  double speed = call.number(0, 1e-9, 100);
  if (!call.ok()) return call.malformed();
  call.printer.setup_.speed = speed;
}

void cmd_density(Call& call) {
  long long density = call.integer(0, 0, 15);
  if (!call.ok()) return call.malformed();
  call.printer.setup_.density = static_cast<int>(density);
}

void cmd_direction(Call& call) {
  long long direction = call.integer(0, 0, 1);
  long long mirror = call.has(1) ? call.integer(1, 0, 1) : 0;
  if (!call.ok()) return call.malformed();
  call.printer.setup_.direction = static_cast<int>(direction);
  call.printer.setup_.mirror = static_cast<int>(mirror);
}

void cmd_reference(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  if (!call.ok()) return call.malformed();
  call.printer.setup_.reference_x = static_cast<int>(x);
  call.printer.setup_.reference_y = static_cast<int>(y);
}

void cmd_offset(Call& call) {
  int dots = call.length(0);
  if (!call.ok()) return call.malformed();
  call.printer.setup_.offset_dots = dots;
}

void cmd_set(Call& call) {
  std::string_view words = call.words;
  std::size_t space = words.find_first_of(" \t");
  std::string name = upper(words.substr(0, space));
  std::string_view rest =
      space == std::string_view::npos ? std::string_view() : trim(words.substr(space + 1));
  std::string value = upper(rest);
  if (name == "TEAR") {
    if (value == "ON" || value == "1") {
      call.printer.setup_.tear = true;
    } else if (value == "OFF" || value == "0") {
      call.printer.setup_.tear = false;
    } else {
      call.malformed();
    }
  } else if (name == "COUNTER") {
    // SET COUNTER @n step
    std::size_t gap = rest.find_first_of(" \t");
    long long step = 0;
    std::string counter = upper(rest.substr(0, gap));
    if (counter.size() < 2 || counter.front() != '@' || gap == std::string_view::npos ||
        !parse_int(rest.substr(gap), step) || step < -1'000'000 || step > 1'000'000) {
      return call.malformed();
    }
    VirtualPrinter::Impl& p = call.printer;
    if (!p.counter_steps_.contains(counter) && p.counter_steps_.size() >= kMaxVariables) {
      return call.malformed("too many counters");
    }
    p.counter_steps_[counter] = step;
    p.variables_.try_emplace(counter, "0");
  } else if (name.empty()) {
    call.malformed();
  } else {
    // Cutter, peel, head-up and the other switches change nothing a drawn label shows.
    call.ignored("switch " + name);
  }
}

void cmd_cls(Call& call) {
  VirtualPrinter::Impl& p = call.printer;
  p.canvas_.clear();
  p.page_.clear();
  p.page_bytes_ = 0;
  p.page_overflow_ = false;
  p.page_uses_variables_ = false;
  p.page_stale_ = false;
}

void cmd_print(Call& call) {
  constexpr long long kMany = 1'000'000'000;
  long long sets = call.integer(0, 1, kMany);
  long long copies = call.has(1) ? call.integer(1, 1, kMany) : 1;
  if (!call.ok()) return call.malformed("nothing to print");
  VirtualPrinter::Impl& p = call.printer;
  const std::uint64_t cap = VirtualLimits::kMaxLabelsPerPrint;
  if (static_cast<unsigned long long>(sets) * static_cast<unsigned long long>(copies) > cap) {
    call.log("PRINT cut to " + std::to_string(cap) + " labels: " + printable(call.line));
  }
  if (p.page_overflow_ && !p.counter_steps_.empty()) {
    call.ignored("counters (page too large to draw again)");
  }
  std::uint64_t printed = 0;
  for (long long set = 0; set < sets && printed < cap; ++set) {
    if (p.page_stale_ && p.page_uses_variables_ && !p.page_overflow_) redraw_page(call);
    std::shared_ptr<const Mono> image = printed_image(p);
    Bytes png;
    bool write_files = !p.config_.output_dir.empty();
    if (write_files) {
      std::error_code error;
      std::filesystem::create_directories(p.config_.output_dir, error);
      if (!encode_png(image->width, image->height, image->dots, png)) {
        call.log("PNG encoding failed; label not written");
        write_files = false;
      }
    }
    for (long long copy = 0; copy < copies && printed < cap; ++copy, ++printed) {
      KeptLabel label{image, ++p.label_count_, {}};
      if (write_files) label.png_path = write_label_file(call, png, label.number);
      keep_label(p, label);
      if (p.config_.on_label) call.pending().labels.push_back(label);
    }
    step_counters(call);
    image.reset();
    if (!call.pending().labels.empty() && call.pending().release) call.pending().release();
  }
}

void cmd_codepage(Call& call) {
  std::string page = upper(call.words);
  long long number = 0;
  std::string charset;
  if (page == "UTF-8" || page == "UTF8") {
    charset = "UTF-8";
  } else if (page.starts_with("8859-") && parse_int(page.substr(5), number) && number >= 1 &&
             number <= 15 && number != 12) {
    charset = "ISO-8859-" + std::to_string(number);
  } else if (parse_int(page, number) &&
             (number == 437 || number == 737 || number == 850 || number == 851 || number == 852 ||
              number == 855 || number == 857 || (number >= 860 && number <= 866) || number == 869 ||
              (number >= 1250 && number <= 1258) || number == 932 || number == 936 ||
              number == 949 || number == 950)) {
    charset = "CP" + std::to_string(number);
  } else {
    return call.malformed("unknown code page");
  }
  call.printer.codepage_ = charset;
}

void cmd_assign(Call& call) {
  // @n="value" or @n=expression
  std::size_t equals = call.words.find('=');
  if (equals == std::string_view::npos) return call.malformed();
  std::string name = upper(trim(call.words.substr(0, equals)));
  if (name.size() < 2) return call.malformed("variable name");
  call.content = trim(call.words.substr(equals + 1));
  auto value = call.content_text();
  if (!value) return call.malformed();
  VirtualPrinter::Impl& p = call.printer;
  if (!p.variables_.contains(name) && p.variables_.size() >= kMaxVariables) {
    return call.malformed("too many variables");
  }
  if (value->size() > kMaxVariableBytes) return call.malformed("value too long");
  p.variables_[name] = *value;
  p.page_stale_ = true;
}

}  // namespace quillkit::vp
