// The classic Bluetooth printer: a serial link to a paired printer.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/export.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {

// A paired device as the platform lists it.
struct BluetoothDevice {
  std::string address;             // "AA:BB:CC:DD:EE:FF"
  std::string name;                // its name, or its alias when it has none
  std::vector<std::string> uuids;  // the services it offers
};

// A printer reached over a classic Bluetooth serial link: through BlueZ's
// serial port profile on the system bus (DBUS_SYSTEM_BUS_ADDRESS when set), or
// through a serial device path (/dev/rfcomm0 bound by the user, a USB CDC
// /dev/ttyACM0, a pseudo-terminal).
//
// Thread-safety: as Printer. While a session is open the object owns one
// reader thread; an open in progress runs on a thread of its own; each object
// has its own D-Bus connection with its event-loop thread. closeport, a second
// openport_mfi and the destructor end the session and those threads.
class QUILLKIT_EXPORT Bluetooth final : public Printer {
 public:
  // The serial port service: the protocol a printer must offer to be chosen.
  static constexpr std::string_view kProtocolString = "00001101-0000-1000-8000-00805f9b34fb";

  // A closed object; opens nothing, but reads the paired devices once into
  // accessories() (a bounded wait: about 2 s at most when the bus is slow).
  Bluetooth();
  // The same on the given services (the library's own: its tests give their
  // clock and BlueZ); `env` must outlive the object.
  explicit Bluetooth(const platform::Env& env);
  // Closes the session, if any, and ends the object's threads.
  ~Bluetooth() override;

  // The paired devices read when the object was made; never updated.
  const std::vector<BluetoothDevice>& accessories() const;

  // Reads a fresh list of paired devices and opens a session to the first
  // whose services hold kProtocolString (compared as UUIDs, case-insensitive),
  // on a thread of its own; waits 0.5 s and returns 1 when the session is then
  // open, -1 otherwise (it may still open a moment later). An earlier session
  // is closed first. openport_status becomes -1 when no device is paired or
  // the session is refused; the reason goes to the log sink.
  Result openport_mfi();
  // The same with a chosen device: a Bluetooth address "AA:BB:CC:DD:EE:FF"
  // (a paired device, through BlueZ), or a path beginning with "/" naming a
  // serial device, opened non-blocking in raw mode (no echo, no line-end
  // translation, 8 bits).
  Result openport_mfi(std::string_view device);
  // 1 open, 0 closed, -1 the last open failed.
  Result openport_status() const;

  // Waits 2.0 s (or `delay`), closes the session and returns 1.
  Result closeport();
  Result closeport(double delay);

  // The data sender: no wait (or `delay` first), the link gate, one write.
  using Printer::sendCommandWithData;

  using Printer::sendcommand_getstring;

 private:
  struct Parts;
  explicit Bluetooth(std::unique_ptr<Parts> parts);
  Result open(std::string device);

  std::unique_ptr<Parts> parts_;
  std::vector<BluetoothDevice> accessories_;
};

}  // namespace quillkit
