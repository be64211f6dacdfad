// libFuzzer target: any byte string, fed to a printer in chunks whose size the input's first
// byte chooses, must neither crash nor leak nor grow without bound.
#include <cstddef>
#include <cstdint>
#include <span>

#include "quillkit/virtual_printer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  quillkit::VirtualPrinterConfig config;
  config.labels_kept = 1;
  quillkit::VirtualPrinter printer(config);
  std::size_t chunk = 1 + data[0] % 64;
  std::span<const std::uint8_t> rest(data + 1, size - 1);
  while (!rest.empty()) {
    std::size_t take = rest.size() < chunk ? rest.size() : chunk;
    printer.feed(rest.first(take));
    rest = rest.subspan(take);
  }
  printer.feed(std::string_view("\r\nPRINT 1\r\n~!F\r\n"));
  return 0;
}
