// The BLE link against a fake BlueZ on a private bus that refuses what
// bluetoothd refuses (fake_bluez_gatt.py): the real central, only the radio
// simulated. On the test clock: the central holds it while a call to BlueZ is
// in flight, and the fake signals what a call causes before it replies, so
// virtual time moves only when BlueZ is done (or has been silent for long).
#include "quillkit/ble.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "quillkit/links/ble_link.hpp"
#include "support/fake_gatt.hpp"
#include "support/fake_printer.hpp"
#include "support/tsan_defaults.hpp"

namespace quillkit::testing {
namespace {

// The fake's first peripheral, as a search reports it.
const platform::PeripheralReport kPrinter{"VP-BLE", "00:11:22:33:44:55", kFirstDevice, {}};
const BLEPeripheral kPeripheral{kPrinter.name, kPrinter.address, kPrinter.path};

// Two printers of one model (the same UUIDs on other paths), with a large MTU.
const std::vector<std::string> kTwoPrinters{
    "--devices", R"([{"name": "VP-BLE", "address": "00:11:22:33:44:55", "mtu": 247},
                     {"name": "VP-BLE", "address": "00:11:22:33:44:66", "mtu": 247}])"};

// Bytes 0, 1, 2, ... so that a lost, doubled or reordered piece shows.
Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

// One bus, the fake with two printers and a link opened on the first, for the
// whole suite.
class BleLinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    set_log_sink([](LogChannel, std::string_view) {});  // a line per piece of a long write
    bus_ = new PrivateBus();
    fake_ = new FakeGatt(*bus_, kTwoPrinters);
    link_ = new detail::BleLink(testing::env());
    ASSERT_TRUE(wait_until([] { return link_->probe() == 2; }));  // the adapter is known
    link_->start_scan();
    ASSERT_TRUE(link_->open(kPrinter, BLE::kOpenBound));
  }
  static void TearDownTestSuite() {
    delete link_;
    delete fake_;
    delete bus_;
    set_log_sink(nullptr);
  }
  static std::string reply() { return link_->take_reply().text; }

  static inline PrivateBus* bus_ = nullptr;
  static inline FakeGatt* fake_ = nullptr;
  static inline detail::BleLink* link_ = nullptr;
};

// Each piece leaves when the previous one is confirmed, so BlueZ refuses none,
// and the write returns once the last is confirmed: 20 bytes by default (none:
// one empty write), the MTU less 3 for chunk 0, and a chunk beyond that as one
// long write.
TEST_F(BleLinkTest, WritesPiecesOneAtATimeConfirmedInOrder) {
  const struct {
    std::size_t chunk;
    std::size_t size;
    std::vector<std::size_t> pieces;
  } cases[] = {{20, 45, {20, 20, 5}}, {20, 0, {0}}, {0, 500, {244, 244, 12}}, {300, 300, {300}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::make_tuple(c.chunk, c.size)));
    link_->set_write_chunk(c.chunk);
    fake_->clear_writes();
    const Bytes data = pattern(c.size);
    EXPECT_EQ(link_->write(data, detail::ReplyStart::keep), 1);
    std::vector<GattWrite> expected;
    std::size_t at = 0;
    for (const std::size_t n : c.pieces) {
      expected.push_back({"49535343-8841-43f4-a8d4-ecbe34729bb3",
                          Bytes(data.begin() + at, data.begin() + at + n), "request", ""});
      at += n;
    }
    EXPECT_EQ(fake_->writes(), expected);
  }
  link_->set_write_chunk(20);
}

