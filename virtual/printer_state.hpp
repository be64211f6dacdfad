// The virtual printer's state, each part with an owner that keeps its invariants: the settings,
// the variables, the page being composed, the file store, the label output and the log. The
// command handlers reach the parts through their Call. Not thread-safe: the printer guards all
// of it with its one mutex, and the handlers run with it held.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quillkit/virtual_printer.hpp"
#include "virtual/canvas.hpp"
#include "virtual/command_parser.hpp"
#include "virtual/font_renderer.hpp"

namespace quillkit::vp {

// A printed label kept for labels(): the image is shared by the copies of one PRINT.
struct KeptLabel {
  std::shared_ptr<const Mono> image;
  std::uint64_t number = 0;
  std::filesystem::path png_path;

  VirtualLabel materialize() const {
    return {image->width, image->height, image->dots, number, png_path};
  }
};

// The most recent diagnostic lines (kMaxLogLines), each cut to kMaxLogLineChars.
class Log {
 public:
  explicit Log(bool forward) : forward_(forward) {}
  // Keeps the line and, when the printer forwards its lines (on_log), queues it in `queue`.
  void add(std::string line, std::vector<std::string>& queue);
  std::vector<std::string> lines() const { return {lines_.begin(), lines_.end()}; }

 private:
  const bool forward_;
  std::deque<std::string> lines_;
};

// What one feed owes the user's callbacks, run once the printer's lock is released.
struct Pending {
  explicit Pending(Log& log) : log_book(log) {}
  // Adds a line to the printer's log and queues it for on_log.
  void log(std::string line) { log_book.add(std::move(line), logs); }

  Log& log_book;
  std::vector<KeptLabel> labels;
  std::vector<std::string> logs;
  // Set by the feed loop: releases the printer's lock, runs and clears the callbacks queued so
  // far, and takes the lock again. PRINT calls it after each label, so that a long PRINT holds
  // one label image at a time. Handlers must not keep pointers into the parts' contents (a
  // stored file, a kept label) across it: other streams may run meanwhile.
  std::function<void()> release;
};

// The values the setup commands set and the queries answer; each stands on its own.
struct Settings {
  explicit Settings(const VirtualPrinterConfig& config) : answers(config.answers) {
    setup.dpi = config.dpi == 300 ? 300 : 203;
  }

  VirtualLabelSetup setup;
  VirtualAnswers answers;
  // CODEPAGE: the iconv name of the page text is decoded from; empty until one is chosen.
  std::string codepage;
  // ESC ! P until ESC ! O: the status byte shows bit 4.
  bool paused = false;

  double dots_per_mm() const { return setup.dpi == 300 ? 12.0 : 8.0; }
};

// The @n variables by upper-case name, and the counters among them (SET COUNTER), within caps.
class Variables {
 public:
  // Sets a variable; why not when a cap refuses it, else null.
  const char* assign(const std::string& name, std::string value);
  // Makes `name` a counter stepping by `step` (its value "0" when it had none); why not when the
  // cap on counters refuses it, else null.
  const char* set_counter(const std::string& name, long long step);
  const std::string* find(const std::string& name) const {
    return values_.contains(name) ? &values_.at(name) : nullptr;
  }
  bool has_counters() const { return !steps_.empty(); }
  // Steps every counter: decimal values keep their width, zero-padded, and stop at 0. Returns
  // the names of the counters that hold no number (they stay).
  std::vector<std::string> step();

