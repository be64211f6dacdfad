#include "quillkit/platform/files.hpp"

#include <array>
#include <fstream>
#include <new>

namespace quillkit::platform {

std::optional<Bytes> read_whole_file(const std::filesystem::path& path, std::size_t limit,
                                     std::string* why) {
  auto fail = [&](std::string reason) -> std::optional<Bytes> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  if (path.native().find('\0') != std::string::npos) return fail("the path holds a NUL byte");
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) return fail(error.message());
  if (!std::filesystem::is_regular_file(status)) return fail("not a regular file");
  const auto expected = std::filesystem::file_size(path, error);
  if (error) return fail(error.message());
  const std::string too_large = "larger than " + std::to_string(limit) + " bytes";
  if (expected > limit) return fail(too_large);

  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot be opened");
  try {
    Bytes data;
    data.reserve(static_cast<std::size_t>(expected));
    std::array<char, 64 * 1024> block;
    while (in) {
      in.read(block.data(), block.size());
      const auto count = static_cast<std::size_t>(in.gcount());
      if (count > limit - data.size()) return fail(too_large);
      data.insert(data.end(), block.begin(), block.begin() + count);
    }
    if (in.bad()) return fail("cannot be read");
    return data;
  } catch (const std::bad_alloc&) {
    return fail("not enough memory to read it");
  }
}

}  // namespace quillkit::platform
