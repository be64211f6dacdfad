// Printer control and queries: OUT, DIAGNOSTIC, the media and job commands the virtual printer
// accepts and logs, the ~! queries and the ESC ! sequences.
#include "virtual/commands.hpp"

namespace quillkit::vp {

void cmd_out(Call& call) {
  std::string_view words = call.words;
  if (upper(words) == "_SERIAL$") return call.answer(call.settings().answers.serial_number);
  if (auto text = unquote(words)) return call.answer(*text);
  call.malformed();
}

void cmd_diagnostic(Call& call) {
  auto [what, rest] = first_word(call.words);
  std::string value = upper(rest);
  if (what == "INTERFACE" && !value.empty()) {
    call.settings().setup.diagnostic_interface = value;
  } else if (what == "REPORT" && !value.empty()) {
    const auto& battery = call.settings().answers.battery;
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
    ++call.settings().setup.form_feeds;
    return;
  }
  if (call.has(0)) {
    call.integer(0, -100'000, 100'000);
    if (!call.ok()) return call.malformed();
  }
  call.ignored("media movement");
}

void cmd_control(Call& call) { call.ignored("printer control"); }

void run_query(Call& call, char letter) {
  const VirtualAnswers& answers = call.settings().answers;
  switch (letter) {
    case 'T':
      return call.answer(answers.model_name);
    case 'I':
      return call.answer(answers.code_page);
    case '@':
      return call.answer(answers.mileage);
    case 'A':
      if (answers.memory.empty()) {
        return call.answer(std::to_string(call.files().free_bytes() / 1024) + " KB FREE\r");
      }
      return call.answer(answers.memory);
    case 'F':
      for (const VirtualFile& file : call.files().files()) {
        call.answer(file.name);
        call.answer("\r");
      }
      return call.answer("\x1A");
    default:
      call.log("unknown query skipped: ~!" + printable(std::string_view(&letter, 1)));
  }
}

void run_escape(Call& call, std::uint8_t first, std::uint8_t second) {
  Settings& settings = call.settings();
  if (first == '!') {
    switch (second) {
      case '?': {
        const VirtualAnswers& answers = settings.answers;
        call.answer_byte(static_cast<std::uint8_t>(answers.status | (settings.paused ? 0x10 : 0)));
        std::string_view trailer(reinterpret_cast<const char*>(answers.status_trailer.data()),
                                 answers.status_trailer.size());
        return call.answer(trailer);
      }
      case 'R':
        settings.paused = false;
        return cmd_cls(call);
      case 'P':
        settings.paused = true;
        return;
      case 'O':
        settings.paused = false;
        return;
      default:
        break;
    }
  }
  char bytes[2] = {static_cast<char>(first), static_cast<char>(second)};
  call.log("unknown ESC sequence skipped: \\x1B" + printable(std::string_view(bytes, 2)));
}

}  // namespace quillkit::vp
