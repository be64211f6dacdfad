// The BLE link against a fake BlueZ on a private bus: the real central, only
// the radio simulated. On the test clock: the central holds it while a call to
// BlueZ is in flight, and the fake signals what a call causes before it replies
// (see fake_bluez_gatt.py), so virtual time moves only when BlueZ is done.
#include "quillkit/ble.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
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
    link_ = new detail::BleLink();
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
    const std::size_t pieces = data.empty() ? 1 : (data.size() + 19) / 20;
    ASSERT_TRUE(fake_->wait_for_writes(pieces, 30));
    const auto writes = fake_->writes();
    ASSERT_EQ(writes.size(), pieces);
    Bytes joined;
    for (std::size_t i = 0; i < pieces; ++i) {
      EXPECT_TRUE(platform::same_uuid(writes[i].uuid, BLE::RX_CHARACTERISTIC));
      EXPECT_EQ(writes[i].type, "request");
      EXPECT_EQ(writes[i].value.size(), std::min<std::size_t>(20, data.size() - i * 20));
      joined.insert(joined.end(), writes[i].value.begin(), writes[i].value.end());
    }
    EXPECT_EQ(joined, data);
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

// The adapter as the fake starts it (nullopt: no BlueZ on the bus), whether
// it is then turned off, and what the probe and the state line say.
struct ProbeCase {
  const char* name;
  std::optional<std::string> adapter;
  bool power_off_later;
  Result probe;
  std::string line;
};

class BleProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(BleProbe, FollowsTheAdapterState) {
  const auto& c = GetParam();
  PrivateBus bus;
  std::optional<FakeGatt> fake;
  if (c.adapter) fake.emplace(bus, std::vector<std::string>{"--adapter", *c.adapter});
  LogCapture log;
  detail::BleLink link;
  ASSERT_TRUE(wait_until([&] { return log.contains("UpdateState:"); }));
  if (c.power_off_later) {
    fake->set_powered(false);
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
                      ProbeCase{"NoAdapter", "none", false, -1, "UpdateState:Unsupported\n"},
                      ProbeCase{"NoBluez", std::nullopt, false, -1, "UpdateState:Unknown\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BleSearch, NamedPeripheralsInReportOrderDuplicatesKept) {
  PrivateBus bus;
  FakeGatt fake(bus, {"--devices", R"([{"name": "P1", "address": "00:00:00:00:00:01",
                                       "sightings": 2},
                                      {"address": "00:00:00:00:00:02"},
                                      {"name": "P3", "address": "00:00:00:00:00:03"}])"});
  LogCapture log;
  BLE printer;
  const auto start = Clock::now();
  const auto found = printer.searchBLEDevice(0.5);
  EXPECT_DOUBLE_EQ(since(start), 0.5);
  std::vector<std::string> names;
  for (const auto& p : found) names.push_back(p.name + "@" + p.address);
  EXPECT_EQ(names, (std::vector<std::string>{"P1@00:00:00:00:00:01", "P1@00:00:00:00:00:01",
                                             "P3@00:00:00:00:00:03"}));
  EXPECT_TRUE(log.contains("localName: P3"));
}

TEST(BleOpen, ServiceMissingNeverReady) {
  PrivateBus bus;
  FakeGatt fake(bus, {"--devices", R"([{"name": "B", "address": "00:00:00:00:00:09",
                                       "serial": false}])"});
  LogCapture log;
  BLE printer;
  printer.BLE_StartScan();
  const auto start = Clock::now();
  EXPECT_EQ(printer.openport_ble({"B", "00:00:00:00:00:09", "/org/bluez/hci0/dev_0"}), -1);
  EXPECT_DOUBLE_EQ(since(start), BLE::kOpenBound);
  EXPECT_TRUE(log.contains("=========== 1 of service for UUID /org/bluez/hci0/dev_0"));
  EXPECT_FALSE(log.contains("Finished set notification"));
  EXPECT_EQ(printer.openport_status(), 0);
}

TEST(BleOpen, LinkLossMidQuery) {
  PrivateBus bus;
  FakeGatt fake(bus);
  LogCapture log;
  BLE printer;
  printer.BLE_StartScan();
  auto start = Clock::now();
  ASSERT_EQ(printer.openport_ble({kPrinter.name, kPrinter.address, kPrinter.path}), 1);
  EXPECT_EQ(since(start), 0);  // ready as soon as BlueZ is
  fake.drop_on_write();
  start = Clock::now();
  EXPECT_EQ(printer.printer_modelname(), "");
  EXPECT_DOUBLE_EQ(since(start), 1.0);  // the answer wait: the link went at the write
  EXPECT_EQ(printer.openport_status(), 0);
  EXPECT_TRUE(log.contains("disconnect-2"));
  EXPECT_EQ(printer.windowsfont(0, 0, 24, 0, 0, 0, "DejaVu Sans", "x"), -1);
  // The radio is still on: the senders still hand their bytes to the link,
  // and the peripheral refuses them.
  EXPECT_EQ(printer.sendcommand("CLS\r\n"), 1);
  EXPECT_TRUE(wait_until([&] { return log.contains("Write Error: org.bluez.Error.Failed"); }));
}

TEST(BleOpen, NoBluezOnTheBus) {
  PrivateBus bus;
  const auto start = Clock::now();
  BLE printer;
  EXPECT_DOUBLE_EQ(since(start), 1.0);  // the constructor's wait for the adapter's state
  EXPECT_EQ(printer.stream_Status(), -1);
  EXPECT_TRUE(printer.searchBLEDevice(0.1).empty());
  EXPECT_EQ(printer.sendcommand("CLS\r\n"), -1);
  EXPECT_EQ(printer.BLE_OutStream(bytes_of("CLS\r\n")), 1);
  EXPECT_EQ(printer.closeport(), 1);
}

}  // namespace
}  // namespace quillkit::testing
