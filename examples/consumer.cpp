// Links against the installed library and checks a printer object can be made
// and refuses cleanly while closed. Given a serial device path (for example the
// one `quill serve --pty` prints), it also prints a label over Bluetooth there,
// reads the model name and the status byte, and closes. With QUILLKIT_EXAMPLE_BLE
// set to a printer's name, it does the same over BLE (the status byte is -1 from
// a printer that answers the status with one byte).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <quillkit/quillkit.hpp>
#include <string>

namespace {

int round_trip(const char* path) {
  quillkit::Bluetooth printer;
  if (printer.openport_mfi(path) != 1) {
    std::printf("cannot open %s\n", path);
    return 1;
  }
  printer.setup("30", "20", "4", "8", "0", "2", "0");
  printer.clearBuffer();
  printer.printerfont("10", "10", "3", "0", "1", "1", "consumer");
  printer.printlabel(1, 1);
  const std::string model = printer.printer_modelname();
  const quillkit::Result status = printer.printer_status_byte();
  const auto start = std::chrono::steady_clock::now();
  printer.closeport();
  const double closing =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("Bluetooth on %s: model %s, status byte %ld, closed in %.1f s\n", path, model.c_str(),
              static_cast<long>(status), closing);
  return !model.empty() && model != "-1" && status >= 0 && status <= 255 && closing >= 2.0 ? 0 : 1;
}

int ble_round_trip(const std::string& name) {
  quillkit::BLE printer;
  for (const auto& found : printer.searchBLEDevice(2.0)) {
    if (found.name != name) continue;
    if (printer.openport_ble(found) != 1) break;
    printer.setup("60", "40", "4", "8", "0", "2", "0");
    printer.clearBuffer();
    printer.printerfont("20", "20", "3", "0", "1", "1", "quillkit over BLE");
    printer.printlabel(1, 1);
    const std::string model = printer.printer_modelname();
    const quillkit::Result status = printer.printer_status_byte();
    printer.closeport();
    std::printf("BLE %s: model %s, status byte %ld\n", name.c_str(), model.c_str(),
                static_cast<long>(status));
    return model.empty() ? 1 : 0;
  }
  std::printf("BLE %s: not found or not ready\n", name.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  quillkit::set_log_sink([](quillkit::LogChannel, std::string_view) {});
  quillkit::WiFi printer;
  const bool closed = printer.stream_Status() == -1 && printer.sendcommand("CLS\r\n") == -1;
  std::printf("%s %.1f: closed printer %s\n", quillkitVersionString, quillkitVersionNumber,
              closed ? "refuses as expected" : "misbehaves");
  if (!closed) return 1;
  if (const char* ble = std::getenv("QUILLKIT_EXAMPLE_BLE")) {
    if (ble_round_trip(ble) != 0) return 1;
  }
  return argc > 1 ? round_trip(argv[1]) : 0;
}
