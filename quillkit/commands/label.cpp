// Label setup, print control and the label elements drawn in the printer's own
// fonts. Each operation builds its whole message, converts it and hands it to
// the write primitive in one call; none of them looks at the link first or at
// what the write primitive reports.
#include <initializer_list>
#include <string>
#include <string_view>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/platform/text_codec.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {
namespace {

using platform::Encoding;

// The printer needs the composed image settled before it starts printing.
constexpr double kPrintPause = 0.5;

std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (const auto piece : pieces) size += piece.size();
  std::string text;
  text.reserve(size);
  for (const auto piece : pieces) text.append(piece);
  return text;
}

// Converts `message` strictly and writes it in one write. Returns 1 once it is
// handed to the write primitive (whatever that reports), -1 with nothing
// written when `message` is not valid UTF-8 or holds a character `encoding`
// cannot represent.
Result write_message(detail::PrinterCore& core, std::string_view message, Encoding encoding) {
  const auto bytes = platform::encode(message, encoding);
  if (!bytes) return -1;
  core.write(*bytes);
  return 1;
}

// The TEXT line of the printer-font operations, written in `encoding`.
Result write_text_line(detail::PrinterCore& core, Encoding encoding, std::string_view x,
                       std::string_view y, std::string_view font_name, std::string_view rotation,
                       std::string_view magnification_x, std::string_view magnification_y,
                       std::string_view content) {
  const std::string line =
      concat({"TEXT ", x, ",", y, ",\"", font_name, "\",", rotation, ",", magnification_x, ",",
              magnification_y, ",\"", content, "\"\r\n"});
  return write_message(core, line, encoding);
}

}  // namespace

Result Printer::setup(std::string_view width, std::string_view height, std::string_view speed,
                      std::string_view density, std::string_view sensor, std::string_view vertical,
                      std::string_view offset) {
  std::string message = concat({"SIZE ", width, " mm,", height, " mm\r\n", "SPEED ", speed, "\r\n",
                                "DENSITY ", density, "\r\n"});
  // Sensor "0" is the gap sensor, "1" the black line; any other text, even
  // one that differs only by a blank, leaves the printer's sensor as it is.
  if (sensor == "0") {
    message += concat({"GAP ", vertical, " mm,", offset, " mm\r\n"});
  } else if (sensor == "1") {
    message += concat({"BLINE ", vertical, " mm,", offset, " mm\r\n"});
  }
  return write_message(core(), message, Encoding::utf8);
}

Result Printer::clearBuffer() { return write_message(core(), "CLS\r\n", Encoding::utf8); }

Result Printer::formfeed() { return write_message(core(), "FORMFEED\r\n", Encoding::utf8); }

Result Printer::nobackfeed() { return write_message(core(), "SET TEAR OFF\r\n", Encoding::utf8); }

Result Printer::printlabel(std::intptr_t quantity, std::intptr_t copies) {
  const std::string line =
      concat({"PRINT ", std::to_string(quantity), ",", std::to_string(copies), "\r\n"});
  core().clock().sleep_seconds(kPrintPause);
  return write_message(core(), line, Encoding::utf8);
}

Result Printer::barcode(std::string_view x, std::string_view y, std::string_view barcodeType,
                        std::string_view height, std::string_view readable,
                        std::string_view rotation, std::string_view narrow, std::string_view wide,
                        std::string_view code) {
  const std::string line =
      concat({"BARCODE ", x, ",", y, ",\"", barcodeType, "\",", height, ",", readable, ",",
              rotation, ",", narrow, ",", wide, ",\"", code, "\"\r\n"});
  return write_message(core(), line, Encoding::utf8);
}

Result Printer::printerfont(std::string_view x, std::string_view y, std::string_view fontName,
                            std::string_view rotation, std::string_view magnificationRateX,
                            std::string_view magnificationRateY, std::string_view content) {
  return write_text_line(core(), Encoding::utf8, x, y, fontName, rotation, magnificationRateX,
                         magnificationRateY, content);
}

Result Printer::printerfont_GB2312(std::string_view x, std::string_view y,
                                   std::string_view fontName, std::string_view rotation,
                                   std::string_view magnificationRateX,
                                   std::string_view magnificationRateY, std::string_view content) {
  return write_text_line(core(), Encoding::gb18030, x, y, fontName, rotation, magnificationRateX,
                         magnificationRateY, content);
}

Result Printer::printerfont_Big5(std::string_view x, std::string_view y, std::string_view fontName,
                                 std::string_view rotation, std::string_view magnificationRateX,
                                 std::string_view magnificationRateY, std::string_view content) {
  return write_text_line(core(), Encoding::big5_hkscs, x, y, fontName, rotation, magnificationRateX,
                         magnificationRateY, content);
}

}  // namespace quillkit
