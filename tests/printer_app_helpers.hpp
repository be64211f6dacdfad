// The real parts quill-printer's tests run against: the virtual printer served on loopback by
// the test, and quill-printer, ipptool and cupsd as programs.
#pragma once

#include <cups/raster.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli_test_helpers.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/fake_printer.hpp"

namespace quillkit::apptest {

using namespace std::chrono_literals;
using clitest::ChildProcess;
using clitest::ProcessResult;
namespace fs = std::filesystem;

inline const std::string kPrinterApp = QUILL_PRINTER_BINARY;
inline const fs::path kFiles = fs::path(QUILLKIT_TEST_SUPPORT_DIR).parent_path() / "printer_app";

inline ProcessResult run(std::vector<std::string> argv, std::chrono::milliseconds timeout = 60s) {
  return ChildProcess(std::move(argv)).wait(timeout);
}

// Connects to 127.0.0.1:port: whether something listens there (0: picks a free port and
// returns false).
inline bool listening(int port, int* free_port = nullptr) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool up = port != 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0;
  if (free_port != nullptr && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    *free_port = ntohs(address.sin_port);
  }
  close(fd);
  return up;
}

inline int free_port() {
  int port = 0;
  listening(0, &port);
  return port;
}

// The virtual printer served on 127.0.0.1 (port 0: a free one) by this process; its labels are
// taken in the order they print.
class VirtualPrinterHost {
 public:
  explicit VirtualPrinterHost(int port = 0) { start(port); }
  VirtualPrinter& printer() { return printer_; }
  int port() const { return server_ ? server_->port() : 0; }
  std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port()); }

  std::optional<VirtualLabel> next_label(std::chrono::milliseconds timeout = 30s) {
    if (!printer_.wait_for_labels(taken_ + 1, timeout)) return std::nullopt;
    ++taken_;
    for (const VirtualLabel& label : printer_.labels()) {
      if (label.number == taken_) return label;
    }
    return std::nullopt;
  }
  // What the connection that received `text` received in all (waiting for it up to `seconds`);
  // empty when no connection did.
  std::string connection_with(std::string_view text, double seconds = 5) {
    std::string found;
    testing::wait_until(
        [&] {
          std::lock_guard lock(mu_);
          for (const auto& [peer, bytes] : received_) {
            if (bytes.find(text) != std::string::npos) found = bytes;
          }
          return !found.empty();
        },
        seconds);
    return found;
  }
  void stop() { server_.reset(); }
  bool start(int port) {
    VirtualServerOptions options{.port = static_cast<std::uint16_t>(port)};
    options.on_receive = [this](std::string_view peer, std::span<const std::uint8_t> bytes) {
      std::lock_guard lock(mu_);
      received_[std::string(peer)].append(bytes.begin(), bytes.end());
    };
    server_ = std::make_unique<VirtualPrinterServer>(printer_, options);
    return server_->start();
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::string> received_;  // by connection; guarded by mu_
  VirtualPrinter printer_;
  std::unique_ptr<VirtualPrinterServer> server_;
  std::uint64_t taken_ = 0;
};

// `quill-printer server` on a free port, as a separate instance in `dir` (its control socket,
// state, spool and log), without TLS.
class PrinterApp {
 public:
  explicit PrinterApp(const fs::path& dir) : dir_(dir), port_(free_port()) {
    fs::create_directories(dir_);
    setenv("QUILL_PRINTER_DIR", dir_.c_str(), 1);
    // Its standard error (a sanitizer's report) goes to the log too.
    const int log = open((dir_ / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{
            kPrinterApp, "server", "-o", "server-port=" + std::to_string(port_), "-o",
            "server-options=no-tls", "-o", "log-level=debug", "-o",
            "log-file=" + (dir_ / "log").string(), "-o", "listen-hostname=127.0.0.1"},
        "/dev/null", std::vector<std::pair<int, int>>{{log, STDERR_FILENO}});
    close(log);
    up_ = testing::wait_until([&] { return listening(port_); }, 20);
  }
  ~PrinterApp() {
    server_->send_signal(SIGTERM);
    server_->wait(10s);
  }

  bool up() const { return up_; }
  int port() const { return port_; }
  std::string uri(const std::string& printer) const {
    return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/print/" + printer;
  }
  ProcessResult command(std::vector<std::string> args) const {
    args.insert(args.begin(), kPrinterApp);
    return run(std::move(args));
  }
  bool add(const std::string& printer, const std::string& device) const {
    return command({"add", "-d", printer, "-v", device, "-m", "quill_203dpi"}).exit_code == 0;
  }
  // Runs the ipptool test file `test` (from tests/printer_app, or a full path) against the
  // printer, with the variables given ("name=value") and `file` as its document. True when
  // every test passed; what ipptool and the server said is added to the failure otherwise.
  ::testing::AssertionResult ipp(const std::string& printer, const std::string& test,
                                 const std::vector<std::string>& variables = {},
                                 const fs::path& file = {}) const {
    std::vector<std::string> argv{"/usr/bin/ipptool", "-t"};
    if (!file.empty()) argv.insert(argv.end(), {"-f", file.string()});
    for (const std::string& v : variables) argv.insert(argv.end(), {"-d", v});
    argv.push_back(uri(printer));
    argv.push_back(test.front() == '/' ? test : (kFiles / test).string());
    const ProcessResult result = run(std::move(argv));
    if (result.exit_code == 0) return ::testing::AssertionSuccess();
    std::ifstream log(dir_ / "log");
    return ::testing::AssertionFailure()
           << result.out << result.err << std::string(std::istreambuf_iterator<char>(log), {});
  }

 private:
  fs::path dir_;
  int port_;
  std::unique_ptr<ChildProcess> server_;
  bool up_ = false;
};

// The documents the tests print, made in `dir` at test time from tests/printer_app/pages.prn:
// its two Code 128 labels drawn by the virtual printer (1-bit grey PNG files, "PAGE-1" and
// "PAGE-2"), the first as a grey JPEG and at the top left of a 4 x 6 inch page of PWG raster
// (8-bit grey, 203 dpi), both as a two-page PDF. And raw.prn, a command file ("RAW-7" on
// 50 x 30 mm).
struct Documents {
  fs::path png, jpeg, pdf, pwg, raw = kFiles / "raw.prn";
};

inline Documents make_documents(const fs::path& dir) {
  const Documents d{dir / "label-0001.png", dir / "first.jpg", dir / "pages.pdf", dir / "page.pwg"};
  run({clitest::kQuill, "preview", "--all", (kFiles / "pages.prn").string(), "-o", dir.string()});
  run({"/usr/bin/python3", (kFiles / "documents.py").string(), d.png.string(),
       (dir / "label-0002.png").string(), dir.string()});
  const auto label = load_label_png(d.png);
  const int fd = open(d.pwg.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  cups_page_header2_t header;
  cupsRasterInitPWGHeader(&header, pwgMediaForPWG("na_index-4x6_4x6in"), "sgray_8", 203, 203,
                          "one-sided", "normal");
  cupsRasterWriteHeader2(raster, &header);
  std::vector<unsigned char> line(header.cupsBytesPerLine);
  for (unsigned y = 0; y < header.cupsHeight; ++y) {
    for (unsigned x = 0; x < header.cupsWidth; ++x) {
      line[x] = label && label->ink(static_cast<int>(x), static_cast<int>(y)) ? 0 : 255;
    }
    cupsRasterWritePixels(raster, line.data(), header.cupsBytesPerLine);
  }
  cupsRasterClose(raster);
  close(fd);
  return d;
}

}  // namespace quillkit::apptest
