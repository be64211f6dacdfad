#include "virtual/font_renderer.hpp"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

namespace quillkit::vp {
namespace {

struct FontFile {
  std::string path;
  int index = 0;
};

// Fontconfig is initialised once per process; lookups are serialised.
std::mutex& fontconfig_mutex() {
  static std::mutex mutex;
  return mutex;
}

FcConfig* fontconfig() {
  static FcConfig* config = FcInitLoadConfigAndFonts();
  return config;
}

std::optional<FontFile> take_file(FcPattern* match) {
  FcChar8* file = nullptr;
  int index = 0;
  if (FcPatternGetString(match, FC_FILE, 0, &file) != FcResultMatch || file == nullptr) {
    return std::nullopt;
  }
  FcPatternGetInteger(match, FC_INDEX, 0, &index);
  return FontFile{reinterpret_cast<const char*>(file), index};
}

// Answers are cached for the life of the process, so fontconfig is asked once per pattern or
// character whatever the number of printers (and not again while another part of the process
// uses it).
std::optional<FontFile> match(FcPattern* pattern, char32_t needed, bool check_char) {
  FcConfig* config = fontconfig();
  if (config == nullptr) return std::nullopt;
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* found = FcFontMatch(config, pattern, &result);
  if (found == nullptr) return std::nullopt;
  std::optional<FontFile> file;
  FcCharSet* has = nullptr;
  if (!check_char || (FcPatternGetCharSet(found, FC_CHARSET, 0, &has) == FcResultMatch &&
                      has != nullptr && FcCharSetHasChar(has, static_cast<FcChar32>(needed)))) {
    file = take_file(found);
  }
  FcPatternDestroy(found);
  return file;
}

// The best face for a fontconfig pattern such as "DejaVu Sans Mono" or ":spacing=mono".
std::optional<FontFile> find_font(const std::string& pattern_text) {
  std::lock_guard lock(fontconfig_mutex());
  static std::map<std::string, std::optional<FontFile>> cache;
  auto it = cache.find(pattern_text);
  if (it != cache.end()) return it->second;
  std::optional<FontFile> file;
  if (FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(pattern_text.c_str()))) {
    file = match(pattern, 0, false);
    FcPatternDestroy(pattern);
  }
  cache.emplace(pattern_text, file);
  return file;
}

// A face that has character c, if the system has one.
std::optional<FontFile> find_font_for(char32_t c) {
  std::lock_guard lock(fontconfig_mutex());
  static std::map<char32_t, std::optional<FontFile>> cache;
  auto it = cache.find(c);
  if (it != cache.end()) return it->second;
  FcPattern* pattern = FcPatternCreate();
  FcCharSet* charset = FcCharSetCreate();
  std::optional<FontFile> file;
  if (pattern != nullptr && charset != nullptr) {
    FcCharSetAddChar(charset, static_cast<FcChar32>(c));
    FcPatternAddCharSet(pattern, FC_CHARSET, charset);
    file = match(pattern, c, true);
  }
  if (charset != nullptr) FcCharSetDestroy(charset);
  if (pattern != nullptr) FcPatternDestroy(pattern);
  if (cache.size() >= 4096) cache.clear();
  cache.emplace(c, file);
  return file;
}

// Draws an outlined box for a character no face can draw.
void draw_box(Mono& out, int x, int y, int w, int h) {
  if (w < 3 || h < 3) {
    out.fill_rect(x, y, w, h, 1);
    return;
  }
  out.fill_rect(x + 1, y + 1, w - 2, 1, 1);
  out.fill_rect(x + 1, y + h - 2, w - 2, 1, 1);
  out.fill_rect(x + 1, y + 1, 1, h - 2, 1);
  out.fill_rect(x + w - 2, y + 1, 1, h - 2, 1);
}

}  // namespace

struct FontRenderer::Face {
  FT_Face face = nullptr;
  ~Face() {
    if (face != nullptr) FT_Done_Face(face);
  }
  double ascent() const { return static_cast<double>(face->ascender); }
  double line() const {
    double height = static_cast<double>(face->ascender - face->descender);
    return height > 0 ? height : static_cast<double>(face->units_per_EM);
  }
  double advance_max() const {
    return face->max_advance_width > 0 ? face->max_advance_width : face->units_per_EM;
  }
  // Sets the size so that `unit_scale` dots stand for one font unit, horizontally and
  // vertically.
  bool set_scale(double scale_x, double scale_y) {
    double em = static_cast<double>(face->units_per_EM);
    if (em <= 0) return false;
    auto to26 = [](double v) { return static_cast<FT_F26Dot6>(std::max(1.0, std::round(v * 64))); };
    return FT_Set_Char_Size(face, to26(scale_x * em), to26(scale_y * em), 72, 72) == 0;
  }
};

