// The font host over fontconfig (names and matching), FreeType (glyph outlines
// and monochrome rasterisation) and HarfBuzz (shaping and line metrics).
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb-ft.h>
#include <hb-ot.h>
#include <hb.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

#include "quillkit/platform/font_host.hpp"

namespace quillkit::platform {
namespace {

// A text longer than this is not shaped: it measures as infinitely wide, which
// no drawing surface can hold, and draws nothing.
constexpr std::size_t kMaxTextBytes = std::size_t{1} << 20;

struct FaceRecord {
  std::string postscript_name;
  std::vector<std::string> families;
  std::string file;
  int index = 0;
  int weight = FC_WEIGHT_REGULAR;
  int slant = FC_SLANT_ROMAN;
  int width = FC_WIDTH_NORMAL;
};

// The sort key of the face order documented in font_host.hpp.
std::tuple<int, int, int, int, int, int, const std::string&> face_order_key(
    const FaceRecord& face) {
  const int width_distance = std::abs(face.width - FC_WIDTH_NORMAL);
  int weight_class = 2;
  if (face.weight >= FC_WEIGHT_BOOK && face.weight <= FC_WEIGHT_REGULAR) {
    weight_class = 0;
  } else if (face.weight == FC_WEIGHT_BOLD) {
    weight_class = 1;
  }
  const int weight_distance = std::abs(face.weight - FC_WEIGHT_REGULAR);
  return {width_distance, face.width, weight_class,        weight_distance,
          face.weight,    face.slant, face.postscript_name};
}

bool face_order_less(const FaceRecord& a, const FaceRecord& b) {
  return face_order_key(a) < face_order_key(b);
}

struct PatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
struct FontSetDeleter {
  void operator()(FcFontSet* s) const { FcFontSetDestroy(s); }
};
struct ObjectSetDeleter {
  void operator()(FcObjectSet* s) const { FcObjectSetDestroy(s); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;
using FontSetPtr = std::unique_ptr<FcFontSet, FontSetDeleter>;
using ObjectSetPtr = std::unique_ptr<FcObjectSet, ObjectSetDeleter>;

std::optional<std::string> pattern_string(FcPattern* pattern, const char* object, int n = 0) {
  FcChar8* value = nullptr;
  if (FcPatternGetString(pattern, object, n, &value) != FcResultMatch || value == nullptr) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(value));
}

int pattern_int(FcPattern* pattern, const char* object, int fallback) {
  int value = 0;
  return FcPatternGetInteger(pattern, object, 0, &value) == FcResultMatch ? value : fallback;
}

// Reads one face from a pattern; nothing for faces the host cannot shape or
// scale (bitmap formats, Type 1, the whole-font entry of a variable font).
std::optional<FaceRecord> face_from_pattern(FcPattern* pattern) {
  FcBool scalable = FcFalse;
  if (FcPatternGetBool(pattern, FC_SCALABLE, 0, &scalable) != FcResultMatch || !scalable) {
    return std::nullopt;
  }
  FcBool variable = FcFalse;
  if (FcPatternGetBool(pattern, FC_VARIABLE, 0, &variable) == FcResultMatch && variable) {
    return std::nullopt;
  }
  const auto format = pattern_string(pattern, FC_FONTFORMAT);
  if (!format || (*format != "TrueType" && *format != "CFF")) return std::nullopt;
  auto postscript_name = pattern_string(pattern, FC_POSTSCRIPT_NAME);
  auto file = pattern_string(pattern, FC_FILE);
  if (!postscript_name || postscript_name->empty() || !file) return std::nullopt;

  FaceRecord face;
  face.postscript_name = std::move(*postscript_name);
  face.file = std::move(*file);
  face.index = pattern_int(pattern, FC_INDEX, 0);
  face.weight = pattern_int(pattern, FC_WEIGHT, FC_WEIGHT_REGULAR);
  face.slant = pattern_int(pattern, FC_SLANT, FC_SLANT_ROMAN);
  face.width = pattern_int(pattern, FC_WIDTH, FC_WIDTH_NORMAL);
  for (int n = 0;; ++n) {
    auto family = pattern_string(pattern, FC_FAMILY, n);
    if (!family) break;
    face.families.push_back(std::move(*family));
  }
  return face;
}

class FreeTypeFont final : public Font {
 public:
  // Opens `face` at `size` points; null when FreeType cannot open or scale it.
  static std::unique_ptr<Font> open(const FaceRecord& face, double size) {
    auto font = std::unique_ptr<FreeTypeFont>(new FreeTypeFont(face.postscript_name));
    if (FT_Init_FreeType(&font->library_) != 0) {
      font->library_ = nullptr;
      return nullptr;
    }
    if (FT_New_Face(font->library_, face.file.c_str(), face.index, &font->face_) != 0) {
      font->face_ = nullptr;
      return nullptr;
    }
    const auto size_26_6 = static_cast<FT_F26Dot6>(std::max(1L, std::lround(size * 64.0)));
    if (FT_Set_Char_Size(font->face_, 0, size_26_6, 72, 72) != 0) return nullptr;

    hb_face_t* hb_face = hb_ft_face_create_referenced(font->face_);
    font->hb_font_ = hb_font_create(hb_face);
    hb_face_destroy(hb_face);
    const int scale = static_cast<int>(size_26_6);
    hb_font_set_scale(font->hb_font_, scale, scale);
    if (const unsigned instance = static_cast<unsigned>(face.index) >> 16; instance > 0) {
      hb_font_set_var_named_instance(font->hb_font_, instance - 1);
    }
    return font;
  }

