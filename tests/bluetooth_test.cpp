// The Bluetooth class: its differences from WiFi over a raw pseudo-terminal
// standing in for /dev/rfcomm0, and its opens through a fake bluetoothd on a
// private D-Bus. The test is the printer; it stays silent, so that no answer
// of its own races the clock. cli_serve_pty_slow_test.cpp takes the real waits.
#include "quillkit/bluetooth.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "support/fake_printer.hpp"
#include "support/private_bus.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

// The bytes that arrive on `fd` until `size` of them came or a second of real
// time passed, and then any that are already there on top.
std::string read_from(int fd, std::size_t size) {
  std::string out;
  char buffer[4096];
  while (fd >= 0) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, out.size() < size ? 1000 : 0) <= 0) break;
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

// A raw pseudo-terminal: the library opens path(), the test is the printer on
// the master side.
class RawPty {
 public:
  RawPty() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    for (const int fd : {master_, slave_}) {
      termios settings{};
      tcgetattr(fd, &settings);
      cfmakeraw(&settings);
      tcsetattr(fd, TCSANOW, &settings);
    }
    path_ = name;
  }
  ~RawPty() { hang_up(); }
  const std::string& path() const { return path_; }
  std::string received(std::size_t size) { return read_from(master_, size); }
  // Closes the slave the test holds and the master: the library's side hangs up.
  void hang_up() {
    for (int* fd : {&slave_, &master_}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Opens `printer` on the pseudo-terminal: the session is up within the 0.5 s.
void open_on(Bluetooth& printer, const RawPty& pty) {
  const auto start = Clock::now();
  ASSERT_EQ(printer.openport_mfi(pty.path()), 1);
  EXPECT_DOUBLE_EQ(since(start), 0.5);
}

// Where Bluetooth differs from WiFi on an open link whose printer stays
// silent, one call after another, and then closed. The status byte's 1.3 s
// holds the data senders' pre-send wait of 0.
TEST(BluetoothPty, OpenLinkWaitsAndFailureValues) {
  RawPty pty;
  Bluetooth p{testing::env()};
  open_on(p, pty);
  const struct {
    const char* name;
    std::function<std::string()> call;
    std::string result;
    double seconds;  // virtual
    std::string written;
  } steps[] = {
      {"utf8_sender_has_no_pre_wait", [&] { return std::to_string(p.sendcommand_utf8("CLS\r\n")); },
       "1", 0, "CLS\r\n"},
      {"status_byte_waits_the_pre_wait_and_a_second",
       [&] { return std::to_string(p.printer_status_byte()); }, "-1", 1.3, "\x1b!?"},
      {"status_text_nothing_read_is_minus_11_but_minus_1_from_the_plain_form",
       [&] { return p.printer_status(0.1) + " " + p.printer_status(); }, "-11 -1", 1.7,
       "\x1b!?\x1b!?"},
      {"battery_writes_the_com_interface_line", [&] { return p.smartbattery_status(1); }, "-1", 1.1,
       "DIAGNOSTIC INTERFACE COM\r\nDIAGNOSTIC REPORT SMBVOLTAGE\r\n"},
      {"closeport_waits_two_seconds", [&] { return std::to_string(p.closeport()); }, "1", 2.0, ""},
      {"then_the_gates_refuse",
       [&] {
         std::string out;
         for (const Result r : {p.openport_status(), p.stream_Status(), p.sendcommand("CLS\r\n"),
                                p.printer_status_byte(0)}) {
           out += std::to_string(r) + " ";
         }
         return out + p.printer_modelname(5);
       },
       "0 -1 -1 -1 -1", 0.3, ""},  // the status pre-wait
      {"plain_status_byte_is_255_after_the_pre_wait",
       [&] { return std::to_string(p.printer_status_byte()); }, "255", 0.3, ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    const auto start = Clock::now();
    EXPECT_EQ(step.call(), step.result);
    EXPECT_DOUBLE_EQ(since(start), step.seconds);
    EXPECT_EQ(pty.received(step.written.size()), step.written);
  }
}

// Every query form on a link that takes no request gives its failure value at
// once, without the answer wait (5 s asked for): after a hang-up the write
// fails. The six information queries share one path, as do WiFi's refusals
// after a peer reset (round_trip_test.cpp).
TEST(BluetoothPty, AfterAHangUpQueriesAndWritesFailAtOnce) {
  testing::LogCapture log;
  RawPty pty;
  Bluetooth bt{testing::env()};
  open_on(bt, pty);
  pty.hang_up();
  ASSERT_TRUE(
      testing::wait_until([&] { return bt.stream_Status() == 5 || bt.stream_Status() == 7; }, 3));
  // The event's log line may follow the status change.
  EXPECT_TRUE(testing::wait_until(
      [&] { return log.contains("EndEncountered") || log.contains("ErrorOccurred"); }, 3));
  const auto start = Clock::now();
  EXPECT_EQ(bt.sendBinaryData(Bytes(1 << 16, 'x')), -1);
  EXPECT_EQ(
      (std::vector<std::string>{
          bt.printer_modelname(5), bt.printer_status(5), std::to_string(bt.printer_status_byte(5)),
          std::to_string(bt.printer_status_byte()), bt.smartbattery_status(1)}),
      std::vector<std::string>(5, "-1"));
  EXPECT_DOUBLE_EQ(since(start), 3 * 0.3);  // the three status pre-waits only
}

// The peers that the fake's devices 1 and 2 hand their sessions to, as "%1"
// and "%2" in its configuration: listening sockets of abstract names. Which one
// a session reached tells which device the open chose.
class SessionPeers {
 public:
  SessionPeers() {
    for (const int i : {1, 2}) {
      const std::string name = prefix_ + std::to_string(i);
      sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
      name.copy(address.sun_path + 1, sizeof(address.sun_path) - 2);
      listeners_[i] = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      bind(listeners_[i], reinterpret_cast<const sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size()));
      listen(listeners_[i], 4);
    }
  }
  ~SessionPeers() {
    for (const int fd : {listeners_[1], listeners_[2], session_}) {
      if (fd >= 0) close(fd);
    }
  }
  // `configuration` with each "%" turned into the start of the peers' names.
  std::string configure(const std::string& configuration) const {
    return std::regex_replace(configuration, std::regex("%"), "\\u0000" + prefix_);
  }
  // The device whose peer a session reached (at once: the open has ended), or -1.
  int connected() {
    for (const int i : {1, 2}) {
      pollfd pfd{listeners_[i], POLLIN, 0};
      if (poll(&pfd, 1, 0) != 1) continue;
      session_ = accept4(listeners_[i], nullptr, nullptr, SOCK_CLOEXEC);
      return i;
    }
    return -1;
  }
  std::string received(std::size_t size) { return read_from(session_, size); }

 private:
  const std::string prefix_ = "quillkit-bt-" + std::to_string(getpid()) + "-";
  int listeners_[3] = {-1, -1, -1};
  int session_ = -1;
};

// An open through BlueZ (a fake bluetoothd on a private bus) or by path.
struct OpenCase {
  const char* name;
  std::string fake;    // the fake's configuration; empty: nothing owns org.bluez
  const char* device;  // openport_mfi's argument; nullptr: the plain form
  int session;         // the device (of kThreeDevices) whose session opened, or -1
  friend std::ostream& operator<<(std::ostream& os, const OpenCase& c) { return os << c.name; }
};

class BluetoothOpenTest : public ::testing::TestWithParam<OpenCase> {};

// Device 0 offers no serial port; 1 and 2 do, and hand their sessions to the
// SessionPeers.
constexpr const char* kThreeDevices = R"({"devices": [
  {"address": "AA:BB:CC:DD:EE:01", "name": "Speaker", "uuids": ["0000110b-0000-1000-8000-00805f9b34fb"]},
  {"address": "AA:BB:CC:DD:EE:02", "alias": "Second", "peer": "%1",
   "uuids": ["00001101-0000-1000-8000-00805F9B34FB"]},
  {"address": "AA:BB:CC:DD:EE:03", "name": "Third", "peer": "%2",
   "uuids": ["00001101-0000-1000-8000-00805f9b34fb"]}]})";

