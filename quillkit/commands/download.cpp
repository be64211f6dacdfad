// Storing a host file in the printer's memory with a DOWNLOAD command.
#include "quillkit/commands/download.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
#include "quillkit/platform/files.hpp"
#include "quillkit/platform/text_codec.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {
namespace {

constexpr double kHeaderPause = 0.3;
constexpr double kSingleDataPause = 0.5;
constexpr double kPacketRoundPause = 2.0;
constexpr double kPacketPause = 0.3;

// The trailer is CR LF, the same two bytes in Big5-HKSCS as in ASCII.
constexpr std::array<std::uint8_t, 2> kTrailer{'\r', '\n'};

}  // namespace

Result Printer::downloadpcx(std::string_view path, std::string_view name) {
  return downloadpcx(path, name, nullptr);
}

// Takes no lock of its own, so that no lock is held across the pauses or while
// `progress` runs. A failed write does not stop the transfer: the printer
// cannot be asked where it stands, so the rest is sent as planned. An exception
// thrown by `progress` leaves the transfer unfinished (no trailer) and reaches
// the caller.
Result Printer::downloadpcx(std::string_view path, std::string_view name,
                            std::function<void(std::size_t sent, std::size_t total)> progress) {
  const auto data = platform::read_whole_file(std::string(path), detail::kMaxDownloadBytes);
  if (!data) return -1;
  const std::string header_text =
      "DOWNLOAD F,\"" + std::string(name) + "\"," + std::to_string(data->size()) + ",";
  const auto header = platform::encode(header_text, platform::Encoding::big5_hkscs);
  if (!header) return -1;

  auto& core = this->core();
  core.clock().sleep_seconds(kHeaderPause);
  core.write(*header);

  const std::span<const std::uint8_t> all(*data);
  const std::size_t total = all.size();
  if (!core.profile().download_in_packets || total < detail::kDownloadPacketBytes) {
    core.clock().sleep_seconds(kSingleDataPause);
    if (total > 0) {
      core.write(all);
      if (progress) progress(total, total);
    }
  } else {
    for (std::size_t start = 0; start < total; start += detail::kDownloadPacketBytes) {
      core.clock().sleep_seconds(kPacketRoundPause);
      const std::size_t length = std::min(detail::kDownloadPacketBytes, total - start);
      core.clock().sleep_seconds(kPacketPause);
      core.write(all.subspan(start, length));
      if (progress) progress(start + length, total);
    }
  }
  core.write(kTrailer);
  return 1;
}

}  // namespace quillkit