  ~FreeTypeFont() override {
    if (hb_font_ != nullptr) hb_font_destroy(hb_font_);
    if (face_ != nullptr) FT_Done_Face(face_);
    if (library_ != nullptr) FT_Done_FreeType(library_);
  }

  std::string face_name() const override { return face_name_; }

  TextExtent measure(std::string_view utf8_text) override {
    TextExtent extent;
    extent.height = line_height();
    if (utf8_text.size() > kMaxTextBytes) {
      extent.width = std::numeric_limits<double>::infinity();
      return extent;
    }
    Shaped shaped = shape(utf8_text);
    std::int64_t advance = 0;
    for (unsigned i = 0; i < shaped.count; ++i) advance += shaped.positions[i].x_advance;
    extent.width = static_cast<double>(advance) / 64.0;
    return extent;
  }

  void draw(std::string_view utf8_text, Image& surface) override {
    if (surface.empty() || utf8_text.size() > kMaxTextBytes) return;
    hb_position_t ascender = 0;
    hb_ot_metrics_get_position_with_fallback(hb_font_, HB_OT_METRICS_TAG_HORIZONTAL_ASCENDER,
                                             &ascender);
    Shaped shaped = shape(utf8_text);
    std::int64_t pen_x = 0;
    for (unsigned i = 0; i < shaped.count; ++i) {
      const hb_glyph_position_t& pos = shaped.positions[i];
      const auto origin_x = static_cast<long>(std::lround((pen_x + pos.x_offset) / 64.0));
      const auto origin_y = static_cast<long>(std::lround((ascender - pos.y_offset) / 64.0));
      pen_x += pos.x_advance;
      if (FT_Load_Glyph(face_, shaped.infos[i].codepoint,
                        FT_LOAD_TARGET_MONO | FT_LOAD_NO_BITMAP) != 0) {
        continue;
      }
      FT_GlyphSlot slot = face_->glyph;
      if (FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0) continue;
      if (slot->bitmap.pixel_mode != FT_PIXEL_MODE_MONO) continue;
      paint(slot->bitmap, origin_x + slot->bitmap_left, origin_y - slot->bitmap_top, surface);
    }
  }

