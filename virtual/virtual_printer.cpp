// The printer behind its public face: the state under one mutex, the command streams that feed
// it, and the callbacks run once the lock is released.
#include "quillkit/virtual_printer.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "virtual/commands.hpp"

namespace quillkit {

class VirtualPrinter::Impl {
 public:
  explicit Impl(VirtualPrinterConfig config)
      : state_(std::move(config)), timing_(state_.config.timing) {}

  // One connection's stream over this printer.
  class Connection final : public Stream {
   public:
    explicit Connection(Impl& printer) : printer_(printer) {}
    // Logs what the connection left unfinished.
    ~Connection() override {
      std::string what = interpreter_.unfinished();
      if (!what.empty()) printer_.log("input ended with " + what + "; dropped");
    }

    Bytes feed(std::span<const std::uint8_t> bytes) override {
      Bytes answers;
      vp::Pending pending(printer_.state_.log);
      std::unique_lock lock(printer_.mutex_);
      pending.release = [&] {
        printer_.run_callbacks(lock, pending);
        lock.lock();
      };
      printer_.record_received(bytes);
      interpreter_.feed(bytes, printer_.state_, answers, pending);
      pending.release = nullptr;
      printer_.run_callbacks(lock, pending);
      return answers;
    }

   private:
    Impl& printer_;
    vp::Interpreter interpreter_;
  };

  // Takes the queued callbacks, releases the lock, wakes the waiters and runs the callbacks.
  void run_callbacks(std::unique_lock<std::mutex>& lock, vp::Pending& pending) {
    std::vector<vp::KeptLabel> labels = std::exchange(pending.labels, {});
    std::vector<std::string> logs = std::exchange(pending.logs, {});
    lock.unlock();
    changed_.notify_all();
    for (const std::string& line : logs) state_.config.on_log(line);
    for (const vp::KeptLabel& label : labels) state_.config.on_label(label.materialize());
  }

  void log(std::string line) {
    vp::Pending pending(state_.log);
    std::unique_lock lock(mutex_);
    pending.log(std::move(line));
    run_callbacks(lock, pending);
  }

  // Counts the bytes and keeps the most recent kMaxTranscriptBytes of them (trimmed in steps,
  // so that the buffer is not moved on every feed).
  void record_received(std::span<const std::uint8_t> bytes) {
    bytes_received_ += bytes.size();
    std::size_t cap = VirtualLimits::kMaxTranscriptBytes;
    if (bytes.size() >= cap) {
      transcript_.assign(bytes.end() - static_cast<std::ptrdiff_t>(cap), bytes.end());
      return;
    }
    transcript_.insert(transcript_.end(), bytes.begin(), bytes.end());
    if (transcript_.size() > 2 * cap) {
      transcript_.erase(transcript_.begin(), transcript_.end() - static_cast<std::ptrdiff_t>(cap));
    }
  }

