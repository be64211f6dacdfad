// The BLE central over BlueZ's D-Bus API, through sdbus-c++: one connection
// per central, whose event loop thread is the callback thread.
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "quillkit/platform/ble_central.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/platform/error_text.hpp"

namespace quillkit::platform {

namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";

// Bounds of the calls that wait on the radio: BlueZ gives up a connection
// attempt on its own well within the first.
constexpr auto kConnectTimeout = std::chrono::seconds(30);
constexpr auto kCallTimeout = std::chrono::seconds(10);

using Properties = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Properties>;
using ManagedObjects = std::map<sdbus::ObjectPath, Interfaces>;

// Device properties that change with an advertisement: a change of one of
// them is a fresh sighting.
constexpr std::string_view kSightingProperties[] = {"RSSI",        "Name",  "ManufacturerData",
                                                    "ServiceData", "UUIDs", "TxPower"};

template <typename T>
std::optional<T> get(const Properties& props, const std::string& key) {
  const auto it = props.find(key);
  if (it == props.end() || !it->second.containsValueOfType<T>()) return std::nullopt;
  return it->second.get<T>();
}

// `handler` as a reply handler that holds `clock` from the
// sending of its call until it has run: BlueZ answers from another process,
// which a test clock cannot see. The signals that BlueZ sends before a reply
// (a connection's properties, the notifications that answer a write) are
// handled in that time too. The hold ends when the handler has run, not when
// sdbus-c++ drops it: it may keep the handler of a call answered at once
// until the proxy goes. A call that goes unanswered with its proxy releases
// the hold then. The real clock ignores holds.
template <typename... Results, typename Handler>
auto holding(Clock& clock, Handler handler) {
  return [hold = std::make_shared<ClockHold>(clock), handler = std::move(handler)](
             const sdbus::Error* error, Results... results) {
    handler(error, results...);
    hold->release();
  };
}

struct Device {
  PeripheralReport report;
  bool connected = false;
  bool services_resolved = false;
};

class BluezCentral final : public BleCentral {
 public:
  BluezCentral(Events events, Clock& clock) : events_(std::move(events)), clock_(clock) {
    try {
      connection_ = sdbus::createSystemBusConnection();
      root_ = sdbus::createProxy(*connection_, kBluez, "/");
      auto handler = [this](sdbus::Message& message) { on_signal(message); };
      matches_.push_back(connection_->addMatch(
          "type='signal',interface='org.freedesktop.DBus.ObjectManager'", handler));
      matches_.push_back(connection_->addMatch(
          "type='signal',interface='org.freedesktop.DBus.Properties',path_namespace='/org/bluez'",
          handler));
      connection_->enterEventLoopAsync();
      root_->callMethodAsync("GetManagedObjects")
          .onInterface(kObjectManager)
          .withTimeout(kCallTimeout)
          .uponReplyInvoke(holding<const ManagedObjects&>(
              clock_, [this](const sdbus::Error* error, const ManagedObjects& objects) {
                on_initial_objects(error, objects);
              }));
    } catch (const sdbus::Error&) {
      // No bus: the central stays in kUnknown and every request is dropped.
      stop();
    }
  }

  ~BluezCentral() override { stop(); }

  void stop() override {
    if (connection_) {
      try {
        connection_->leaveEventLoop();
      } catch (const sdbus::Error&) {
      }
    }
    // The loop has ended and no other member runs: nothing else touches
    // these now.
    matches_.clear();
    proxies_.clear();
    root_.reset();
    connection_.reset();
  }

  CentralState state() override {
    std::lock_guard lock(mu_);
    return state_;
  }

  void start_discovery() override {
    const std::string adapter = adapter_path();
    {
      std::lock_guard lock(mu_);
      discovering_ = true;
    }
    if (adapter.empty()) return;
    // Low energy only, as a BLE central scans; BlueZ keeps the filter per client.
    call(adapter, kAdapter, "SetDiscoveryFilter",
         Properties{{"Transport", sdbus::Variant(std::string("le"))}});
    call(adapter, kAdapter, "StartDiscovery");
  }

