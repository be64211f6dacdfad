// `quill serve`: the virtual printer as a long-running process.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <span>
#include <string>

#include "cli/common.hpp"
#include "cli/link_target.hpp"
#include "cli/web_view.hpp"
#include "quillkit/virtual_printer.hpp"
#include "quillkit/virtual_pty.hpp"

namespace quill {
namespace {

struct ServeOptions {
  std::string bind = "127.0.0.1";
  std::uint16_t port = 9100;
  std::filesystem::path out = "quill-labels";
  int dpi = 203;
  bool pty = false;  // serve on a pseudo-terminal instead of TCP
  std::string http;  // [ADDR:]PORT of the web view; empty: none
};

// The web view's "[ADDR:]PORT": the address 127.0.0.1 when left out, the port 0 to 65535.
bool parse_web_address(std::string_view text, std::string& host, std::uint16_t& port,
                       std::string& error) {
  const auto parts = split_address(text, Alone::port, error);
  const auto number = parts && parts->port ? parse_port(*parts->port) : std::nullopt;
  if (!number) {
    error = "--http: expected [ADDRESS:]PORT with a port from 0 to 65535, got \"" +
            std::string(text) + "\"";
    return false;
  }
  host = parts->host.value_or("127.0.0.1");
  port = *number;
  return true;
}

// SIGINT and SIGTERM are blocked in this thread before any other thread starts, so that every
// thread inherits the mask and the signal is taken only by sigwait below.
int run_serve(const ServeOptions& options) {
  std::string http_host, error;
  std::uint16_t http_port = 0;
  const bool http = !options.http.empty();
  if (http && !parse_web_address(options.http, http_host, http_port, error)) {
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
  quillkit::VirtualServerOptions server_options;
  server_options.host = options.bind;
  server_options.port = options.port;
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

}  // namespace

void setup_serve(CommandLine& line) {
  auto [command, options] = add_subcommand(
      line, "serve",
      "Run the virtual printer, saving every printed label as PNG, until SIGINT/SIGTERM",
      run_serve);
  command->add_option("--port", options->port, "TCP port (0 picks a free one)")
      ->capture_default_str();
  command->add_option("--bind", options->bind, "Address to listen on")->capture_default_str();
  command->add_option("--out", options->out, "Folder for label-0001.png, label-0002.png, ...")
      ->capture_default_str();
  command
      ->add_option("--http", options->http,
                   "Also serve a live web view of the printer (127.0.0.1 unless ADDR given)")
      ->type_name("[ADDR:]PORT");
  command->add_option("--dpi", options->dpi, "Resolution")
      ->check(CLI::IsMember({203, 300}))
      ->capture_default_str();
  command->add_flag("--pty", options->pty,
                    "Serve on a pseudo-terminal (a serial printer for --bt PATH); prints its path");
}

}  // namespace quill
