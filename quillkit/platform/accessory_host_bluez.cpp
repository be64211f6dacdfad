// The accessory host over BlueZ: paired org.bluez.Device1 objects, and serial
// sessions through a registered serial port profile (ProfileManager1,
// Device1.ConnectProfile, Profile1.NewConnection). No root is needed:
// bluetoothd finds the RFCOMM channel and hands over the connected socket.
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

#include "quillkit/platform/accessory_host.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/platform/error_text.hpp"
#include "quillkit/platform/log.hpp"

namespace quillkit::platform {
namespace {

using namespace std::chrono_literals;

using Properties = std::map<std::string, sdbus::Variant>;
using ManagedObjects = std::map<sdbus::ObjectPath, std::map<std::string, Properties>>;

constexpr const char* kBluez = "org.bluez";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kProfileManager = "org.bluez.ProfileManager1";
constexpr const char* kProfile = "org.bluez.Profile1";
constexpr const char* kDevice = "org.bluez.Device1";

// Bounds of the calls: the list and the registration are answered by
// bluetoothd alone; a session pages the radio, which takes seconds.
constexpr auto kListTimeout = 2s;
constexpr auto kRegisterTimeout = 2s;
constexpr auto kSessionTimeout = 20s;

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

template <class T>
std::optional<T> property(const Properties& properties, const std::string& name) {
  const auto it = properties.find(name);
  if (it == properties.end() || !it->second.containsValueOfType<T>()) return std::nullopt;
  return it->second.get<T>();
}

struct Paired {
  std::string path;
  BluetoothDevice device;
};

// Results of asynchronous calls, handed from the event-loop thread to the
// caller that waits for them. Shared, so that a caller that gave up leaves
// nothing dangling behind a late reply.
template <class T>
struct Handoff {
  std::mutex mu;
  std::condition_variable_any cv;
  std::optional<T> value;  // guarded by mu

  // False when a value was already there (the first one counts).
  bool put(T v) {
    {
      std::lock_guard lock(mu);
      if (value) return false;
      value = std::move(v);
    }
    cv.notify_all();
    return true;
  }
  std::optional<T> take(std::stop_token stop, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu);
    cv.wait_for(lock, stop, timeout, [&] { return value.has_value(); });
    return std::exchange(value, std::nullopt);
  }
};

// Each call below holds the host's clock from its sending until its caller
// has the reply: bluetoothd answers from another process, which a test clock
// cannot see. The real clock ignores holds.

// Outcome of a call: empty text for success, else the reason.
using Outcome = std::string;

class BluezHost final : public AccessoryHost {
 public:
  explicit BluezHost(Clock& clock) : clock_(clock) {
    static std::atomic<unsigned> serial{0};
    profile_path_ = "/org/quillkit/serial_port_" + std::to_string(getpid()) + "_" +
                    std::to_string(serial.fetch_add(1));
    try {
      connection_ = sdbus::createSystemBusConnection();
      profile_ = sdbus::createObject(*connection_, profile_path_);
      profile_->registerMethod("NewConnection")
          .onInterface(kProfile)
          .implementedAs([this](const sdbus::ObjectPath& device, sdbus::UnixFd fd,
                                const Properties&) { new_connection(device, std::move(fd)); });
      profile_->registerMethod("RequestDisconnection")
          .onInterface(kProfile)
          .implementedAs([](const sdbus::ObjectPath&) {});
      profile_->registerMethod("Release").onInterface(kProfile).implementedAs([] {});
      profile_->finishRegistration();
      root_ = sdbus::createProxy(*connection_, kBluez, "/");
      manager_ = sdbus::createProxy(*connection_, kBluez, "/org/bluez");
      connection_->enterEventLoopAsync();
    } catch (const sdbus::Error& e) {
      reason_ = bus_error_text("no system bus", e);
      root_.reset();
      manager_.reset();
      profile_.reset();
      connection_.reset();
    }
  }

