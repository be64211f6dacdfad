// Links against the installed library and checks a printer object can be made
// and refuses cleanly while closed.
#include <quillkit/quillkit.hpp>

#include <cstdio>

int main() {
  quillkit::set_log_sink([](quillkit::LogChannel, std::string_view) {});
  quillkit::WiFi printer;
  const bool closed = printer.stream_Status() == -1 && printer.sendcommand("CLS\r\n") == -1;
  std::printf("%s %.1f: closed printer %s\n", quillkitVersionString, quillkitVersionNumber,
              closed ? "refuses as expected" : "misbehaves");
  return closed ? 0 : 1;
}
