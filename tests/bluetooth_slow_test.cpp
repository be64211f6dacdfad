// The Bluetooth class: its differences from WiFi over a raw pseudo-terminal
// standing in for /dev/rfcomm0, and its opens through a fake bluetoothd on a
// private D-Bus.
#include "quillkit/bluetooth.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/private_bus.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

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
  ~RawPty() {
    hang_up();
    if (slave_ >= 0) close(slave_);
  }
  const std::string& path() const { return path_; }
  // What the library wrote, gathered for `seconds`.
  std::string received(double seconds = 0.1) {
    std::string out;
    char buffer[4096];
    pollfd pfd{master_, POLLIN, 0};
    while (master_ >= 0 && poll(&pfd, 1, static_cast<int>(seconds * 1000)) > 0) {
      const ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  // Closes the slave the test holds and the master: the library's side hangs up.
  void hang_up() {
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Opens `printer` on `path`. The open reports 1 only when the session is up
// within its 0.5 s; on a loaded machine it may come up a moment later.
bool open_on(Bluetooth& printer, const std::string& path) {
  printer.openport_mfi(path);
  return testing::wait_until([&] { return printer.openport_status() == 1; }, 5);
}

struct Timed {
  const char* name;
  std::function<std::string(Bluetooth&)> call;
  std::string result;
  double at_least;  // seconds
  std::string written;
  friend std::ostream& operator<<(std::ostream& os, const Timed& c) { return os << c.name; }
};

class BluetoothPtyTest : public ::testing::TestWithParam<Timed> {};

// Where Bluetooth differs from WiFi on an open link whose printer stays silent.
TEST_P(BluetoothPtyTest, OpenLinkWaitsAndFailureValues) {
  RawPty pty;
  Bluetooth printer;
  ASSERT_TRUE(open_on(printer, pty.path()));
  const auto start = Clock::now();
  EXPECT_EQ(GetParam().call(printer), GetParam().result);
  EXPECT_GE(since(start), GetParam().at_least);
  EXPECT_LT(since(start), GetParam().at_least + 1.0);
  EXPECT_EQ(pty.received(), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Profile, BluetoothPtyTest,
    ::testing::Values(
        Timed{"utf8_sender_has_no_pre_wait",
              [](Bluetooth& p) { return std::to_string(p.sendcommand_utf8("CLS\r\n")); }, "1", 0,
              "CLS\r\n"},
        Timed{"data_sender_has_no_pre_wait",
              [](Bluetooth& p) {
                return std::to_string(p.sendCommandWithData({0x1B, 0x21}));
              },
              "1", 0, "\x1b!"},
        Timed{"status_byte_waits_the_pre_wait_and_a_second",
              [](Bluetooth& p) { return std::to_string(p.printer_status_byte()); }, "-1", 1.3,
              "\x1b!?"},
        Timed{"status_with_delay_before_any_read_is_minus_11",
              [](Bluetooth& p) { return p.printer_status(0.1); }, "-11", 0.4, "\x1b!?"},
        Timed{"battery_writes_the_com_interface_line",
              [](Bluetooth& p) { return p.smartbattery_status(1); }, "-1", 1.1,
              "DIAGNOSTIC INTERFACE COM\r\nDIAGNOSTIC REPORT SMBVOLTAGE\r\n"},
        Timed{"closeport_waits_two_seconds_then_the_gates_refuse",
              [](Bluetooth& p) {
                std::string out = std::to_string(p.closeport());
                for (const Result r : {p.openport_status(), p.stream_Status(),
                                       p.sendcommand("CLS\r\n"), p.printer_status_byte(0)}) {
                  out += " " + std::to_string(r);
                }
                return out + " " + p.printer_modelname(5);
              },
              "1 0 -1 -1 -1 -1", 2.0, ""}),
    ::testing::PrintToStringParamName());

TEST(BluetoothPty, PlainStatusByteOnAClosedLinkIs255AfterThePreWait) {
  Bluetooth printer;
  const auto start = Clock::now();
  EXPECT_EQ(printer.printer_status_byte(), 255);
  EXPECT_GE(since(start), 0.3);
  EXPECT_LT(since(start), 1.0);
}

TEST(BluetoothPty, PeerHangUpEndsTheStreamAndWritesFailPromptly) {
  testing::LogCapture log;
  RawPty pty;
  Bluetooth printer;
  ASSERT_TRUE(open_on(printer, pty.path()));
  pty.hang_up();
  ASSERT_TRUE(testing::wait_until([&] { return printer.stream_Status() >= 5; }, 3));
  EXPECT_TRUE(printer.stream_Status() == 5 || printer.stream_Status() == 7);
  const auto start = Clock::now();
  EXPECT_EQ(printer.sendBinaryData(Bytes(1 << 16, 'x')), -1);
  EXPECT_LT(since(start), 1.0);
  EXPECT_TRUE(log.contains("EndEncountered") || log.contains("ErrorOccurred"));
}

// Every query form on a link that takes no request: the failure value at once,
// without the answer wait (5 s asked for). WiFi after a peer reset refuses at
// its space gate; Bluetooth after a hang-up has its write fail.
struct Query {
  const char* name;
  std::function<std::string(Printer&)> call;
  friend std::ostream& operator<<(std::ostream& os, const Query& c) { return os << c.name; }
};

// The two dead links, made once for the suite.
class UnwrittenQueryTest : public ::testing::TestWithParam<Query> {
 protected:
  struct DeadLinks {
    testing::FakePrinter fake;
    WiFi wifi;
    RawPty pty;
    Bluetooth bt;
  };
  static void SetUpTestSuite() {
    links_ = new DeadLinks;
    ASSERT_EQ(links_->wifi.openport("127.0.0.1", links_->fake.port()), 1);
    links_->fake.reset_client();
    ASSERT_TRUE(open_on(links_->bt, links_->pty.path()));
    links_->pty.hang_up();
    ASSERT_TRUE(testing::wait_until([] { return links_->wifi.stream_Status() == 7; }, 3));
    ASSERT_TRUE(testing::wait_until([] { return links_->bt.stream_Status() >= 5; }, 3));
  }
  static void TearDownTestSuite() {
    delete links_;
    links_ = nullptr;
  }
  static inline DeadLinks* links_ = nullptr;
};

TEST_P(UnwrittenQueryTest, GivesItsFailureValueWithoutTheAnswerWait) {
  for (Printer* printer :
       {static_cast<Printer*>(&links_->wifi), static_cast<Printer*>(&links_->bt)}) {
    const auto start = Clock::now();
    EXPECT_EQ(GetParam().call(*printer), "-1");
    EXPECT_LT(since(start), 1.0);  // at most the pre-waits
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UnwrittenQueryTest,
    ::testing::Values(Query{"codepage", [](Printer& p) { return p.printer_codepage(5); }},
                      Query{"mileage", [](Printer& p) { return p.printer_mileage(5); }},
                      Query{"memory", [](Printer& p) { return p.printer_memory(5); }},
                      Query{"files", [](Printer& p) { return p.printer_files(5); }},
                      Query{"modelname", [](Printer& p) { return p.printer_modelname(5); }},
                      Query{"serialnumber", [](Printer& p) { return p.printer_serialnumber(5); }},
                      Query{"status_text", [](Printer& p) { return p.printer_status(5); }},
                      Query{"status_byte",
                            [](Printer& p) { return std::to_string(p.printer_status_byte(5)); }},
                      Query{"status_byte_plain",
                            [](Printer& p) { return std::to_string(p.printer_status_byte()); }},
                      Query{"battery", [](Printer& p) { return p.smartbattery_status(1); }}),
    ::testing::PrintToStringParamName());

// An open through BlueZ (a fake bluetoothd on a private bus) or by path.
struct OpenCase {
  const char* name;
  const char* fake;    // the fake's configuration; nullptr: nothing owns org.bluez
  const char* device;  // openport_mfi's argument; nullptr: the plain form
  Result result;
  Result status;
  std::string answer;  // the printer double's answer to a query (its name)
  friend std::ostream& operator<<(std::ostream& os, const OpenCase& c) { return os << c.name; }
};

class BluetoothOpenTest : public ::testing::TestWithParam<OpenCase> {};

constexpr const char* kThreeDevices = R"({"devices": [
  {"address": "AA:BB:CC:DD:EE:01", "name": "Speaker", "uuids": ["0000110b-0000-1000-8000-00805f9b34fb"]},
  {"address": "AA:BB:CC:DD:EE:02", "alias": "Second", "uuids": ["00001101-0000-1000-8000-00805F9B34FB"]},
  {"address": "AA:BB:CC:DD:EE:03", "name": "Third", "uuids": ["00001101-0000-1000-8000-00805f9b34fb"]}]})";

TEST_P(BluetoothOpenTest, OpensTheRightSessionOrFailsWithinTheOpenWait) {
  const OpenCase& c = GetParam();
  testing::PrivateBus bus;
  ASSERT_TRUE(bus.ok());
  if (c.fake) {
    ASSERT_TRUE(bus.start_fake(std::string(testing::kSupportDir) + "/fake_bluez.py", {c.fake}));
  }
  Bluetooth printer;
  const auto start = Clock::now();
  const Result result = c.device ? printer.openport_mfi(c.device) : printer.openport_mfi();
  EXPECT_LT(since(start), 1.0);
  if (c.result == 1) {  // a session may come up just after the 0.5 s on a loaded machine
    ASSERT_TRUE(testing::wait_until([&] { return printer.openport_status() == 1; }, 5));
  } else {
    EXPECT_EQ(result, -1);
  }
  EXPECT_EQ(printer.openport_status(), c.status);
  if (!c.answer.empty()) EXPECT_EQ(printer.printer_modelname(0.3), c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    Opens, BluetoothOpenTest,
    ::testing::Values(
        OpenCase{"first_paired_serial_device", kThreeDevices, nullptr, 1, 1, "Second\r\n"},
        OpenCase{"chosen_address", kThreeDevices, "aa:bb:cc:dd:ee:03", 1, 1, "Third\r\n"},
        OpenCase{"only_unpaired_devices",
                 R"({"devices": [{"address": "AA:BB:CC:DD:EE:04", "paired": false,
                    "uuids": ["00001101-0000-1000-8000-00805f9b34fb"]}]})",
                 nullptr, -1, -1, ""},
        OpenCase{"no_adapter", R"({"adapter": false})", nullptr, -1, -1, ""},
        OpenCase{"session_refused",
                 R"({"devices": [{"address": "AA:BB:CC:DD:EE:05", "refuse": true,
                    "uuids": ["00001101-0000-1000-8000-00805f9b34fb"]}]})",
                 nullptr, -1, -1, ""},
        OpenCase{"device_vanished",
                 R"({"devices": [{"address": "AA:BB:CC:DD:EE:06", "vanish": true,
                    "uuids": ["00001101-0000-1000-8000-00805f9b34fb"]}]})",
                 nullptr, -1, -1, ""},
        OpenCase{"no_bluez_on_the_bus", nullptr, nullptr, -1, -1, ""},
        OpenCase{"missing_device_path", nullptr, "/nonexistent/rfcomm0", -1, -1, ""},
        OpenCase{"path_that_is_no_serial_device", nullptr, "/dev/null", -1, -1, ""}),
    ::testing::PrintToStringParamName());

TEST(BluetoothAccessories, ListsThePairedDevicesOnceAtConstruction) {
  testing::PrivateBus bus;
  ASSERT_TRUE(
      bus.start_fake(std::string(testing::kSupportDir) + "/fake_bluez.py", {kThreeDevices}));
  const Bluetooth printer;
  ASSERT_EQ(printer.accessories().size(), 3u);
  EXPECT_EQ(printer.accessories()[1].address, "AA:BB:CC:DD:EE:02");
  EXPECT_EQ(printer.accessories()[1].name, "Second");  // the alias, having no name
  EXPECT_EQ(printer.accessories()[2].uuids,
            std::vector<std::string>{"00001101-0000-1000-8000-00805f9b34fb"});
}

}  // namespace
}  // namespace quillkit
