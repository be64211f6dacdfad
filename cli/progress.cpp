#include "cli/progress.hpp"

#include <string>

namespace quill {
namespace {

constexpr int kBarWidth = 30;

}  // namespace

void ProgressReport::start(std::size_t total) {
  if (terminal_) update(0, total);
}

void ProgressReport::update(std::size_t sent, std::size_t total) {
  const double fraction = total == 0 ? 1.0 : static_cast<double>(sent) / static_cast<double>(total);
  const int percent = static_cast<int>(fraction * 100.0);
  if (terminal_) {
    const int filled = static_cast<int>(fraction * kBarWidth);
    const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                            std::string(static_cast<std::size_t>(kBarWidth - filled), ' ');
    std::fprintf(out_, "\r[%s] %3d%%  %zu / %zu bytes", bar.c_str(), percent, sent, total);
    bar_drawn_ = true;
  } else {
    std::fprintf(out_, "sent %zu of %zu bytes (%d%%)\n", sent, total, percent);
  }
  std::fflush(out_);
}

void ProgressReport::finish() {
  if (!bar_drawn_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  bar_drawn_ = false;
}

}  // namespace quill
