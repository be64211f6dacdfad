// The TCP front of the virtual printer.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "quillkit/platform/error_text.hpp"
#include "quillkit/virtual_printer.hpp"

namespace quillkit {
namespace {

// How often blocked threads look at their stop request.
constexpr int kPollMillis = 50;
// A peer that takes no answer bytes for this long is dropped.
constexpr int kSendTimeoutSeconds = 5;
constexpr std::size_t kReadChunk = 4096;

// Writes all bytes, never raising SIGPIPE; false when the peer is gone or stalls too long.
bool send_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

// "address:port" of the connected client, "[address]:port" for IPv6.
std::string peer_name(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
    ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV);
  }
  return peer.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port
                                    : std::string(host) + ":" + port;
}

}  // namespace

class VirtualPrinterServer::Impl {
 public:
  Impl(VirtualPrinter& printer, VirtualServerOptions options)
      : printer_(printer), options_(std::move(options)) {}

  struct Connection {
    int fd = -1;
    std::string peer;
    std::atomic<bool> done{false};
    std::jthread thread;  // declared last: joined before fd is closed
    ~Connection() {
      if (thread.joinable()) {
        thread.request_stop();
        thread.join();
      }
      if (fd >= 0) ::close(fd);
    }
  };

  bool start();
  void stop();
  void accept_loop(std::stop_token stop);
  void serve(std::stop_token stop, Connection& connection);
  void reap_locked();
  void watch(int fd, bool reading) const {
    if (options_.on_descriptor) options_.on_descriptor(fd, reading);
  }

  VirtualPrinter& printer_;
  const VirtualServerOptions options_;
  mutable std::mutex mutex_;
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::string error_;
  std::jthread accept_thread_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::atomic<std::size_t> open_{0};
  std::atomic<std::uint64_t> accepted_{0};
};

bool VirtualPrinterServer::Impl::start() {
  std::lock_guard lock(mutex_);
  if (listen_fd_ >= 0) {
    error_ = "already started";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string port_text = std::to_string(options_.port);
  int rc = ::getaddrinfo(options_.host.c_str(), port_text.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    error_ = "cannot resolve " + options_.host + ": " + ::gai_strerror(rc);
    return false;
  }
  int fd = -1;
  std::string failure;
  for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      failure = platform::system_error_text("socket", errno);
      continue;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
      failure = platform::system_error_text("bind/listen", errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    error_ = "cannot listen on " + options_.host + ":" + port_text + " (" + failure + ")";
    return false;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  listen_fd_ = fd;
  error_.clear();
  watch(fd, true);
  accept_thread_ = std::jthread([this](std::stop_token stop) { accept_loop(stop); });
  return true;
}

void VirtualPrinterServer::Impl::stop() {
  std::jthread accepting;
  std::list<std::unique_ptr<Connection>> connections;
  int fd;
  {
    std::lock_guard lock(mutex_);
    accepting = std::move(accept_thread_);
    fd = listen_fd_;
  }
  if (accepting.joinable()) {
    accepting.request_stop();
    accepting.join();
  }
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
    listen_fd_ = -1;
    port_ = 0;
  }
  // Wakes the connection threads at once; each Connection then joins its thread and closes.
  for (auto& connection : connections) {
    connection->thread.request_stop();
    ::shutdown(connection->fd, SHUT_RDWR);
  }
  connections.clear();
  if (fd >= 0) {
    watch(fd, false);
    ::close(fd);
  }
}

void VirtualPrinterServer::Impl::reap_locked() {
  connections_.remove_if([](const std::unique_ptr<Connection>& c) { return c->done.load(); });
}

void VirtualPrinterServer::Impl::accept_loop(std::stop_token stop) {
  int listen_fd;
  {
    std::lock_guard lock(mutex_);
    listen_fd = listen_fd_;
  }
  while (!stop.stop_requested()) {
    pollfd wait{listen_fd, POLLIN, 0};
    int ready = ::poll(&wait, 1, kPollMillis);
    if (ready <= 0) continue;
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    watch(fd, true);
    ++accepted_;
    timeval timeout{kSendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::lock_guard lock(mutex_);
    reap_locked();
    if (open_.load() >= options_.max_connections) {
      printer_.log("connection refused and closed: " + std::to_string(options_.max_connections) +
                   " connections are open (the limit)");
      watch(fd, false);
      ::close(fd);
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->peer = peer_name(fd);
    Connection& ref = *connection;
    ++open_;
    connection->thread = std::jthread([this, &ref](std::stop_token s) { serve(s, ref); });
    connections_.push_back(std::move(connection));
  }
}

void VirtualPrinterServer::Impl::serve(std::stop_token stop, Connection& connection) {
  using Clock = std::chrono::steady_clock;
  auto stream = printer_.open_stream();
  std::uint8_t buffer[kReadChunk];
  auto write = [&connection](std::span<const std::uint8_t> bytes) {
    return send_all(connection.fd, bytes);
  };
  auto last_activity = Clock::now();
  while (!stop.stop_requested()) {
    if (options_.idle_timeout.count() > 0 && Clock::now() - last_activity > options_.idle_timeout) {
      printer_.log("connection closed: nothing received for " +
                   std::to_string(options_.idle_timeout.count()) + " ms");
      break;
    }
    pollfd wait{connection.fd, POLLIN, 0};
    int ready = ::poll(&wait, 1, kPollMillis);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    ssize_t got = ::recv(connection.fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // End of input: every answer it asked for is already written.
    if (got <= 0) break;
    const std::span received(buffer, static_cast<std::size_t>(got));
    if (options_.on_receive) options_.on_receive(connection.peer, received);
    Bytes answer = stream->feed(received);
    if (!answer.empty() && !printer_.deliver_answer(answer, stop, write)) {
      if (!stop.stop_requested()) printer_.log("answer not delivered: the peer went away");
      break;
    }
    last_activity = Clock::now();
  }
  // The peer sees the end of the stream now; the descriptor itself is closed when the
  // connection is reaped, so that stop() never shuts down a reused descriptor number.
  watch(connection.fd, false);
  ::shutdown(connection.fd, SHUT_RDWR);
  --open_;
  connection.done = true;
}

VirtualPrinterServer::VirtualPrinterServer(VirtualPrinter& printer, VirtualServerOptions options)
    : impl_(std::make_unique<Impl>(printer, std::move(options))) {}

VirtualPrinterServer::~VirtualPrinterServer() { stop(); }

bool VirtualPrinterServer::start() { return impl_->start(); }

void VirtualPrinterServer::stop() { impl_->stop(); }

std::uint16_t VirtualPrinterServer::port() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->port_;
}

std::string VirtualPrinterServer::error() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->error_;
}

std::size_t VirtualPrinterServer::open_connections() const { return impl_->open_.load(); }

std::uint64_t VirtualPrinterServer::accepted_connections() const { return impl_->accepted_.load(); }

}  // namespace quillkit
