// Progress of a file transfer on standard error: a bar redrawn in place on a terminal, plain
// lines otherwise (logs and pipes).
#pragma once

#include <cstddef>
#include <cstdio>

namespace quill {

// Not thread-safe: update and finish are called from the transferring thread.
class ProgressReport {
 public:
  // `terminal` selects the redrawn bar; `out` is written to and flushed after each update.
  ProgressReport(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}
  ~ProgressReport() { finish(); }
  ProgressReport(const ProgressReport&) = delete;
  ProgressReport& operator=(const ProgressReport&) = delete;

  // Before the first write: draws the empty bar on a terminal (the first data write may come
  // seconds later); writes nothing otherwise.
  void start(std::size_t total);
  // `sent` of `total` bytes are written.
  void update(std::size_t sent, std::size_t total);
  // Ends the bar's line, if one is drawn. Safe to call twice.
  void finish();

 private:
  std::FILE* out_;
  bool terminal_;
  bool bar_drawn_ = false;
};

}  // namespace quill
