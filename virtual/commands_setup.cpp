// Setup and layout: media size and sensing, print settings, the text encoding, variables and
// counters.
#include <algorithm>

#include "virtual/commands.hpp"

namespace quillkit::vp {
namespace {

void sensor(Call& call, bool black_line) {
  int distance = call.length(0);
  int offset = call.length(1);
  if (!call.ok() || distance < 0) return call.malformed();
  VirtualLabelSetup& setup = call.settings().setup;
  setup.black_line = black_line;
  setup.gap_dots = distance;
  setup.gap_offset_dots = offset;
}

}  // namespace

void cmd_size(Call& call) {
  VirtualLabelSetup& setup = call.settings().setup;
  int width = call.length(0);
  int height = call.has(1) ? call.length(1) : setup.height_dots;
  if (!call.ok() || width <= 0 || height <= 0) return call.malformed();
  int w = std::min(width, VirtualLimits::kMaxLabelWidthDots);
  int h = std::min(height, VirtualLimits::kMaxLabelHeightDots);
  if (w != width || h != height) call.log("label size cut to the cap: " + printable(call.line));
  setup.width_dots = w;
  setup.height_dots = h;
  call.page().canvas().resize(w, h);
}

void cmd_gap(Call& call) { sensor(call, false); }

void cmd_bline(Call& call) { sensor(call, true); }

void cmd_speed(Call& call) {
  double speed = call.number(0, 1e-9, 100);
  if (!call.ok()) return call.malformed();
  call.settings().setup.speed = speed;
}

void cmd_density(Call& call) {
  long long density = call.integer(0, 0, 15);
  if (!call.ok()) return call.malformed();
  call.settings().setup.density = static_cast<int>(density);
}

void cmd_direction(Call& call) {
  long long direction = call.integer(0, 0, 1);
  long long mirror = call.has(1) ? call.integer(1, 0, 1) : 0;
  if (!call.ok()) return call.malformed();
  call.settings().setup.direction = static_cast<int>(direction);
  call.settings().setup.mirror = static_cast<int>(mirror);
}

void cmd_reference(Call& call) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  if (!call.ok()) return call.malformed();
  call.settings().setup.reference_x = static_cast<int>(x);
  call.settings().setup.reference_y = static_cast<int>(y);
}

void cmd_offset(Call& call) {
  int dots = call.length(0);
  if (!call.ok()) return call.malformed();
  call.settings().setup.offset_dots = dots;
}

void cmd_set(Call& call) {
  auto [name, rest] = first_word(call.words);
  std::string value = upper(rest);
  if (name == "TEAR") {
    if (value == "ON" || value == "1") {
      call.settings().setup.tear = true;
    } else if (value == "OFF" || value == "0") {
      call.settings().setup.tear = false;
    } else {
      call.malformed();
    }
  } else if (name == "COUNTER") {
    // SET COUNTER @n step
    auto [counter, step_text] = first_word(rest);
    long long step = 0;
    if (counter.size() < 2 || counter.front() != '@' || !parse_int(step_text, step) ||
        step < -1'000'000 || step > 1'000'000) {
      return call.malformed();
    }
    if (const char* refused = call.variables().set_counter(counter, step)) {
      return call.malformed(refused);
    }
  } else if (name.empty()) {
    call.malformed();
  } else {
    // Cutter, peel, head-up and the other switches change nothing a drawn label shows.
    call.ignored("switch " + name);
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
  call.settings().codepage = charset;
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
  if (const char* refused = call.variables().assign(name, std::move(*value))) {
    return call.malformed(refused);
  }
  call.page().mark_stale();
}

}  // namespace quillkit::vp
