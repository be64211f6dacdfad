// The classic Bluetooth printer: a serial session to a paired printer, as a
// pair of byte streams.
#include <strings.h>

#include <algorithm>
#include <stop_token>

#include "quillkit/bluetooth.hpp"
#include "quillkit/commands/printer_core.hpp"
#include "quillkit/links/profiles.hpp"
#include "quillkit/platform/accessory_host.hpp"
#include "quillkit/platform/env.hpp"
#include "quillkit/platform/log.hpp"

namespace quillkit {
namespace {

constexpr double kOpenWait = 0.5;
constexpr double kCloseWait = 2.0;

bool offers_serial_port(const BluetoothDevice& device) {
  return std::any_of(device.uuids.begin(), device.uuids.end(), [](const std::string& uuid) {
    return same_uuid(uuid, Bluetooth::kProtocolString);
  });
}

}  // namespace

// The link and the platform's accessory host. Thread-safety: the link's; the
// host is thread-safe.
struct Bluetooth::Parts {
  explicit Parts(const platform::Env& env)
      : env(env), host(env.make_accessory_host()), link(detail::kBluetoothRules, env) {}

  const platform::Env& env;
  std::unique_ptr<platform::AccessoryHost> host;
  detail::StreamLink link;

  // The link's opener thread: a device path is opened directly; otherwise a fresh
  // list of paired devices gives the device, and BlueZ the session.
  void open_session(const std::string& device, std::stop_token stop) {
    if (!device.empty() && device.front() == '/') {
      auto stream = env.open_serial_stream(device, link.handler());
      if (stream) {
        link.attach(std::move(stream));
      } else {
        link.mark_open_failed();
      }
      return;
    }
    const auto devices = host->accessories(stop);
    if (devices.empty()) {
      if (!stop.stop_requested()) {
        platform::log_line(LogChannel::system, "no paired Bluetooth device");
        link.mark_open_failed();
      }
      return;
    }
    const auto chosen = std::find_if(devices.begin(), devices.end(), [&](const auto& d) {
      return device.empty() ? offers_serial_port(d) : strcasecmp(d.address.c_str(), device.c_str()) == 0;
    });
    if (chosen == devices.end()) {
      // As when no accessory declares the protocol: the state stays as it was.
      platform::log_line(LogChannel::system, device.empty()
                                                 ? "no paired device offers the serial port service"
                                                 : "no paired device " + device);
      return;
    }
    const int fd = host->open_session(chosen->address, kProtocolString, stop);
    if (fd >= 0) {
      link.attach(env.open_fd_stream(fd, chosen->address, link.handler()));
    } else if (!stop.stop_requested()) {
      link.mark_open_failed();
    }
  }
};

Bluetooth::Bluetooth() : Bluetooth(platform::default_env()) {}

Bluetooth::Bluetooth(const platform::Env& env) : Bluetooth(std::make_unique<Parts>(env)) {}

Bluetooth::Bluetooth(std::unique_ptr<Parts> parts)
    : Printer(std::make_unique<detail::PrinterCore>(detail::kBluetoothProfile, parts->link,
                                                    parts->env)),
      parts_(std::move(parts)),
      accessories_(parts_->host->accessories(std::stop_token{})) {}

// The link closes first: it stops the opener, which may be waiting on the host.
Bluetooth::~Bluetooth() { parts_->link.close(); }

const std::vector<BluetoothDevice>& Bluetooth::accessories() const { return accessories_; }

Result Bluetooth::openport_mfi() { return open(""); }

Result Bluetooth::openport_mfi(std::string_view device) { return open(std::string(device)); }

Result Bluetooth::open(std::string device) {
  auto& parts = *parts_;
  parts.link.close();
  // The clock stands still until the opener is done (a test clock cannot see
  // bluetoothd, nor the opener before it starts); the real clock ignores it.
  parts.link.open_with([&parts, device = std::move(device),
                        hold = std::make_shared<platform::ClockHold>(parts.env.clock)](
                           std::stop_token stop) { parts.open_session(device, stop); });
  core().clock().sleep_seconds(kOpenWait);
  return parts.link.openport_status() == 1 ? 1 : -1;
}

Result Bluetooth::openport_status() const { return parts_->link.openport_status(); }

Result Bluetooth::closeport() { return closeport(kCloseWait); }

Result Bluetooth::closeport(double delay) {
  core().clock().sleep_seconds(delay);
  parts_->link.close();
  return 1;
}

}  // namespace quillkit
