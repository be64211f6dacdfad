// The virtual printer: a software label printer that understands the command language quillkit
// writes, draws each printed label on a 1-bit canvas, saves it as a PNG image and answers the
// printer's queries. Tests use it as a configurable peer, the `quill` tool serves it, and the
// link simulations feed it.
//
// In process, without a socket:
//
//   quillkit::VirtualPrinterConfig config;
//   config.output_dir = "/tmp/labels";  // label-0001.png, label-0002.png, ...
//   quillkit::VirtualPrinter printer(config);
//   printer.feed("SIZE 60 mm,40 mm\r\nCLS\r\nTEXT 10,10,\"3\",0,1,1,\"Hello\"\r\nPRINT 1,1\r\n");
//   quillkit::Bytes answer = printer.feed("~!T\r\n");  // the model name, ended by CR
//   quillkit::VirtualLabel label = printer.labels().back();
//
// Over TCP (what quillkit::WiFi talks to):
//
//   quillkit::VirtualPrinterServer server(printer);  // 127.0.0.1, ephemeral port
//   if (!server.start()) std::fprintf(stderr, "%s\n", server.error().c_str());
//   // connect to 127.0.0.1:server.port(), send, then:
//   printer.wait_for_labels(1, std::chrono::seconds(5));
//
// Coordinates are printer dots, origin at the top left of the label. Every size the printer is
// sent is capped (VirtualLimits); what exceeds a cap, and every unknown or malformed command, is
// logged and skipped, and parsing resumes at the next line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/types.hpp"

namespace quillkit {

// The caps on everything the printer accepts. A value beyond a cap is refused (logged, the
// command skipped) unless said otherwise.
struct VirtualLimits {
  // A text line (command) longer than this is discarded up to its line end.
  static constexpr std::size_t kMaxLineBytes = 16 * 1024;
  // Label canvas; SIZE beyond it is clamped to it.
  static constexpr int kMaxLabelWidthDots = 2400;
  static constexpr int kMaxLabelHeightDots = 4800;
  // BITMAP: width in bytes and height in dots. A larger raster whose declared length is at most
  // kMaxSkippedPayloadBytes is read and dropped, so the stream stays in step.
  static constexpr int kMaxBitmapWidthBytes = kMaxLabelWidthDots / 8;
  static constexpr int kMaxBitmapHeightDots = kMaxLabelHeightDots;
  // DOWNLOAD: one file, all files, number of files, name length in bytes. An oversized file is
  // read and dropped like an oversized raster.
  static constexpr std::size_t kMaxFileBytes = 8 * 1024 * 1024;
  static constexpr std::size_t kMaxTotalFileBytes = 32 * 1024 * 1024;
  static constexpr std::size_t kMaxFiles = 256;
  static constexpr std::size_t kMaxFileNameBytes = 128;
  // Binary payloads with a larger declared length are not waited for: the header is treated as
  // a malformed line and the payload bytes are parsed as text.
  static constexpr std::size_t kMaxSkippedPayloadBytes = 64 * 1024 * 1024;
  // PRINT m,n prints at most this many labels (m times n); more are cut to this number.
  static constexpr std::uint64_t kMaxLabelsPerPrint = 1000;
  // TEXT: characters drawn, magnification, height of scalable text in dots.
  static constexpr std::size_t kMaxTextChars = 1024;
  static constexpr int kMaxMagnification = 10;
  static constexpr int kMaxScalableTextDots = 1000;
  // BARCODE: bar height in dots, narrow and wide element width in dots, data bytes.
  static constexpr int kMaxBarcodeHeightDots = kMaxLabelHeightDots;
  static constexpr int kMaxBarcodeNarrowDots = 10;
  static constexpr int kMaxBarcodeWideDots = 30;
  static constexpr std::size_t kMaxBarcodeDataBytes = 256;
  // QRCODE and the other 2-D symbols: module (cell) width in dots, data bytes.
  static constexpr int kMaxQrCellDots = 20;
  static constexpr std::size_t kMaxQrDataBytes = 2048;
  // Dots of one drawn text, barcode or QR code before it is clipped to the label; the width
  // stretch of scalable text (x over y magnification) is kept within 1/10 to 10.
  static constexpr std::size_t kMaxElementDots = 16 * 1024 * 1024;
  // Diagnostic lines kept for log_lines(), and the length each is cut to.
  static constexpr std::size_t kMaxLogLines = 256;
  static constexpr std::size_t kMaxLogLineChars = 240;
  // Dots of the labels kept in memory for labels(): older labels are dropped beyond it (the
  // newest is always kept).
  static constexpr std::size_t kMaxKeptLabelDots = 64 * 1024 * 1024;
  // Bytes of the drawing commands since CLS kept to draw the page again for each label when
  // counters step; beyond it every label of the page shows the first values (logged).
  static constexpr std::size_t kMaxPageBytes = 1024 * 1024;
  // Received bytes kept for transcript() (the most recent ones).
  static constexpr std::size_t kMaxTranscriptBytes = 1024 * 1024;
};

// The printer's answers, each sent exactly as given (the line end included). Battery values are
// sent as kBatteryReplyPrefix, the value, then CR; the library drops the first 7 characters and
// the last one of that reply, which leaves the value.
struct VirtualAnswers {
  static constexpr std::string_view kBatteryReplyPrefix = "REPORT=";

