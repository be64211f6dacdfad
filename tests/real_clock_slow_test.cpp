// The specified waits happen on the real clock: every other library test runs
// on the test clock, so these few check that the real waits are really taken
// (no sooner than asked, with generous upper slack for a loaded machine).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "quillkit/bluetooth.hpp"
#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/private_bus.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

TEST(RealClockTest, OpenQueryPrintAndCloseTakeTheirWaits) {
  testing::LogCapture quiet;
  testing::FakePrinter fake;
  fake.add_answer({"~!T\r\n", {"MODEL\r\n"}});
  WiFi printer;
  const struct {
    const char* what;
    std::function<void()> call;
    double seconds;
  } steps[] = {
      {"openport", [&] { EXPECT_EQ(printer.openport("127.0.0.1", fake.port()), 1); }, 1.5},
      {"printer_modelname", [&] { EXPECT_EQ(printer.printer_modelname(), "MODEL\r\n"); }, 1.0},
      {"closeport", [&] { EXPECT_EQ(printer.closeport(0.3), 1); }, 0.3},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    const auto start = Clock::now();
    step.call();
    EXPECT_GE(since(start), step.seconds);
    EXPECT_LT(since(start), step.seconds + 2.0);
  }
  EXPECT_EQ(fake.received(), "~!T\r\n");
}

// A radio session that takes longer than the 0.5 s: the open waits for it.
TEST(RealClockTest, BluetoothOpenWaitsForASlowSession) {
  testing::LogCapture quiet;
  testing::PrivateBus bus;
  const std::string peer = "quillkit-slow-" + std::to_string(getpid());
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  peer.copy(address.sun_path + 1, sizeof(address.sun_path) - 2);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + peer.size())),
            0);
  listen(listener, 1);
  ASSERT_TRUE(bus.start_fake(std::string(testing::kSupportDir) + "/fake_bluez.py",
                             {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01", "delay": 1.2,
                                 "peer": "\u0000)" + peer + R"(",
                                 "uuids": ["00001101-0000-1000-8000-00805f9b34fb"]}]})"}));
  Bluetooth printer;
  const auto start = Clock::now();
  EXPECT_EQ(printer.openport_mfi(), 1);
  EXPECT_GE(since(start), 1.2);
  EXPECT_LT(since(start), 1.2 + 2.0);
  close(listener);
}

}  // namespace
}  // namespace quillkit