  void stop_discovery() override {
    const std::string adapter = adapter_path();
    {
      std::lock_guard lock(mu_);
      discovering_ = false;
    }
    if (!adapter.empty()) call(adapter, kAdapter, "StopDiscovery");
  }

  void connect(const std::string& path) override {
    auto target = proxy(path);
    if (!target) return;
    {
      std::lock_guard lock(mu_);
      const auto it = devices_.find(path);
      if (it != devices_.end() && it->second.connected) {
        replay_.insert(path);
      } else {
        replay_.erase(path);
      }
    }
    try {
      target->callMethodAsync("Connect")
          .onInterface(kDevice)
          .withTimeout(kConnectTimeout)
          .uponReplyInvoke(holding(clock_, [this, path](const sdbus::Error* error) {
            // A device that was connected already reports no change: tell
            // the owner as if it had just come up.
            if (!error) replay_connection(path);
          }));
    } catch (const sdbus::Error&) {
    }
  }

  void disconnect(const std::string& path) override { call(path, kDevice, "Disconnect"); }

  bool is_connected(const std::string& path) override {
    std::lock_guard lock(mu_);
    const auto it = devices_.find(path);
    return it != devices_.end() && it->second.connected;
  }

  void services(const std::string& path, ServicesDone done) override {
    if (!root_) return done("no connection to the system bus", {});
    try {
      root_->callMethodAsync("GetManagedObjects")
          .onInterface(kObjectManager)
          .withTimeout(kCallTimeout)
          .uponReplyInvoke(holding<const ManagedObjects&>(
              clock_, [this, path, done](const sdbus::Error* error, const ManagedObjects& objects) {
                if (error) return done(bus_error_text("", *error), {});
                remember(objects);
                done({}, services_of(path, objects));
              }));
    } catch (const sdbus::Error& error) {
      done(bus_error_text("", error), {});
    }
  }

  void start_notify(const std::string& characteristic_path) override {
    call(characteristic_path, kCharacteristic, "StartNotify");
  }

  void write_value(const std::string& characteristic_path, std::span<const std::uint8_t> value,
                   Done done) override {
    auto target = proxy(characteristic_path);
    if (!target) return done("no connection to the system bus");
    try {
      target->callMethodAsync("WriteValue")
          .onInterface(kCharacteristic)
          .withTimeout(kCallTimeout)
          .withArguments(std::vector<std::uint8_t>(value.begin(), value.end()),
                         Properties{{"type", sdbus::Variant(std::string("request"))}})
          .uponReplyInvoke(holding(clock_, [done](const sdbus::Error* error) {
            done(error ? bus_error_text("", *error) : std::string());
          }));
    } catch (const sdbus::Error& error) {
      done(bus_error_text("", error));
    }
  }

 private:
  // The proxy of an object of BlueZ, made on first use and kept, since a
  // proxy that goes away cancels its pending calls.
  std::shared_ptr<sdbus::IProxy> proxy(const std::string& path) {
    if (!connection_) return nullptr;
    {
      std::lock_guard lock(mu_);
      const auto it = proxies_.find(path);
      if (it != proxies_.end()) return it->second;
    }
    std::shared_ptr<sdbus::IProxy> made;
    try {
      made = sdbus::createProxy(*connection_, kBluez, path);
    } catch (const sdbus::Error&) {
      return nullptr;
    }
    std::lock_guard lock(mu_);
    return proxies_.try_emplace(path, std::move(made)).first->second;
  }

  // A call whose reply carries nothing the owner waits for.
  template <typename... Args>
  void call(const std::string& path, const char* interface, const char* method, Args&&... args) {
    auto target = proxy(path);
    if (!target) return;
    try {
      target->callMethodAsync(method)
          .onInterface(interface)
          .withTimeout(kCallTimeout)
          .withArguments(std::forward<Args>(args)...)
          .uponReplyInvoke(holding(clock_, [](const sdbus::Error*) {}));
    } catch (const sdbus::Error&) {
    }
  }