// Copies a cached glyph with its origin at pen (x, baseline), clipped to [clip_x0, clip_x1).
void FontRenderer::blit(const Glyph& glyph, Mono& out, int pen_x, int baseline, int clip_x0,
                        int clip_x1) {
  int left = pen_x + glyph.left;
  int top = baseline - glyph.top;
  int x0 = std::max({left, clip_x0, 0});
  int x1 = std::min({left + glyph.ink.width, clip_x1, out.width});
  for (int row = std::max(0, -top); row < glyph.ink.height && top + row < out.height; ++row) {
    const std::uint8_t* src =
        glyph.ink.dots.data() + static_cast<std::size_t>(row) * glyph.ink.width;
    std::uint8_t* dst = &out.at(0, top + row);
    for (int x = x0; x < x1; ++x) dst[x] |= src[x - left];
  }
}

const FontRenderer::Glyph& FontRenderer::glyph(Face* face, FT_UInt index, double scale_x,
                                               double scale_y) {
  GlyphKey key{face, index, std::llround(scale_x * 65536), std::llround(scale_y * 65536)};
  auto it = glyphs_.find(key);
  if (it != glyphs_.end()) return it->second;
  if (glyphs_.size() >= kMaxCachedGlyphs) glyphs_.clear();
  Glyph glyph;
  if (face->set_scale(scale_x, scale_y) &&
      FT_Load_Glyph(face->face, index, FT_LOAD_RENDER | FT_LOAD_NO_BITMAP) == 0) {
    FT_GlyphSlot slot = face->face->glyph;
    const FT_Bitmap& bitmap = slot->bitmap;
    glyph.ok = true;
    glyph.left = slot->bitmap_left;
    glyph.top = slot->bitmap_top;
    glyph.advance = static_cast<double>(slot->advance.x) / 64.0;
    glyph.ink = Mono(static_cast<int>(bitmap.width), static_cast<int>(bitmap.rows));
    for (unsigned row = 0; row < bitmap.rows; ++row) {
      const unsigned char* line = bitmap.buffer + static_cast<long>(row) * bitmap.pitch;
      for (unsigned col = 0; col < bitmap.width; ++col) {
        bool ink = bitmap.pixel_mode == FT_PIXEL_MODE_MONO ? ((line[col / 8] >> (7 - col % 8)) & 1)
                                                           : line[col] >= 128;
        glyph.ink.at(static_cast<int>(col), static_cast<int>(row)) = ink ? 1 : 0;
      }
    }
  }
  return glyphs_.emplace(key, std::move(glyph)).first->second;
}

FontRenderer::FontRenderer() {
  if (FT_Init_FreeType(&library_) != 0) library_ = nullptr;
}

FontRenderer::~FontRenderer() {
  faces_.clear();
  memory_faces_.clear();
  if (library_ != nullptr) FT_Done_FreeType(library_);
}

FontRenderer::Face* FontRenderer::load(const std::string& path, int index) {
  if (library_ == nullptr) return nullptr;
  auto [it, added] = faces_.try_emplace({path, index});
  if (added) {
    auto face = std::make_unique<Face>();
    if (FT_New_Face(library_, path.c_str(), index, &face->face) == 0 && FT_IS_SCALABLE(face->face))
      it->second = std::move(face);
  }
  return it->second.get();
}

FontRenderer::Face* FontRenderer::memory_face(const Bytes& data, const std::string& key) {
  if (library_ == nullptr) return nullptr;
  auto it = memory_faces_.find(key);
  if (it == memory_faces_.end()) {
    if (memory_faces_.size() >= 16) {
      memory_faces_.clear();
      glyphs_.clear();
    }
    MemoryFace entry{data, std::make_unique<Face>()};
    if (FT_New_Memory_Face(library_, entry.data.data(), static_cast<FT_Long>(entry.data.size()), 0,
                           &entry.face->face) != 0 ||
        !FT_IS_SCALABLE(entry.face->face)) {
      entry.face.reset();
    }
    it = memory_faces_.emplace(key, std::move(entry)).first;
  }
  return it->second.face.get();
}

void FontRenderer::forget(const std::string& face_key) {
  // Cached glyphs name faces by address, which a new face may take.
  if (memory_faces_.erase(face_key) != 0) glyphs_.clear();
}

