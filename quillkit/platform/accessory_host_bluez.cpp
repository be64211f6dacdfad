// The accessory host over BlueZ: paired org.bluez.Device1 objects, and serial
// sessions through a registered serial port profile (ProfileManager1,
// Device1.ConnectProfile, Profile1.NewConnection). No root is needed:
// bluetoothd finds the RFCOMM channel and hands over the connected socket.
//
// BlueZ lets one client register a UUID, so the process has one client: one
// connection with its event-loop thread, the profile object and its
// registration, shared by every host and gone with the last one. Each
// NewConnection goes to the open that asked for that device.
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

#include "quillkit/platform/accessory_host.hpp"
#include "quillkit/platform/bluez_calls.hpp"
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

// A session's socket, or -1 with the reason.
using Session = std::pair<int, std::string>;

// Each call below holds the caller's clock from its sending until the caller
// has the reply: bluetoothd answers from another process, which a test clock
// cannot see. The real clock ignores holds.
class SerialClient {
 public:
  // The process's client: made for the first host, gone with the last.
  static std::shared_ptr<SerialClient> shared() {
    static std::mutex mu;
    static std::weak_ptr<SerialClient> current;
    std::lock_guard lock(mu);
    auto client = current.lock();
    if (!client) current = client = std::make_shared<SerialClient>();
    return client;
  }