  std::string adapter_path() {
    std::lock_guard lock(mu_);
    return adapter_;
  }

  void set_state(CentralState state) {
    {
      std::lock_guard lock(mu_);
      state_ = state;
    }
    if (events_.state_changed) events_.state_changed(state);
  }

  void on_initial_objects(const sdbus::Error* error, const ManagedObjects& objects) {
    if (error) return set_state(CentralState::kUnknown);
    remember(objects);
    std::optional<bool> powered;
    for (const auto& [path, interfaces] : objects) {
      const auto adapter = interfaces.find(kAdapter);
      if (adapter == interfaces.end()) continue;
      std::lock_guard lock(mu_);
      adapter_ = path;
      powered = get<bool>(adapter->second, "Powered").value_or(false);
      break;
    }
    set_state(!powered   ? CentralState::kUnsupported
              : *powered ? CentralState::kPoweredOn
                         : CentralState::kPoweredOff);
  }

  // Keeps what later signals refer to: devices and characteristic UUIDs.
  void remember(const ManagedObjects& objects) {
    std::lock_guard lock(mu_);
    for (const auto& [path, interfaces] : objects) remember_locked(path, interfaces);
  }

  void remember_locked(const std::string& path, const Interfaces& interfaces) {
    if (const auto device = interfaces.find(kDevice); device != interfaces.end()) {
      auto& known = devices_[path];
      update_device_locked(path, known, device->second);
    }
    if (const auto ch = interfaces.find(kCharacteristic); ch != interfaces.end()) {
      characteristic_uuids_[path] = get<std::string>(ch->second, "UUID").value_or("");
    }
  }

  static void update_device_locked(const std::string& path, Device& device,
                                   const Properties& props) {
    device.report.path = path;
    if (auto name = get<std::string>(props, "Name")) device.report.name = *name;
    if (auto address = get<std::string>(props, "Address")) device.report.address = *address;
    if (auto uuids = get<std::vector<std::string>>(props, "UUIDs")) device.report.uuids = *uuids;
    if (auto connected = get<bool>(props, "Connected")) device.connected = *connected;
    if (auto resolved = get<bool>(props, "ServicesResolved")) device.services_resolved = *resolved;
  }

  static std::vector<GattService> services_of(const std::string& device,
                                              const ManagedObjects& objects) {
    std::vector<GattService> services;
    for (const auto& [path, interfaces] : objects) {
      const auto service = interfaces.find(kService);
      if (service == interfaces.end()) continue;
      if (get<sdbus::ObjectPath>(service->second, "Device").value_or(sdbus::ObjectPath()) !=
          device) {
        continue;
      }
      GattService entry{path, get<std::string>(service->second, "UUID").value_or(""), {}};
      for (const auto& [char_path, char_interfaces] : objects) {
        const auto ch = char_interfaces.find(kCharacteristic);
        if (ch == char_interfaces.end()) continue;
        if (get<sdbus::ObjectPath>(ch->second, "Service").value_or(sdbus::ObjectPath()) != path) {
          continue;
        }
        entry.characteristics.push_back(
            {char_path, get<std::string>(ch->second, "UUID").value_or("")});
      }
      services.push_back(std::move(entry));
    }
    return services;
  }

  void replay_connection(const std::string& path) {
    bool resolved = false;
    {
      std::lock_guard lock(mu_);
      const auto it = devices_.find(path);
      if (replay_.erase(path) == 0 || it == devices_.end() || !it->second.connected) return;
      resolved = it->second.services_resolved;
    }
    if (events_.connection_changed) events_.connection_changed(path, true);
    if (resolved && events_.services_resolved) events_.services_resolved(path);
  }

