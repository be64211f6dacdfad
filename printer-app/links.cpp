#include "printer-app/links.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <memory>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "quillkit/ble.hpp"
#include "quillkit/bluetooth.hpp"

namespace quill_printer {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kBluetoothScheme = "quill-bt";
constexpr std::string_view kBleScheme = "quill-ble";
// A radio session often opens after the library's own open wait; it is given this long.
constexpr auto kOpenBound = std::chrono::seconds(10);
// A BLE open searches in rounds of this long, at most kBleSearchRounds of them, and stops as
// soon as the printer was seen; discovery lists what one search of all rounds saw.
constexpr double kBleRoundSeconds = 1.0;
constexpr int kBleSearchRounds = 4;
// The BLE probe's answer for a powered adapter.
constexpr quillkit::Result kAdapterOn = 2;
// After bytes were written the links are closed only after this pause, so that what is still
// in flight reaches the printer.
constexpr double kDrainSeconds = 2.0;
// The status request and how long a byte stream's answer is waited for.
constexpr std::uint8_t kStatusRequest[] = {0x1B, 0x21, 0x3F};
constexpr auto kStatusWait = std::chrono::milliseconds(1000);

bool same_text(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// "AABBCCDDEEFF" as "AA:BB:CC:DD:EE:FF" (upper case); nothing unless it is 12 hex digits.
std::optional<std::string> colon_address(std::string_view hex) {
  if (hex.size() != 12 || !std::all_of(hex.begin(), hex.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (i > 0) out += ':';
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i + 1])));
  }
  return out;
}

// Undoes %XX escapes; nothing for a broken escape or an escaped NUL.
std::optional<std::string> percent_decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const std::string hex(text.substr(i + 1, 2));
    if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
      return std::nullopt;
    }
    const char c = static_cast<char>(std::stoi(hex, nullptr, 16));
    if (c == '\0') return std::nullopt;
    out += c;
    i += 2;
  }
  return out;
}

// One open link to a printer, owned by the PAPPL device it was opened for.
class LinkDevice {
 public:
  virtual ~LinkDevice() = default;
  // Writes every byte; false when the link failed.
  virtual bool write(std::span<const std::uint8_t> bytes) = 0;
  virtual std::optional<std::uint8_t> status_byte() = 0;
};

