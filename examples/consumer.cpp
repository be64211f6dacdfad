// Links against the installed library and checks a printer object can be made
// and refuses cleanly while closed. With QUILLKIT_EXAMPLE_BLE set to a printer's
// name, it also finds that printer over BLE, prints a label and reads its model
// name and status byte (-1 from a printer that answers the status with one byte).
#include <quillkit/quillkit.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

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

int main() {
  quillkit::set_log_sink([](quillkit::LogChannel, std::string_view) {});
  quillkit::WiFi printer;
  const bool closed = printer.stream_Status() == -1 && printer.sendcommand("CLS\r\n") == -1;
  std::printf("%s %.1f: closed printer %s\n", quillkitVersionString, quillkitVersionNumber,
              closed ? "refuses as expected" : "misbehaves");
  if (!closed) return 1;
  const char* ble = std::getenv("QUILLKIT_EXAMPLE_BLE");
  return ble != nullptr ? ble_round_trip(ble) : 0;
}
