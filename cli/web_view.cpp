#include "cli/web_view.hpp"

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "quillkit/status.hpp"
#include "quillkit/virtual_printer.hpp"

namespace quill {

extern const std::string_view kWebPage;

namespace {

using nlohmann::json;

// Labels listed on the page; older ones drop off.
constexpr std::size_t kLabelsShown = 50;
// The bytes kept with each label (the last ones before its PRINT) and its log lines.
constexpr std::size_t kTranscriptBytes = 64 * 1024;
constexpr std::size_t kLogLinesPerLabel = 64;
constexpr std::size_t kLineChars = 160;
// An event stream with nothing to say sends a comment this often, so a dead client is noticed.
constexpr auto kKeepAlive = std::chrono::seconds(15);

// What one connection sent and had logged since its last label. A connection is served by one
// thread, so this state is the connection's own.
struct Pending {
  std::string peer;
  std::string bytes;
  std::vector<std::string> logs;
  std::uint64_t last_label = 0;  // the entry a repeated image counts as a copy of
  std::size_t last_hash = 0;
};
thread_local Pending pending;

struct Entry {
  std::uint64_t number = 0;
  std::string time;
  int width = 0, height = 0;
  int copies = 1;
  std::size_t hash = 0;
  std::string peer;
  std::string transcript;
  std::vector<std::string> logs;
  std::filesystem::path png;
};

// Bytes as text, CR and LF as \r and \n (a line ends after \n), in the form the printer's log
// lines quote them.
std::string escaped(std::string_view bytes) { return quillkit::escape_bytes(bytes, true); }

// The transcript as lines, each marked when a log line of the label quotes it.
json transcript_lines(const Entry& entry) {
  json lines = json::array();
  std::size_t start = 0;
  while (start < entry.transcript.size()) {
    auto end = entry.transcript.find('\n', start);
    end = end == std::string::npos ? entry.transcript.size() : end + 1;
    const std::string_view line(entry.transcript.data() + start, end - start);
    std::string_view command = line;
    for (const std::string_view tail : {"\\n\n", "\\r"}) {
      if (command.ends_with(tail)) command.remove_suffix(tail.size());
    }
    command = command.substr(0, 200);
    bool logged = false;
    for (const std::string& log : entry.logs) {
      logged = logged || (!command.empty() && log.find(command) != std::string::npos);
    }
    // Payloads (bitmaps, files) would bury the commands: long lines are cut.
    std::string_view shown = line.substr(0, line.size() - line.ends_with('\n'));
    std::string text(shown.substr(0, kLineChars));
    if (shown.size() > kLineChars) text += " ... (" + std::to_string(shown.size()) + " characters)";
    lines.push_back({{"text", std::move(text)}, {"logged", logged}});
    start = end;
  }
  return lines;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string local_time() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S", &parts);
  return text;
}

}  // namespace

class WebView::Impl {
 public:
  json state() {
    json out;
    std::unique_lock lock(mu_);
    out["version"] = version_;
    out["labels"] = json::array();
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
      out["labels"].push_back({{"number", it->number},
                               {"time", it->time},
                               {"width", it->width},
                               {"height", it->height},
                               {"copies", it->copies},
                               {"connection", it->peer},
                               {"saved", !it->png.empty()},
                               {"logs", it->logs},
                               {"transcript", transcript_lines(*it)}});
    }
    lock.unlock();
    // The page names the status byte's bits as the library decodes them.
    out["status_bits"] = json::array();
    for (int bit = 0; bit < 8; ++bit) {
      out["status_bits"].push_back(quillkit::decode_status(1 << bit).conditions().front());
    }
    const quillkit::VirtualAnswers answers = printer_->answers();
    const quillkit::PrinterState status = quillkit::decode_status(answers.status);
    json battery = json::object();
    for (const auto& [key, value] : answers.battery) battery[key] = value;
    json files = json::array();
    for (const quillkit::VirtualFile& file : printer_->files()) {
      files.push_back({{"name", escaped(file.name)}, {"size", file.data.size()}});
    }
    out["printer"] = {{"model", escaped(trimmed(answers.model_name))},
                      {"serial", escaped(trimmed(answers.serial_number))},
                      {"status", answers.status},
                      {"status_text", status.text()},
                      {"battery", battery},
                      {"files", files},
                      {"dpi", printer_->setup().dpi}};
    return out;
  }

  void changed() {
    {
      std::lock_guard lock(mu_);
      ++version_;
    }
    cv_.notify_all();
  }

