// Text drawing for the printer's fonts: the resident fonts are a monospace face from the
// system's fonts scaled to fixed cells, the scalable fonts a proportional face at any height.
// Characters the face lacks come from a face that has them (found through fontconfig), CJK
// included.
#pragma once

#include <ft2build.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include FT_FREETYPE_H

#include "virtual/canvas.hpp"

namespace quillkit::vp {

// Not thread-safe: one per printer, used under the printer's lock. Without any usable font file
// every character is drawn as an outlined box, so text still leaves ink of the right size.
class FontRenderer {
 public:
  FontRenderer();
  ~FontRenderer();
  FontRenderer(const FontRenderer&) = delete;
  FontRenderer& operator=(const FontRenderer&) = delete;

  // One cell of cell_w x cell_h dots per character, each glyph scaled to fit its cell and
  // centred in it; nothing leaves the cell.
  Mono cell_text(const std::u32string& text, int cell_w, int cell_h);
  // Proportional text whose line (ascent plus descent) is height dots high; width_scale
  // stretches it horizontally. An empty image when it would hold more than max_dots dots.
  Mono scalable_text(const std::u32string& text, int height, double width_scale,
                     std::size_t max_dots);

  struct Face;

 private:
  Face* face_for(char32_t c, bool monospace);
  Face* load(const std::string& path, int index);

  FT_Library library_ = nullptr;
  std::map<std::pair<std::string, int>, std::unique_ptr<Face>> faces_;
  std::map<char32_t, Face*> fallback_;
  Face* mono_ = nullptr;
  Face* sans_ = nullptr;
  bool looked_up_ = false;
};

// Integer magnification by repeating dots.
Mono magnify(const Mono& src, int mx, int my);

}  // namespace quillkit::vp
