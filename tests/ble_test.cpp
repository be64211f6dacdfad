// The BLE link against a fake BlueZ on a private bus: the real central, only
// the radio simulated. On the test clock: the central holds it while a call to
// BlueZ is in flight, and the fake signals what a call causes before it replies
// (see fake_bluez_gatt.py), so virtual time moves only when BlueZ is done.
#include "quillkit/ble.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quillkit/links/ble_link.hpp"
#include "support/fake_gatt.hpp"
#include "support/fake_printer.hpp"
#include "support/sdbus_tsan.hpp"

namespace quillkit::testing {
namespace {

// The fake's default peripheral, as a search reports it.
const platform::PeripheralReport kPrinter{
    "VP-BLE", "00:11:22:33:44:55", "/org/bluez/hci0/dev_0", {}};

// Bytes 0, 1, 2, ... so that a lost, doubled or reordered piece shows.
Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

// One bus, one fake printer and one link opened on it for the whole suite.
class BleLinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    set_log_sink([](LogChannel, std::string_view) {});  // a line per piece of a long write
    bus_ = new PrivateBus();
    fake_ = new FakeGatt(*bus_);
    link_ = new detail::BleLink(testing::env());
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

// Pieces of twenty bytes, with response, in order: an exact multiple, none
// (one empty write), and many times the writes that may be in flight at once.
TEST_F(BleLinkTest, WritesPiecesOfTwentyWithResponseInOrder) {
  for (const std::size_t size :
       {std::size_t{40}, std::size_t{0}, 20 * detail::BleLink::kWritesInFlight * 8 + 3}) {
    SCOPED_TRACE(size);
    fake_->clear_writes();
    const Bytes data = pattern(size);
    EXPECT_EQ(link_->write(data, detail::ReplyStart::keep), 1);
    std::vector<Bytes> pieces(data.empty() ? 1 : 0);  // nothing: one empty write
    for (std::size_t at = 0; at < data.size(); at += 20) {
      pieces.emplace_back(data.begin() + at, data.begin() + std::min(at + 20, data.size()));
    }
    ASSERT_TRUE(fake_->wait_for_writes(pieces.size(), 30));
    std::vector<Bytes> written;
    for (const auto& write : fake_->writes()) {
      EXPECT_TRUE(platform::same_uuid(write.uuid, BLE::RX_CHARACTERISTIC));
      EXPECT_EQ(write.type, "request");
      written.push_back(write.value);
    }
    EXPECT_EQ(written, pieces);
  }
}

// The answer a write sees: only the transmit characteristic's notifications,
// and only those since the write.
TEST_F(BleLinkTest, AnswerIsTheTransmitNotificationsSinceTheWrite) {
  fake_->notify(BLE::TX_CHARACTERISTIC, "stale");
  ASSERT_TRUE(wait_until([&] { return reply().ends_with("stale"); }));
  link_->write(bytes_of("~!T\r\n"), detail::ReplyStart::begin);
  EXPECT_EQ(reply(), "");
  fake_->notify(BLE::TX_CHARACTERISTIC, "ab");
  fake_->notify(BLE::AIRPATCH_CHARACTERISTIC, "zz");
  fake_->notify(BLE::TX_CHARACTERISTIC, "cd");
  // The fake notifies in order: the last one seen means every one was handled.
  ASSERT_TRUE(wait_until([&] { return reply().ends_with("cd"); }));
  EXPECT_EQ(reply(), "abcd");
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
  f.printer.BLE_StartScan();
  const auto start = Clock::now();
  EXPECT_EQ(f.printer.openport_ble({"B", "00:00:00:00:00:09", "/org/bluez/hci0/dev_0"}), -1);
  EXPECT_DOUBLE_EQ(since(start), BLE::kOpenBound);
  EXPECT_TRUE(f.log.contains("=========== 1 of service for UUID /org/bluez/hci0/dev_0"));
  EXPECT_FALSE(f.log.contains("Finished set notification"));
  EXPECT_EQ(f.printer.openport_status(), 0);
}

TEST(BleOpen, LinkLossMidQuery) {
  BleOnFake f;
  f.printer.BLE_StartScan();
  auto start = Clock::now();
  ASSERT_EQ(f.printer.openport_ble({kPrinter.name, kPrinter.address, kPrinter.path}), 1);
  EXPECT_EQ(since(start), 0);  // ready as soon as BlueZ is
  f.fake.drop_on_write();
  start = Clock::now();
  EXPECT_EQ(f.printer.printer_modelname(), "");
  EXPECT_DOUBLE_EQ(since(start), 1.0);  // the answer wait: the link went at the write
  EXPECT_EQ(f.printer.openport_status(), 0);
  EXPECT_TRUE(f.log.contains("disconnect-2"));
  EXPECT_EQ(f.printer.windowsfont(0, 0, 24, 0, 0, 0, "DejaVu Sans", "x"), -1);
  // The radio is still on: the senders still hand their bytes to the link,
  // and the peripheral refuses them.
  EXPECT_EQ(f.printer.sendcommand("CLS\r\n"), 1);
  EXPECT_TRUE(wait_until([&] { return f.log.contains("Write Error: org.bluez.Error.Failed"); }));
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
