// The byte stream pair over a POSIX descriptor: TCP sockets and serial lines.
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include "quillkit/platform/byte_stream.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/platform/error_text.hpp"
#include "quillkit/platform/log.hpp"

namespace quillkit::platform {
namespace {

std::mutex observers_mu;
std::vector<std::shared_ptr<StreamObserver>> observers;  // guarded by observers_mu
std::atomic<bool> observed{false};                       // whether there are any

template <class Call>
void observe(const Call& call) {
  if (!observed.load(std::memory_order_acquire)) return;
  std::vector<std::shared_ptr<StreamObserver>> current;
  {
    std::lock_guard lock(observers_mu);
    current = observers;
  }
  for (const auto& observer : current) call(*observer);
}

// Name lookups run on threads of a process-wide resolver, so that no printer
// object ever waits for the name server: a lookup whose caller gave up runs to
// its end on its own, and its thread is joined by a later lookup or at exit. A
// lookup cannot be interrupted, so one still running at exit is left to end
// with the process rather than hold the exit up.
class Resolver {
 public:
  struct Lookup {
    ~Lookup() {
      if (found) freeaddrinfo(found);
      if (done_fd >= 0) ::close(done_fd);
    }
    const int done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // readable once finished
    std::mutex mu;
    addrinfo* found = nullptr;  // guarded by mu; owned until taken
  };

  static Resolver& instance() {
    static Resolver resolver;
    return resolver;
  }

  ~Resolver() {
    std::lock_guard lock(mu_);
    for (Worker& worker : workers_) {
      if (!worker.done->load()) worker.thread.detach();
    }
  }

  // Starts a lookup of host:port for a stream socket.
  std::shared_ptr<Lookup> start(std::string host, std::string service) {
    auto lookup = std::make_shared<Lookup>();
    if (lookup->done_fd < 0) return nullptr;
    std::lock_guard lock(mu_);
    std::erase_if(workers_, [](Worker& w) { return w.done->load(); });  // joins them
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back(
        {done, std::jthread([lookup, done, host = std::move(host), service = std::move(service)] {
           addrinfo hints{};
           hints.ai_family = AF_UNSPEC;
           hints.ai_socktype = SOCK_STREAM;
           addrinfo* found = nullptr;
           if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
             found = nullptr;
           }
           {
             std::lock_guard lock(lookup->mu);
             lookup->found = found;
           }
           const std::uint64_t one = 1;
           [[maybe_unused]] auto n = ::write(lookup->done_fd, &one, sizeof(one));
           done->store(true);
         })});
    return lookup;
  }

