// Printer control and queries: OUT, DIAGNOSTIC, the media and job commands the virtual printer
// accepts and logs, SELFTEST, the ~! queries and the ESC ! sequences.
#include "virtual/commands.hpp"

namespace quillkit::vp {

void cmd_out(Call& call) {
  std::string_view words = call.words;
  if (upper(words) == "_SERIAL$") return call.answer(call.printer.config_.answers.serial_number);
  if (words.size() >= 2 && words.front() == '"' && words.back() == '"') {
    return call.answer(words.substr(1, words.size() - 2));
  }
  call.malformed();
}

void cmd_diagnostic(Call& call) {
  std::string_view words = call.words;
  std::size_t space = words.find_first_of(" \t");
  std::string what = upper(words.substr(0, space));
  std::string value =
      space == std::string_view::npos ? std::string() : upper(trim(words.substr(space + 1)));
  if (what == "INTERFACE" && !value.empty()) {
    call.printer.setup_.diagnostic_interface = value;
  } else if (what == "REPORT" && !value.empty()) {
    const auto& battery = call.printer.config_.answers.battery;
    auto it = battery.find(value);
    if (it == battery.end()) return call.malformed("no such report");
    call.answer(VirtualAnswers::kBatteryReplyPrefix);
    call.answer(it->second);
    call.answer("\r");
  } else {
    call.malformed();
  }
}

void cmd_feed(Call& call) {
  if (call.keyword == "FORMFEED") {
    ++call.printer.setup_.form_feeds;
    return;
  }
  if (call.has(0)) {
    call.integer(0, -100'000, 100'000);
    if (!call.ok()) return call.malformed();
  }
  call.ignored("media movement");
}

void cmd_control(Call& call) { call.ignored("printer control"); }

void cmd_selftest(Call& call) {
  VirtualPrinter::Impl& p = call.printer;
  const VirtualLabelSetup& s = p.setup_;
  std::vector<std::string> text = {
      "SELF TEST",
      "MODEL " + p.config_.answers.model_name.substr(0, p.config_.answers.model_name.find('\r')),
      "DPI " + std::to_string(s.dpi),
      "SIZE " + std::to_string(s.width_dots) + " x " + std::to_string(s.height_dots) + " DOTS",
      std::string(s.black_line ? "BLINE " : "GAP ") + std::to_string(s.gap_dots) + "," +
          std::to_string(s.gap_offset_dots) + " DOTS",
      "SPEED " + std::to_string(s.speed).substr(0, 4) + " DENSITY " + std::to_string(s.density),
      "CODEPAGE " + (p.codepage_.empty() ? std::string("AUTO") : p.codepage_),
      "FILES " + std::to_string(p.files_.size()) + " FREE " +
          std::to_string(p.free_file_bytes() / 1024) + " KB",
  };
  Mono saved = p.canvas_.image();
  bool uses_variables = p.page_uses_variables_;
  p.page_uses_variables_ = false;
  p.canvas_.clear();
  int y = 8;
  for (const std::string& line : text) {
    p.canvas_.draw_rotated(p.fonts().cell_text(std::u32string(line.begin(), line.end()), 12, 20), 8,
                           y, 0);
    y += 24;
  }
  Call print(p, call.stream, call.answers(), call.pending(), "PRINT", "PRINT 1");
  print.fields = {"1"};
  cmd_print(print);
  p.canvas_.restore(std::move(saved));
  p.page_uses_variables_ = uses_variables;
}

void run_query(Call& call, char letter) {
  VirtualPrinter::Impl& p = call.printer;
  const VirtualAnswers& answers = p.config_.answers;
  switch (letter) {
    case 'T':
      return call.answer(answers.model_name);
    case 'I':
      return call.answer(answers.code_page);
    case '@':
      return call.answer(answers.mileage);
    case 'A':
      if (answers.memory.empty()) {
        return call.answer(std::to_string(p.free_file_bytes() / 1024) + " KB FREE\r");
      }
      return call.answer(answers.memory);
    case 'F':
      for (const VirtualFile& file : p.files_) {
        call.answer(file.name);
        call.answer("\r");
      }
      return call.answer("\x1A");
    default:
      call.log("unknown query skipped: ~!" + printable(std::string_view(&letter, 1)));
  }
}

void run_escape(Call& call, std::uint8_t first, std::uint8_t second) {
  VirtualPrinter::Impl& p = call.printer;
  if (first == '!') {
    switch (second) {
      case '?': {
        const VirtualAnswers& answers = p.config_.answers;
        call.answer_byte(static_cast<std::uint8_t>(answers.status | (p.paused_ ? 0x10 : 0)));
        std::string_view trailer(reinterpret_cast<const char*>(answers.status_trailer.data()),
                                 answers.status_trailer.size());
        return call.answer(trailer);
      }
      case 'R':
        p.paused_ = false;
        return cmd_cls(call);
      case 'P':
        p.paused_ = true;
        return;
      case 'O':
        p.paused_ = false;
        return;
      default:
        break;
    }
  }
  char bytes[2] = {static_cast<char>(first), static_cast<char>(second)};
  call.log("unknown ESC sequence skipped: \\x1B" + printable(std::string_view(bytes, 2)));
}

}  // namespace quillkit::vp
