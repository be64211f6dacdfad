#include "support/fake_printer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace quillkit::testing {

FakePrinter::FakePrinter() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  listen(listen_fd_, 64);
  socklen_t length = sizeof(addr);
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
  answer_thread_ = std::jthread([this](std::stop_token stop) { answer(stop); });
}

FakePrinter::~FakePrinter() {
  thread_.request_stop();
  wake();
  thread_.join();
  answer_thread_.request_stop();
  {
    std::lock_guard lock(mu_);
    answer_cv_.notify_all();
  }
  answer_thread_.join();
  for (int fd : clients_) {
    if (reading_) clock().unwatch_fd(fd);
    close(fd);
  }
  close(listen_fd_);
  close(wake_fd_);
}

void FakePrinter::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = write(wake_fd_, &one, sizeof(one));
}

void FakePrinter::add_answer(AnswerRule rule) {
  std::lock_guard lock(mu_);
  rules_.push_back(std::move(rule));
}

void FakePrinter::clear_answers() {
  std::lock_guard lock(mu_);
  rules_.clear();
  pending_.clear();
}

void FakePrinter::set_reading(bool reading) {
  {
    std::lock_guard lock(mu_);
    // Unread input of a printer that does not read is nobody's next step:
    // the clock must not wait for it.
    if (reading != reading_) {
      for (const int fd : clients_) {
        if (reading) {
          clock().watch_fd(fd);
        } else {
          clock().unwatch_fd(fd);
        }
      }
    }
    reading_ = reading;
  }
  wake();
}

void FakePrinter::close_client() {
  {
    std::lock_guard lock(mu_);
    drop_ = Drop::close;
  }
  wake();
}

void FakePrinter::reset_client() {
  {
    std::lock_guard lock(mu_);
    drop_ = Drop::reset;
  }
  wake();
}

std::string FakePrinter::received() {
  std::lock_guard lock(mu_);
  return received_;
}

std::size_t FakePrinter::connections() {
  std::lock_guard lock(mu_);
  return accepted_;
}

std::size_t FakePrinter::open_connections() {
  std::lock_guard lock(mu_);
  return clients_.size();
}

bool FakePrinter::wait_for_bytes(std::size_t count, double seconds) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                      [&] { return received_.size() >= count; });
}

void FakePrinter::clear() {
  std::lock_guard lock(mu_);
  received_.clear();
  since_answer_.clear();
}

void FakePrinter::close_client_locked(int fd) {
  if (reading_) clock().unwatch_fd(fd);
  close(fd);
  clients_.erase(std::find(clients_.begin(), clients_.end(), fd));
}

void FakePrinter::run(std::stop_token stop) {
  std::vector<std::uint8_t> buffer(1 << 16);
  while (!stop.stop_requested()) {
    std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    {
      std::lock_guard lock(mu_);
      for (int fd : clients_) fds.push_back({fd, static_cast<short>(reading_ ? POLLIN : 0), 0});
    }
    poll(fds.data(), fds.size(), 200);
    const platform::ClockHold hold(clock());
    if (fds[1].revents & POLLIN) {
      std::uint64_t value;
      [[maybe_unused]] auto n = read(wake_fd_, &value, sizeof(value));
    }
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        // Each answer piece leaves at once: bytes held back by Nagle's
        // algorithm would be invisible to the test clock.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::lock_guard lock(mu_);
        if (reading_) clock().watch_fd(fd);
        clients_.push_back(fd);
        ++accepted_;
        cv_.notify_all();
      }
    }
    std::lock_guard lock(mu_);
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) close_client_locked(fds[i].fd);
        continue;
      }
      received_.append(buffer.begin(), buffer.begin() + n);
      since_answer_.append(buffer.begin(), buffer.begin() + n);
      for (const auto& rule : rules_) {
        if (since_answer_.size() < rule.trigger.size() ||
            since_answer_.compare(since_answer_.size() - rule.trigger.size(), rule.trigger.size(),
                                  rule.trigger) != 0) {
          continue;
        }
        auto at = Clock::now() + platform::to_duration(rule.delay);
        for (const auto& piece : rule.pieces) {
          pending_.push_back({at, piece});
          at += platform::to_duration(rule.gap);
        }
        since_answer_.clear();
        if (!answer_hold_) answer_hold_.emplace(clock());
        answer_cv_.notify_all();
        break;
      }
      cv_.notify_all();
    }
    if (drop_ != Drop::none && !clients_.empty()) {
      const int fd = clients_.back();
      if (drop_ == Drop::reset) {
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
      }
      close_client_locked(fd);
    }
    drop_ = Drop::none;
  }
}

void FakePrinter::answer(std::stop_token stop) {
  std::unique_lock lock(mu_);
  while (!stop.stop_requested()) {
    auto next = platform::TimePoint::max();
    for (const auto& p : pending_) next = std::min(next, p.at);
    const std::size_t count = pending_.size();
    // The clock stays held from the moment an answer is scheduled or sent
    // until this thread waits for the next piece (its wait has begun when the
    // condition is first asked), so that time cannot pass a piece that is due.
    clock().wait_until(lock, answer_cv_, next, [&] {
      answer_hold_.reset();
      return stop.stop_requested() || pending_.size() != count || Clock::now() >= next;
    });
    answer_hold_.emplace(clock());
    const auto now = Clock::now();
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->at > now) {
        ++it;
        continue;
      }
      if (!clients_.empty()) {
        ::send(clients_.back(), it->bytes.data(), it->bytes.size(), MSG_NOSIGNAL);
      }
      it = pending_.erase(it);
    }
  }
  answer_hold_.reset();
}

LogCapture::LogCapture() {
  set_log_sink([this](LogChannel, std::string_view line) {
    std::lock_guard lock(mu_);
    lines_.emplace_back(line);
  });
}

LogCapture::~LogCapture() { set_log_sink(nullptr); }

bool LogCapture::contains(std::string_view text) {
  std::lock_guard lock(mu_);
  return std::any_of(lines_.begin(), lines_.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

}  // namespace quillkit::testing
