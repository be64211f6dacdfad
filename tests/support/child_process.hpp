// A program run as a child process, as a user runs it from a shell: its standard output and
// standard error captured, its environment chosen, its exit awaited with a bound.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillkit::testing {

struct ProcessResult {
  // The exit status, or 128 + the signal number when a signal ended it; -1 when it did not end
  // in time (it is then killed).
  int exit_code = -1;
  std::string out;
  std::string err;
  std::chrono::steady_clock::duration elapsed{};
};

// Not thread-safe. The destructor kills a child that still runs and reaps it.
class ChildProcess {
 public:
  // Starts `argv` (argv[0] is the program's path) with this process's environment changed by
  // `env`: a value sets the variable, nothing removes it. Standard input is /dev/null. Check
  // started() afterwards.
  ChildProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::optional<std::string>>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // The next line of standard output, without its line end; nothing when the output ends or
  // no whole line arrives within `timeout`. Standard error is gathered meanwhile.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout);
  void send_signal(int signal_number);
  // Reads both outputs to their end and waits for the exit, at most `timeout` in all; what
  // read_line took is not repeated in `out`.
  ProcessResult wait(std::chrono::milliseconds timeout);

 private:
  // Reads what is ready on the two pipes into the buffers, waiting up to `timeout_ms`.
  void pump(int timeout_ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::chrono::steady_clock::time_point start_;
};

// Runs the program to its end (see ChildProcess).
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::optional<std::string>>& env = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace quillkit::testing
