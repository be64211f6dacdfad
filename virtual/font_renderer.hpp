// Text drawing for the printer's fonts: the resident fonts are a monospace face from the
// system's fonts scaled to fixed cells, the scalable fonts a proportional face at any height.
// Characters the face lacks come from a face that has them (found through fontconfig), CJK
// included.
#pragma once

#include <ft2build.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include FT_FREETYPE_H

#include "quillkit/types.hpp"
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
  // `face_data`, when given, is a TrueType font file (a font stored by DOWNLOAD) used in place
  // of the system's face; it is copied and cached under `face_key` until forget(face_key).
  Mono scalable_text(const std::u32string& text, int height, double width_scale,
                     std::size_t max_dots, const Bytes* face_data = nullptr,
                     const std::string& face_key = {});
  // Drops the cached face of a stored font (it was replaced or removed).
  void forget(const std::string& face_key);

  struct Face;

 private:
  // A rendered glyph, kept across labels: FreeType's hinting costs far more than the copy.
  struct Glyph {
    Mono ink;
    int left = 0, top = 0;  // bitmap offset from the pen position and baseline
    double advance = 0;
    bool ok = false;  // false when FreeType could not render it
  };
  using GlyphKey = std::tuple<Face*, FT_UInt, long long, long long>;
  static constexpr std::size_t kMaxCachedGlyphs = 16384;

  // The glyph at the scale; valid until the cache is cleared (by a later call).
  const Glyph& glyph(Face* face, FT_UInt index, double scale_x, double scale_y);
  static void blit(const Glyph& glyph, Mono& out, int pen_x, int baseline, int clip_x0,
                   int clip_x1);
  Face* face_for(char32_t c, bool monospace, Face* preferred = nullptr);
  Face* memory_face(const Bytes& data, const std::string& key);
  Face* load(const std::string& path, int index);

  FT_Library library_ = nullptr;
  std::map<std::pair<std::string, int>, std::unique_ptr<Face>> faces_;
  std::map<char32_t, Face*> fallback_;
  struct MemoryFace {
    Bytes data;  // FreeType reads the face from here while it lives
    std::unique_ptr<Face> face;
  };
  std::map<std::string, MemoryFace> memory_faces_;
  std::map<GlyphKey, Glyph> glyphs_;
  Face* mono_ = nullptr;
  Face* sans_ = nullptr;
  bool looked_up_ = false;
};

// Integer magnification by repeating dots.
Mono magnify(const Mono& src, int mx, int my);

}  // namespace quillkit::vp
