// The command interpreter: one table row per command (command_table.cpp) and one handler per
// command, grouped by family in commands_<family>.cpp. The dispatcher splits a line into fields
// once, as the row's shape says, checks their number, and hands the handler a Call; the handler
// converts the fields it needs through the Call's typed accessors and reports what it could not
// honour through Call::ignored. All of it runs with the printer's lock held.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "virtual/printer_state.hpp"

namespace quillkit::vp {

// State of one connection's command stream that outlives a feed call.
struct StreamState {
  // DOWNLOAD "NAME.BAS" without a size: the lines up to EOP are stored as this file.
  std::optional<std::string> program_name;
  std::string program;
  bool program_overflow = false;
};

// What the commands of one feed run against: the printer's state, the connection's stream, and
// where answers and callbacks go.
struct Context {
  PrinterState& printer;
  StreamState& stream;
  Bytes& answers;
  Pending& pending;
};

enum class Shape {
  kNone,     // no arguments
  kFields,   // comma-separated fields (commas inside quotes do not count)
  kContent,  // lead fields, then a content expression: "text", @1, "Label "+@1
  kWords,    // the rest of the line as one text (SET TEAR ON, OUT _SERIAL$, ...)
};

class Call;
using Handler = void (*)(Call&);

struct CommandRow {
  std::string_view name;
  Shape shape;
  // kFields: the number of fields; kContent: of the lead fields before the content.
  int min_fields;
  int max_fields;
  // Draws on the page: kept so that the page can be drawn again when counters step.
  bool draws;
  Handler handler;
};

// One command being run: its context, its parsed fields and where its answers and log lines go.
class Call {
 public:
  Call(const Context& context, std::string_view keyword, std::string_view line)
      : context(context), keyword(keyword), line(line) {}

  const Context context;
  std::string_view keyword;  // upper case
  std::string_view line;     // the whole line, for the log
  std::vector<std::string_view> fields;
  std::string_view content;  // kContent: the raw content expression
  std::string_view words;    // kWords: the text after the keyword, trimmed

  // The parts of the printer's state.
  Settings& settings() { return context.printer.settings; }
  Variables& variables() { return context.printer.variables; }
  Page& page() { return context.printer.page; }
  FileStore& files() { return context.printer.files; }
  LabelOutput& output() { return context.printer.output; }
  FontRenderer& fonts() { return context.printer.fonts; }
  StreamState& stream() { return context.stream; }
  Pending& pending() { return context.pending; }

  // Typed fields. A field that is missing or out of range marks the call bad; the handler then
  // returns through malformed(), which names the first bad field.
  long long integer(std::size_t i, long long lo, long long hi);
  double number(std::size_t i, double lo, double hi);
  long long coordinate(std::size_t i);
  int rotation(std::size_t i);
  // A length in dots: "40 mm", "480 dot" (or "dots"), or a plain number of inches.
  int length(std::size_t i);
  // The inside of a quoted field.
  std::string_view quoted(std::size_t i);
  bool has(std::size_t i) const { return i < fields.size(); }
  bool ok() const { return bad_field_ == 0; }

  // The content with its variables and counters filled in, as bytes in the page's encoding.
  // Nothing (and the call marked bad) when it is not a quoted text or a + expression.
  std::optional<std::string> content_text();
  // Decodes content bytes as the printer's CODEPAGE (or its guess) says.
  std::u32string decode(std::string_view bytes) const;

  void answer(std::string_view text) {
    context.answers.insert(context.answers.end(), text.begin(), text.end());
  }
  void answer_byte(std::uint8_t byte) { context.answers.push_back(byte); }
  // Skips the command, logging why.
  void malformed(std::string_view why = {});
  // The command ran, but `what` was not honoured (or only approximated).
  void ignored(std::string_view what);
  void log(std::string text) { context.pending.log(std::move(text)); }

  // Draws an element at (x, y) with the printer's reference, turned clockwise by `rotation`;
  // alignment 2 centres and 3 right-aligns it on x along its baseline direction.
  void place(const Mono& element, long long x, long long y, int rotation, int alignment = 1);

 private:
  bool mark_bad(std::size_t i) {
    if (bad_field_ == 0) bad_field_ = i + 1;
    return false;
  }

  std::size_t bad_field_ = 0;  // 1-based index of the first bad field
};

// One connection's command stream: the parser, and the state the stream keeps between feeds, with
// what the parser finds routed to the command table (interpreter.cpp). One per stream.
class Interpreter {
 public:
  // Parses the bytes and runs their commands against the printer; their answers are added to
  // `answers`, the callbacks they cause queued in `pending`.
  void feed(std::span<const std::uint8_t> bytes, PrinterState& printer, Bytes& answers,
            Pending& pending);
  // What the input left unfinished (a line without its line end, a payload cut short, a program
  // without EOP), for the log; empty when nothing.
  std::string unfinished() const;

 private:
  CommandParser parser_;
  StreamState stream_;
};

// Runs one command line: the feed loop's, and the page's again when it is redrawn (`record`
// false: not added to the page).
void run_line(const Context& context, std::string_view line, bool record);
// Draws a BITMAP raster on the page.
void draw_bitmap(const Context& context, const BitmapHeader& header,
                 std::span<const std::uint8_t> raster);

// Setup and layout (commands_setup.cpp).
void cmd_size(Call&);
void cmd_gap(Call&);
void cmd_bline(Call&);
void cmd_speed(Call&);
void cmd_density(Call&);
void cmd_direction(Call&);
void cmd_reference(Call&);
void cmd_offset(Call&);
void cmd_set(Call&);
void cmd_codepage(Call&);
void cmd_assign(Call&);
// Printing (commands_print.cpp).
void cmd_cls(Call&);
void cmd_print(Call&);
void cmd_selftest(Call&);
// Text (commands_text.cpp).
void cmd_text(Call&);
void cmd_block(Call&);
// Barcodes (commands_barcode.cpp).
void cmd_barcode(Call&);
// 2-D symbols (commands_symbols.cpp).
void cmd_qrcode(Call&);
void cmd_dmatrix(Call&);
void cmd_pdf417(Call&);
void cmd_aztec(Call&);
void cmd_maxicode(Call&);
void cmd_rss(Call&);
void cmd_tlc39(Call&);
void cmd_codablock(Call&);
// Shapes (commands_shapes.cpp).
void cmd_bar(Call&);
void cmd_erase(Call&);
void cmd_reverse(Call&);
void cmd_box(Call&);
void cmd_circle(Call&);
void cmd_ellipse(Call&);
void cmd_diagonal(Call&);
// Images and files (commands_files.cpp).
void cmd_download(Call&);
void cmd_bitmap(Call&);
void cmd_kill(Call&);
void cmd_putpcx(Call&);
void cmd_putbmp(Call&);
void cmd_run(Call&);
void cmd_eop(Call&);
// Printer control and queries (commands_control.cpp).
void cmd_out(Call&);
void cmd_diagnostic(Call&);
void cmd_feed(Call&);
void cmd_control(Call&);
void run_query(Call& call, char letter);
void run_escape(Call& call, std::uint8_t first, std::uint8_t second);

}  // namespace quillkit::vp