 private:
  struct Worker {
    std::shared_ptr<std::atomic<bool>> done;
    std::jthread thread;
  };
  std::mutex mu_;
  std::vector<Worker> workers_;  // guarded by mu_
};

// Resolves `host` without holding up a close: nullptr when the name does not
// resolve or `wake_fd` became readable first (the lookup is then abandoned).
addrinfo* resolve(const std::string& host, std::uint32_t port, int wake_fd) {
  const auto lookup = Resolver::instance().start(host, std::to_string(port));
  if (!lookup) return nullptr;
  pollfd fds[2] = {{lookup->done_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  int ready;
  do {
    ready = poll(fds, 2, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0 || !(fds[0].revents & POLLIN)) return nullptr;
  std::lock_guard lock(lookup->mu);
  return std::exchange(lookup->found, nullptr);
}

// Resolves and connects on the reader thread; returns a connected,
// non-blocking socket, or -1. Gives up early when `wake_fd` becomes readable,
// name resolution included.
int connect_tcp(const std::string& host, std::uint32_t port, int wake_fd) {
  addrinfo* found = port > 65535 ? nullptr : resolve(host, port, wake_fd);
  if (found == nullptr) return -1;
  int result = -1;
  for (addrinfo* ai = found; ai != nullptr && result < 0; ai = ai->ai_next) {
    const int fd =
        socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
      result = fd;
      break;
    }
    if (errno == EINPROGRESS) {
      pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
      int ready;
      do {
        ready = poll(fds, 2, -1);
      } while (ready < 0 && errno == EINTR);
      if (ready > 0 && (fds[1].revents & POLLIN)) {
        ::close(fd);
        break;
      }
      int error = 0;
      socklen_t length = sizeof(error);
      if (ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
        result = fd;
        break;
      }
    }
    ::close(fd);
  }
  freeaddrinfo(found);
  // Each write goes out at once: a printer acts on whole lines, and a line
  // end held back until the peer's delayed acknowledgement would cost every
  // query's round trip tens of milliseconds.
  if (result >= 0) {
    int one = 1;
    setsockopt(result, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  return result;
}

// Step of the wait for written bytes to be acknowledged.
constexpr double kUnsentPollSeconds = 0.01;

// Whether the socket is a TCP one: only there does SIOCOUTQ count the bytes
// the peer has not acknowledged (Bluetooth sockets answer with free space).
bool is_tcp(int fd) {
  int domain = 0, protocol = 0;
  socklen_t length = sizeof(int);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return false;
  length = sizeof(int);
  if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0) return false;
  return (domain == AF_INET || domain == AF_INET6) && protocol == IPPROTO_TCP;
}

class FdStream final : public ByteStream {
 public:
  using Connector = std::function<int(int wake_fd)>;

  FdStream(Clock& clock, std::string name, EventHandler handler, int initial_status)
      : clock_(clock),
        name_(std::move(name)),
        handler_(std::move(handler)),
        wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        status_(initial_status) {}

  ~FdStream() override {
    close();
    const int fd = fd_.load();
    stop_watching();
    if (fd >= 0) ::close(fd);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  // The clock stands still from here until the connector is done: a test
  // clock cannot see the kernel connecting, the resolver's threads, or this
  // thread before it starts. The real clock ignores it.
  void start(Connector connector) {
    reader_ = std::jthread([this, connector = std::move(connector),
                            hold = std::make_shared<ClockHold>(clock_)](std::stop_token stop) {
      run(stop, connector, *hold);
    });
  }

  int status() const override { return status_.load(); }

  bool has_space_available() override {
    if (!is_usable()) return false;
    pollfd pfd{fd_.load(), POLLOUT, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLOUT) && !(pfd.revents & POLLERR);
  }

  void wait_for_space(double max_seconds) override {
    if (!is_usable()) {
      // Still connecting: nothing to poll on yet.
      if (status_.load() <= kStreamOpening) clock_.sleep_seconds(max_seconds);
      return;
    }
    want_space_.store(true);
    clock_.wait_fd(fd_.load(), POLLOUT, clock_.deadline_after(max_seconds));
  }

  std::ptrdiff_t write(std::span<const std::uint8_t> data) override {
    if (!is_usable()) return status_.load() <= kStreamOpening ? 0 : -1;
    const int fd = fd_.load();
    ssize_t n = is_socket_ ? send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                           : ::write(fd, data.data(), data.size());
    if (n > 0)
      observe([&](StreamObserver& o) { o.on_write(fd, data.first(static_cast<std::size_t>(n))); });
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      want_space_.store(true);
      return 0;
    }
    fail(kStreamError);
    return -1;
  }

  int wait_until_sent(double max_seconds) override {
    const TimePoint deadline = clock_.deadline_after(max_seconds);
    for (;;) {
      if (!is_usable()) return -1;
      int unsent = 0;
      const unsigned long request = unsent_request_.load();
      if (request == 0 || ioctl(fd_.load(), request, &unsent) != 0) return 0;
      if (unsent == 0) return 1;
      if (clock_.now() >= deadline) return 0;
      // Neither the kernel nor the peer announces an acknowledgement: poll.
      clock_.sleep_seconds(kUnsentPollSeconds);
    }
  }

  bool has_bytes_available() override {
    if (!is_usable()) return false;
    int pending = 0;
    return ioctl(fd_.load(), FIONREAD, &pending) == 0 && pending > 0;
  }

  std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
    const int fd = fd_.load();
    if (fd < 0 || status_.load() == kStreamClosed) return -1;
    ssize_t n = is_socket_ ? recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT)
                           : ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
  }

  std::string description(StreamSide side) const override {
    return std::string(side == StreamSide::input ? "<input stream " : "<output stream ") + name_ +
           ">";
  }

  void close() override {
    std::lock_guard lock(close_mu_);
    if (closed_) return;
    closed_ = true;
    status_.store(kStreamClosed);
    const int fd = fd_.load();
    if (fd >= 0 && is_socket_) shutdown(fd, SHUT_RDWR);
    if (reader_.joinable()) {
      reader_.request_stop();
      signal_wake();
      if (reader_.get_id() != std::this_thread::get_id()) reader_.join();
    }
  }

  void adopt(int fd) {
    struct stat st {};
    is_socket_ = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    unsent_request_.store(is_socket_ ? (is_tcp(fd) ? SIOCOUTQ : 0) : isatty(fd) ? TIOCOUTQ : 0);
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    fd_.store(fd);
    watched_.store(true);
    clock_.watch_fd(fd);
  }

 private:
  bool is_usable() const {
    const int status = status_.load();
    return fd_.load() >= 0 && status >= kStreamOpen && status <= kStreamWriting;
  }

  void fail(int status) {
    int expected = status_.load();
    while (expected >= kStreamOpen && expected <= kStreamWriting &&
           !status_.compare_exchange_weak(expected, status)) {
    }
  }

  void signal_wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof(one));
  }

  void emit(StreamSide side, int event) {
    const int fd = fd_.load();
    observe([&](StreamObserver& o) { o.on_event(fd, side, event, false); });
    {
      const ClockHold hold(clock_);
      if (handler_) handler_(*this, side, event);
    }
    observe([&](StreamObserver& o) { o.on_event(fd, side, event, true); });
  }

