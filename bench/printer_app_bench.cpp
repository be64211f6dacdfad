// quill-printer's cost per page, and its job rate against the link's.
//
// PrinterAppPageToLink: a 4 x 6 inch page of 8-bit grey raster lines, as PAPPL hands them to the
// driver, to its bytes written on a socket device (PAPPL's own, to a local TCP sink). The
// "x_conversion" counter is that CPU time over the picture conversion alone (fit and dither to
// the 1-bit raster), measured in the same loop.
//
// PrinterAppHundredJobs: 100 small labels submitted at once (ipptool, one Print-Job each) to
// quill-printer on a socket printer, the virtual printer; wall time until the 100th label
// printed. Counters: jobs per minute through quill-printer; the same labels' bytes written back
// to back on one connection (the link alone); the same label sent by `quill print`, one process
// per label (timed over 3 labels).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "printer-app/jobs.hpp"
#include "quillkit/virtual_printer.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A TCP listener on 127.0.0.1 that reads and drops everything sent to it.
class Sink {
 public:
  Sink() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener_, 4);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    reader_ = std::jthread([this] {
      const int fd = accept(listener_, nullptr, nullptr);
      char buffer[1 << 16];
      while (fd >= 0 && read(fd, buffer, sizeof buffer) > 0) {
      }
      if (fd >= 0) close(fd);
    });
  }
  ~Sink() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1, port_ = 0;
  std::jthread reader_;
};

void BM_PrinterAppPageToLink(benchmark::State& state) {
  cups_page_header2_t header{};
  header.cupsWidth = 812;
  header.cupsHeight = 1218;
  header.cupsBitsPerPixel = 8;
  header.cupsBytesPerLine = header.cupsWidth;
  header.cupsColorSpace = CUPS_CSPACE_SW;
  // A grey ramp with black bars: every dither decision is exercised.
  std::vector<std::vector<unsigned char>> lines(header.cupsHeight);
  for (unsigned y = 0; y < header.cupsHeight; ++y) {
    lines[y].resize(header.cupsBytesPerLine);
    for (unsigned x = 0; x < header.cupsWidth; ++x) {
      lines[y][x] = (x / 16) % 4 == 0 ? 0 : static_cast<unsigned char>(x * 255 / header.cupsWidth);
    }
  }
  pappl_media_col_t media{};
  media.size_width = 10160;
  media.size_length = 15240;
  const quill_printer::LabelSettings settings = quill_printer::label_settings(media, 203, 50, 0, 2);
  const quillkit::PictureOptions options = quill_printer::picture_options(settings);
  // The conversion alone, of the same page held whole.
  quillkit::GreyImage grey{header.cupsWidth, header.cupsHeight, {}};
  for (const auto& line : lines) grey.pixels.insert(grey.pixels.end(), line.begin(), line.end());
  Sink sink;
  const std::string uri = "socket://127.0.0.1:" + std::to_string(sink.port());
  pappl_device_t* device = papplDeviceOpen(uri.c_str(), "bench", nullptr, nullptr);
  if (device == nullptr) {
    state.SkipWithError("cannot open the socket device");
    return;
  }
  double whole = 0, conversion = 0;
  for (auto _ : state) {
    const double start = cpu_seconds();
    quill_printer::RasterPage page;
    std::string why;
    page.start(header, options, why);
    for (unsigned y = 0; y < header.cupsHeight; ++y) page.write_line(y, lines[y].data());
    const std::string bytes = quill_printer::label_commands(settings, page.finish(why));
    papplDeviceWrite(device, bytes.data(), bytes.size());
    papplDeviceFlush(device);
    const double middle = cpu_seconds();
    benchmark::DoNotOptimize(quillkit::convert_picture(grey, options));
    const double end = cpu_seconds();
    whole += middle - start;
    conversion += end - middle;
  }
  papplDeviceClose(device);
  state.counters["x_conversion"] = conversion > 0 ? whole / conversion : 0;
}
BENCHMARK(BM_PrinterAppPageToLink)->Unit(benchmark::kMillisecond);

// Starts a program (argv[0] a path) and returns its process id; -1 when it cannot start.
pid_t spawn(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0 ? pid : -1;
}

