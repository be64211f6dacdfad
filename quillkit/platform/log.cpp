#include "quillkit/platform/log.hpp"

#include <syslog.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quillkit {
namespace {

using Sink = std::function<void(LogChannel, std::string_view)>;

void default_sink(LogChannel channel, std::string_view line) {
  if (channel == LogChannel::system) {
    syslog(LOG_INFO, "%.*s", static_cast<int>(line.size()), line.data());
    return;
  }
  // One fwrite per line keeps lines from different threads whole.
  std::string text(line);
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::mutex& sink_mutex() {
  static std::mutex mu;
  return mu;
}

std::shared_ptr<const Sink>& current_sink() {
  static std::shared_ptr<const Sink> sink = std::make_shared<const Sink>(default_sink);
  return sink;
}

}  // namespace

void set_log_sink(std::function<void(LogChannel, std::string_view line)> sink) {
  auto next = std::make_shared<const Sink>(sink ? std::move(sink) : Sink(default_sink));
  std::lock_guard lock(sink_mutex());
  current_sink() = std::move(next);
}

namespace platform {

void log_line(LogChannel channel, std::string_view line) {
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard lock(sink_mutex());
    sink = current_sink();
  }
  (*sink)(channel, line);
}

}  // namespace platform
}  // namespace quillkit
