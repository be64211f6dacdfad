// Routes what the parser finds in a stream to the command table.
#include "virtual/commands.hpp"

namespace quillkit::vp {
namespace {

// Routes the parser's findings to the command table.
class Router final : public CommandSink {
 public:
  explicit Router(const Context& context) : context_(context) {}

  void on_line(std::string_view line) override { run_line(context_, line, true); }
  void on_bitmap(const BitmapHeader& header, std::span<const std::uint8_t> raster) override {
    context_.printer.page.record({}, header, raster);
    draw_bitmap(context_, header, raster);
  }
  void on_download(const DownloadHeader& header, Bytes data) override {
    context_.printer.files.store(header.name, std::move(data), context_.pending);
  }
  void on_query(char letter) override {
    Call call(context_, "~!", "");
    run_query(call, letter);
  }
  void on_escape(std::uint8_t first, std::uint8_t second) override {
    Call call(context_, "ESC", "");
    run_escape(call, first, second);
  }
  void on_problem(std::string message) override { context_.pending.log(std::move(message)); }

 private:
  const Context context_;
};

}  // namespace

void Interpreter::feed(std::span<const std::uint8_t> bytes, PrinterState& printer, Bytes& answers,
                       Pending& pending) {
  Router router({printer, stream_, answers, pending});
  parser_.feed(bytes, router);
}

std::string Interpreter::unfinished() const {
  std::string what = parser_.unfinished();
  if (stream_.program_name) {
    what += std::string(what.empty() ? "" : "; ") + "program " + printable(*stream_.program_name) +
            " without EOP (" + std::to_string(stream_.program.size()) + " bytes)";
  }
  return what;
}

}  // namespace quillkit::vp