int run(std::vector<std::string> argv) {
  const pid_t pid = spawn(std::move(argv));
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Connects to 127.0.0.1:port; -1 when nothing listens there.
int connect_local(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

double per_minute(int count, Clock::duration took) {
  return count * 60.0 / std::chrono::duration<double>(took).count();
}

void BM_PrinterAppHundredJobs(benchmark::State& state) {
  constexpr int kJobs = 100;
  const fs::path dir =
      fs::temp_directory_path() / ("quill-printer-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  quillkit::VirtualPrinterConfig config;
  config.labels_kept = 1;
  quillkit::VirtualPrinter printer(config);
  quillkit::VirtualPrinterServer server(printer);
  server.start();
  const std::string port = std::to_string(server.port());

  // The label, as `quill print` sends it, timed per label.
  std::ofstream(dir / "label.json") << R"({"size": {"width": 50, "height": 30}, "elements": [
    {"kind": "text", "x": 16, "y": 12, "font": "3", "text": "Lot 4711"},
    {"kind": "barcode", "x": 16, "y": 60, "type": "128", "height": 80, "data": "QK-4711"}]})";
  const auto quill_start = Clock::now();
  constexpr int kQuillRuns = 3;
  for (int i = 0; i < kQuillRuns; ++i) {
    run({QUILL_BINARY, "print", "--wifi", "127.0.0.1:" + port, (dir / "label.json").string()});
  }
  const auto quill_took = Clock::now() - quill_start;
  const quillkit::Bytes label_bytes = printer.transcript();
  std::ofstream(dir / "label.prn", std::ios::binary)
      .write(reinterpret_cast<const char*>(label_bytes.data()),
             static_cast<std::streamsize>(label_bytes.size() / kQuillRuns));

  setenv("QUILL_PRINTER_DIR", dir.c_str(), 1);
  const std::string app_port = std::to_string(18000 + getpid() % 1000);
  const pid_t app = spawn({QUILL_PRINTER_BINARY, "server", "-o", "server-port=" + app_port, "-o",
                           "server-options=no-tls", "-o", "listen-hostname=127.0.0.1", "-o",
                           "log-level=error", "-o", "log-file=" + (dir / "log").string()});
  for (int i = 0; i < 200; ++i) {
    if (const int fd = connect_local(std::stoi(app_port)); fd >= 0) {
      close(fd);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  run({QUILL_PRINTER_BINARY, "add", "-d", "labels", "-v", "socket://127.0.0.1:" + port, "-m",
       "quill_203dpi"});
  const std::string uri = "ipp://127.0.0.1:" + app_port + "/ipp/print/labels";

  for (auto _ : state) {
    const std::uint64_t before = printer.label_count();
    const auto start = Clock::now();
    run({"/usr/bin/ipptool", "-q", "-i", "0.001", "-n", std::to_string(kJobs), "-f",
         (dir / "label.prn").string(), uri, "/usr/share/cups/ipptool/print-job.test"});
    const bool all = printer.wait_for_labels(before + kJobs, std::chrono::minutes(2));
    const auto took = Clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(took).count());
    if (!all) state.SkipWithError("not every job printed");
    state.counters["jobs_per_min"] = per_minute(kJobs, took);

    // The link alone: the same bytes, back to back on one connection.
    const auto link_start = Clock::now();
    const int fd = connect_local(server.port());
    const std::size_t one = label_bytes.size() / kQuillRuns;
    for (int i = 0; i < kJobs; ++i) {
      for (std::size_t sent = 0; sent < one;) {
        const ssize_t n = write(fd, label_bytes.data() + sent, one - sent);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
    }
    printer.wait_for_labels(before + 2 * kJobs, std::chrono::minutes(2));
    close(fd);
    state.counters["link_per_min"] = per_minute(kJobs, Clock::now() - link_start);
    state.counters["quill_print_per_min"] = per_minute(kQuillRuns, quill_took);
  }
  kill(app, SIGTERM);
  waitpid(app, nullptr, 0);
  server.stop();
  if (std::getenv("QUILL_BENCH_KEEP") == nullptr) fs::remove_all(dir);
}
BENCHMARK(BM_PrinterAppHundredJobs)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
