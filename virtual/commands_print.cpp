// Printing: CLS, PRINT with the page drawn again when its variables change, and SELFTEST.
#include <algorithm>

#include "virtual/commands.hpp"

namespace quillkit::vp {
namespace {

// The canvas as the direction and mirror settings turn it.
std::shared_ptr<const Mono> printed_image(const Mono& canvas, const VirtualLabelSetup& setup) {
  bool turn = setup.direction == 1;
  bool mirror = setup.mirror == 1;
  if (!turn && !mirror) return std::make_shared<Mono>(canvas);
  auto image = std::make_shared<Mono>(canvas.width, canvas.height);
  for (int y = 0; y < canvas.height; ++y) {
    for (int x = 0; x < canvas.width; ++x) {
      int sx = turn ? canvas.width - 1 - x : x;
      int sy = turn ? canvas.height - 1 - y : y;
      if (mirror) sx = canvas.width - 1 - sx;
      image->at(x, y) = canvas.at(sx, sy);
    }
  }
  return image;
}

// Draws the page again with the current variables; what its commands answer is dropped.
void redraw_page(Call& call) {
  Bytes dropped;
  const Context replay{call.context.printer, call.context.stream, dropped, call.context.pending};
  call.page().redraw([&](const PageOp& op) {
    if (op.line.empty()) return draw_bitmap(replay, op.bitmap, op.raster);
    run_line(replay, op.line, false);
  });
}

// Prints `sets` sets of `copies` labels, within the cap on one PRINT. The counters step after
// each set; with `redraw`, a page that reads changed variables is drawn again before the next.
void print(Call& call, long long sets, long long copies, bool redraw) {
  const std::uint64_t cap = VirtualLimits::kMaxLabelsPerPrint;
  if (static_cast<unsigned long long>(sets) * static_cast<unsigned long long>(copies) > cap) {
    call.log("PRINT cut to " + std::to_string(cap) + " labels: " + printable(call.line));
  }
  Page& page = call.page();
  Variables& variables = call.variables();
  if (page.overflowed() && variables.has_counters()) {
    call.ignored("counters (page too large to draw again)");
  }
  std::uint64_t printed = 0;
  for (long long set = 0; set < sets && printed < cap; ++set) {
    if (redraw && page.stale()) redraw_page(call);
    std::uint64_t labels = std::min<std::uint64_t>(copies, cap - printed);
    call.output().print(printed_image(page.canvas().image(), call.settings().setup), labels,
                        call.pending());
    printed += labels;
    for (const std::string& name : variables.step()) {
      call.ignored("counter " + name + " holding no number");
    }
    if (variables.has_counters()) page.mark_stale();
    if (!call.pending().labels.empty() && call.pending().release) call.pending().release();
  }
}

}  // namespace

void cmd_cls(Call& call) { call.page().clear(); }

void cmd_print(Call& call) {
  constexpr long long kMany = 1'000'000'000;
  long long sets = call.integer(0, 1, kMany);
  long long copies = call.has(1) ? call.integer(1, 1, kMany) : 1;
  if (!call.ok()) return call.malformed("nothing to print");
  print(call, sets, copies, true);
}

// Prints one label with the printer's settings, leaving the page as it was.
void cmd_selftest(Call& call) {
  const VirtualLabelSetup& s = call.settings().setup;
  const std::string& model = call.settings().answers.model_name;
  const std::string& codepage = call.settings().codepage;
  std::vector<std::string> text = {
      "SELF TEST",
      "MODEL " + model.substr(0, model.find('\r')),
      "DPI " + std::to_string(s.dpi),
      "SIZE " + std::to_string(s.width_dots) + " x " + std::to_string(s.height_dots) + " DOTS",
      std::string(s.black_line ? "BLINE " : "GAP ") + std::to_string(s.gap_dots) + "," +
          std::to_string(s.gap_offset_dots) + " DOTS",
      "SPEED " + std::to_string(s.speed).substr(0, 4) + " DENSITY " + std::to_string(s.density),
      "CODEPAGE " + (codepage.empty() ? std::string("AUTO") : codepage),
      "FILES " + std::to_string(call.files().files().size()) + " FREE " +
          std::to_string(call.files().free_bytes() / 1024) + " KB",
  };
  Canvas& canvas = call.page().canvas();
  Mono saved = canvas.image();
  canvas.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::u32string line(text[i].begin(), text[i].end());
    canvas.draw_rotated(call.fonts().cell_text(line, 12, 20), 8, 8 + 24 * static_cast<int>(i), 0);
  }
  Call print_call(call.context, "PRINT", "PRINT 1");
  print(print_call, 1, 1, false);
  canvas.restore(std::move(saved));
}

}  // namespace quillkit::vp