  std::string model_name = "QUILLKIT VP-203\r";  // ~!T
  std::string code_page = "437, 001\r";          // ~!I
  std::string mileage = "0.0\r";                 // ~!@
  // ~!A. Empty: "<free file memory in KiB> KB FREE" and CR, computed at the time of the query.
  std::string memory;
  std::string serial_number = "VP0000000001\r";  // OUT _SERIAL$
  // ESC ! ? answers this byte followed by status_trailer (empty by default). Bits: 0 head
  // opened, 1 paper jam, 2 out of paper, 3 out of ribbon, 4 paused, 5 printing, 6 cover opened,
  // 7 other error; 0 is ready.
  std::uint8_t status = 0;
  Bytes status_trailer;
  // DIAGNOSTIC REPORT <key>: the value for each key (SMBSERIAL, SMBVOLTAGE, SMBREMCAPCITY,
  // SMBTEMPERATURE, SMBDISCYCLE, SMBMANUDATE, SMBREPLACECOUNT, SMBLIFE, SMBSOH). A key missing
  // from the map gets no answer.
  std::map<std::string, std::string> battery = {
      {"SMBSERIAL", "BAT0001"}, {"SMBVOLTAGE", "7400"}, {"SMBREMCAPCITY", "1800"},
      {"SMBTEMPERATURE", "25"}, {"SMBDISCYCLE", "12"},  {"SMBMANUDATE", "2024-01-15"},
      {"SMBREPLACECOUNT", "0"}, {"SMBLIFE", "98"},      {"SMBSOH", "100"}};
};

// How a transport delivers each answer (see VirtualPrinter::deliver_answer).
struct VirtualAnswerTiming {
  std::chrono::milliseconds delay{0};      // before the first byte
  std::size_t piece_size = 0;              // bytes per write; 0 sends the answer in one write
  std::chrono::milliseconds piece_gap{0};  // between two pieces
};

// A printed label: one byte per dot (1 ink, 0 blank), rows from the top, no padding.
struct VirtualLabel {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> dots;
  // 1 for the first label this printer printed, then 2, 3, ...
  std::uint64_t number = 0;
  // The PNG written for it; empty when the printer has no output folder or the write failed.
  std::filesystem::path png_path;

  // False outside the label.
  bool ink(int x, int y) const {
    return x >= 0 && y >= 0 && x < width && y < height &&
           dots[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)] != 0;
  }
};