  // Runs `read` (or a change) with the lock held; what it returns.
  template <class Read>
  auto locked(Read read) const {
    std::lock_guard lock(mutex_);
    return read();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  vp::PrinterState state_;
  VirtualAnswerTiming timing_;
  std::uint64_t bytes_received_ = 0;
  Bytes transcript_;
  // The default stream of VirtualPrinter::feed, with its own lock (taken before mutex_).
  std::mutex default_stream_mutex_;
  std::unique_ptr<Stream> default_stream_;
};

VirtualPrinter::VirtualPrinter(VirtualPrinterConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {
  impl_->default_stream_ = open_stream();
}

VirtualPrinter::~VirtualPrinter() = default;

Bytes VirtualPrinter::feed(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(impl_->default_stream_mutex_);
  return impl_->default_stream_->feed(bytes);
}

Bytes VirtualPrinter::feed(std::string_view bytes) {
  return feed(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::unique_ptr<VirtualPrinter::Stream> VirtualPrinter::open_stream() {
  return std::make_unique<Impl::Connection>(*impl_);
}

bool VirtualPrinter::deliver_answer(
    std::span<const std::uint8_t> answer, std::stop_token stop,
    const std::function<bool(std::span<const std::uint8_t>)>& write) const {
  VirtualAnswerTiming timing = this->timing();
  auto pause = [&stop](std::chrono::milliseconds duration) {
    if (duration.count() > 0) {
      std::mutex mutex;
      std::condition_variable_any wake;
      std::unique_lock lock(mutex);
      wake.wait_for(lock, stop, duration, [] { return false; });
    }
    return !stop.stop_requested();
  };
  if (!pause(timing.delay)) return false;
  std::size_t piece = timing.piece_size == 0 ? answer.size() : timing.piece_size;
  for (std::size_t offset = 0; offset < answer.size(); offset += piece) {
    if (offset > 0 && !pause(timing.piece_gap)) return false;
    if (!write(answer.subspan(offset, std::min(piece, answer.size() - offset)))) return false;
  }
  return true;
}

void VirtualPrinter::set_answers(VirtualAnswers answers) {
  impl_->locked([&] { impl_->state_.settings.answers = std::move(answers); });
}

VirtualAnswers VirtualPrinter::answers() const {
  return impl_->locked([&] { return impl_->state_.settings.answers; });
}

void VirtualPrinter::set_status(std::uint8_t status) {
  impl_->locked([&] { impl_->state_.settings.answers.status = status; });
}

void VirtualPrinter::set_timing(VirtualAnswerTiming timing) {
  impl_->locked([&] { impl_->timing_ = timing; });
}

VirtualAnswerTiming VirtualPrinter::timing() const {
  return impl_->locked([&] { return impl_->timing_; });
}

VirtualLabelSetup VirtualPrinter::setup() const {
  return impl_->locked([&] { return impl_->state_.settings.setup; });
}

VirtualLabel VirtualPrinter::canvas() const {
  return impl_->locked([&] {
    const vp::Mono& image = impl_->state_.page.canvas().image();
    return VirtualLabel{image.width, image.height, image.dots, 0, {}};
  });
}

std::vector<VirtualLabel> VirtualPrinter::labels() const {
  return impl_->locked([&] { return impl_->state_.output.kept(); });
}

std::uint64_t VirtualPrinter::label_count() const {
  return impl_->locked([&] { return impl_->state_.output.count(); });
}

bool VirtualPrinter::wait_for_labels(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, timeout,
                                  [&] { return impl_->state_.output.count() >= count; });
}

std::vector<VirtualFile> VirtualPrinter::files() const {
  return impl_->locked([&] { return impl_->state_.files.files(); });
}

std::optional<Bytes> VirtualPrinter::file(std::string_view name) const {
  return impl_->locked([&]() -> std::optional<Bytes> {
    const VirtualFile* found = impl_->state_.files.find(name);
    if (found == nullptr) return std::nullopt;
    return found->data;
  });
}

std::uint64_t VirtualPrinter::bytes_received() const {
  return impl_->locked([&] { return impl_->bytes_received_; });
}

Bytes VirtualPrinter::transcript() const {
  return impl_->locked([&] {
    const Bytes& all = impl_->transcript_;
    std::size_t keep = std::min(all.size(), VirtualLimits::kMaxTranscriptBytes);
    return Bytes(all.end() - static_cast<std::ptrdiff_t>(keep), all.end());
  });
}

bool VirtualPrinter::wait_for_bytes(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, timeout, [&] { return impl_->bytes_received_ >= count; });
}

std::vector<std::string> VirtualPrinter::log_lines() const {
  return impl_->locked([&] { return impl_->state_.log.lines(); });
}

void VirtualPrinter::log(std::string_view line) { impl_->log(std::string(line)); }

std::string escape_bytes(std::string_view bytes, bool line_ends, std::size_t max_chars) {
  std::string out;
  for (char c : bytes) {
    if (out.size() >= max_chars) {
      out += "...";
      break;
    }
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      out.push_back(c);
    } else if (line_ends && (c == '\r' || c == '\n')) {
      out += c == '\r' ? "\\r" : "\\n\n";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

}  // namespace quillkit