// What the fake refuses, as bluetoothd does: a write while one to the same
// characteristic awaits its response, a command then too, and a command that
// does not fit one packet.
TEST_F(BleLinkTest, TheFakeRefusesWhatBluezRefuses) {
  fake_->clear_writes();
  fake_->write_without_waiting(kFirstWriteCharacteristic, {{"command", Bytes(245, 1)},
                                                          {"command", Bytes(10, 2)},
                                                          {"request", Bytes(20, 3)},
                                                          {"request", Bytes(20, 4)},
                                                          {"command", Bytes(5, 5)}});
  ASSERT_TRUE(fake_->wait_for_writes(5));
  std::vector<std::pair<int, std::string>> outcomes;
  for (const auto& w : fake_->writes()) outcomes.emplace_back(w.value.at(0), w.outcome);
  std::sort(outcomes.begin(), outcomes.end());
  EXPECT_EQ(outcomes, (std::vector<std::pair<int, std::string>>{
                          {1, "org.bluez.Error.Failed"},
                          {2, ""},
                          {3, ""},
                          {4, "org.bluez.Error.InProgress"},
                          {5, "org.bluez.Error.InProgress"}}));
}

// The answer a write sees: only the transmit notifications of its own
// printer, sent by BlueZ, since the write. The twin printer's and a value
// that another client sends on our printer's path stay out.
TEST_F(BleLinkTest, AnswerIsOurPrintersNotificationsSinceTheWrite) {
  detail::BleLink twin{testing::env()};
  ASSERT_TRUE(twin.open({"VP-BLE", "00:11:22:33:44:66", "/org/bluez/hci0/dev_1", {}},
                        BLE::kOpenBound));
  fake_->notify(BLE::TX_CHARACTERISTIC, "stale");
  ASSERT_TRUE(wait_until([&] { return reply().ends_with("stale"); }));
  link_->write(bytes_of("~!T\r\n"), detail::ReplyStart::begin);
  twin.write(bytes_of("~!T\r\n"), detail::ReplyStart::begin);
  EXPECT_EQ(reply(), "");
  fake_->notify(BLE::TX_CHARACTERISTIC, "ab");
  fake_->spoof("/org/bluez/hci0/dev_0/service0010/char0012", "zz");
  fake_->notify(BLE::TX_CHARACTERISTIC, "tw", 1);
  fake_->notify(BLE::TX_CHARACTERISTIC, "cd");
  // The fake notifies in order: the last one seen means every one was handled.
  ASSERT_TRUE(wait_until([&] { return reply().ends_with("cd"); }));
  EXPECT_EQ(reply(), "abcd");
  EXPECT_EQ(twin.take_reply().text, "tw");
}

// The adapter as the fake starts it, whether it is then turned off, and what
// the probe and the state line say (no BlueZ at all: NoBluezOnTheBus).
struct ProbeCase {
  const char* name;
  std::string adapter;
  bool power_off_later;
  Result probe;
  std::string line;
  friend std::ostream& operator<<(std::ostream& os, const ProbeCase& c) { return os << c.name; }
};

class BleProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(BleProbe, FollowsTheAdapterState) {
  const auto& c = GetParam();
  PrivateBus bus;
  FakeGatt fake(bus, {"--adapter", c.adapter});
  LogCapture log;
  detail::BleLink link{testing::env()};
  ASSERT_TRUE(wait_until([&] { return log.contains("UpdateState:"); }));
  if (c.power_off_later) {
    fake.set_powered(false);
    ASSERT_TRUE(wait_until([&] { return log.contains("UpdateState:PoweredOff"); }));
  }
  EXPECT_EQ(link.probe(), c.probe);
  EXPECT_TRUE(log.contains(c.line));
}

