// The command interface that every printer class (WiFi, Bluetooth, BLE) offers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "quillkit/export.hpp"
#include "quillkit/image.hpp"
#include "quillkit/types.hpp"

namespace quillkit {

namespace detail {
class PrinterCore;
}
// The platform services a printer object is made with; internal to the library.
namespace platform {
struct Env;
}

// The operations shared by the three printer classes, written once over the
// class's link and its profile of differences. A Printer is made only through
// one of the link classes.
//
// Thread-safety: every operation may be called from any thread. Each object
// guards its shared state with one mutex of its own, never held across a wait
// or a write; writes of one object are serialised, so the bytes of two calls
// never interleave. Answers are matched to queries by timing only (the command
// language has no request identifiers): a query takes what arrived after its
// own request was written. Bytes that arrive after a query's wait and before
// the next request is written are dropped; an answer that arrives only after
// the next request was written is taken as that request's answer, and two
// queries running at once on one object may take each other's answer.
//
// Waits are blocking sleeps of the calling thread, given in seconds.
class QUILLKIT_EXPORT Printer {
 public:
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;
  Printer(Printer&&) = delete;
  Printer& operator=(Printer&&) = delete;
  virtual ~Printer();

  // Link probe: -1 when the link cannot be used, else the link's state
  // (StreamStatus in types.hpp: stream links 0 to 7; BLE kStreamOpen radio on,
  // kStreamNotOpen off).
  Result stream_Status();
  // Reads the state once and then `times` more times; returns the last read.
  Result stream_Status(unsigned times);

  // Waits, at most `max_seconds`, until the bytes written so far have left
  // this computer: acknowledged by the printer over TCP, sent by a serial
  // device. It ends early when the link closes or fails, so that a printer
  // that resets the connection instead of taking the last bytes is seen.
  // 1 when nothing is left to send; 0 when bytes still wait at the end, or at
  // once when the link cannot tell (BLE, and Bluetooth sessions through
  // BlueZ); -1 when the link is down or goes down meanwhile.
  Result wait_until_sent(double max_seconds);

  // Senders: write the caller's text (UTF-8, Big5, GB 18030) unchanged, with no
  // line end added. Each form with a wait sleeps that long first. 1 done, -1
  // link unusable or text not representable (nothing written), -2 (WiFi) no
  // space on the output stream at that moment (nothing written).
  Result sendcommand(std::string_view text);
  Result sendcommand(std::string_view text, double timeout);
  Result sendcommand_utf8(std::string_view text);
  Result sendcommand_utf8(std::string_view text, double timeout);
  Result sendcommand_big5(std::string_view text);
  Result sendcommand_big5(std::string_view text, double timeout);
  Result sendcommand_gb2312(std::string_view text);
  Result sendcommand_gb2312(std::string_view text, double timeout);
  // Writes the bytes with no wait and no gate; returns the write primitive's result.
  Result sendBinaryData(std::span<const std::uint8_t> data);
  // The same for a braced list of bytes: sendBinaryData({0x1B, 0x21, 0x3F}).
  Result sendBinaryData(std::initializer_list<std::uint8_t> data) {
    return sendBinaryData(std::span<const std::uint8_t>(data.begin(), data.size()));
  }

  // Label setup and print control. Each builds its whole message and writes it
  // in one write; returns 1 whatever the link made of it, or -1 with nothing
  // written when a text argument is not valid UTF-8 (printlabel first pauses
  // 0.5 s).
  Result setup(std::string_view width, std::string_view height, std::string_view speed,
               std::string_view density, std::string_view sensor, std::string_view vertical,
               std::string_view offset);
  Result clearBuffer();
  Result formfeed();
  Result nobackfeed();
  Result printlabel(std::intptr_t quantity, std::intptr_t copies);

  // Label elements: one BARCODE or TEXT line in one write; 1 whatever the link
  // made of it, or -1 with nothing written when an argument is not valid UTF-8
  // or the line cannot be represented in the operation's encoding.
  Result barcode(std::string_view x, std::string_view y, std::string_view barcodeType,
                 std::string_view height, std::string_view readable, std::string_view rotation,
                 std::string_view narrow, std::string_view wide, std::string_view code);
  Result printerfont(std::string_view x, std::string_view y, std::string_view fontName,
                     std::string_view rotation, std::string_view magnificationRateX,
                     std::string_view magnificationRateY, std::string_view content);
  Result printerfont_GB2312(std::string_view x, std::string_view y, std::string_view fontName,
                            std::string_view rotation, std::string_view magnificationRateX,
                            std::string_view magnificationRateY, std::string_view content);
  Result printerfont_Big5(std::string_view x, std::string_view y, std::string_view fontName,
                          std::string_view rotation, std::string_view magnificationRateX,
                          std::string_view magnificationRateY, std::string_view content);