// The media and print settings the printer was last sent.
struct VirtualLabelSetup {
  int dpi = 203;
  int width_dots = 480;  // SIZE (default 60 mm x 40 mm)
  int height_dots = 320;
  bool black_line = false;  // BLINE given last, else GAP
  int gap_dots = 16;        // GAP or BLINE distance and offset
  int gap_offset_dots = 0;
  double speed = 4;
  int density = 8;
  int direction = 0;    // 1 turns the printed label by 180 degrees
  int mirror = 0;       // 1 mirrors it left to right
  int reference_x = 0;  // REFERENCE: added to every element's position
  int reference_y = 0;
  int offset_dots = 0;  // OFFSET
  bool tear = true;     // SET TEAR
  std::uint64_t form_feeds = 0;
  std::string diagnostic_interface;  // last DIAGNOSTIC INTERFACE (NET or COM)
};

struct VirtualFile {
  std::string name;  // as sent, bytes unchanged
  Bytes data;
};

struct VirtualPrinterConfig {
  // 203 (8 dots per mm) or 300 (12 dots per mm); other values are taken as 203.
  int dpi = 203;
  VirtualAnswers answers;
  VirtualAnswerTiming timing;
  // Each printed label is written here as label-0001.png, label-0002.png, ... (1-bit grey PNG,
  // black ink). Created when missing. Empty: no files.
  std::filesystem::path output_dir;
  // Caps on what is written to output_dir over the printer's life: label files and their
  // bytes. Labels beyond either cap are printed (counted, kept, reported) but not written; the
  // first one is logged.
  std::uint64_t output_max_labels = 10000;
  std::uint64_t output_max_bytes = 256ULL * 1024 * 1024;
  // Stored files are also written here under a safe name: bytes other than letters, digits,
  // '-', '_' and '.' (and a leading '.') become %XX. Empty: memory only.
  std::filesystem::path files_dir;
  // Labels kept in memory for labels(); older ones are dropped.
  std::size_t labels_kept = 32;
  // Called for each printed label and each diagnostic line, on the thread that fed the bytes,
  // without the printer's lock held; they must not feed this printer. Labels are handed over as
  // they print (a PRINT of many labels releases the lock between them), so one feed holds one
  // label image at a time.
  std::function<void(const VirtualLabel&)> on_label;
  std::function<void(std::string_view line)> on_log;
};

// The printer. Thread-safety: every member may be called from any thread; one mutex guards the
// printer's state, and each command is applied whole under it. Separate command streams
// (open_stream) parse independently and apply their commands to the same printer, as several
// connections to one printer do.
class VirtualPrinter {
 public:
  // An independent parser over this printer, for one connection. Not thread-safe itself: feed
  // it from one thread at a time. It must not outlive the printer.
  class Stream {
   public:
    // Logs what the input left unfinished: a last line without its line end, a payload cut
    // short, a program without EOP.
    virtual ~Stream() = default;
    // Parses the bytes (any chunking) and returns the answers they asked for, concatenated, in
    // order, without delay. Never fails: bad input is logged and skipped.
    virtual Bytes feed(std::span<const std::uint8_t> bytes) = 0;
  };

  explicit VirtualPrinter(VirtualPrinterConfig config = {});
  ~VirtualPrinter();
  VirtualPrinter(const VirtualPrinter&) = delete;
  VirtualPrinter& operator=(const VirtualPrinter&) = delete;

  // Feeds the printer's default stream (see Stream::feed).
  Bytes feed(std::span<const std::uint8_t> bytes);
  Bytes feed(std::string_view bytes);
  std::unique_ptr<Stream> open_stream();

  // Delivers one answer through `write`: waits timing.delay, then writes pieces of
  // timing.piece_size bytes with timing.piece_gap between them. Returns false as soon as a
  // write returns false or `stop` is requested (waits wake up at once), true otherwise.
  bool deliver_answer(std::span<const std::uint8_t> answer, std::stop_token stop,
                      const std::function<bool(std::span<const std::uint8_t>)>& write) const;

  // Changes take effect for the next command.
  void set_answers(VirtualAnswers answers);
  VirtualAnswers answers() const;
  void set_status(std::uint8_t status);
  void set_timing(VirtualAnswerTiming timing);
  VirtualAnswerTiming timing() const;