  // The event stream: the version now, then each new version as it comes.
  bool next_event(std::uint64_t& seen, httplib::DataSink& sink) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, kKeepAlive, [&] { return stopping_ || version_ != seen; });
    if (stopping_) return false;
    const bool news = version_ != seen;
    seen = version_;
    lock.unlock();
    const std::string event = news ? "data: " + std::to_string(seen) + "\n\n" : ": alive\n\n";
    return sink.write(event.data(), event.size());
  }

  void routes() {
    server_.Get("/", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(std::string(kWebPage), "text/html; charset=utf-8");
    });
    server_.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(state().dump(), "application/json");
    });
    server_.Get(R"(/labels/(\d{1,19})\.png)",
                [this](const httplib::Request& request, httplib::Response& response) {
                  label_png(request.matches[1].str(), response);
                });
    server_.Post("/api/status", [this](const httplib::Request& request,
                                       httplib::Response& response) {
      // A JSON body cannot come from another site's plain form, which keeps such pages out.
      const json body = json::parse(request.body, nullptr, false);
      if (request.get_header_value("Content-Type") != "application/json" || !body.is_object() ||
          !body.contains("status") || !body["status"].is_number_integer() ||
          body["status"].get<std::int64_t>() < 0 || body["status"].get<std::int64_t>() > 255) {
        response.status = 400;
        response.set_content("expected {\"status\": 0 to 255} as application/json", "text/plain");
        return;
      }
      printer_->set_status(static_cast<std::uint8_t>(body["status"].get<int>()));
      changed();
      response.status = 204;
    });
    server_.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
      response.set_header("Cache-Control", "no-store");
      response.set_chunked_content_provider(
          "text/event-stream",
          [this, seen = std::uint64_t(-1)](std::size_t, httplib::DataSink& sink) mutable {
            if (next_event(seen, sink)) return true;
            sink.done();
            return false;
          });
    });
  }

  // The PNG the printer wrote for a label still listed; only paths the printer chose are read.
  void label_png(const std::string& number_text, httplib::Response& response) {
    std::uint64_t number = 0;
    std::from_chars(number_text.data(), number_text.data() + number_text.size(), number);
    std::filesystem::path path;
    {
      std::lock_guard lock(mu_);
      for (const Entry& entry : entries_) {
        if (entry.number == number) path = entry.png;
      }
    }
    std::ifstream in(path, std::ios::binary);
    if (path.empty() || !in) {
      response.status = 404;
      return;
    }
    response.set_content(std::string(std::istreambuf_iterator<char>(in), {}), "image/png");
  }

  quillkit::VirtualPrinter* printer_ = nullptr;
  httplib::Server server_;
  std::jthread thread_;
  std::string host_;
  int port_ = 0;

  std::mutex mu_;
  std::condition_variable cv_;
  // Guarded by mu_:
  std::deque<Entry> entries_;
  std::uint64_t version_ = 0;
  bool stopping_ = false;
};

WebView::WebView() : impl_(std::make_unique<Impl>()) {}

WebView::~WebView() { stop(); }

void WebView::on_receive(std::string_view peer, std::span<const std::uint8_t> bytes) {
  if (pending.peer != peer) {
    pending = Pending{};
    pending.peer = std::string(peer);
  }
  pending.bytes.append(bytes.begin(), bytes.end());
  if (pending.bytes.size() > kTranscriptBytes) {
    pending.bytes.erase(0, pending.bytes.size() - kTranscriptBytes);
  }
}

void WebView::on_log(std::string_view line) {
  if (pending.logs.size() < kLogLinesPerLabel) pending.logs.emplace_back(line);
}

void WebView::on_label(const quillkit::VirtualLabel& label) {
  const std::size_t hash = std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(label.dots.data()), label.dots.size()));
  // PRINT m,n gives the same image several times with no bytes between: one entry, counted.
  const bool copy = pending.bytes.empty() && pending.logs.empty() && pending.last_label != 0 &&
                    pending.last_hash == hash;
  {
    std::lock_guard lock(impl_->mu_);
    Entry* previous = nullptr;
    for (Entry& entry : impl_->entries_) {
      if (copy && entry.number == pending.last_label) previous = &entry;
    }
    if (previous != nullptr) {
      ++previous->copies;
    } else {
      Entry entry{label.number,
                  local_time(),
                  label.width,
                  label.height,
                  1,
                  hash,
                  pending.peer,
                  escaped(pending.bytes),
                  std::move(pending.logs),
                  label.png_path};
      impl_->entries_.push_back(std::move(entry));
      if (impl_->entries_.size() > kLabelsShown) impl_->entries_.pop_front();
      pending.last_label = label.number;
      pending.last_hash = hash;
    }
  }
  pending.bytes.clear();
  pending.logs.clear();
  impl_->changed();
}

bool WebView::start(quillkit::VirtualPrinter& printer, const std::string& host, std::uint16_t port,
                    std::string& error) {
  impl_->printer_ = &printer;
  impl_->routes();
  const int bound = port == 0 ? impl_->server_.bind_to_any_port(host)
                    : impl_->server_.bind_to_port(host, port) ? port
                                                              : -1;
  if (bound < 0) {
    error = "cannot serve the web view on " + host + ":" + std::to_string(port);
    return false;
  }
  impl_->host_ = host;
  impl_->port_ = bound;
  impl_->thread_ = std::jthread([this] { impl_->server_.listen_after_bind(); });
  return true;
}

std::uint16_t WebView::port() const { return static_cast<std::uint16_t>(impl_->port_); }

std::string WebView::host() const { return impl_->host_; }

void WebView::stop() {
  {
    std::lock_guard lock(impl_->mu_);
    impl_->stopping_ = true;
  }
  impl_->cv_.notify_all();
  impl_->server_.stop();
  if (impl_->thread_.joinable()) impl_->thread_.join();
}

}  // namespace quill
