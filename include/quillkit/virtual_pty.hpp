// The virtual printer on a pseudo-terminal: a stand-in for a serial printer
// (/dev/rfcomm0, a USB CDC device) that quillkit::Bluetooth opens by path.
#pragma once

#include <memory>
#include <string>

#include "quillkit/virtual_printer.hpp"

namespace quillkit {

// Serves one command stream of a VirtualPrinter on the master side of a
// pseudo-terminal in raw mode (no echo, no line-end translation); clients open
// the slave path. The slave stays open on the server's side too, so a client
// may close and open it again. Answers are written at once.
// Thread-safety: all members may be called from any thread. The printer must
// outlive the server. Owns one serving thread; stop() and the destructor end it.
class VirtualPrinterPty {
 public:
  explicit VirtualPrinterPty(VirtualPrinter& printer);
  ~VirtualPrinterPty();
  VirtualPrinterPty(const VirtualPrinterPty&) = delete;
  VirtualPrinterPty& operator=(const VirtualPrinterPty&) = delete;

  // Opens the pseudo-terminal and starts serving. False (see error()) when no
  // pseudo-terminal can be had or it already runs.
  bool start();
  // Ends the serving thread and closes the pseudo-terminal. Safe to call twice.
  void stop();
  // The slave path clients open ("/dev/pts/N"), empty before start().
  std::string path() const;
  std::string error() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillkit
