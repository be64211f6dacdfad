#include "support/fake_gatt.hpp"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <map>

#include "support/fake_printer.hpp"

namespace quillkit::testing {
namespace {

constexpr const char* kControl = "org.quillkit.FakeGatt";

// Runs one call; a D-Bus error fails the test.
template <typename Call>
void control(const char* what, Call call) {
  try {
    call();
  } catch (const sdbus::Error& error) {
    ADD_FAILURE() << what << ": " << error.what();
  }
}

}  // namespace

FakeGatt::FakeGatt(PrivateBus& bus, const std::vector<std::string>& args) : bus_(bus), args_(args) {
  if (!start()) return;
  try {
    connection_ = sdbus::createSystemBusConnection();
    proxy_ = sdbus::createProxy(*connection_, "org.bluez", "/quillkit");
  } catch (const sdbus::Error& error) {
    ADD_FAILURE() << error.what();
  }
}

FakeGatt::~FakeGatt() = default;

bool FakeGatt::start() {
  return bus_.start_fake(std::string(kSupportDir) + "/fake_bluez_gatt.py", args_);
}

std::vector<GattWrite> FakeGatt::writes() {
  std::vector<sdbus::Struct<std::string, std::vector<std::uint8_t>, std::string, std::string>> raw;
  control("Writes",
          [&] { proxy_->callMethod("Writes").onInterface(kControl).storeResultsTo(raw); });
  std::vector<GattWrite> writes;
  for (auto& w : raw) writes.push_back({w.get<0>(), w.get<1>(), w.get<2>(), w.get<3>()});
  return writes;
}

bool FakeGatt::wait_for_writes(std::size_t count, double seconds) {
  return wait_until(
      [&] {
        std::uint32_t recorded = 0;
        control("WriteCount", [&] {
          proxy_->callMethod("WriteCount").onInterface(kControl).storeResultsTo(recorded);
        });
        return recorded >= count;
      },
      seconds);
}

void FakeGatt::clear_writes() {
  control("ClearWrites", [&] { proxy_->callMethod("ClearWrites").onInterface(kControl); });
}

void FakeGatt::notify(std::string_view uuid, std::string_view value, unsigned device) {
  control("Notify", [&] {
    proxy_->callMethod("Notify").onInterface(kControl).withArguments(
        device, std::string(uuid), std::vector<std::uint8_t>(value.begin(), value.end()));
  });
}

void FakeGatt::spoof(const std::string& path, std::string_view value) {
  control("Spoof", [&] {
    proxy_->callMethod("Spoof").onInterface(kControl).withArguments(
        sdbus::ObjectPath(path), std::vector<std::uint8_t>(value.begin(), value.end()));
  });
}

void FakeGatt::drop_on_write() {
  control("DropOnWrite", [&] { proxy_->callMethod("DropOnWrite").onInterface(kControl); });
}

void FakeGatt::stall(bool stalled) {
  control("Stall",
          [&] { proxy_->callMethod("Stall").onInterface(kControl).withArguments(stalled); });
}

void FakeGatt::set_powered(bool powered) {
  control("SetPowered",
          [&] { proxy_->callMethod("SetPowered").onInterface(kControl).withArguments(powered); });
}

std::string FakeGatt::state(unsigned device) {
  std::string state;
  control("State", [&] {
    proxy_->callMethod("State").onInterface(kControl).withArguments(device).storeResultsTo(state);
  });
  return state;
}

void FakeGatt::remove_device(const std::string& path) {
  control("RemoveDevice", [&] {
    sdbus::createProxy(*connection_, "org.bluez", "/org/bluez/hci0")
        ->callMethod("RemoveDevice")
        .onInterface("org.bluez.Adapter1")
        .withArguments(sdbus::ObjectPath(path));
  });
}

void FakeGatt::write_without_waiting(const std::string& characteristic,
                                     const std::vector<std::pair<std::string, Bytes>>& values) {
  control("WriteValue", [&] {
    auto target = sdbus::createProxy(*connection_, "org.bluez", characteristic);
    for (const auto& [type, value] : values) {
      target->callMethod("WriteValue")
          .onInterface("org.bluez.GattCharacteristic1")
          .withArguments(value, std::map<std::string, sdbus::Variant>{{"type", sdbus::Variant(type)}})
          .dontExpectReply();
    }
  });
}

}  // namespace quillkit::testing
