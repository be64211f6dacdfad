// The printer's state and its feed loop: bytes go through the parser, each command through the
// command table (interpreter.cpp), callbacks run once the lock is released.
#include "quillkit/virtual_printer.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "virtual/commands.hpp"
#include "virtual/png_io.hpp"

namespace quillkit {

VirtualPrinter::Impl::Impl(VirtualPrinterConfig config) : config_(std::move(config)) {
  setup_.dpi = config_.dpi == 300 ? 300 : 203;
  canvas_.resize(setup_.width_dots, setup_.height_dots);
}

vp::FontRenderer& VirtualPrinter::Impl::fonts() {
  if (!fonts_) fonts_ = std::make_unique<vp::FontRenderer>();
  return *fonts_;
}

void VirtualPrinter::Impl::log(Pending& pending, std::string line) {
  if (line.size() > VirtualLimits::kMaxLogLineChars + 3) {
    line.resize(VirtualLimits::kMaxLogLineChars);
    line += "...";
  }
  log_.push_back(line);
  while (log_.size() > VirtualLimits::kMaxLogLines) log_.pop_front();
  if (config_.on_log) pending.logs.push_back(std::move(line));
}

void VirtualPrinter::Impl::record_received(std::span<const std::uint8_t> bytes) {
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

const VirtualFile* VirtualPrinter::Impl::find_file(std::string_view name) const {
  for (const VirtualFile& f : files_) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

namespace {

VirtualLabel materialize(const KeptLabel& kept) {
  return {kept.image->width, kept.image->height, kept.image->dots, kept.number, kept.png_path};
}

// Routes the parser's findings to the command table, with the printer's lock held.
class Interpreter final : public vp::CommandSink {
 public:
  Interpreter(VirtualPrinter::Impl& printer, vp::StreamState& stream, Bytes& answers,
              Pending& pending)
      : p_(printer), stream_(stream), answers_(answers), pending_(pending) {}

  void on_line(std::string_view line) override {
    vp::run_line(p_, stream_, answers_, pending_, line, true);
  }
  void on_bitmap(const vp::BitmapHeader& header, std::span<const std::uint8_t> raster) override {
    if (!p_.page_overflow_) {
      p_.page_bytes_ += raster.size();
      if (p_.page_bytes_ > VirtualLimits::kMaxPageBytes) {
        p_.page_overflow_ = true;
        p_.page_.clear();
      } else {
        p_.page_.push_back({{}, header, Bytes(raster.begin(), raster.end())});
      }
    }
    vp::draw_bitmap(p_, pending_, header, raster);
  }
  void on_download(const vp::DownloadHeader& header, Bytes data) override {
    vp::store_file(p_, pending_, header.name, std::move(data));
  }
  void on_query(char letter) override {
    vp::Call call(p_, stream_, answers_, pending_, "~!", "");
    vp::run_query(call, letter);
  }
  void on_escape(std::uint8_t first, std::uint8_t second) override {
    vp::Call call(p_, stream_, answers_, pending_, "ESC", "");
    vp::run_escape(call, first, second);
  }
  void on_problem(std::string message) override { p_.log(pending_, std::move(message)); }

 private:
  VirtualPrinter::Impl& p_;
  vp::StreamState& stream_;
  Bytes& answers_;
  Pending& pending_;
};

class StreamImpl final : public VirtualPrinter::Stream {
 public:
  explicit StreamImpl(VirtualPrinter::Impl& printer) : printer_(printer) {}

  // Logs what the connection left unfinished.
  ~StreamImpl() override {
    std::string what = parser_.unfinished();
    if (stream_.program_name) {
      what += std::string(what.empty() ? "" : "; ") + "program " +
              vp::printable(*stream_.program_name) + " without EOP (" +
              std::to_string(stream_.program.size()) + " bytes)";
    }
    if (!what.empty()) printer_public_log("input ended with " + what + "; dropped");
  }

  Bytes feed(std::span<const std::uint8_t> bytes) override {
    Bytes answers;
    Pending pending;
    std::unique_lock lock(printer_.mutex_);
    pending.release = [&] {
      run_callbacks(lock, pending);
      lock.lock();
    };
    printer_.record_received(bytes);
    Interpreter interpreter(printer_, stream_, answers, pending);
    parser_.feed(bytes, interpreter);
    pending.release = nullptr;
    run_callbacks(lock, pending);
    return answers;
  }

 private:
  // Takes the queued callbacks, releases the lock and runs them.
  void run_callbacks(std::unique_lock<std::mutex>& lock, Pending& pending) {
    std::vector<KeptLabel> labels = std::move(pending.labels);
    std::vector<std::string> logs = std::move(pending.logs);
    pending.labels.clear();
    pending.logs.clear();
    auto on_label = labels.empty() ? nullptr : printer_.config_.on_label;
    auto on_log = logs.empty() ? nullptr : printer_.config_.on_log;
    lock.unlock();
    printer_.changed_.notify_all();
    for (const std::string& line : logs) on_log(line);
    for (const KeptLabel& label : labels) on_label(materialize(label));
  }

  void printer_public_log(const std::string& line) {
    Pending pending;
    std::unique_lock lock(printer_.mutex_);
    printer_.log(pending, line);
    run_callbacks(lock, pending);
  }

  VirtualPrinter::Impl& printer_;
  vp::CommandParser parser_;
  vp::StreamState stream_;
};

}  // namespace

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
  return std::make_unique<StreamImpl>(*impl_);
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
  std::lock_guard lock(impl_->mutex_);
  impl_->config_.answers = std::move(answers);
}

VirtualAnswers VirtualPrinter::answers() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->config_.answers;
}

void VirtualPrinter::set_status(std::uint8_t status) {
  std::lock_guard lock(impl_->mutex_);
  impl_->config_.answers.status = status;
}

void VirtualPrinter::set_timing(VirtualAnswerTiming timing) {
  std::lock_guard lock(impl_->mutex_);
  impl_->config_.timing = timing;
}

VirtualAnswerTiming VirtualPrinter::timing() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->config_.timing;
}

