// Running the `quill` command for cli_*_test.cpp: in the test's own process on its clock, or as
// the built binary, as a user runs it from a shell.
#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/common.hpp"
#include "quillkit/platform/clock.hpp"
#include "support/test_clock.hpp"
// The command draws host-font text while the virtual printer draws its fonts: fontconfig on
// two threads, which ThreadSanitizer cannot see through.
#include "support/sdbus_tsan.hpp"

extern char** environ;

namespace quillkit::clitest {

// The built binary (the command's tests exist only in builds with the tools).
inline const std::string kQuill = QUILL_BINARY;

using Clock = std::chrono::steady_clock;

// A command line of a table-driven test, and what it must give: its exit code, and standard
// output and error as whole-output regular expressions.
struct CommandCase {
  const char* name;
  std::vector<std::string> args;
  int exit_code;
  std::string out, err;
  friend std::ostream& operator<<(std::ostream& os, const CommandCase& c) { return os << c.name; }
};

struct ProcessResult {
  // The exit status, or 128 + the signal number when a signal ended it; -1 when it did not end
  // in time (it is then killed).
  int exit_code = -1;
  std::string out, err;
  double seconds = 0;  // from the start to the end of wait()
};

// A child with standard input from a file (/dev/null by default) and both outputs captured. Not
// thread-safe; the destructor kills a child that still runs and reaps it.
class ChildProcess {
 public:
  // argv[0] is the program's path; when it cannot start, the outputs are empty and wait() gives
  // -1 at once.
  // `inherit` gives the child more descriptors: each (parent's fd, number in the child).
  explicit ChildProcess(std::vector<std::string> argv, const std::string& input = "/dev/null",
                        const std::vector<std::pair<int, int>>& inherit = {}) {
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
      posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
      for (const auto& [from, to] : inherit) posix_spawn_file_actions_adddup2(&actions, from, to);
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
      if (posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ) != 0) {
        pid_ = -1;
      }
      posix_spawnattr_destroy(&attributes);
      posix_spawn_file_actions_destroy(&actions);
    }
    for (const int fd : {out[1], err[1]}) {
      if (fd >= 0) ::close(fd);
    }
    fds_[0] = out[0];
    fds_[1] = err[0];
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    for (const int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void send_signal(int signal_number) {
    if (pid_ > 0) ::kill(pid_, signal_number);
  }

  // The next line of standard output, without its line end; nothing when the output ends or
  // no whole line arrives within `timeout`.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
      if (const auto end = text_[0].find('\n'); end != std::string::npos) {
        std::string line = text_[0].substr(0, end);
        text_[0].erase(0, end + 1);
        return line;
      }
      if (fds_[0] < 0 || Clock::now() >= deadline) return std::nullopt;
      pump(deadline);
    }
  }

  // Reads both outputs to their end and waits for the exit, at most `timeout` in all; what
  // read_line took is not repeated in `out`.
  ProcessResult wait(std::chrono::milliseconds timeout) {
    ProcessResult result;
    const auto deadline = Clock::now() + timeout;
    while ((fds_[0] >= 0 || fds_[1] >= 0) && Clock::now() < deadline) pump(deadline);
    for (int status = 0; pid_ > 0 && Clock::now() < deadline; usleep(10'000)) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        break;
      }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    result.out = std::exchange(text_[0], {});
    result.err = std::exchange(text_[1], {});
    return result;
  }

 private:
  // Reads what is ready on the two pipes, waiting until `deadline` at most.
  void pump(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (poll(fds, 2, left.count() > 0 ? static_cast<int>(left.count()) : 0) <= 0) return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
      if (n > 0) {
        text_[i].append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds_[i]);
        fds_[i] = -1;
      }
    }
  }

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};  // standard output, standard error
  std::string text_[2];    // what they gave and no one took yet
  Clock::time_point start_;
};

// The command run in this process on a thread of its own, with standard input from `input` and
// both outputs captured, as the binary would run: its printers wait on testing::env()'s clock (the
// test clock in unit tests). One at a time: standard input and outputs are the process's own.
class InProcessQuill {
 public:
  explicit InProcessQuill(std::vector<std::string> args, const std::string& printer = "",
                          const std::string& input = "/dev/null")
      : args_(std::move(args)), printer_(printer), start_(quillkit::testing::clock().now()) {
    args_.insert(args_.begin(), "quill");
    std::fflush(nullptr);
    std::cout.flush();
    const int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    const int redirected[3] = {in, memfd_create("out", MFD_CLOEXEC),
                               memfd_create("err", MFD_CLOEXEC)};
    for (int fd = 0; fd < 3; ++fd) {
      saved_[fd] = dup(fd);
      dup2(redirected[fd], fd);
      if (fd == 0) ::close(in);
      if (fd > 0) captured_[fd - 1] = redirected[fd];
    }
    std::clearerr(stdin);
    std::cin.clear();
    command_ = std::thread([this] {
      std::vector<char*> argv;
      for (std::string& a : args_) argv.push_back(a.data());
      exit_code_ =
          quill::run(static_cast<int>(argv.size()), argv.data(),
                     printer_.empty() ? nullptr : printer_.c_str(), &quillkit::testing::env());
      std::fflush(nullptr);
      std::cout.flush();
      std::cerr.flush();
    });
  }
  ~InProcessQuill() { wait(); }
  InProcessQuill(const InProcessQuill&) = delete;
  InProcessQuill& operator=(const InProcessQuill&) = delete;

  // Waits for the command's end; `seconds` is the time it took on the test process's clock.
  ProcessResult wait() {
    if (command_.joinable()) {
      command_.join();
      for (int fd = 0; fd < 3; ++fd) {
        dup2(saved_[fd], fd);
        ::close(saved_[fd]);
      }
      for (int i = 0; i < 2; ++i) {
        char buffer[4096];
        for (ssize_t n; (n = pread(captured_[i], buffer, sizeof buffer, text_[i].size())) > 0;) {
          text_[i].append(buffer, static_cast<std::size_t>(n));
        }
        ::close(captured_[i]);
      }
    }
    const std::chrono::duration<double> took = quillkit::testing::clock().now() - start_;
    return {exit_code_, text_[0], text_[1], took.count()};
  }

 private:
  std::vector<std::string> args_;
  const std::string printer_;
  const quillkit::platform::TimePoint start_;
  int saved_[3] = {-1, -1, -1};
  int captured_[2] = {-1, -1};  // standard output and error, in memory
  int exit_code_ = -1;
  std::string text_[2];
  std::thread command_;
};

// Checks `run` against `c`, whose expected outputs `expand` rewrites first (their placeholders).
inline void expect_result(
    const ProcessResult& run, const CommandCase& c,
    const std::function<std::string(const std::string&)>& expand = [](const std::string& s) {
      return s;
    }) {
  EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
  EXPECT_THAT(run.out, ::testing::MatchesRegex(expand(c.out)));
  EXPECT_THAT(run.err, ::testing::MatchesRegex(expand(c.err)));
}

// Runs quill with `args` to its end in this process, with QUILL_PRINTER as `printer` (empty:
// unset).
inline ProcessResult run_quill(const std::vector<std::string>& args,
                               const std::string& printer = "",
                               const std::string& input = "/dev/null") {
  return InProcessQuill(args, printer, input).wait();
}

}  // namespace quillkit::clitest
