#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <thread>

#include "quillkit/platform/error_text.hpp"
#include "quillkit/virtual_pty.hpp"

namespace quillkit {

class VirtualPrinterPty::Impl {
 public:
  explicit Impl(VirtualPrinter& printer) : printer_(printer) {}
  ~Impl() { stop(); }

  bool start() {
    std::lock_guard lock(mu_);
    if (thread_.joinable()) {
      error_ = "already serving";
      return false;
    }
    int master = -1;
    int slave = -1;
    std::array<char, 128> name{};
    if (openpty(&master, &slave, name.data(), nullptr, nullptr) != 0) {
      error_ = platform::system_error_text("no pseudo-terminal", errno);
      return false;
    }
    for (const int fd : {master, slave}) {
      termios settings{};
      tcgetattr(fd, &settings);
      cfmakeraw(&settings);
      tcsetattr(fd, TCSANOW, &settings);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    master_ = master;
    slave_ = slave;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    path_ = name.data();
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
    return true;
  }

  void stop() {
    std::lock_guard lock(mu_);
    if (!thread_.joinable()) return;
    thread_.request_stop();
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = write(wake_, &one, sizeof(one));
    thread_.join();
    for (int* fd : {&master_, &slave_, &wake_}) {
      close(*fd);
      *fd = -1;
    }
  }

  std::string path() const {
    std::lock_guard lock(mu_);
    return path_;
  }
  std::string error() const {
    std::lock_guard lock(mu_);
    return error_;
  }

 private:
  // Serving thread: the descriptors stay valid until stop() has joined it.
  void serve(std::stop_token stop) {
    auto stream = printer_.open_stream();
    std::array<std::uint8_t, 4096> buffer{};
    while (!stop.stop_requested()) {
      pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[0].revents & POLLIN) {
        const ssize_t n = read(master_, buffer.data(), buffer.size());
        if (n > 0) send(stream->feed(std::span(buffer.data(), static_cast<std::size_t>(n))), stop);
      }
    }
  }

  // Writes all of `bytes` to the master, waiting for room while the client
  // does not read.
  void send(const Bytes& bytes, std::stop_token& stop) {
    std::size_t offset = 0;
    while (offset < bytes.size() && !stop.stop_requested()) {
      const ssize_t n = write(master_, bytes.data() + offset, bytes.size() - offset);
      if (n > 0) {
        offset += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return;
      pollfd fds[2] = {{master_, POLLOUT, 0}, {wake_, POLLIN, 0}};
      poll(fds, 2, 1000);
    }
  }

  VirtualPrinter& printer_;
  mutable std::mutex mu_;  // serialises start and stop; guards path_ and error_
  std::string path_;
  std::string error_;
  int master_ = -1;
  int slave_ = -1;
  int wake_ = -1;
  std::jthread thread_;
};

VirtualPrinterPty::VirtualPrinterPty(VirtualPrinter& printer)
    : impl_(std::make_unique<Impl>(printer)) {}
VirtualPrinterPty::~VirtualPrinterPty() = default;
bool VirtualPrinterPty::start() { return impl_->start(); }
void VirtualPrinterPty::stop() { impl_->stop(); }
std::string VirtualPrinterPty::path() const { return impl_->path(); }
std::string VirtualPrinterPty::error() const { return impl_->error(); }

}  // namespace quillkit
