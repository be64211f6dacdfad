#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace quillkit::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::optional<std::string>>& env) {
  // Everything the child needs is built before the spawn.
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (env.find(name) == env.end()) environment.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value) environment.push_back(name + "=" + *value);
  }
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  // The child starts with default signal handling and nothing blocked, whatever the test does.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  start_ = Clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, &attributes, args.data(), envp.data()) == 0) pid_ = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

void ChildProcess::pump(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (poll(fds, 2, timeout_ms) <= 0) return;
  char buffer[4096];
  for (int i = 0; i < 2; ++i) {
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(fds[i].fd);
      (i == 0 ? out_fd_ : err_fd_) = -1;
    }
  }
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (const auto end = out_.find('\n'); end != std::string::npos) {
      std::string line = out_.substr(0, end);
      out_.erase(0, end + 1);
      return line;
    }
    if (out_fd_ < 0 || Clock::now() >= deadline) return std::nullopt;
    pump(remaining_ms(deadline));
  }
}

void ChildProcess::send_signal(int signal_number) {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

ProcessResult ChildProcess::wait(std::chrono::milliseconds timeout) {
  ProcessResult result;
  const auto deadline = Clock::now() + timeout;
  while ((out_fd_ >= 0 || err_fd_ >= 0) && Clock::now() < deadline) pump(remaining_ms(deadline));
  int status = 0;
  while (pid_ > 0) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      break;
    }
    if (Clock::now() >= deadline) break;
    usleep(10'000);
  }
  result.elapsed = Clock::now() - start_;
  result.out = std::move(out_);
  result.err = std::move(err_);
  out_.clear();
  err_.clear();
  return result;
}

ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::optional<std::string>>& env,
                          std::chrono::milliseconds timeout) {
  ChildProcess child(argv, env);
  if (!child.started()) return {};
  return child.wait(timeout);
}

}  // namespace quillkit::testing