  ~BluezHost() override {
    if (!connection_) return;
    try {
      connection_->leaveEventLoop();
    } catch (const sdbus::Error&) {
    }
    // The loop has ended: no callback runs from here on.
    calls_.clear();
    devices_.clear();
    root_.reset();
    manager_.reset();
    profile_.reset();
  }

  std::vector<BluetoothDevice> accessories(std::stop_token stop) override {
    std::vector<BluetoothDevice> out;
    for (auto& paired : list(stop)) out.push_back(std::move(paired.device));
    return out;
  }

  int open_session(std::string_view address, std::string_view uuid, std::stop_token stop) override {
    if (!connection_) {
      log_line(LogChannel::system, reason_);
      return -1;
    }
    std::string path;
    for (const auto& paired : list(stop)) {
      if (lower(paired.device.address) == lower(address)) {
        path = paired.path;
        break;
      }
    }
    if (path.empty()) {
      log_line(LogChannel::system, "no paired device " + std::string(address));
      return -1;
    }
    if (!register_profile(uuid, stop)) return -1;
    return connect_profile(path, uuid, stop);
  }

 private:
  std::vector<Paired> list(std::stop_token stop) {
    if (!connection_) {
      log_line(LogChannel::system, reason_);
      return {};
    }
    const ClockHold hold(clock_);
    auto result = std::make_shared<Handoff<std::pair<Outcome, std::vector<Paired>>>>();
    try {
      keep(root_->callMethodAsync("GetManagedObjects")
               .onInterface(kObjectManager)
               .withTimeout(kListTimeout)
               .uponReplyInvoke([result](const sdbus::Error* error, const ManagedObjects& objects) {
                 if (error) {
                   result->put({bus_error_text("BlueZ", *error), {}});
                   return;
                 }
                 result->put({"", paired_devices(objects)});
               }));
    } catch (const sdbus::Error& e) {
      log_line(LogChannel::system, bus_error_text("BlueZ", e));
      return {};
    }
    auto reply = result->take(stop, kListTimeout + 500ms);
    if (!reply) {
      if (!stop.stop_requested()) log_line(LogChannel::system, "BlueZ: no answer to the list");
      return {};
    }
    if (!reply->first.empty()) log_line(LogChannel::system, reply->first);
    return std::move(reply->second);
  }

  // Event-loop thread only.
  static std::vector<Paired> paired_devices(const ManagedObjects& objects) {
    std::vector<Paired> out;
    for (const auto& [path, interfaces] : objects) {
      const auto device = interfaces.find(kDevice);
      if (device == interfaces.end()) continue;
      const Properties& p = device->second;
      if (!property<bool>(p, "Paired").value_or(false)) continue;
      auto address = property<std::string>(p, "Address");
      if (!address) continue;
      auto name = property<std::string>(p, "Name");
      if (!name) name = property<std::string>(p, "Alias");
      out.push_back(
          {path,
           {std::move(*address), name.value_or(""),
            property<std::vector<std::string>>(p, "UUIDs").value_or(std::vector<std::string>{})}});
    }
    return out;
  }

  bool register_profile(std::string_view uuid, std::stop_token stop) {
    const std::string key = lower(uuid);
    {
      std::lock_guard lock(mu_);
      if (registered_ == key) return true;
    }
    const ClockHold hold(clock_);
    auto result = std::make_shared<Handoff<Outcome>>();
    try {
      const Properties options{{"Role", sdbus::Variant(std::string("client"))},
                               {"Name", sdbus::Variant(std::string("quillkit serial port"))}};
      keep(manager_->callMethodAsync("RegisterProfile")
               .onInterface(kProfileManager)
               .withTimeout(kRegisterTimeout)
               .withArguments(sdbus::ObjectPath(profile_path_), key, options)
               .uponReplyInvoke([result](const sdbus::Error* error) {
                 const bool fine = !error || error->getName() == "org.bluez.Error.AlreadyExists";
                 result->put(fine ? ""
                                  : bus_error_text("BlueZ refused the serial port profile", *error));
               }));
    } catch (const sdbus::Error& e) {
      log_line(LogChannel::system, bus_error_text("BlueZ", e));
      return false;
    }
    const auto outcome = result->take(stop, kRegisterTimeout + 500ms);
    if (!outcome || !outcome->empty()) {
      if (!stop.stop_requested()) {
        log_line(LogChannel::system, outcome ? *outcome : "BlueZ: no answer to RegisterProfile");
      }
      return false;
    }
    std::lock_guard lock(mu_);
    registered_ = key;
    return true;
  }