  SerialClient() : profile_path_("/org/quillkit/serial_port_" + std::to_string(getpid())) {
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
      // BlueZ ends: its registrations end with it.
      profile_->registerMethod("Release").onInterface(kProfile).implementedAs([this] {
        std::lock_guard lock(mu_);
        registered_.clear();
      });
      profile_->finishRegistration();
      root_ = sdbus::createProxy(*connection_, kBluez, "/");
      manager_ = sdbus::createProxy(*connection_, kBluez, "/org/bluez");
      owner_watch_ = connection_->addMatch(
          "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
          "member='NameOwnerChanged',arg0='org.bluez'",
          [this](sdbus::Message& message) { on_owner_changed(message); });
      connection_->enterEventLoopAsync();
    } catch (const sdbus::Error& e) {
      reason_ = bus_error_text("no system bus", e);
      owner_watch_.reset();
      root_.reset();
      manager_.reset();
      profile_.reset();
      connection_.reset();
    }
  }

  // Closing the connection ends the registration at BlueZ.
  ~SerialClient() {
    if (!connection_) return;
    try {
      connection_->leaveEventLoop();
    } catch (const sdbus::Error&) {
    }
    // The loop has ended: no callback runs from here on.
    owner_watch_.reset();
    calls_.clear();
    devices_.clear();
    root_.reset();
    manager_.reset();
    profile_.reset();
  }

  SerialClient(const SerialClient&) = delete;
  SerialClient& operator=(const SerialClient&) = delete;

  std::vector<Paired> list(std::stop_token stop, Clock& clock) {
    if (!connection_) {
      log_line(LogChannel::system, reason_);
      return {};
    }
    const ClockHold hold(clock);
    auto result = std::make_shared<Handoff<std::pair<std::string, std::vector<Paired>>>>();
    try {
      calls_.keep(root_->callMethodAsync("GetManagedObjects")
                      .onInterface(kObjectManager)
                      .withTimeout(kListTimeout)
                      .uponReplyInvoke([result](const sdbus::Error* error,
                                                const ManagedObjects& objects) {
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

  // The device's serial port for `uuid`: the session's socket (the caller
  // owns it), or -1 with the reason logged.
  int open_session(const std::string& path, const std::string& uuid, std::stop_token stop,
                   Clock& clock) {
    if (!connection_) {
      log_line(LogChannel::system, reason_);
      return -1;
    }
    // BlueZ refuses a session while the last one to the device is closing.
    std::shared_ptr<Handoff<bool>> closing;
    {
      std::lock_guard lock(mu_);
      if (const auto it = closing_.find(path); it != closing_.end()) closing = it->second;
    }
    if (closing) closing->take(stop, kRegisterTimeout);
    if (!register_profile(uuid, stop, clock)) return -1;
    const auto session = connect_profile(path, uuid, stop, clock);
    if (session.first < 0 && !stop.stop_requested()) log_line(LogChannel::system, session.second);
    return session.first;
  }

  // Tells BlueZ that the session to the device is over, so that it lets go
  // of its side (it keeps one until then) and the next session can open.
  // Not waited for.
  void close_session(const std::string& path, const std::string& uuid) {
    if (!connection_) return;
    auto done = std::make_shared<Handoff<bool>>();
    sdbus::IProxy* device = nullptr;
    {
      std::lock_guard lock(mu_);
      closing_[path] = done;
      device = device_proxy_locked(path);
    }
    const auto finished = [this, path, done] {
      done->put(true);
      std::lock_guard lock(mu_);
      if (const auto it = closing_.find(path); it != closing_.end() && it->second == done) {
        closing_.erase(it);
      }
    };
    try {
      calls_.keep(device->callMethodAsync("DisconnectProfile")
                      .onInterface(kDevice)
                      .withTimeout(kRegisterTimeout)
                      .withArguments(lower(uuid))
                      .uponReplyInvoke([finished](const sdbus::Error*) { finished(); }));
    } catch (const sdbus::Error&) {
      finished();
    }
  }

 private:
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

  sdbus::IProxy* device_proxy_locked(const std::string& path) {
    auto& proxy = devices_[path];
    if (!proxy) proxy = sdbus::createProxy(*connection_, kBluez, path);
    return proxy.get();
  }

  // Sends RegisterProfile; `done` gets the empty text or the reason.
  void send_registration(const std::string& uuid, std::function<void(std::string)> done) {
    const Properties options{{"Role", sdbus::Variant(std::string("client"))},
                             {"Name", sdbus::Variant(std::string("quillkit serial port"))}};
    calls_.keep(manager_->callMethodAsync("RegisterProfile")
                    .onInterface(kProfileManager)
                    .withTimeout(kRegisterTimeout)
                    .withArguments(sdbus::ObjectPath(profile_path_), uuid, options)
                    .uponReplyInvoke([this, uuid, done](const sdbus::Error* error) {
                      // Ours already (a registration that crossed this one).
                      if (!error || error->getName() == "org.bluez.Error.AlreadyExists") {
                        std::lock_guard lock(mu_);
                        registered_ = uuid;
                        return done({});
                      }
                      std::string reason =
                          bus_error_text("BlueZ refused the serial port profile", *error);
                      if (error->getName() == "org.bluez.Error.NotPermitted") {
                        reason +=
                            " (another program holds it; that program, or this one, can open "
                            "the printer by a device path instead)";
                      }
                      done(std::move(reason));
                    }));
  }

  bool register_profile(std::string_view uuid_text, std::stop_token stop, Clock& clock) {
    const std::string uuid = lower(uuid_text);
    {
      std::lock_guard lock(mu_);
      wanted_ = uuid;
      if (registered_ == uuid) return true;
    }
    const ClockHold hold(clock);
    auto result = std::make_shared<Handoff<std::string>>();
    try {
      send_registration(uuid, [result](std::string reason) { result->put(std::move(reason)); });
    } catch (const sdbus::Error& e) {
      log_line(LogChannel::system, bus_error_text("BlueZ", e));
      return false;
    }
    const auto outcome = result->take(stop, kRegisterTimeout + 500ms);
    if (outcome && outcome->empty()) return true;
    if (!stop.stop_requested()) {
      log_line(LogChannel::system, outcome ? *outcome : "BlueZ: no answer to RegisterProfile");
    }
    return false;
  }

  // ConnectProfile is asynchronous: bluetoothd calls NewConnection on our
  // profile before it answers, and the event loop must be free to serve it.
  Session connect_profile(const std::string& path, const std::string& uuid, std::stop_token stop,
                          Clock& clock) {
    const ClockHold hold(clock);
    auto session = std::make_shared<Handoff<Session>>();
    sdbus::IProxy* device = nullptr;
    {
      std::lock_guard lock(mu_);
      if (!pending_.try_emplace(path, session).second) {
        return {-1, "another open of " + path + " is in progress"};
      }
      device = device_proxy_locked(path);
    }
    try {
      calls_.keep(
          device->callMethodAsync("ConnectProfile")
              .onInterface(kDevice)
              .withTimeout(kSessionTimeout)
              .withArguments(lower(uuid))
              .uponReplyInvoke([session, path](const sdbus::Error* error) {
                if (error) {
                  session->put({-1, bus_error_text("BlueZ could not connect", *error)});
                } else {
                  // NewConnection comes before the reply: none came, so
                  // BlueZ counts the session as up already (another program's,
                  // or one it was not told is over).
                  session->put({-1, "BlueZ reports the serial port of " + path +
                                        " connected already, and handed over no session"});
                }
              }));
    } catch (const sdbus::Error& e) {
      session->put({-1, bus_error_text("BlueZ", e)});
    }
    auto result = session->take(stop, kSessionTimeout + 1s);
    {
      // After this no NewConnection hands its socket to this attempt.
      std::lock_guard lock(mu_);
      pending_.erase(path);
    }
    if (!result) result = session->take(std::stop_token{}, 0ms);  // one that came just now
    return result.value_or(Session{-1, "no session: ConnectProfile did not finish"});
  }

  // Event-loop thread. A socket that no open is waiting for is closed (by fd).
  void new_connection(const sdbus::ObjectPath& device, sdbus::UnixFd fd) {
    std::lock_guard lock(mu_);
    const auto it = pending_.find(device);
    if (it != pending_.end() && it->second->put({fd.get(), {}})) fd.release();
  }

  // Event-loop thread: BlueZ left or came back. Its registrations end with
  // it; ours is made again as soon as it is back.
  void on_owner_changed(sdbus::Message& message) {
    std::string name;
    std::string old_owner;
    std::string new_owner;
    std::string uuid;
    try {
      message >> name >> old_owner >> new_owner;
    } catch (const sdbus::Error&) {
      return;
    }
    {
      std::lock_guard lock(mu_);
      registered_.clear();
      uuid = wanted_;
    }
    if (new_owner.empty() || uuid.empty()) return;
    try {
      send_registration(uuid, [](const std::string& reason) {
        if (!reason.empty()) log_line(LogChannel::system, reason);
      });
    } catch (const sdbus::Error&) {
    }
  }

  std::string profile_path_;
  std::string reason_;  // why there is no connection
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> profile_;
  std::unique_ptr<sdbus::IProxy> root_;
  std::unique_ptr<sdbus::IProxy> manager_;
  sdbus::Slot owner_watch_;
  PendingCalls calls_;

  std::mutex mu_;
  // Guarded by mu_:
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> devices_;
  std::string wanted_;      // the UUID to hold, once asked for
  std::string registered_;  // the UUID BlueZ holds for us; empty: none
  std::map<std::string, std::shared_ptr<Handoff<Session>>> pending_;  // by device path
  std::map<std::string, std::shared_ptr<Handoff<bool>>> closing_;     // by device path
};

// One printer object's view of the shared client: the sessions it opened.
class BluezHost final : public AccessoryHost {
 public:
  explicit BluezHost(Clock& clock) : clock_(clock), client_(SerialClient::shared()) {}
  ~BluezHost() override { close_sessions(); }

  std::vector<BluetoothDevice> accessories(std::stop_token stop) override {
    std::vector<BluetoothDevice> out;
    for (auto& paired : client_->list(stop, clock_)) out.push_back(std::move(paired.device));
    return out;
  }

  int open_session(std::string_view address, std::string_view uuid, std::stop_token stop) override {
    std::string path;
    for (const auto& paired : client_->list(stop, clock_)) {
      if (lower(paired.device.address) == lower(address)) {
        path = paired.path;
        break;
      }
    }
    if (path.empty()) {
      if (!stop.stop_requested()) {
        log_line(LogChannel::system, "no paired device " + std::string(address));
      }
      return -1;
    }
    const int fd = client_->open_session(path, std::string(uuid), stop, clock_);
    if (fd >= 0) {
      std::lock_guard lock(mu_);
      sessions_.emplace_back(path, uuid);
    }
    return fd;
  }

  void close_sessions() override {
    std::vector<std::pair<std::string, std::string>> sessions;
    {
      std::lock_guard lock(mu_);
      sessions.swap(sessions_);
    }
    for (const auto& [path, uuid] : sessions) client_->close_session(path, uuid);
  }

 private:
  Clock& clock_;
  const std::shared_ptr<SerialClient> client_;
  std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> sessions_;  // guarded by mu_
};

}  // namespace

std::unique_ptr<AccessoryHost> make_bluez_host(Clock& clock) {
  return std::make_unique<BluezHost>(clock);
}

}  // namespace quillkit::platform