VirtualLabelSetup VirtualPrinter::setup() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->setup_;
}

VirtualLabel VirtualPrinter::canvas() const {
  std::lock_guard lock(impl_->mutex_);
  const vp::Mono& image = impl_->canvas_.image();
  VirtualLabel label;
  label.width = image.width;
  label.height = image.height;
  label.dots = image.dots;
  return label;
}

std::vector<VirtualLabel> VirtualPrinter::labels() const {
  std::lock_guard lock(impl_->mutex_);
  std::vector<VirtualLabel> out;
  out.reserve(impl_->labels_.size());
  for (const KeptLabel& kept : impl_->labels_) out.push_back(materialize(kept));
  return out;
}

std::uint64_t VirtualPrinter::label_count() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->label_count_;
}

bool VirtualPrinter::wait_for_labels(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, timeout, [&] { return impl_->label_count_ >= count; });
}

std::vector<VirtualFile> VirtualPrinter::files() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->files_;
}

std::optional<Bytes> VirtualPrinter::file(std::string_view name) const {
  std::lock_guard lock(impl_->mutex_);
  const VirtualFile* found = impl_->find_file(name);
  if (found == nullptr) return std::nullopt;
  return found->data;
}

std::uint64_t VirtualPrinter::bytes_received() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->bytes_received_;
}

Bytes VirtualPrinter::transcript() const {
  std::lock_guard lock(impl_->mutex_);
  const Bytes& all = impl_->transcript_;
  std::size_t keep = std::min(all.size(), VirtualLimits::kMaxTranscriptBytes);
  return Bytes(all.end() - static_cast<std::ptrdiff_t>(keep), all.end());
}

bool VirtualPrinter::wait_for_bytes(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, timeout, [&] { return impl_->bytes_received_ >= count; });
}

std::vector<std::string> VirtualPrinter::log_lines() const {
  std::lock_guard lock(impl_->mutex_);
  return {impl_->log_.begin(), impl_->log_.end()};
}

void VirtualPrinter::log(std::string_view line) {
  Pending pending;
  std::function<void(std::string_view)> on_log;
  {
    std::lock_guard lock(impl_->mutex_);
    impl_->log(pending, std::string(line));
    on_log = impl_->config_.on_log;
  }
  for (const std::string& text : pending.logs) on_log(text);
}

}  // namespace quillkit
