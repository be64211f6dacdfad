// Which printer a subcommand talks to (the link options, else QUILL_PRINTER), opening it, and
// whether its link held; the splitting of addresses that the web view's option shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/common.hpp"
#include "quillkit/quillkit.hpp"

namespace quill {

// The link options of the subcommands that talk to a printer. At most one is given; with
// none, the printer comes from the QUILL_PRINTER environment variable.
struct LinkOptions {
  std::string wifi;  // HOST[:PORT]
  bool bt = false;
  std::string bt_device;         // ADDRESS or /dev/PATH; empty: the first paired serial printer
  std::string ble;               // NAME or ADDRESS
  std::size_t chunk = 0;         // BLE bytes per write; 0 keeps the default
  std::string printer_variable;  // QUILL_PRINTER's value; empty when unset
};

// Adds --wifi, --bt, --ble and --chunk to `command`, filling `link`.
void add_link_options(CLI::App& command, LinkOptions& link, const CommandLine& line);

enum class LinkKind { wifi, bluetooth, ble };

struct LinkTarget {
  LinkKind kind = LinkKind::wifi;
  std::string host;           // wifi
  std::uint32_t port = 9100;  // wifi
  std::string device;         // bluetooth: address or path (empty: the first); ble: name or address
  // How the printer was named, for messages ("192.168.1.20:9100").
  std::string description() const;
};

// An address as its host and port parts, either of which may be absent.
struct AddressParts {
  std::optional<std::string_view> host, port;
};
// Which part a text names when it has no colon: the host ("HOST[:PORT]") or the port
// ("[ADDR:]PORT").
enum class Alone { host, port };

// Splits "HOST:PORT" or "[IPV6]:PORT", or one part alone as `alone` says. An unbracketed text
// with several colons is an IPv6 host alone when the host may stand alone, else its last colon
// splits it. Nothing, with `error` set to the problem, when a bracket is not closed or not
// followed by ':' or the end, or the host is empty.
std::optional<AddressParts> split_address(std::string_view text, Alone alone, std::string& error);
// A port number 0 to 65535 written in decimal digits alone.
std::optional<std::uint16_t> parse_port(std::string_view text);

// The printer named by the options, else by their printer_variable (QUILL_PRINTER), which takes
// "HOST[:PORT]", "wifi:HOST[:PORT]", "bt", "bt:DEVICE" or "ble:NAME". Nothing, with `error` set
// to a message that says how to name a printer, when neither names one or the name is malformed.
std::optional<LinkTarget> resolve_link(const LinkOptions& options, std::string& error);

// The printer named by the options, opened; or the exit code of the failure, already reported.
struct OpenedPrinter {
  std::unique_ptr<quillkit::Printer> printer;
  std::string name;
  int exit_code = kExitOk;
  LinkKind kind = LinkKind::wifi;
};
OpenedPrinter open_printer(const LinkOptions& options);

// Empty when the BLE adapter can scan, else why not.
std::string adapter_problem(quillkit::BLE& printer);

// Whether the printer's link is open.
bool link_open(quillkit::Printer& printer);
// The work is done only if the link is still open after it: a printer that closed or reset the
// connection meanwhile lost bytes that the operations reported as handed over. kExitOk, or
// kExitFailure with the reason reported (`what` says what quill was doing).
int link_still_up(const OpenedPrinter& opened, std::string_view what);

}  // namespace quill