  // ConnectProfile is asynchronous: bluetoothd calls NewConnection on our
  // profile before it answers, and the event loop must be free to serve it.
  int connect_profile(const std::string& path, std::string_view uuid, std::stop_token stop) {
    const ClockHold hold(clock_);
    auto session = std::make_shared<Handoff<int>>();
    sdbus::IProxy* device = nullptr;
    {
      std::lock_guard lock(mu_);
      pending_device_ = path;
      pending_ = session;
      auto& proxy = devices_[path];
      if (!proxy) proxy = sdbus::createProxy(*connection_, kBluez, path);
      device = proxy.get();
    }
    auto refused = std::make_shared<std::string>();
    try {
      keep(device->callMethodAsync("ConnectProfile")
               .onInterface(kDevice)
               .withTimeout(kSessionTimeout)
               .withArguments(lower(uuid))
               .uponReplyInvoke([session, refused](const sdbus::Error* error) {
                 if (!error) return;  // the socket came with NewConnection
                 *refused = bus_error_text("BlueZ could not connect", *error);
                 session->put(-1);
               }));
    } catch (const sdbus::Error& e) {
      *refused = bus_error_text("BlueZ", e);
      session->put(-1);
    }
    auto fd = session->take(stop, kSessionTimeout + 1s);
    {
      // After this no NewConnection hands its socket to this attempt.
      std::lock_guard lock(mu_);
      pending_.reset();
      pending_device_.clear();
    }
    if (!fd) fd = session->take(std::stop_token{}, 0ms);  // one that came just now
    if (fd && *fd >= 0) return *fd;
    if (!stop.stop_requested()) {
      std::string reason = "no session: ConnectProfile did not finish";
      if (fd) reason = *refused;
      log_line(LogChannel::system, reason);
    }
    return -1;
  }

  // Keeps the handle of an asynchronous call until the event loop has ended:
  // sdbus-c++ frees a call's shared state on its loop thread, and releasing our
  // handle from another thread at the same moment is a race that the sanitizer
  // sees. The oldest handles, of calls long finished, go beyond kKeptCalls.
  static constexpr std::size_t kKeptCalls = 64;
  void keep(sdbus::PendingAsyncCall call) {
    std::lock_guard lock(mu_);
    if (calls_.size() >= kKeptCalls) calls_.erase(calls_.begin(), calls_.begin() + kKeptCalls / 2);
    calls_.push_back(std::move(call));
  }

  // Event-loop thread. A socket that no open is waiting for is closed (by fd).
  void new_connection(const sdbus::ObjectPath& device, sdbus::UnixFd fd) {
    std::lock_guard lock(mu_);
    if (pending_ && device == pending_device_ && pending_->put(fd.get())) fd.release();
  }

  Clock& clock_;
  std::string profile_path_;
  std::string reason_;  // why there is no connection
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> profile_;
  std::unique_ptr<sdbus::IProxy> root_;
  std::unique_ptr<sdbus::IProxy> manager_;

  std::mutex mu_;
  // Guarded by mu_:
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> devices_;
  std::vector<sdbus::PendingAsyncCall> calls_;
  std::string registered_;
  std::string pending_device_;
  std::shared_ptr<Handoff<int>> pending_;
};

}  // namespace

std::unique_ptr<AccessoryHost> make_bluez_host(Clock& clock) {
  return std::make_unique<BluezHost>(clock);
}

}  // namespace quillkit::platform