  VirtualLabelSetup setup() const;
  // The image buffer as it is now (what PRINT would print).
  VirtualLabel canvas() const;
  // The last labels printed, oldest first (at most config.labels_kept).
  std::vector<VirtualLabel> labels() const;
  // Labels printed since construction.
  std::uint64_t label_count() const;
  // Waits until at least `count` labels have been printed; false on time-out.
  bool wait_for_labels(std::uint64_t count, std::chrono::milliseconds timeout) const;

  // Stored files, in the order they were first stored.
  std::vector<VirtualFile> files() const;
  std::optional<Bytes> file(std::string_view name) const;

  // Bytes received on all streams since construction, and the most recent of them.
  std::uint64_t bytes_received() const;
  Bytes transcript() const;
  // Waits until at least `count` bytes have been received; false on time-out.
  bool wait_for_bytes(std::uint64_t count, std::chrono::milliseconds timeout) const;

  // The most recent diagnostic lines (unknown or malformed commands, caps, write failures).
  std::vector<std::string> log_lines() const;
  // Adds a line to that log (the transports report their own troubles here).
  void log(std::string_view line);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Writes a label as a 1-bit grey PNG (ink black). False when the file cannot be written.
bool save_label_png(const VirtualLabel& label, const std::filesystem::path& path);
// Reads a PNG written by save_label_png (or any 8-bit or smaller grey, RGB or palette PNG, dark
// pixels being ink). Empty when the file is missing or not such a PNG.
std::optional<VirtualLabel> load_label_png(const std::filesystem::path& path);

// Bytes as text, in the form the printer's log lines quote what it received: printable ASCII as
// it is, every other byte as \xHH. With `line_ends`, CR and LF read \r and \n, and a line break
// follows each \n. Once the text holds `max_chars` characters, the rest shows as "...".
std::string escape_bytes(std::string_view bytes, bool line_ends = false,
                         std::size_t max_chars = std::string::npos);

struct VirtualServerOptions {
  std::string host = "127.0.0.1";  // a numeric address or localhost
  std::uint16_t port = 0;          // 0 picks a free port; port() tells which
  // Connections beyond this many open at once are accepted, logged and closed at once.
  std::size_t max_connections = 16;
  // A connection that sends nothing for longer than this is logged and closed, so that idle
  // clients cannot hold every slot. Zero: never.
  std::chrono::milliseconds idle_timeout{30000};
  // Called with each block a connection receives, on that connection's own thread, before the
  // printer parses it: the printer's on_label and on_log calls that follow on the same thread
  // come from this connection. `peer` is the client's address and port. Must not block.
  std::function<void(std::string_view peer, std::span<const std::uint8_t> bytes)> on_receive;
  // Called with each descriptor the server reads (its listener, each connection) when it starts
  // reading it (`reading` true) and before it stops and closes it (false), on the server's
  // threads. A test clock uses it to hold time while bytes wait for the printer. Must not block.
  std::function<void(int fd, bool reading)> on_descriptor;
};

// A TCP server in front of a VirtualPrinter: each connection gets its own command stream, and
// its answers are delivered with the printer's answer timing. A connection is closed as soon as
// its input ends (the client shut down its sending side) and its answers are written.
// Thread-safety: all members may be called from any thread. The printer must outlive the server.
// Owns one accepting thread and one thread per open connection; stop() and the destructor close
// every connection and join them.
class VirtualPrinterServer {
 public:
  explicit VirtualPrinterServer(VirtualPrinter& printer, VirtualServerOptions options = {});
  ~VirtualPrinterServer();
  VirtualPrinterServer(const VirtualPrinterServer&) = delete;
  VirtualPrinterServer& operator=(const VirtualPrinterServer&) = delete;

  // Binds and listens. False (see error()) when the address cannot be used or it already runs.
  bool start();
  // Closes the listener and every connection; waits for their threads. Safe to call twice.
  void stop();
  // The port listened on, 0 before start().
  std::uint16_t port() const;
  std::string error() const;
  std::size_t open_connections() const;
  std::uint64_t accepted_connections() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillkit
