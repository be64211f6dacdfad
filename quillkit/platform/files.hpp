// Reading host files whole.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "quillkit/types.hpp"

namespace quillkit::platform {

// Reads the whole regular file at `path`. Nothing when the path holds a NUL,
// does not name a regular file (a directory, a FIFO or a device could block or
// never end), cannot be opened or read, or is larger than `limit` bytes, also
// when it grows past that while it is read; then `why`, when given, gets the
// reason in a few lower-case words. Thread-safe.
std::optional<Bytes> read_whole_file(const std::filesystem::path& path, std::size_t limit,
                                     std::string* why = nullptr);

}  // namespace quillkit::platform
