// The virtual printer's state, shared by the feed loop (virtual_printer.cpp) and the command
// handlers (commands_*.cpp). Everything here is guarded by VirtualPrinter::Impl::mutex_; the
// handlers run with it held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quillkit/virtual_printer.hpp"
#include "virtual/canvas.hpp"
#include "virtual/command_parser.hpp"
#include "virtual/font_renderer.hpp"

namespace quillkit {

// A drawing command of the current page, kept so that a page whose contents name counters or
// variables can be drawn again for each label of one PRINT.
struct PageOp {
  std::string line;         // a text command; empty for a BITMAP
  vp::BitmapHeader bitmap;  // BITMAP header when line is empty
  Bytes raster;
};

// A label kept for labels(): the image is shared by the copies of one PRINT.
struct KeptLabel {
  std::shared_ptr<const vp::Mono> image;
  std::uint64_t number = 0;
  std::filesystem::path png_path;
};

// Work that must run after the printer's lock is released: the user's callbacks.
struct Pending {
  std::vector<KeptLabel> labels;
  std::vector<std::string> logs;
  // Set by the feed loop: releases the printer's lock, runs and clears the callbacks queued so
  // far, and takes the lock again. PRINT calls it after each label, so that a long PRINT holds
  // one label image at a time. Handlers must not keep references into the state across it.
  std::function<void()> release;
};

class VirtualPrinter::Impl {
 public:
  explicit Impl(VirtualPrinterConfig config);

  double dots_per_mm() const { return setup_.dpi == 300 ? 12.0 : 8.0; }
  vp::FontRenderer& fonts();
  // Adds a line to the log (cut to the cap) and queues it for on_log.
  void log(Pending& pending, std::string line);
  void record_received(std::span<const std::uint8_t> bytes);
  std::size_t free_file_bytes() const { return VirtualLimits::kMaxTotalFileBytes - file_bytes_; }
  const VirtualFile* find_file(std::string_view name) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  VirtualPrinterConfig config_;
  VirtualLabelSetup setup_;
  vp::Canvas canvas_;
  std::unique_ptr<vp::FontRenderer> fonts_;
  std::vector<VirtualFile> files_;
  std::size_t file_bytes_ = 0;
  std::deque<KeptLabel> labels_;
  std::size_t kept_dots_ = 0;
  std::uint64_t label_count_ = 0;
  std::uint64_t bytes_received_ = 0;
  Bytes transcript_;
  std::deque<std::string> log_;

  // Label files written to config_.output_dir, against its caps; the cap is logged once.
  std::uint64_t output_labels_ = 0;
  std::uint64_t output_bytes_ = 0;
  bool output_cap_logged_ = false;

  // CODEPAGE: the iconv name of the page text is decoded from; empty until one is chosen.
  std::string codepage_;
  // ESC ! P until ESC ! O: the status byte shows bit 4.
  bool paused_ = false;
  // SET COUNTER steps and @n values, by name ("@1").
  std::map<std::string, long long> counter_steps_;
  std::map<std::string, std::string> variables_;
  // The page since CLS, for redrawing with new counter values.
  std::vector<PageOp> page_;
  std::size_t page_bytes_ = 0;
  bool page_overflow_ = false;
  bool page_uses_variables_ = false;
  bool page_stale_ = false;

  // The default stream of VirtualPrinter::feed, with its own lock (taken before mutex_).
  std::mutex default_stream_mutex_;
  std::unique_ptr<Stream> default_stream_;
};

}  // namespace quillkit
