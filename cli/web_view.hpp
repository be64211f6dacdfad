// The web view of `quill serve --http`: one page that shows the labels as they print, with the
// bytes that made each one and the printer's log about it, the state a query would read, and
// controls for the status byte. Updates reach the page as Server-Sent Events.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace quillkit {
class VirtualPrinter;
struct VirtualLabel;
}  // namespace quillkit

namespace quill {

// Thread-safety: every member may be called from any thread. The record hooks (on_receive,
// on_log, on_label) must be called on the thread that feeds the printer, as the printer and its
// server call them: they pair each label with the bytes and log lines of its own connection.
// The view only reads files (the PNG files the printer wrote); it never writes any.
class WebView {
 public:
  WebView();
  ~WebView();
  WebView(const WebView&) = delete;
  WebView& operator=(const WebView&) = delete;

  void on_receive(std::string_view peer, std::span<const std::uint8_t> bytes);
  void on_log(std::string_view line);
  void on_label(const quillkit::VirtualLabel& label);

  // Serves the page for `printer`, which must outlive the view, on host:port (port 0 picks a
  // free one). False with `error` set when it cannot listen.
  bool start(quillkit::VirtualPrinter& printer, const std::string& host, std::uint16_t port,
             std::string& error);
  std::uint16_t port() const;
  std::string host() const;
  // Ends the event streams and the server; safe to call twice.
  void stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quill