// Opens a session to a paired printer or a serial device and waits for it up to kOpenBound;
// `error` says why not.
void open(quillkit::Bluetooth& printer, const std::string& device, std::string& error) {
  const auto deadline = Clock::now() + kOpenBound;
  printer.openport_mfi(device);
  while (printer.openport_status() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (printer.openport_status() != 1) error = "cannot open the Bluetooth printer " + device;
}

// Searches for the BLE printer by name or address and connects to it; `error` says why not.
void open(quillkit::BLE& printer, const std::string& device, std::string& error) {
  if (printer.stream_Status() != kAdapterOn) {
    error = "no powered Bluetooth adapter for the BLE printer " + device;
    return;
  }
  for (int round = 0; round < kBleSearchRounds; ++round) {
    const auto found = printer.searchBLEDevice(kBleRoundSeconds);
    const auto match = std::find_if(found.begin(), found.end(), [&](const auto& p) {
      return p.name == device || same_text(p.address, device);
    });
    if (match == found.end()) continue;
    if (printer.openport_ble(*match) != 1) {
      error = "the BLE printer " + device + " did not become ready";
    }
    return;
  }
  error = "no BLE printer " + device + " was seen";
}

// A link through one of the library's printer classes.
template <typename P>
class PrinterLink final : public LinkDevice {
 public:
  PrinterLink(const std::string& device, std::string& error) { open(printer_, device, error); }
  ~PrinterLink() override { printer_.closeport(wrote_ ? kDrainSeconds : 0.0); }

  bool write(std::span<const std::uint8_t> bytes) override {
    wrote_ = true;
    return printer_.sendBinaryData(bytes) == 1;
  }
  std::optional<std::uint8_t> status_byte() override {
    // The Bluetooth link also gives 255 when it is down; no printer reports every condition.
    const quillkit::Result byte = printer_.printer_status_byte();
    if (byte < 0 || byte >= 255) return std::nullopt;
    return static_cast<std::uint8_t>(byte);
  }

 private:
  P printer_;
  bool wrote_ = false;
};

LinkDevice* link_of(pappl_device_t* device) {
  return static_cast<LinkDevice*>(papplDeviceGetData(device));
}

// PAPPL calls these from C: nothing may throw through them.

bool open_link(pappl_device_t* device, const char* device_uri, const char*) {
  try {
    const auto target = parse_link_uri(device_uri);
    if (!target) {
      papplDeviceError(device, "Bad device URI '%s'.", device_uri);
      return false;
    }
    std::string error;
    std::unique_ptr<LinkDevice> link;
    if (target->kind == LinkTarget::Kind::kBluetooth) {
      link = std::make_unique<PrinterLink<quillkit::Bluetooth>>(target->target, error);
    } else {
      link = std::make_unique<PrinterLink<quillkit::BLE>>(target->target, error);
    }
    if (!error.empty()) {
      papplDeviceError(device, "%s", error.c_str());
      return false;
    }
    papplDeviceSetData(device, link.release());
    return true;
  } catch (const std::exception& e) {
    papplDeviceError(device, "Cannot open '%s': %s", device_uri, e.what());
    return false;
  }
}

void close_link(pappl_device_t* device) {
  delete link_of(device);
  papplDeviceSetData(device, nullptr);
}

// Answers arrive only through the status request (request_status_byte).
ssize_t read_link(pappl_device_t*, void*, std::size_t) { return -1; }

ssize_t write_link(pappl_device_t* device, const void* buffer, std::size_t bytes) {
  LinkDevice* link = link_of(device);
  if (link == nullptr) return -1;
  try {
    const auto* data = static_cast<const std::uint8_t*>(buffer);
    return link->write({data, bytes}) ? static_cast<ssize_t>(bytes) : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

bool list_bluetooth(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t, void*) {
  try {
    quillkit::Bluetooth bluetooth;
    for (const quillkit::BluetoothDevice& d : bluetooth.accessories()) {
      const bool serial = std::any_of(d.uuids.begin(), d.uuids.end(), [](const auto& uuid) {
        return same_text(uuid, quillkit::Bluetooth::kProtocolString);
      });
      std::string hex = d.address;
      std::erase(hex, ':');
      if (!serial || !colon_address(hex)) continue;
      const std::string info = d.name + " (Bluetooth)";
      const std::string uri = std::string(kBluetoothScheme) + "://" + hex;
      if (cb(info.c_str(), uri.c_str(), "", data)) return true;
    }
  } catch (const std::exception&) {
  }
  return false;
}

bool list_ble(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t, void*) {
  try {
    quillkit::BLE ble;
    if (ble.stream_Status() != kAdapterOn) return false;
    std::set<std::string> seen;
    for (const quillkit::BLEPeripheral& p :
         ble.searchBLEDevice(kBleRoundSeconds * kBleSearchRounds)) {
      std::string hex = p.address;
      std::erase(hex, ':');
      if (!colon_address(hex) || !seen.insert(hex).second) continue;
      const std::string info = p.name + " (BLE)";
      const std::string uri = std::string(kBleScheme) + "://" + hex;
      if (cb(info.c_str(), uri.c_str(), "", data)) return true;
    }
  } catch (const std::exception&) {
  }
  return false;
}

}  // namespace

bool dnssd_available() {
  try {
    const auto bus = sdbus::createSystemBusConnection();
    const auto proxy = sdbus::createProxy(*bus, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    bool owned = false;
    proxy->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withTimeout(std::chrono::seconds(2))
        .withArguments(std::string("org.freedesktop.Avahi"))
        .storeResultsTo(owned);
    return owned;
  } catch (const sdbus::Error&) {
    return false;
  }
}

std::optional<LinkTarget> parse_link_uri(std::string_view uri) {
  LinkTarget::Kind kind;
  std::string_view rest;
  for (const auto& [scheme, k] : {std::pair{kBluetoothScheme, LinkTarget::Kind::kBluetooth},
                                  std::pair{kBleScheme, LinkTarget::Kind::kBle}}) {
    if (uri.size() > scheme.size() + 3 && uri.substr(0, scheme.size()) == scheme &&
        uri.substr(scheme.size(), 3) == "://") {
      kind = k;
      rest = uri.substr(scheme.size() + 3);
      const auto decoded = percent_decoded(rest);
      if (!decoded || decoded->empty()) return std::nullopt;
      if (const auto address = colon_address(*decoded)) return LinkTarget{kind, *address};
      // A serial device path (Bluetooth only), or a BLE name without slashes.
      if (kind == LinkTarget::Kind::kBluetooth) {
        if (decoded->front() != '/' || decoded->size() < 2) return std::nullopt;
      } else if (decoded->find('/') != std::string::npos) {
        return std::nullopt;
      }
      return LinkTarget{kind, *decoded};
    }
  }
  return std::nullopt;
}

void register_link_schemes() {
  // PAPPL 1.3 adds its own schemes (socket, usb, file, dnssd, snmp) when its list is first
  // used, unless a scheme was added before: asking about one makes it set them up first.
  papplDeviceIsSupported("socket://localhost");
  // The names are literals: PAPPL may keep the pointers.
  for (const std::string_view scheme : {kBluetoothScheme, kBleScheme}) {
    papplDeviceAddScheme(scheme.data(), PAPPL_DEVTYPE_CUSTOM_LOCAL,
                         scheme == kBluetoothScheme ? list_bluetooth : list_ble, open_link,
                         close_link, read_link, write_link, nullptr, nullptr);
  }
}

std::optional<std::uint8_t> request_status_byte(pappl_device_t* device,
                                                std::string_view device_uri) {
  if (parse_link_uri(device_uri)) {
    LinkDevice* link = link_of(device);
    return link == nullptr ? std::nullopt : link->status_byte();
  }
  // PAPPL's own byte streams (socket, usb): the request, then the first byte of the answer.
  if (papplDeviceWrite(device, kStatusRequest, sizeof kStatusRequest) < 0) return std::nullopt;
  papplDeviceFlush(device);
  const auto deadline = Clock::now() + kStatusWait;
  do {
    std::uint8_t byte = 0;
    const ssize_t n = papplDeviceRead(device, &byte, 1);
    if (n == 1) return byte;
    if (n == 0) return std::nullopt;  // the printer closed the connection
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  return std::nullopt;
}

}  // namespace quill_printer
