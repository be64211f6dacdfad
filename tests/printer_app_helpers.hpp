// The real parts quill-printer's tests run against, each a program on loopback: the virtual
// printer (`quill serve`), quill-printer itself, ipptool and cupsd.
#pragma once

#include <arpa/inet.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli_test_helpers.hpp"
#include "quillkit/virtual_printer.hpp"

namespace quillkit::apptest {

using namespace std::chrono_literals;
using clitest::ChildProcess;
using clitest::ProcessResult;
namespace fs = std::filesystem;

inline const std::string kPrinterApp = QUILL_PRINTER_BINARY;
inline const fs::path kTestFiles =
    fs::path(QUILLKIT_TEST_SUPPORT_DIR).parent_path() / "printer_app";

// A TCP port on 127.0.0.1 that was free a moment ago.
inline int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// Whether something accepts connections on 127.0.0.1:port within `timeout`.
inline bool wait_for_port(int port, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(50ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

inline ProcessResult run(std::vector<std::string> argv, std::chrono::milliseconds timeout = 60s) {
  return ChildProcess(std::move(argv)).wait(timeout);
}

// `quill serve` on a TCP port (0: a free one) or a pseudo-terminal, with its web view. Its log
// lines (-v) come on the same output as its label lines.
class VirtualPrinterProcess {
 public:
  VirtualPrinterProcess(const fs::path& out, int port) : VirtualPrinterProcess(out, port, false) {}
  static VirtualPrinterProcess on_pty(const fs::path& out) { return {out, 0, true}; }

  // Where it listens: the port, or the pseudo-terminal's path.
  int port() const { return port_; }
  const std::string& pty() const { return pty_; }

  // The next label it prints; the lines read meanwhile are kept for has_logged.
  std::optional<VirtualLabel> next_label(std::chrono::milliseconds timeout = 30s) {
    static const std::regex kLabel("label [0-9]+: (.*) \\([0-9]+ x [0-9]+ dots\\)");
    std::smatch match;
    for (auto line = read(timeout); line; line = read(timeout)) {
      if (std::regex_match(*line, match, kLabel)) return load_label_png(match[1].str());
    }
    return std::nullopt;
  }
  // Whether it logged a line holding `text` (reading up to `timeout` for it).
  bool has_logged(const std::string& text, std::chrono::milliseconds timeout = 10s) {
    for (const std::string& line : seen_) {
      if (line.find(text) != std::string::npos) return true;
    }
    for (auto line = read(timeout); line; line = read(timeout)) {
      if (line->find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The status byte its status request answers.
  bool set_status(int byte) {
    const auto result =
        web().Post("/api/status", "{\"status\": " + std::to_string(byte) + "}", "application/json");
    return result && result->status == 204;
  }
  // What it received before each label it lists (the last 50), lines of escaped text.
  std::string transcript() {
    std::string text;
    if (const auto result = web().Get("/api/state")) {
      const auto state = nlohmann::json::parse(result->body, nullptr, false);
      for (const auto& label : state.value("labels", nlohmann::json::array())) {
        for (const auto& line : label["transcript"]) text += line["text"].get<std::string>();
      }
    }
    return text;
  }
  void stop() {
    process_->send_signal(SIGTERM);
    process_->wait(10s);
  }

 private:
  VirtualPrinterProcess(const fs::path& out, int port, bool pty)
      : process_(std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c", "exec \"$0\" serve -v \"$@\" 2>&1", clitest::kQuill,
            pty ? "--pty" : "--port", pty ? "--pty" : std::to_string(port), "--out", out.string(),
            "--http", "0"})) {
    static const std::regex kBanner("serving a 203 dpi virtual printer on (.*), labels in .*");
    static const std::regex kWeb("web view on http://127\\.0\\.0\\.1:([0-9]+)/");
    std::smatch match;
    while ((port_ == 0 && pty_.empty()) || web_port_ == 0) {
      const auto line = read(20s);
      if (!line) return;
      if (std::regex_match(*line, match, kBanner)) {
        const std::string where = match[1].str();
        if (pty) {
          pty_ = where;
        } else {
          port_ = std::stoi(where.substr(where.rfind(':') + 1));
        }
      } else if (std::regex_match(*line, match, kWeb)) {
        web_port_ = std::stoi(match[1].str());
      }
    }
  }

  std::optional<std::string> read(std::chrono::milliseconds timeout) {
    auto line = process_->read_line(timeout);
    if (line) seen_.push_back(*line);
    return line;
  }
  httplib::Client web() const { return httplib::Client("127.0.0.1", web_port_); }

  std::unique_ptr<ChildProcess> process_;
  std::vector<std::string> seen_;
  int port_ = 0, web_port_ = 0;
  std::string pty_;
};

// `quill-printer server` on a free port, as a separate instance in `dir` (its control socket,
// state, spool and log), without TLS.
class PrinterApp {
 public:
  explicit PrinterApp(const fs::path& dir) : dir_(dir), port_(free_port()) {
    fs::create_directories(dir_);
    setenv("QUILL_PRINTER_DIR", dir_.c_str(), 1);
    server_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        kPrinterApp, "server", "-o", "server-port=" + std::to_string(port_), "-o",
        "server-options=no-tls", "-o", "log-level=debug", "-o",
        "log-file=" + (dir_ / "log").string(), "-o", "listen-hostname=127.0.0.1"});
    up_ = wait_for_port(port_, 20s);
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
  bool add(const std::string& printer, const std::string& device,
           const std::string& driver = "quill_203dpi") const {
    return command({"add", "-d", printer, "-v", device, "-m", driver}).exit_code == 0;
  }
  // Runs the ipptool test file `test` (from tests/printer_app, or a full path) against the
  // printer with the variables given ("name=value") and `file` as its document.
  ProcessResult ipp(const std::string& printer, const std::string& test,
                    const std::vector<std::string>& variables = {},
                    const std::string& file = "") const {
    std::vector<std::string> argv{"/usr/bin/ipptool", "-t"};
    if (!file.empty()) argv.insert(argv.end(), {"-f", file});
    for (const std::string& v : variables) argv.insert(argv.end(), {"-d", v});
    argv.push_back(uri(printer));
    argv.push_back(test.front() == '/' ? test : (kTestFiles / test).string());
    return run(std::move(argv));
  }
  std::string log() const {
    std::ifstream in(dir_ / "log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  fs::path dir_;
  int port_;
  std::unique_ptr<ChildProcess> server_;
  bool up_ = false;
};

// The documents the tests print, made in `dir` at test time: two Code 128 labels drawn by the
// virtual printer (1-bit grey PNG files, "PAGE-1" and "PAGE-2"), the first as a grey JPEG and
// on a page of PWG raster, both as a two-page PDF, and a command file of the printer's language
// ("RAW-7" on 50 x 30 mm).
struct Documents {
  fs::path png, jpeg, pdf, raw, pwg;
};

// The first label picture at the top left of a 4 x 6 inch page of PWG raster, 8-bit grey at
// 203 dpi, as a client renders a page for the printer.
inline void write_pwg_raster(const fs::path& picture, const fs::path& out) {
  const auto label = load_label_png(picture);
  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
}

inline Documents make_documents(const fs::path& dir) {
  const fs::path pages = dir / "pages.prn";
  std::ofstream(pages, std::ios::binary)
      << "SIZE 60 mm,40 mm\r\nCLS\r\nBARCODE 40,60,\"128\",160,1,0,4,4,\"PAGE-1\"\r\nPRINT 1,1\r\n"
         "CLS\r\nBARCODE 40,60,\"128\",160,1,0,4,4,\"PAGE-2\"\r\nPRINT 1,1\r\n";
  Documents d{dir / "label-0001.png", dir / "first.jpg", dir / "pages.pdf", dir / "raw.prn",
              dir / "page.pwg"};
  std::ofstream(d.raw, std::ios::binary)
      << "SIZE 50 mm,30 mm\r\nGAP 3 mm,0 mm\r\nCLS\r\nTEXT 10,10,\"3\",0,1,1,\"raw\"\r\n"
         "BARCODE 10,50,\"128\",100,1,0,3,3,\"RAW-7\"\r\nPRINT 1,1\r\n";
  run({clitest::kQuill, "preview", "--all", pages.string(), "-o", dir.string()});
  run({"/usr/bin/python3", (kTestFiles / "documents.py").string(), d.png.string(),
       (dir / "label-0002.png").string(), dir.string()});
  write_pwg_raster(d.png, d.pwg);
  return d;
}

}  // namespace quillkit::apptest