// One paired serial device with `flag` in the fake's configuration.
std::string one_device(const std::string& flag) {
  return R"({"devices": [{"address": "AA:BB:CC:DD:EE:04", )" + flag +
         R"(, "uuids": ["00001101-0000-1000-8000-00805f9b34fb"]}]})";
}

// Starts the fake bluetoothd on `bus` with `configuration`.
bool start_bluez(testing::PrivateBus& bus, const std::string& configuration) {
  return bus.start_fake(std::string(testing::kSupportDir) + "/fake_bluez.py", {configuration});
}

TEST_P(BluetoothOpenTest, OpensTheRightSessionOrFailsAfterTheOpenWait) {
  const OpenCase& c = GetParam();
  testing::PrivateBus bus;
  ASSERT_TRUE(bus.ok());
  SessionPeers peers;
  if (!c.fake.empty()) ASSERT_TRUE(start_bluez(bus, peers.configure(c.fake)));
  Bluetooth printer{testing::env()};
  const auto start = Clock::now();
  const Result opened = c.session < 0 ? -1 : 1;
  EXPECT_EQ(c.device ? printer.openport_mfi(c.device) : printer.openport_mfi(), opened);
  EXPECT_DOUBLE_EQ(since(start), 0.5);
  EXPECT_EQ(printer.openport_status(), opened);
  ASSERT_EQ(peers.connected(), c.session);
  if (c.session < 0) return;
  EXPECT_EQ(printer.sendcommand("CLS\r\n"), 1);
  EXPECT_EQ(peers.received(5), "CLS\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Opens, BluetoothOpenTest,
    ::testing::Values(OpenCase{"first_paired_serial_device", kThreeDevices, nullptr, 1},
                      OpenCase{"chosen_address", kThreeDevices, "aa:bb:cc:dd:ee:03", 2},
                      OpenCase{"only_unpaired", one_device(R"("paired": false)"), nullptr, -1},
                      OpenCase{"no_adapter", R"({"adapter": false})", nullptr, -1},
                      OpenCase{"session_refused", one_device(R"("refuse": true)"), nullptr, -1},
                      OpenCase{"device_vanished", one_device(R"("vanish": true)"), nullptr, -1},
                      OpenCase{"no_bluez_on_the_bus", "", nullptr, -1},
                      OpenCase{"missing_device_path", "", "/nonexistent/rfcomm0", -1},
                      OpenCase{"path_that_is_no_serial_device", "", "/dev/null", -1}),
    ::testing::PrintToStringParamName());

TEST(BluetoothAccessories, ListsThePairedDevicesOnceAtConstruction) {
  testing::PrivateBus bus;
  ASSERT_TRUE(start_bluez(bus, kThreeDevices));
  const Bluetooth printer{testing::env()};
  ASSERT_EQ(printer.accessories().size(), 3u);
  EXPECT_EQ(printer.accessories()[1].address, "AA:BB:CC:DD:EE:02");
  EXPECT_EQ(printer.accessories()[1].name, "Second");  // the alias, having no name
  EXPECT_EQ(printer.accessories()[2].uuids,
            std::vector<std::string>{"00001101-0000-1000-8000-00805f9b34fb"});
}

}  // namespace
}  // namespace quillkit
