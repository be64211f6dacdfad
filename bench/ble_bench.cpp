// BLE write throughput: 64 KiB through the BLE link's write primitive against
// a bare loop of asynchronous WriteValue calls of the same 20-byte pieces, on
// the same private bus and fake BlueZ. Each timing runs until every piece is
// confirmed; "ratio" is the bare loop's time over the link's (aim: 0.8 or more).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sdbus-c++/sdbus-c++.h>

#include "quillkit/ble.hpp"
#include "quillkit/links/ble_link.hpp"
#include "support/fake_gatt.hpp"

namespace {

using quillkit::Bytes;
using BenchClock = std::chrono::steady_clock;

constexpr std::size_t kPayload = 64 * 1024;
constexpr std::size_t kPiece = 20;
constexpr std::size_t kPieces = (kPayload + kPiece - 1) / kPiece;
constexpr const char* kWriteCharacteristic = "/org/bluez/hci0/dev_0/service0010/char0013";

// Counts confirmations, from the link's log lines or the bare loop's replies.
struct Confirmations {
  std::mutex mu;
  std::condition_variable cv;
  std::size_t count = 0;

  void add() {
    {
      std::lock_guard lock(mu);
      ++count;
    }
    cv.notify_all();
  }
  // Waits (30 s at most) until `total` confirmations came in all.
  bool wait_for(std::size_t total) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(30), [&] { return count >= total; });
  }
};

double seconds_since(BenchClock::time_point start) {
  return std::chrono::duration<double>(BenchClock::now() - start).count();
}

void BM_BleOutStreamVsBareLoop(benchmark::State& state) {
  quillkit::testing::PrivateBus bus;
  quillkit::testing::FakeGatt fake(bus);
  if (!fake.ok()) return state.SkipWithError("the fake BlueZ did not start");
  auto link_confirmed = std::make_shared<Confirmations>();
  quillkit::set_log_sink([link_confirmed](quillkit::LogChannel, std::string_view line) {
    if (line.starts_with("Write ")) {
      if (line != "Write Data to VP-BLE") link_confirmed->add();
    }
  });
  quillkit::detail::BleLink link;
  link.start_scan();
  if (!link.open({"VP-BLE", "00:11:22:33:44:55", "/org/bluez/hci0/dev_0", {}}, 10)) {
    quillkit::set_log_sink(nullptr);
    return state.SkipWithError("the link did not open");
  }

  auto connection = sdbus::createSystemBusConnection();
  auto proxy = sdbus::createProxy(*connection, "org.bluez", kWriteCharacteristic);
  connection->enterEventLoopAsync();
  Confirmations bare_confirmed;
  const std::map<std::string, sdbus::Variant> options{{"type", sdbus::Variant(std::string("request"))}};

  const Bytes data(kPayload, 0x55);
  double link_seconds = 0;
  double bare_seconds = 0;
  std::size_t rounds = 0;
  for (auto _ : state) {
    ++rounds;
    auto start = BenchClock::now();
    link.write(data, quillkit::detail::ReplyStart::keep);
    if (!link_confirmed->wait_for(rounds * kPieces)) return state.SkipWithError("link stalled");
    const double link_round = seconds_since(start);

    start = BenchClock::now();
    for (std::size_t offset = 0; offset < data.size(); offset += kPiece) {
      const std::size_t n = std::min(kPiece, data.size() - offset);
      proxy->callMethodAsync("WriteValue")
          .onInterface("org.bluez.GattCharacteristic1")
          .withArguments(std::vector<std::uint8_t>(data.begin() + offset, data.begin() + offset + n),
                         options)
          .uponReplyInvoke([&](const sdbus::Error*) { bare_confirmed.add(); });
    }
    if (!bare_confirmed.wait_for(rounds * kPieces)) return state.SkipWithError("bare loop stalled");
    const double bare_round = seconds_since(start);

    link_seconds += link_round;
    bare_seconds += bare_round;
    state.SetIterationTime(link_round);
    fake.clear_writes();
  }
  connection->leaveEventLoop();
  quillkit::set_log_sink(nullptr);
  state.SetBytesProcessed(static_cast<std::int64_t>(rounds * kPayload));
  state.counters["bare_s"] = bare_seconds / static_cast<double>(rounds);
  state.counters["link_s"] = link_seconds / static_cast<double>(rounds);
  state.counters["ratio"] = bare_seconds / link_seconds;
}
BENCHMARK(BM_BleOutStreamVsBareLoop)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
