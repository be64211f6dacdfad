#include "support/fake_gatt.hpp"

#include <gtest/gtest.h>

#include <map>

#include "support/fake_printer.hpp"

namespace quillkit::testing {

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

void FakeGatt::failed(const char* what, const sdbus::Error& error) {
  ADD_FAILURE() << what << ": " << error.what();
}

std::vector<GattWrite> FakeGatt::writes() {
  std::vector<sdbus::Struct<std::string, std::vector<std::uint8_t>, std::string, std::string>> raw;
  try {
    proxy_->callMethod("Writes").onInterface(kControl).storeResultsTo(raw);
  } catch (const sdbus::Error& error) {
    failed("Writes", error);
  }
  std::vector<GattWrite> writes;
  for (auto& w : raw) writes.push_back({w.get<0>(), w.get<1>(), w.get<2>(), w.get<3>()});
  return writes;
}

bool FakeGatt::wait_for_writes(std::size_t count, double seconds) {
  return wait_until([&] { return writes().size() >= count; }, seconds);
}

std::string FakeGatt::state(unsigned device) {
  std::string state;
  try {
    proxy_->callMethod("State").onInterface(kControl).withArguments(device).storeResultsTo(state);
  } catch (const sdbus::Error& error) {
    failed("State", error);
  }
  return state;
}

void FakeGatt::remove_device(const std::string& path) {
  try {
    sdbus::createProxy(*connection_, "org.bluez", "/org/bluez/hci0")
        ->callMethod("RemoveDevice")
        .onInterface("org.bluez.Adapter1")
        .withArguments(sdbus::ObjectPath(path));
  } catch (const sdbus::Error& error) {
    failed("RemoveDevice", error);
  }
}

void FakeGatt::write_without_waiting(const std::string& characteristic,
                                     const std::vector<std::pair<std::string, Bytes>>& values) {
  auto target = sdbus::createProxy(*connection_, "org.bluez", characteristic);
  for (const auto& [type, value] : values) {
    target->callMethod("WriteValue")
        .onInterface("org.bluez.GattCharacteristic1")
        .withArguments(value, std::map<std::string, sdbus::Variant>{{"type", sdbus::Variant(type)}})
        .dontExpectReply();
  }
}

}  // namespace quillkit::testing
