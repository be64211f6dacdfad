// Storing a host file in the printer's memory with a DOWNLOAD command.
#include "quillkit/commands/download.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "quillkit/commands/printer_core.hpp"
#include "quillkit/platform/clock.hpp"
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

// Reads the whole regular file at `path`. Nothing when the path holds a NUL,
// does not name a regular file (a directory, a FIFO or a device could block or
// never end), cannot be opened or read, or is larger than kMaxDownloadBytes,
// also when it grows past that while it is read.
std::optional<Bytes> read_whole_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  const std::filesystem::path file_path{std::string(path)};
  std::error_code error;
  if (!std::filesystem::is_regular_file(file_path, error)) return std::nullopt;
  const auto expected = std::filesystem::file_size(file_path, error);
  if (error || expected > detail::kMaxDownloadBytes) return std::nullopt;

  std::ifstream in(file_path, std::ios::binary);
  if (!in) return std::nullopt;
  try {
    Bytes data;
    data.reserve(static_cast<std::size_t>(expected));
    std::array<char, 64 * 1024> block;
    while (in) {
      in.read(block.data(), block.size());
      const auto count = static_cast<std::size_t>(in.gcount());
      if (count > detail::kMaxDownloadBytes - data.size()) return std::nullopt;
      data.insert(data.end(), block.begin(), block.begin() + count);
    }
    if (in.bad()) return std::nullopt;
    return data;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

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
  const auto data = read_whole_file(path);
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
