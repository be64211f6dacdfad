// Choosing a face of a family by the style words in the face names.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quillkit/platform/font_host.hpp"

namespace quillkit::bitmap {

struct FaceStyle {
  bool bold = false;
  bool italic = false;
};

// A face is bold when its name contains "Bold" or "Medium", italic when it
// contains "Italic" or "Oblique" (case-sensitive substrings).
FaceStyle classify_face(std::string_view face_name);

// Walks `faces` in order: the first face whose style equals (bold, italic)
// exactly; failing that the last face that is neither bold nor italic; failing
// that nothing.
std::optional<std::string> walk_faces(std::span<const std::string> faces, bool bold, bool italic);

// The face to draw `name` with: `name` unchanged unless it is exactly a family
// name of `host`, else the walk over that family's faces (in the host's face
// order), else `name` unchanged. Thread-safe as `host` is.
std::string find_font_with_name(platform::FontHost& host, std::string_view name, bool bold,
                                bool italic);

}  // namespace quillkit::bitmap
