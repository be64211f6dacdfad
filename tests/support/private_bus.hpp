// A private D-Bus for tests that talk to fakes of system services (BlueZ).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quillkit::testing {

// The folder of the test support files (fake_bluez.py and friends).
inline constexpr const char* kSupportDir = QUILLKIT_TEST_SUPPORT_DIR;

// A private dbus-daemon for this test process; its address is exported as
// DBUS_SYSTEM_BUS_ADDRESS while the object lives (restored after). Make it
// before any thread that reads the environment starts.
class PrivateBus {
 public:
  PrivateBus();   // starts `dbus-daemon --session --print-address --nofork` (bounded start)
  ~PrivateBus();  // stops every fake it started, then the daemon
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // False when the daemon could not start (tests then fail clearly).
  bool ok() const { return !address_.empty(); }
  // Runs `/usr/bin/python3 <script> <args...>` with the bus address in its
  // environment and returns once the script printed a line "ready" on stdout
  // (10 s bound; false otherwise).
  bool start_fake(const std::string& script, const std::vector<std::string>& args = {});
  // Ends every fake started so far (SIGTERM: a fake BlueZ leaves as bluetoothd
  // does) and waits for them; the bus stays.
  void stop_fakes();

 private:
  struct Child {
    pid_t pid;
    int out;  // read end of its standard output, kept open so it never gets SIGPIPE
  };

  std::string address_;
  Child daemon_{-1, -1};
  std::vector<Child> fakes_;
  std::optional<std::string> saved_address_;
};

}  // namespace quillkit::testing