FontRenderer::Face* FontRenderer::face_for(char32_t c, bool monospace, Face* preferred) {
  if (preferred != nullptr && FT_Get_Char_Index(preferred->face, c) != 0) return preferred;
  if (!looked_up_) {
    looked_up_ = true;
    if (auto file = find_font("DejaVu Sans Mono")) mono_ = load(file->path, file->index);
    if (mono_ == nullptr) {
      if (auto file = find_font(":spacing=mono")) mono_ = load(file->path, file->index);
    }
    if (auto file = find_font("DejaVu Sans")) sans_ = load(file->path, file->index);
    if (sans_ == nullptr) sans_ = mono_;
    if (mono_ == nullptr) mono_ = sans_;
  }
  Face* primary = monospace ? mono_ : sans_;
  if (primary != nullptr && FT_Get_Char_Index(primary->face, c) != 0) return primary;
  auto it = fallback_.find(c);
  if (it == fallback_.end()) {
    Face* found = nullptr;
    if (auto file = find_font_for(c)) found = load(file->path, file->index);
    if (found != nullptr && FT_Get_Char_Index(found->face, c) == 0) found = nullptr;
    if (fallback_.size() > 4096) fallback_.clear();
    it = fallback_.emplace(c, found).first;
  }
  return it->second;
}

Mono FontRenderer::cell_text(const std::u32string& text, int cell_w, int cell_h) {
  Mono out(cell_w * static_cast<int>(text.size()), cell_h);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    int cell_x = cell_w * static_cast<int>(i);
    if (c == U' ') continue;
    Face* face = face_for(c, true);
    bool drawn = false;
    if (face != nullptr) {
      FT_UInt glyph_index = FT_Get_Char_Index(face->face, c);
      double scale = std::min(cell_w / face->advance_max(), cell_h / face->line());
      const Glyph* cached = glyph_index != 0 ? &glyph(face, glyph_index, scale, scale) : nullptr;
      if (cached != nullptr && cached->ok) {
        double top_pad = (cell_h - face->line() * scale) / 2;
        int baseline = static_cast<int>(std::lround(top_pad + face->ascent() * scale));
        int pen_x = cell_x + static_cast<int>(std::lround((cell_w - cached->advance) / 2));
        blit(*cached, out, pen_x, baseline, cell_x, cell_x + cell_w);
        drawn = true;
      }
    }
    if (!drawn) draw_box(out, cell_x, 0, cell_w, cell_h);
  }
  return out;
}

Mono FontRenderer::scalable_text(const std::u32string& text, int height, double width_scale,
                                 std::size_t max_dots, const Bytes* face_data,
                                 const std::string& face_key) {
  Face* preferred = face_data != nullptr ? memory_face(*face_data, face_key) : nullptr;
  Face* base = face_for(U'M', false, preferred);
  double ascent_ratio = base != nullptr ? base->ascent() / base->line() : 0.8;
  int baseline = static_cast<int>(std::lround(height * ascent_ratio));
  // First pass: advances, to size the image.
  struct Placed {
    const Glyph* glyph;  // null: drawn as a box
    int pen_x;
  };
  std::vector<Placed> placed;
  // The pointers in `placed` must outlive this call's additions to the cache.
  if (glyphs_.size() + text.size() >= kMaxCachedGlyphs) glyphs_.clear();
  double pen = 0;
  int box_w = std::max(1, static_cast<int>(std::lround(height * 0.6 * width_scale)));
  for (char32_t c : text) {
    Face* face = face_for(c, false, preferred);
    FT_UInt glyph_index = face != nullptr ? FT_Get_Char_Index(face->face, c) : 0;
    if (face == nullptr || glyph_index == 0) {
      placed.push_back({nullptr, static_cast<int>(std::lround(pen))});
      pen += box_w;
      continue;
    }
    double scale_y = height / face->line();
    double scale_x = scale_y * width_scale;
    const Glyph& cached = glyph(face, glyph_index, scale_x, scale_y);
    placed.push_back({&cached, static_cast<int>(std::lround(pen))});
    pen += cached.advance;
  }
  if (pen < 0 || std::ceil(pen) * height > static_cast<double>(max_dots)) return Mono();
  Mono out(std::max(1, static_cast<int>(std::ceil(pen))), height);
  for (const Placed& p : placed) {
    if (p.glyph == nullptr) {
      draw_box(out, p.pen_x, 0, box_w, height);
    } else if (p.glyph->ok) {
      blit(*p.glyph, out, p.pen_x, baseline, 0, out.width);
    }
  }
  return out;
}

Mono magnify(const Mono& src, int mx, int my) {
  if (mx <= 1 && my <= 1) return src;
  Mono out(src.width * mx, src.height * my);
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) out.at(x, y) = src.at(x / mx, y / my);
  }
  return out;
}

}  // namespace quillkit::vp
