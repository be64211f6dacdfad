#include "support/private_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace quillkit::testing {
namespace {

constexpr const char* kAddressVariable = "DBUS_SYSTEM_BUS_ADDRESS";

// Starts `argv` with its standard output on a pipe (and its standard error on
// /dev/null when `quiet`); pid -1 on failure.
std::pair<pid_t, int> spawn_reading(const std::vector<std::string>& argv, bool quiet = false) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (pid < 0) {
    close(pipe_fds[0]);
    return {-1, -1};
  }
  return {pid, pipe_fds[0]};
}

// Reads lines from `fd` until `accept` takes one or `seconds` of real time pass
// (a bound on another process, whatever the library's clock does).
template <class Accept>
bool read_line_until(int fd, double seconds, Accept accept) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char c;
    if (read(fd, &c, 1) != 1) return false;
    if (c != '\n') {
      line += c;
    } else if (accept(line)) {
      return true;
    } else {
      line.clear();
    }
  }
}

void stop(pid_t pid, int out) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  if (out >= 0) close(out);
}

}  // namespace

PrivateBus::PrivateBus() {
  const auto [pid, out] =
      spawn_reading({"/usr/bin/dbus-daemon", "--session", "--print-address", "--nofork"},
                    /*quiet=*/true);
  daemon_ = {pid, out};
  if (pid < 0) return;
  // A failed read leaves address_ empty: every line it took was empty.
  if (!read_line_until(out, 10, [&](const std::string& line) {
        address_ = line;
        return !line.empty();
      })) {
    return;
  }
  if (const char* old = std::getenv(kAddressVariable)) saved_address_ = old;
  setenv(kAddressVariable, address_.c_str(), 1);
}

PrivateBus::~PrivateBus() {
  stop_fakes();
  stop(daemon_.pid, daemon_.out);
  if (!ok()) return;
  if (saved_address_) {
    setenv(kAddressVariable, saved_address_->c_str(), 1);
  } else {
    unsetenv(kAddressVariable);
  }
}

void PrivateBus::stop_fakes() {
  for (const auto& fake : fakes_) stop(fake.pid, fake.out);
  fakes_.clear();
}

bool PrivateBus::start_fake(const std::string& script, const std::vector<std::string>& args) {
  if (!ok()) return false;
  std::vector<std::string> argv{"/usr/bin/python3", script};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto [pid, out] = spawn_reading(argv);
  if (pid < 0) return false;
  fakes_.push_back({pid, out});
  return read_line_until(out, 10, [](const std::string& line) { return line == "ready"; });
}

}  // namespace quillkit::testing
