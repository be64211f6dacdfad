// `quill serve`: the virtual printer as a long-running process.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "cli/common.hpp"
#include "quillkit/virtual_printer.hpp"
#include "quillkit/virtual_pty.hpp"

namespace quill {

// SIGINT and SIGTERM are blocked in this thread before any other thread starts, so that every
// thread inherits the mask and the signal is taken only by sigwait below.
int run_serve(const ServeOptions& options) {
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
  quillkit::VirtualPrinterConfig config;
  config.dpi = options.dpi;
  config.output_dir = out;
  config.labels_kept = 1;
  config.on_label = [&output_mu](const quillkit::VirtualLabel& label) {
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
  config.on_log = [](std::string_view line) { diagnostic(line); };
  quillkit::VirtualPrinter printer(config);
  quillkit::VirtualPrinterServer server(
      printer, quillkit::VirtualServerOptions{.host = options.bind, .port = options.port});
  quillkit::VirtualPrinterPty pty(printer);
  std::string where;
  if (options.pty) {
    if (!pty.start()) return fail("cannot serve on a pseudo-terminal: " + pty.error());
    where = pty.path();
  } else {
    if (!server.start()) return fail("cannot serve on " + options.bind + ": " + server.error());
    where = options.bind + ":" + std::to_string(server.port());
  }
  {
    std::lock_guard lock(output_mu);
    std::printf("serving a %d dpi virtual printer on %s, labels in %s\n", options.dpi,
                where.c_str(), out.string().c_str());
    std::fflush(stdout);
  }

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  diagnostic(signal_number == SIGINT ? "interrupted, stopping" : "terminated, stopping");
  server.stop();
  pty.stop();
  std::lock_guard lock(output_mu);
  std::printf("stopped after %ju label(s)\n", static_cast<std::uintmax_t>(printer.label_count()));
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace quill
