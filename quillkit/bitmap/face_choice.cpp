#include "quillkit/bitmap/face_choice.hpp"

#include <vector>

namespace quillkit::bitmap {

FaceStyle classify_face(std::string_view face_name) {
  const auto contains = [face_name](std::string_view word) {
    return face_name.find(word) != std::string_view::npos;
  };
  return {.bold = contains("Bold") || contains("Medium"),
          .italic = contains("Italic") || contains("Oblique")};
}

std::optional<std::string> walk_faces(std::span<const std::string> faces, bool bold, bool italic) {
  const std::string* plain = nullptr;
  for (const std::string& face : faces) {
    const FaceStyle style = classify_face(face);
    if (!style.bold && !style.italic) plain = &face;
    if (style.bold == bold && style.italic == italic) return face;
  }
  if (plain != nullptr) return *plain;
  return std::nullopt;
}

std::string find_font_with_name(platform::FontHost& host, std::string_view name, bool bold,
                                bool italic) {
  // A family exists exactly when it has a face, so one look-up answers both
  // "is this a family name" and "which faces does it have".
  const std::vector<std::string> faces = host.face_names(name);
  if (auto face = walk_faces(faces, bold, italic)) return *face;
  return std::string(name);
}

}  // namespace quillkit::bitmap