 private:
  std::map<std::string, long long> steps_;
  std::map<std::string, std::string> values_;
};

// A drawing command of the page: a text line, or a BITMAP (line empty) with its raster.
struct PageOp {
  std::string line;
  BitmapHeader bitmap;
  Bytes raster;
};

// The label being composed: the image buffer, and the drawing commands since CLS, kept (up to
// kMaxPageBytes) so that a page whose contents name variables can be drawn again when they
// change. Past the cap the record is dropped and the page prints as first drawn.
class Page {
 public:
  Canvas& canvas() { return canvas_; }
  // CLS: a blank canvas and nothing recorded.
  void clear();
  // Records a drawing command: a text line, or a BITMAP with its raster (line empty).
  void record(std::string_view line, const BitmapHeader& bitmap = {},
              std::span<const std::uint8_t> raster = {});
  // A command of the page read a variable.
  void note_variables() { uses_variables_ = true; }
  // Variables changed after the page was drawn.
  void mark_stale() { stale_ = true; }
  bool overflowed() const { return overflow_; }
  // Whether the page must be drawn again before it prints.
  bool stale() const { return stale_ && uses_variables_ && !overflow_; }
  // Clears the canvas and hands each recorded command to `draw`, in order; `draw` must not
  // record.
  void redraw(const std::function<void(const PageOp&)>& draw);

 private:
  Canvas canvas_;
  std::vector<PageOp> ops_;
  std::size_t bytes_ = 0;
  bool overflow_ = false;
  bool uses_variables_ = false;
  bool stale_ = false;
};

// The printer's file memory: the files DOWNLOAD stored, in the order first stored, within the
// caps on their number and total size; mirrored to a folder when one is given.
class FileStore {
 public:
  // `fonts` forgets the faces it made from a file stored again or removed.
  FileStore(std::filesystem::path folder, FontRenderer& fonts)
      : folder_(std::move(folder)), fonts_(fonts) {}
  // Stores or replaces a file; false (logged) when a cap refuses it.
  bool store(std::string name, Bytes data, Pending& pending);
  // Removes the files whose names match the shell pattern; how many.
  std::size_t remove_matching(const std::string& pattern);
  const VirtualFile* find(std::string_view name) const {
    auto it = std::ranges::find(files_, name, &VirtualFile::name);
    return it == files_.end() ? nullptr : &*it;
  }
  const std::vector<VirtualFile>& files() const { return files_; }
  std::size_t free_bytes() const { return VirtualLimits::kMaxTotalFileBytes - bytes_; }

 private:
  const std::filesystem::path folder_;
  FontRenderer& fonts_;
  std::vector<VirtualFile> files_;
  std::size_t bytes_ = 0;
};

// The printed labels: numbered from 1, the most recent kept in memory (labels_kept, within
// kMaxKeptLabelDots; the newest always), each written as a PNG file to the output folder while
// the folder's caps allow (the first label they refuse is logged).
class LabelOutput {
 public:
  explicit LabelOutput(const VirtualPrinterConfig& config) : config_(config) {}
  // Prints `copies` labels of the image and queues them for on_label.
  void print(std::shared_ptr<const Mono> image, std::uint64_t copies, Pending& pending);
  std::uint64_t count() const { return count_; }
  std::vector<VirtualLabel> kept() const;

 private:
  // Writes one label file within the caps; its path, or empty when not written.
  std::filesystem::path write_file(const Bytes& png, std::uint64_t number, Pending& pending);
  void keep(const KeptLabel& label);

  const VirtualPrinterConfig& config_;
  std::uint64_t count_ = 0;
  std::deque<KeptLabel> kept_;
  std::size_t kept_dots_ = 0;
  std::uint64_t files_ = 0, file_bytes_ = 0;
  bool cap_logged_ = false;
};

// Everything the commands change, part by part.
struct PrinterState {
  explicit PrinterState(VirtualPrinterConfig given) : config(std::move(given)) {
    page.canvas().resize(settings.setup.width_dots, settings.setup.height_dots);
  }

  // As given; the answers and the timing, which calls change, live on in `settings` and the
  // printer.
  const VirtualPrinterConfig config;
  FontRenderer fonts;
  Settings settings{config};
  Variables variables;
  Page page;
  FileStore files{config.files_dir, fonts};
  LabelOutput output{config};
  Log log{static_cast<bool>(config.on_log)};
};

}  // namespace quillkit::vp
