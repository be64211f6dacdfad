// Closing, opening again and destroying a WiFi printer never wait on name
// resolution. The test runs itself again in a private mount namespace whose
// resolv.conf names a local name server that never answers; where no such
// namespace can be made, it skips with the reason.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/temp_files.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

constexpr const char* kSandboxVariable = "QUILLKIT_SILENT_NAME_SERVER";
constexpr const char* kSilentServer = "127.0.0.83";
constexpr const char* kName = "printer.example";

// `command` under `unshare -m` with /etc/resolv.conf replaced, as a shell line.
std::string in_sandbox(const std::string& resolv_conf, const std::string& command) {
  return "/usr/bin/unshare -m /bin/sh -c \"mount --bind '" + resolv_conf +
         "' /etc/resolv.conf && " + command + "\"";
}

// Why the sandbox cannot be made here (no root, a chroot whose root is not a
// mount point), as the tools say it; empty when it can.
std::string sandbox_problem(const std::string& resolv_conf) {
  FILE* setup = popen((in_sandbox(resolv_conf, "true") + " 2>&1").c_str(), "r");
  if (setup == nullptr) return "cannot run unshare";
  std::string said;
  for (char line[256]; std::fgets(line, sizeof line, setup) != nullptr;) said += line;
  return pclose(setup) == 0 ? "" : said.empty() ? "unshare failed" : said;
}

// Runs this test again in the sandbox; its exit status.
int run_in_sandbox(const std::string& resolv_conf) {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return -1;
  const std::string command =
      std::string(kSandboxVariable) + "=1 " +
      in_sandbox(resolv_conf, std::string("exec '") + self + "' '--gtest_filter=NameResolution.*'");
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NameResolution, CloseReopenAndDestroyDoNotWaitForTheNameServer) {
  if (std::getenv(kSandboxVariable) == nullptr) {
    testing::TempDir dir;
    const std::string conf =
        std::string("nameserver ") + kSilentServer + "\noptions timeout:5 attempts:2\n";
    const auto path = dir.write("resolv.conf", Bytes(conf.begin(), conf.end()));
    if (const auto problem = sandbox_problem(path); !problem.empty()) {
      GTEST_SKIP() << "no sandbox: " << problem;
    }
    EXPECT_EQ(run_in_sandbox(path), 0);
    return;
  }
  // A name server that takes every question and answers none.
  const int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(53), .sin_addr = {}, .sin_zero = {}};
  inet_pton(AF_INET, kSilentServer, &address.sin_addr);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  auto start = Clock::now();
  {
    WiFi printer;
    EXPECT_EQ(printer.openport(kName, 9100), -1);
    EXPECT_LT(since(start), 2.0);
    start = Clock::now();
    EXPECT_EQ(printer.closeport(0), 1);
    EXPECT_LT(since(start), 0.5);
    EXPECT_EQ(printer.openport(kName, 9100), -1);
    EXPECT_EQ(printer.openport(kName, 9100), -1);  // replaces a lookup in flight
    start = Clock::now();
  }
  EXPECT_LT(since(start), 0.5);  // the destructor
  close(silent);
}

}  // namespace
}  // namespace quillkit