  void run(std::stop_token stop, const Connector& connector, ClockHold& hold) {
    if (fd_.load() < 0) {
      status_.store(kStreamOpening);
      const int fd = connector(wake_fd_);
      hold.release();
      if (stop.stop_requested()) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) {
        status_.store(kStreamError);
        emit(StreamSide::input, kEventErrorOccurred);
        emit(StreamSide::output, kEventErrorOccurred);
        wait_for_stop(stop);
        return;
      }
      adopt(fd);
      int expected = kStreamOpening;
      status_.compare_exchange_strong(expected, kStreamOpen);
    }
    hold.release();
    emit(StreamSide::input, kEventOpenCompleted);
    emit(StreamSide::output, kEventOpenCompleted);
    emit(StreamSide::output, kEventHasSpaceAvailable);
    pump(stop);
    // Nothing reads the descriptor any more: its pending input (an end of
    // stream, say) is not something a waiting thread is about to see.
    stop_watching();
    wait_for_stop(stop);
  }

  void stop_watching() {
    if (watched_.exchange(false)) clock_.unwatch_fd(fd_.load());
  }

  // Dispatches events until the channel ends or fails, or stop is requested.
  void pump(std::stop_token& stop) {
    const int fd = fd_.load();
    while (!stop.stop_requested() && is_usable()) {
      const bool want_space = want_space_.load();
      pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (want_space ? POLLOUT : 0)), 0},
                       {wake_fd_, POLLIN, 0}};
      const int ready = poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        fail(kStreamError);
        emit(StreamSide::input, kEventErrorOccurred);
        return;
      }
      if (stop.stop_requested() || !is_usable()) return;
      if (fds[0].revents & POLLIN) {
        if (has_bytes_available()) {
          emit(StreamSide::input, kEventHasBytesAvailable);
        } else {
          std::uint8_t probe;
          const ssize_t n =
              is_socket_ ? recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) : ::read(fd, &probe, 0);
          if (n == 0 || (!is_socket_ && (fds[0].revents & POLLHUP))) {
            fail(kStreamAtEnd);
            emit(StreamSide::input, kEventEndEncountered);
            return;
          }
          if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            fail(kStreamError);
            emit(StreamSide::input, kEventErrorOccurred);
            return;
          }
        }
      } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        fail(kStreamError);
        emit(StreamSide::output, kEventErrorOccurred);
        return;
      }
      if (want_space && (fds[0].revents & POLLOUT)) {
        want_space_.store(false);
        emit(StreamSide::output, kEventHasSpaceAvailable);
      }
    }
  }

  void wait_for_stop(std::stop_token& stop) {
    while (!stop.stop_requested()) {
      pollfd pfd{wake_fd_, POLLIN, 0};
      poll(&pfd, 1, 1000);
    }
  }

  Clock& clock_;
  const std::string name_;
  const EventHandler handler_;
  const int wake_fd_;
  std::atomic<int> fd_{-1};
  std::atomic<int> status_;
  std::atomic<bool> want_space_{false};
  std::atomic<bool> is_socket_{true};
  // The ioctl that counts the bytes not yet acknowledged or sent; 0 for none.
  std::atomic<unsigned long> unsent_request_{0};
  std::atomic<bool> watched_{false};

  std::mutex close_mu_;  // serialises close(); guards closed_
  bool closed_ = false;
  std::jthread reader_;
};

}  // namespace

std::shared_ptr<ByteStream> open_tcp_stream(Clock& clock, std::string host, std::uint32_t port,
                                            ByteStream::EventHandler handler) {
  std::string name = host + ":" + std::to_string(port);
  auto stream = std::make_shared<FdStream>(clock, name, std::move(handler), kStreamNotOpen);
  stream->start([host = std::move(host), port, name](int wake_fd) {
    log_line(LogChannel::console, "# connecting to " + name);
    return connect_tcp(host, port, wake_fd);
  });
  return stream;
}

std::shared_ptr<ByteStream> open_fd_stream(Clock& clock, int fd, std::string name,
                                           ByteStream::EventHandler handler) {
  auto stream = std::make_shared<FdStream>(clock, std::move(name), std::move(handler), kStreamOpen);
  stream->adopt(fd);
  stream->start([](int) { return -1; });
  return stream;
}

std::shared_ptr<ByteStream> open_serial_stream(Clock& clock, const std::string& path,
                                               ByteStream::EventHandler handler) {
  // Logs why the device cannot serve (errno as the failed call left it) and
  // gives it up.
  const auto give_up = [&path](std::string_view what, int fd) -> std::shared_ptr<ByteStream> {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    log_line(LogChannel::system, system_error_text("cannot open " + path + std::string(what), error));
    return nullptr;
  };
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return give_up("", fd);
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return give_up(": not a serial device", fd);
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return give_up("", fd);
  return open_fd_stream(clock, fd, path, std::move(handler));
}

void add_stream_observer(std::shared_ptr<StreamObserver> observer) {
  std::lock_guard lock(observers_mu);
  observers.push_back(std::move(observer));
  observed.store(true, std::memory_order_release);
}

void remove_stream_observer(const StreamObserver* observer) {
  std::lock_guard lock(observers_mu);
  std::erase_if(observers, [&](const auto& o) { return o.get() == observer; });
  observed.store(!observers.empty(), std::memory_order_release);
}

}  // namespace quillkit::platform