  void on_signal(sdbus::Message& message) {
    try {
      const std::string member = message.getMemberName();
      if (member == "InterfacesAdded") {
        sdbus::ObjectPath path;
        Interfaces interfaces;
        message >> path >> interfaces;
        on_interfaces_added(path, interfaces);
      } else if (member == "InterfacesRemoved") {
        sdbus::ObjectPath path;
        std::vector<std::string> interfaces;
        message >> path >> interfaces;
        if (std::find(interfaces.begin(), interfaces.end(), kAdapter) != interfaces.end()) {
          bool ours = false;
          {
            std::lock_guard lock(mu_);
            ours = adapter_ == path;
            if (ours) adapter_.clear();
          }
          if (ours) set_state(CentralState::kUnsupported);
        }
      } else if (member == "PropertiesChanged") {
        std::string interface;
        Properties changed;
        message >> interface >> changed;
        on_properties_changed(message.getPath(), interface, changed);
      }
    } catch (const sdbus::Error&) {
      // A signal of another shape than BlueZ's: not ours.
    }
  }

  void on_interfaces_added(const std::string& path, const Interfaces& interfaces) {
    std::optional<PeripheralReport> report;
    std::optional<CentralState> state;
    {
      std::lock_guard lock(mu_);
      remember_locked(path, interfaces);
      if (interfaces.count(kDevice) && discovering_) report = devices_[path].report;
      const auto adapter = interfaces.find(kAdapter);
      if (adapter != interfaces.end() && adapter_.empty()) {
        adapter_ = path;
        state = get<bool>(adapter->second, "Powered").value_or(false) ? CentralState::kPoweredOn
                                                                      : CentralState::kPoweredOff;
      }
    }
    if (state) set_state(*state);
    if (report && events_.discovered) events_.discovered(*report);
  }

  void on_properties_changed(const std::string& path, const std::string& interface,
                             const Properties& changed) {
    if (interface == kAdapter) {
      const auto powered = get<bool>(changed, "Powered");
      if (powered && path == adapter_path()) {
        set_state(*powered ? CentralState::kPoweredOn : CentralState::kPoweredOff);
      }
    } else if (interface == kCharacteristic) {
      const auto value = get<std::vector<std::uint8_t>>(changed, "Value");
      if (!value) return;
      std::string uuid;
      {
        std::lock_guard lock(mu_);
        const auto it = characteristic_uuids_.find(path);
        if (it == characteristic_uuids_.end()) return;
        uuid = it->second;
      }
      if (events_.value_notified) events_.value_notified(uuid, *value);
    } else if (interface == kDevice) {
      on_device_changed(path, changed);
    }
  }

  void on_device_changed(const std::string& path, const Properties& changed) {
    std::optional<PeripheralReport> report;
    const auto connected = get<bool>(changed, "Connected");
    const auto resolved = get<bool>(changed, "ServicesResolved");
    {
      std::lock_guard lock(mu_);
      auto& device = devices_[path];
      update_device_locked(path, device, changed);
      // This change is the news: a Connect reply that follows has nothing to replay.
      if (connected) replay_.erase(path);
      const bool sighting =
          std::any_of(std::begin(kSightingProperties), std::end(kSightingProperties),
                      [&](std::string_view key) { return changed.count(std::string(key)) != 0; });
      if (sighting && discovering_) report = device.report;
    }
    if (report && events_.discovered) events_.discovered(*report);
    if (connected && events_.connection_changed) events_.connection_changed(path, *connected);
    if (resolved && *resolved && events_.services_resolved) events_.services_resolved(path);
  }

  const Events events_;
  Clock& clock_;
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> root_;
  std::vector<sdbus::Slot> matches_;

  std::mutex mu_;
  // Guarded by mu_:
  std::map<std::string, std::shared_ptr<sdbus::IProxy>> proxies_;
  std::map<std::string, Device> devices_;
  std::map<std::string, std::string> characteristic_uuids_;
  // Devices connected already when asked to connect.
  std::set<std::string> replay_;
  std::string adapter_;
  CentralState state_ = CentralState::kUnknown;
  bool discovering_ = false;
};

}  // namespace

std::unique_ptr<BleCentral> open_ble_central(BleCentral::Events events, Clock& clock) {
  return std::make_unique<BluezCentral>(std::move(events), clock);
}

}  // namespace quillkit::platform