  // Stores the file at `path` in the printer's memory under `name`. The file is
  // read whole first; 1 once the transfer is written (whatever the link made of
  // it), -1 with nothing written when `path` does not name a readable regular
  // file of at most 64 MiB or the name cannot be encoded in Big5-HKSCS. The
  // header, data and trailer are separate writes: another thread's write on
  // the same object may fall between them. The second form reports (bytes of
  // data written, total) after each data write, on the calling thread, without
  // any lock held; a file of 0 bytes has no data write and no report.
  Result downloadpcx(std::string_view path, std::string_view name);
  Result downloadpcx(std::string_view path, std::string_view name,
                     std::function<void(std::size_t sent, std::size_t total)> progress);

  // Host-font text: face choice, drawing, rotation and packing, and the BITMAP
  // command that prints the packed text. These touch no link state except
  // windowsfont's final write.
  std::string fnFindFontWithName(std::string_view name, bool bold, bool italic);
  Image fnDrawString(std::string_view text, std::string_view fontName, std::intptr_t fontSize,
                     bool withUnderline, std::intptr_t rotation);
  Image fnRotateImage(const Image& image, double degree);
  double radians(double degree);
  Bytes fnBitsFromImage(const Image& image);
  Result windowsfont(std::intptr_t x, std::intptr_t y, std::intptr_t height,
                     std::intptr_t rotation, std::intptr_t style, std::intptr_t withUnderline,
                     std::string_view fontName, std::string_view content);

  // Pictures (<quillkit/image.hpp>). sendbitmap draws `picture` with its top
  // left dot at (x, y) in one BITMAP command, after the 0.5 s pause and the
  // link check of every BITMAP: 1 once written (whatever the link made of it),
  // -1 when the check fails, and -1 at once, with no pause and nothing
  // written, for a picture that is empty or not well formed or an unknown mode.
  Result sendbitmap(std::intptr_t x, std::intptr_t y, const MonoImage& picture,
                    BitmapMode mode = BitmapMode::overwrite);
  // Prints `picture` alone on a label of `stock`: SIZE, GAP and CLS in one
  // write, the picture as sendbitmap sends it (centred on a larger label),
  // then PRINT 1,copies after its 0.5 s pause. -1 at once, with nothing
  // written, for fewer than 1 copy, stock values out of range or a picture
  // sendbitmap refuses; -1 without the PRINT when the BITMAP's link check fails.
  Result printpicture(const MonoImage& picture, const LabelStock& stock = {},
                      std::intptr_t copies = 1);

  // Information queries: write the query line, wait (1.0 s or `delay`), return
  // the answer that arrived after the write; "-1" when the answer is still
  // arriving, the empty text when nothing arrived. "-1" at once, without the
  // wait, when the line was not written (link down, no space, a failed write).
  std::string printer_codepage();
  std::string printer_codepage(double delay);
  std::string printer_mileage();
  std::string printer_mileage(double delay);
  std::string printer_memory();
  std::string printer_memory(double delay);
  std::string printer_files();
  std::string printer_files(double delay);
  std::string printer_modelname();
  std::string printer_modelname(double delay);
  std::string printer_serialnumber();
  std::string printer_serialnumber(double delay);

  // Status request (1B 21 3F). printer_status gives the answer text (on the
  // stream links the first byte as lower-case hex in angle brackets, "<40>");
  // printer_status_byte the first answer byte 0 to 255, or the failure value;
  // the failure value comes without the answer wait when the request was not
  // written.
  std::string printer_status();
  std::string printer_status(double delay);
  Result printer_status_byte();
  Result printer_status_byte(double delay);

  // Battery value `index` (0 to 8) from the printer's diagnostic report, or "-1"
  // (at once when the report command was not written).
  std::string smartbattery_status(std::intptr_t index);

 protected:
  explicit Printer(std::unique_ptr<detail::PrinterCore> core);

  // The data sender (sendcommandWithData on WiFi, sendCommandWithData on the
  // Bluetooth links): the link's pre-send wait (or `delay`), the gates, one write.
  Result send_data(std::span<const std::uint8_t> data);
  Result send_data(std::span<const std::uint8_t> data, double delay);

  // The data sender under the Bluetooth links' name, published by those classes.
  Result sendCommandWithData(std::span<const std::uint8_t> data) { return send_data(data); }
  Result sendCommandWithData(std::span<const std::uint8_t> data, double delay) {
    return send_data(data, delay);
  }
  Result sendCommandWithData(std::initializer_list<std::uint8_t> data) {
    return send_data(std::span<const std::uint8_t>(data.begin(), data.size()));
  }
  Result sendCommandWithData(std::initializer_list<std::uint8_t> data, double delay) {
    return send_data(std::span<const std::uint8_t>(data.begin(), data.size()), delay);
  }

  // The query round trip of the stream links: writes the command, then CR LF,
  // waits (1.0 s or `delay`) and returns the reply that arrived after the write.
  std::string sendcommand_getstring(std::string_view command);
  std::string sendcommand_getstring(std::string_view command, double delay);

  detail::PrinterCore& core() { return *core_; }

 private:
  std::unique_ptr<detail::PrinterCore> core_;
};

}  // namespace quillkit