 private:
  struct BufferDeleter {
    void operator()(hb_buffer_t* b) const { hb_buffer_destroy(b); }
  };
  // A shaped HarfBuzz buffer; the arrays live as long as the buffer.
  struct Shaped {
    std::unique_ptr<hb_buffer_t, BufferDeleter> buffer;
    unsigned count = 0;
    hb_glyph_info_t* infos = nullptr;
    hb_glyph_position_t* positions = nullptr;
  };

  explicit FreeTypeFont(std::string face_name) : face_name_(std::move(face_name)) {}

  Shaped shape(std::string_view utf8_text) {
    Shaped shaped{.buffer = {hb_buffer_create(), BufferDeleter{}}};
    hb_buffer_t* buffer = shaped.buffer.get();
    const int length = static_cast<int>(utf8_text.size());
    hb_buffer_add_utf8(buffer, utf8_text.data(), length, 0, length);
    hb_buffer_guess_segment_properties(buffer);
    hb_shape(hb_font_, buffer, nullptr, 0);
    shaped.infos = hb_buffer_get_glyph_infos(buffer, &shaped.count);
    shaped.positions = hb_buffer_get_glyph_positions(buffer, nullptr);
    if (shaped.infos == nullptr || shaped.positions == nullptr) shaped.count = 0;
    return shaped;
  }

  double line_height() const {
    hb_position_t ascender = 0, descender = 0, line_gap = 0;
    hb_ot_metrics_get_position_with_fallback(hb_font_, HB_OT_METRICS_TAG_HORIZONTAL_ASCENDER,
                                             &ascender);
    hb_ot_metrics_get_position_with_fallback(hb_font_, HB_OT_METRICS_TAG_HORIZONTAL_DESCENDER,
                                             &descender);
    hb_ot_metrics_get_position_with_fallback(hb_font_, HB_OT_METRICS_TAG_HORIZONTAL_LINE_GAP,
                                             &line_gap);
    return (static_cast<double>(ascender) - descender + line_gap) / 64.0;
  }

  // Paints the set bits of a monochrome bitmap whose top-left lands at
  // (left, top) of the surface, clipped to the surface.
  static void paint(const FT_Bitmap& bitmap, long left, long top, Image& surface) {
    const auto surface_width = static_cast<long>(surface.width);
    const auto surface_height = static_cast<long>(surface.height);
    for (unsigned row = 0; row < bitmap.rows; ++row) {
      const long y = top + static_cast<long>(row);
      if (y < 0 || y >= surface_height) continue;
      const unsigned char* bits = bitmap.buffer + static_cast<std::ptrdiff_t>(row) * bitmap.pitch;
      for (unsigned column = 0; column < bitmap.width; ++column) {
        if ((bits[column >> 3] & (0x80 >> (column & 7))) == 0) continue;
        const long x = left + static_cast<long>(column);
        if (x < 0 || x >= surface_width) continue;
        std::uint8_t* pixel =
            surface.rgba.data() + (static_cast<std::size_t>(y) * surface.width + x) * 4;
        pixel[0] = pixel[1] = pixel[2] = 0;
        pixel[3] = 255;
      }
    }
  }

  std::string face_name_;
  FT_Library library_ = nullptr;
  FT_Face face_ = nullptr;
  hb_font_t* hb_font_ = nullptr;
};

// Owns its font configuration. Every fontconfig call holds mu_.
class FontconfigHost final : public FontHost {
 public:
  explicit FontconfigHost(FcConfig* config) : config_(config) {}
  ~FontconfigHost() override {
    if (config_ != nullptr) FcConfigDestroy(config_);
  }

  std::vector<std::string> family_names() override {
    std::set<std::string> names;
    for (const FaceRecord& face : catalogue()) {
      names.insert(face.families.begin(), face.families.end());
    }
    return {names.begin(), names.end()};
  }

  std::vector<std::string> face_names(std::string_view family) override {
    std::vector<std::string> names;
    for (const FaceRecord& face : family_faces(family)) names.push_back(face.postscript_name);
    return names;
  }

