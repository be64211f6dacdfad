// `quill serve`: the virtual printer as a long-running process.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <span>
#include <string>

#include "cli/common.hpp"
#include "cli/web_view.hpp"
#include "quillkit/virtual_printer.hpp"
#include "quillkit/virtual_pty.hpp"

namespace quill {

// SIGINT and SIGTERM are blocked in this thread before any other thread starts, so that every
// thread inherits the mask and the signal is taken only by sigwait below.
int run_serve(const ServeOptions& options) {
  std::string http_host, error;
  std::uint16_t http_port = 0;
  const bool http = !options.http.empty();
  if (http && !WebView::parse_address(options.http, http_host, http_port, error)) {
    return usage_error(error);
  }
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::error_code ec;
  const std::filesystem::path out = std::filesystem::absolute(options.out, ec);
  std::filesystem::create_directories(out, ec);
  if (ec || !std::filesystem::is_directory(out)) {
    return fail("cannot create the label folder " + out.string());
  }

  std::mutex output_mu;
  WebView web;
  quillkit::VirtualPrinterConfig config;
  config.dpi = options.dpi;
  config.output_dir = out;
  config.labels_kept = 1;
  config.on_label = [&output_mu, &web, http](const quillkit::VirtualLabel& label) {
    if (http) web.on_label(label);
    std::lock_guard lock(output_mu);
    if (label.png_path.empty()) {
      std::printf("label %ju: %d x %d dots, not saved (run with --verbose to see why)\n",
                  static_cast<std::uintmax_t>(label.number), label.width, label.height);
    } else {
      std::printf("label %ju: %s (%d x %d dots)\n", static_cast<std::uintmax_t>(label.number),
                  label.png_path.string().c_str(), label.width, label.height);
    }
    std::fflush(stdout);
  };
  config.on_log = [&web, http](std::string_view line) {
    if (http) web.on_log(line);
    diagnostic(line);
  };
  quillkit::VirtualPrinter printer(config);
  quillkit::VirtualServerOptions server_options{.host = options.bind, .port = options.port};
  if (http) {
    server_options.on_receive = [&web](std::string_view peer, std::span<const std::uint8_t> bytes) {
      web.on_receive(peer, bytes);
    };
  }
  quillkit::VirtualPrinterServer server(printer, server_options);
  quillkit::VirtualPrinterPty pty(printer);
  std::string where;
  if (options.pty) {
    if (!pty.start()) return fail("cannot serve on a pseudo-terminal: " + pty.error());
    where = pty.path();
  } else {
    if (!server.start()) return fail("cannot serve on " + options.bind + ": " + server.error());
    where = options.bind + ":" + std::to_string(server.port());
  }
  if (http && !web.start(printer, http_host, http_port, error)) return fail(error);
  {
    std::lock_guard lock(output_mu);
    std::printf("serving a %d dpi virtual printer on %s, labels in %s\n", options.dpi,
                where.c_str(), out.string().c_str());
    if (http) {
      const std::string host = web.host();
      std::printf("web view on http://%s:%u/\n",
                  host.find(':') != std::string::npos ? ("[" + host + "]").c_str() : host.c_str(),
                  static_cast<unsigned>(web.port()));
    }
    std::fflush(stdout);
  }

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  diagnostic(signal_number == SIGINT ? "interrupted, stopping" : "terminated, stopping");
  server.stop();
  pty.stop();
  web.stop();
  std::lock_guard lock(output_mu);
  std::printf("stopped after %ju label(s)\n", static_cast<std::uintmax_t>(printer.label_count()));
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace quill