INSTANTIATE_TEST_SUITE_P(
    States, BleProbe,
    ::testing::Values(ProbeCase{"Powered", "on", false, 2, "UpdateState:PoweredOn\n"},
                      ProbeCase{"Unpowered", "off", false, 0, "UpdateState:PoweredOff\n"},
                      ProbeCase{"TurnedOff", "on", true, 0, "UpdateState:PoweredOff\n"},
                      ProbeCase{"NoAdapter", "none", false, -1, "UpdateState:Unsupported\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A BLE object on a fake BlueZ started with `args`, with its log caught.
struct BleOnFake {
  explicit BleOnFake(const std::vector<std::string>& args = {}) : fake(bus, args) {}
  Result open() {
    printer.BLE_StartScan();
    return printer.openport_ble(kPeripheral);
  }
  PrivateBus bus;
  FakeGatt fake;
  LogCapture log;
  BLE printer{testing::env()};
};

TEST(BleSearch, NamedPeripheralsInReportOrderDuplicatesKept) {
  BleOnFake f({"--devices", R"([{"name": "P1", "address": "00:00:00:00:00:01", "sightings": 2},
                               {"address": "00:00:00:00:00:02"},
                               {"name": "P3", "address": "00:00:00:00:00:03"}])"});
  const auto start = Clock::now();
  const auto found = f.printer.searchBLEDevice(0.5);
  EXPECT_DOUBLE_EQ(since(start), 0.5);
  std::vector<std::string> names;
  for (const auto& p : found) names.push_back(p.name + "@" + p.address);
  EXPECT_EQ(names, (std::vector<std::string>{"P1@00:00:00:00:00:01", "P1@00:00:00:00:00:01",
                                             "P3@00:00:00:00:00:03"}));
  EXPECT_TRUE(f.log.contains("localName: P3"));
}

TEST(BleOpen, ServiceMissingNeverReady) {
  BleOnFake f({"--devices", R"([{"name": "B", "address": "00:00:00:00:00:09", "serial": false}])"});
  const auto start = Clock::now();
  EXPECT_EQ(f.open(), -1);
  EXPECT_DOUBLE_EQ(since(start), BLE::kOpenBound);
  EXPECT_TRUE(f.log.contains("=========== 1 of service for UUID /org/bluez/hci0/dev_0"));
  EXPECT_FALSE(f.log.contains("Finished set notification"));
  EXPECT_EQ(f.printer.openport_status(), 0);
}

// A connection that BlueZ has not set up when the bound passes is cancelled,
// so that the printer does not come up after -1.
TEST(BleOpen, ConnectOutlastingTheBoundIsCancelled) {
  BleOnFake f({"--connect-delay", "-1"});
  const auto start = Clock::now();
  EXPECT_EQ(f.open(), -1);
  EXPECT_DOUBLE_EQ(since(start), BLE::kOpenBound);
  ASSERT_TRUE(wait_until([&] { return f.fake.state() != "connecting"; }));
  EXPECT_EQ(f.fake.state(), "disconnected");
}

// Losing the printer: the link at a write (the pending write fails with it),
// the device removed by another program, BlueZ ending. openport_status turns
// 0 at once (and without BlueZ the probe -1); a new open on the same object
// works once BlueZ is back.
struct LossCase {
  const char* name;
  std::function<void(BleOnFake&)> lose;
  Result probe;
  friend std::ostream& operator<<(std::ostream& os, const LossCase& c) { return os << c.name; }
};

class BleLoss : public ::testing::TestWithParam<LossCase> {};

TEST_P(BleLoss, ReportsTheLossAndOpensAgain) {
  const LossCase& c = GetParam();
  BleOnFake f;
  ASSERT_EQ(f.open(), 1);
  c.lose(f);
  EXPECT_TRUE(wait_until([&] { return f.printer.openport_status() == 0; }, 1));
  EXPECT_TRUE(f.log.contains("disconnect-2"));
  EXPECT_EQ(f.printer.stream_Status(), c.probe);
  EXPECT_EQ(f.printer.windowsfont(0, 0, 24, 0, 0, 0, "DejaVu Sans", "x"), -1);
  if (c.probe == -1) {
    ASSERT_TRUE(f.fake.start());
    ASSERT_TRUE(wait_until([&] { return f.printer.stream_Status() == 2; }));
  }
  EXPECT_EQ(f.open(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Losses, BleLoss,
    ::testing::Values(
        LossCase{"link_lost_at_a_query",
                 [](BleOnFake& f) {
                   f.fake.drop_on_write();
                   const auto start = Clock::now();
                   EXPECT_EQ(f.printer.printer_modelname(), "");
                   EXPECT_DOUBLE_EQ(since(start), 1.0);  // the answer wait only
                   EXPECT_TRUE(f.log.contains("Write Error: org.bluez.Error.Failed"));
                 },
                 2},
        LossCase{"device_removed", [](BleOnFake& f) { f.fake.remove_device(kFirstDevice); }, 2},
        LossCase{"bluez_ended", [](BleOnFake& f) { f.fake.stop(); }, -1}),
    [](const auto& info) { return std::string(info.param.name); });

// BlueZ stops answering in the middle of 1 MiB: the write gives up after 15 s
// without a confirmation, and a second caller waiting for its turn goes on
// (BlueZ refuses its piece: the first one's is still pending there).
TEST(BleWrite, StalledBluezGivesUpAfterTheProgressBound) {
  BleOnFake f;
  ASSERT_EQ(f.open(), 1);
  f.fake.stall(true);
  const auto start = Clock::now();
  double first = 0;
  std::jthread writer([&] {
    f.printer.BLE_OutStream(Bytes(1 << 20, 'x'));
    first = since(start);
  });
  ASSERT_TRUE(wait_until([&] { return f.log.contains("Write Data to"); }));
  EXPECT_EQ(f.printer.sendcommand("CLS\r\n"), 1);
  EXPECT_DOUBLE_EQ(since(start), BLE::kProgressBound);
  writer.join();
  EXPECT_DOUBLE_EQ(first, BLE::kProgressBound);
  EXPECT_TRUE(f.log.contains("no write confirmed for 15 s"));
  EXPECT_TRUE(f.log.contains("Write Error: org.bluez.Error.InProgress"));
  f.fake.stall(false);
}

// Without response: packets of the MTU less 3 through the acquired
// characteristic; one that does not allow it is written with response.
TEST(BleWrite, WithoutResponseThroughTheAcquiredCharacteristic) {
  BleOnFake f({"--devices", R"([{"name": "A", "address": "00:11:22:33:44:55", "mtu": 247},
                               {"name": "B", "address": "00:11:22:33:44:66", "mtu": 247,
                                "rx_flags": ["write"]}])"});
  f.printer.set_write_without_response(true);
  f.printer.BLE_StartScan();
  const Bytes data = pattern(600);
  for (const auto& [device, type, size] :
       {std::tuple{"dev_0", "command", 244}, std::tuple{"dev_1", "request", 20}}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(f.printer.openport_ble({"", "", std::string("/org/bluez/hci0/") + device}), 1);
    f.fake.clear_writes();
    f.printer.BLE_OutStream(data);
    ASSERT_TRUE(f.fake.wait_for_writes((data.size() + size - 1) / size));
    Bytes received;
    for (const auto& w : f.fake.writes()) {
      EXPECT_EQ(w.type, type);
      EXPECT_LE(w.value.size(), static_cast<std::size_t>(size));
      received.insert(received.end(), w.value.begin(), w.value.end());
    }
    EXPECT_EQ(received, data);
  }
}

TEST(BleOpen, NoBluezOnTheBus) {
  PrivateBus bus;
  LogCapture log;
  const auto start = Clock::now();
  BLE printer{testing::env()};
  EXPECT_DOUBLE_EQ(since(start), 1.0);     // the constructor's wait for the adapter's state
  EXPECT_EQ(printer.stream_Status(), -1);  // the link's probe
  EXPECT_TRUE(log.contains("UpdateState:Unknown\n"));
  EXPECT_TRUE(printer.searchBLEDevice(0.1).empty());
  EXPECT_EQ(printer.sendcommand("CLS\r\n"), -1);
  EXPECT_EQ(printer.BLE_OutStream(bytes_of("CLS\r\n")), 1);
  EXPECT_EQ(printer.closeport(), 1);
}

}  // namespace
}  // namespace quillkit::testing
