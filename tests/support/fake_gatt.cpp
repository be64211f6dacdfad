#include "support/fake_gatt.hpp"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include "support/fake_printer.hpp"

namespace quillkit::testing {
namespace {

constexpr const char* kControl = "org.quillkit.FakeGatt";

// Runs one call of the control interface; a D-Bus error fails the test.
template <typename Call>
void control(const char* what, Call call) {
  try {
    call();
  } catch (const sdbus::Error& error) {
    ADD_FAILURE() << what << ": " << error.what();
  }
}

}  // namespace

FakeGatt::FakeGatt(PrivateBus& bus, const std::vector<std::string>& args) {
  if (!bus.start_fake(std::string(kSupportDir) + "/fake_bluez_gatt.py", args)) return;
  try {
    connection_ = sdbus::createSystemBusConnection();
    proxy_ = sdbus::createProxy(*connection_, "org.bluez", "/quillkit");
  } catch (const sdbus::Error& error) {
    ADD_FAILURE() << error.what();
  }
}

FakeGatt::~FakeGatt() = default;

std::vector<GattWrite> FakeGatt::writes() {
  std::vector<sdbus::Struct<std::string, std::vector<std::uint8_t>, std::string>> raw;
  control("Writes",
          [&] { proxy_->callMethod("Writes").onInterface(kControl).storeResultsTo(raw); });
  std::vector<GattWrite> writes;
  for (auto& w : raw) writes.push_back({w.get<0>(), w.get<1>(), w.get<2>()});
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

void FakeGatt::notify(std::string_view uuid, std::string_view value) {
  control("Notify", [&] {
    proxy_->callMethod("Notify").onInterface(kControl).withArguments(
        std::string(uuid), std::vector<std::uint8_t>(value.begin(), value.end()));
  });
}

void FakeGatt::drop_on_write() {
  control("DropOnWrite", [&] { proxy_->callMethod("DropOnWrite").onInterface(kControl); });
}

void FakeGatt::set_powered(bool powered) {
  control("SetPowered",
          [&] { proxy_->callMethod("SetPowered").onInterface(kControl).withArguments(powered); });
}

}  // namespace quillkit::testing