  std::unique_ptr<Font> open_font(std::string_view name, double size) override {
    if (!(size > 0.0 && size <= kMaxFontSize)) return nullptr;
    // Candidates in order: the face of that name, the family's first face,
    // then fontconfig's ranking; a file that fails to open is passed over.
    const std::vector<FaceRecord> faces = catalogue();
    for (const FaceRecord& face : faces) {
      if (face.postscript_name != name) continue;
      if (auto font = FreeTypeFont::open(face, size)) return font;
    }
    if (auto family = family_faces(name, faces); !family.empty()) {
      if (auto font = FreeTypeFont::open(family.front(), size)) return font;
    }
    for (const FaceRecord& face : best_matches(name)) {
      if (auto font = FreeTypeFont::open(face, size)) return font;
    }
    return nullptr;
  }

 private:
  // The usable faces, in face order, each PostScript name once.
  std::vector<FaceRecord> catalogue() {
    std::vector<FaceRecord> faces;
    {
      std::lock_guard lock(mu_);
      if (config_ == nullptr) return faces;
      PatternPtr pattern(FcPatternCreate());
      ObjectSetPtr objects(FcObjectSetBuild(FC_FAMILY, FC_POSTSCRIPT_NAME, FC_FILE, FC_INDEX,
                                            FC_WEIGHT, FC_SLANT, FC_WIDTH, FC_FONTFORMAT,
                                            FC_SCALABLE, FC_VARIABLE, nullptr));
      if (!pattern || !objects) return faces;
      FontSetPtr set(FcFontList(config_, pattern.get(), objects.get()));
      if (!set) return faces;
      for (int i = 0; i < set->nfont; ++i) {
        if (auto face = face_from_pattern(set->fonts[i])) faces.push_back(std::move(*face));
      }
    }
    std::stable_sort(faces.begin(), faces.end(), face_order_less);
    std::set<std::string_view> seen;
    std::vector<FaceRecord> unique;
    for (FaceRecord& face : faces) {
      if (seen.insert(face.postscript_name).second) unique.push_back(face);
    }
    return unique;
  }

  std::vector<FaceRecord> family_faces(std::string_view family) {
    return family_faces(family, catalogue());
  }

  static std::vector<FaceRecord> family_faces(std::string_view family,
                                              const std::vector<FaceRecord>& faces) {
    std::vector<FaceRecord> members;
    for (const FaceRecord& face : faces) {
      if (std::find(face.families.begin(), face.families.end(), family) != face.families.end()) {
        members.push_back(face);
      }
    }
    return members;
  }

  // Fontconfig's ranking of the usable faces for `name` taken as a family
  // name, best first. A name with a NUL is cut there.
  std::vector<FaceRecord> best_matches(std::string_view name) {
    std::vector<FaceRecord> faces;
    const std::string family(name.substr(0, name.find('\0')));
    std::lock_guard lock(mu_);
    if (config_ == nullptr) return faces;
    PatternPtr pattern(FcPatternCreate());
    if (!pattern) return faces;
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcConfigSubstitute(config_, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    FontSetPtr set(FcFontSort(config_, pattern.get(), FcFalse, nullptr, &result));
    if (!set) return faces;
    for (int i = 0; i < set->nfont; ++i) {
      if (auto face = face_from_pattern(set->fonts[i])) faces.push_back(std::move(*face));
    }
    return faces;
  }

  std::mutex mu_;
  FcConfig* config_;
};

}  // namespace

FontHost& default_font_host() {
  // Never destroyed: Fonts and callers on other threads may outlive static
  // destruction order.
  static FontconfigHost* const host = new FontconfigHost(FcInitLoadConfigAndFonts());
  return *host;
}

std::unique_ptr<FontHost> new_font_host_for_files(std::span<const std::string> font_files) {
  FcConfig* config = FcConfigCreate();
  if (config != nullptr) {
    for (const std::string& file : font_files) {
      FcConfigAppFontAddFile(config, reinterpret_cast<const FcChar8*>(file.c_str()));
    }
  }
  return std::make_unique<FontconfigHost>(config);
}

}  // namespace quillkit::platform
