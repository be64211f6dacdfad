// Scratch files for the tests and byte patterns that show a lost, doubled or
// reordered block.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "quillkit/types.hpp"

namespace quillkit::testing {

// A private directory, removed with everything in it when the owner goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillkit-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes `bytes` to the file `name` in the directory; returns its path.
  std::string write(std::string_view name, const Bytes& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << std::string(bytes.begin(), bytes.end());
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

// `size` bytes in which every value 0 to 255 occurs and no 256-byte stretch
// repeats within 64 KiB, so that a shifted or repeated block does not match.
inline Bytes patterned_bytes(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i + i / 256);
  return bytes;
}

}  // namespace quillkit::testing
