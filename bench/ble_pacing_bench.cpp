// BLE write pacing against the tests' fake BlueZ with a 15 ms ATT round trip
// (two connection intervals of 7.5 ms) and an MTU of 247, on a private bus:
// 64 KiB through BLE_OutStream
//   - with the defaults (20-byte writes with response, one in flight, as
//     BlueZ takes them): "vs_round_trips" is the time over pieces x round
//     trip, the bound one write in flight allows (aim: at most 1.2);
//   - with set_write_chunk(0) (MTU-3 = 244 bytes): "speedup" is the default's
//     time over this one (aim: at least 8);
//   - with set_write_without_response(true) (244-byte packets through the
//     acquired socket, until the fake radio has carried the last one):
//     "vs_radio" is the time over packets / (4 per 7.5 ms), the radio's bound.
// One iteration: the default alone takes about 50 s.
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <string>

#include "quillkit/ble.hpp"
#include "support/fake_gatt.hpp"

namespace {

using BenchClock = std::chrono::steady_clock;

constexpr std::size_t kPayload = 64 * 1024;
constexpr double kRoundTrip = 0.015;
constexpr double kInterval = 0.0075;
constexpr int kPacketsPerInterval = 4;
constexpr std::size_t kMtu = 247;

std::size_t pieces(std::size_t size) { return (kPayload + size - 1) / size; }

double seconds_of(const std::function<void()>& work) {
  const auto start = BenchClock::now();
  work();
  return std::chrono::duration<double>(BenchClock::now() - start).count();
}

void BM_BleWritePacing(benchmark::State& state) {
  quillkit::set_log_sink([](quillkit::LogChannel, std::string_view) {});
  quillkit::testing::PrivateBus bus;
  quillkit::testing::FakeGatt fake(
      bus, {"--rtt", std::to_string(kRoundTrip), "--interval", std::to_string(kInterval),
            "--packets", std::to_string(kPacketsPerInterval), "--devices",
            R"([{"name": "VP-BLE", "address": "00:11:22:33:44:55", "mtu": )" +
                std::to_string(kMtu) + "}]"});
  quillkit::BLE printer;
  const auto found = printer.searchBLEDevice(0.5);
  if (!fake.ok() || found.empty() || printer.openport_ble(found.front()) != 1) {
    quillkit::set_log_sink(nullptr);
    return state.SkipWithError("the fake BlueZ did not start or the printer did not open");
  }
  const quillkit::Bytes data(kPayload, 0x55);
  const std::size_t packet = kMtu - 3;
  for (auto _ : state) {
    const double by_default = seconds_of([&] { printer.BLE_OutStream(data); });
    printer.set_write_chunk(0);
    const double largest = seconds_of([&] { printer.BLE_OutStream(data); });
    printer.set_write_without_response(true);
    fake.clear_writes();
    const double without_response = seconds_of([&] {
      printer.BLE_OutStream(data);
      fake.wait_for_writes(pieces(packet), 30);
    });
    printer.set_write_without_response(false);
    printer.set_write_chunk(quillkit::BLE::kDefaultWriteChunk);
    state.SetIterationTime(by_default);
    state.counters["default_s"] = by_default;
    state.counters["vs_round_trips"] =
        by_default / (static_cast<double>(pieces(quillkit::BLE::kDefaultWriteChunk)) * kRoundTrip);
    state.counters["chunk0_s"] = largest;
    state.counters["speedup"] = by_default / largest;
    state.counters["no_response_s"] = without_response;
    state.counters["vs_radio"] = without_response / (static_cast<double>(pieces(packet)) *
                                                     kInterval / kPacketsPerInterval);
  }
  printer.closeport(0);
  quillkit::set_log_sink(nullptr);
}
BENCHMARK(BM_BleWritePacing)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
