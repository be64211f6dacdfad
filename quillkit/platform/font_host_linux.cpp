// The font host over fontconfig (names and matching), FreeType (glyph outlines
// and monochrome rasterisation) and HarfBuzz (shaping and line metrics).
//
// What is kept between calls, and why it gives the same pixels as working from
// scratch every time:
//  - the catalogue of usable faces, built from one FcFontList and kept until the
//    configuration changes (see FontconfigHost);
//  - up to kMaxOpenFaces opened faces, least recently used first out; a face
//    keeps up to kMaxSizesPerFace sizes, each with its own FreeType size object
//    (hinting state belongs to the size) and HarfBuzz font;
//  - per size, the rendered monochrome glyphs, within kGlyphBytesPerFace bytes
//    a face. A rendered glyph depends only on face, size and glyph index.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SIZES_H
#include <hb-ft.h>
#include <hb-ot.h>
#include <hb.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "quillkit/platform/font_host.hpp"

namespace quillkit::platform {
namespace {

// A text longer than this is not shaped: it measures as infinitely wide, which
// no drawing surface can hold, and draws nothing.
constexpr std::size_t kMaxTextBytes = std::size_t{1} << 20;

// Bounds of what a host keeps open. Faces in use by a Font stay open until the
// Font is destroyed, whatever the cache holds.
constexpr std::size_t kMaxOpenFaces = 8;
constexpr std::size_t kMaxSizesPerFace = 4;
constexpr std::size_t kGlyphBytesPerFace = std::size_t{1} << 20;
// A glyph bitmap larger than this is drawn without being kept.
constexpr std::size_t kMaxKeptGlyphBytes = std::size_t{1} << 16;
// Book-keeping counted against the glyph budget for each kept glyph.
constexpr std::size_t kGlyphOverheadBytes = 64;
// Names remembered for fontconfig's best match; the memo starts over when full.
constexpr std::size_t kMaxBestMatchMemo = 64;
// A name found neither as a face nor as a family looks for changed font
// folders (to see fonts installed since) at most once in this many seconds.
constexpr std::time_t kMissRescanSeconds = 1;

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

struct ConfigDeleter {
  void operator()(FcConfig* c) const { FcConfigDestroy(c); }
};
struct PatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
struct FontSetDeleter {
  void operator()(FcFontSet* s) const { FcFontSetDestroy(s); }
};
struct ObjectSetDeleter {
  void operator()(FcObjectSet* s) const { FcObjectSetDestroy(s); }
};
using ConfigPtr = std::unique_ptr<FcConfig, ConfigDeleter>;
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

// The usable faces of one configuration and the indexes over them. Immutable
// once built, so any number of threads may read one at once.
struct Catalogue {
  // In face order, each PostScript name once.
  std::vector<FaceRecord> faces;
  std::map<std::string, std::size_t, std::less<>> by_postscript_name;
  // Each family's faces, in face order.
  std::map<std::string, std::vector<std::size_t>, std::less<>> by_family;

  const FaceRecord* face(std::string_view postscript_name) const {
    const auto it = by_postscript_name.find(postscript_name);
    return it == by_postscript_name.end() ? nullptr : &faces[it->second];
  }
  const std::vector<std::size_t>* family(std::string_view name) const {
    const auto it = by_family.find(name);
    return it == by_family.end() ? nullptr : &it->second;
  }
  bool knows(std::string_view name) const { return face(name) != nullptr || family(name); }
};

// Lists the configuration's faces. Call with the host's fontconfig lock held.
std::shared_ptr<const Catalogue> build_catalogue(FcConfig* config) {
  auto catalogue = std::make_shared<Catalogue>();
  std::vector<FaceRecord> faces;
  if (config != nullptr) {
    PatternPtr pattern(FcPatternCreate());
    ObjectSetPtr objects(FcObjectSetBuild(FC_FAMILY, FC_POSTSCRIPT_NAME, FC_FILE, FC_INDEX,
                                          FC_WEIGHT, FC_SLANT, FC_WIDTH, FC_FONTFORMAT, FC_SCALABLE,
                                          FC_VARIABLE, nullptr));
    FontSetPtr set;
    if (pattern && objects) set.reset(FcFontList(config, pattern.get(), objects.get()));
    for (int i = 0; set && i < set->nfont; ++i) {
      if (auto face = face_from_pattern(set->fonts[i])) faces.push_back(std::move(*face));
    }
  }
  std::stable_sort(faces.begin(), faces.end(), face_order_less);
  for (FaceRecord& face : faces) {
    const std::size_t index = catalogue->faces.size();
    if (!catalogue->by_postscript_name.emplace(face.postscript_name, index).second) continue;
    for (const std::string& family : face.families) {
      std::vector<std::size_t>& members = catalogue->by_family[family];
      // A face naming one family twice is listed once.
      if (members.empty() || members.back() != index) members.push_back(index);
    }
    catalogue->faces.push_back(std::move(face));
  }
  return catalogue;
}

// The modification times of the files and folders a configuration was read
// from. Installing or removing a font changes its folder's time; the times are
// compared to the nanosecond, so a change in the same second as the last look
// is seen too.
class SourceTimes {
 public:
  SourceTimes() = default;
  explicit SourceTimes(std::vector<std::string> paths) : paths_(std::move(paths)), times_(read()) {}

  bool changed() const { return read() != times_; }

 private:
  using Time = std::optional<std::pair<std::time_t, long>>;  // nothing: missing

  std::vector<Time> read() const {
    std::vector<Time> times;
    times.reserve(paths_.size());
    for (const std::string& path : paths_) {
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0) {
        times.emplace_back(std::pair(info.st_mtim.tv_sec, info.st_mtim.tv_nsec));
      } else {
        times.emplace_back(std::nullopt);
      }
    }
    return times;
  }

  std::vector<std::string> paths_;
  std::vector<Time> times_;
};

// The configuration files, their folders and the font folders of `config`.
std::vector<std::string> config_sources(FcConfig* config) {
  std::vector<std::string> paths;
  if (config == nullptr) return paths;
  for (FcStrList* list : {FcConfigGetConfigFiles(config), FcConfigGetConfigDirs(config),
                          FcConfigGetFontDirs(config)}) {
    if (list == nullptr) continue;
    while (FcChar8* path = FcStrListNext(list)) paths.emplace_back(reinterpret_cast<char*>(path));
    FcStrListDone(list);
  }
  return paths;
}

// One monochrome glyph bitmap as FreeType rendered it, rows packed at `stride`
// bytes, most significant bit leftmost.
struct GlyphBits {
  bool drawable = false;  // false: loading or rendering failed, nothing to paint
  int left = 0;
  int top = 0;
  unsigned width = 0;
  unsigned rows = 0;
  std::size_t stride = 0;
  std::vector<std::uint8_t> bits;
};

// One size of an opened face.
struct FaceSize {
  FT_F26Dot6 size_26_6 = 0;
  FT_Size ft_size = nullptr;
  hb_font_t* hb_font = nullptr;
  hb_position_t ascender = 0;
  double line_height = 0;
  std::unordered_map<hb_codepoint_t, GlyphBits> glyphs;
};

// An opened font file face with its sizes. Everything in it is used only with
// mu_ held: FreeType faces and HarfBuzz's table loading through them are not
// safe to use from two threads at once.
class OpenFace {
 public:
  // Null when FreeType cannot open the face.
  static std::shared_ptr<OpenFace> open(const FaceRecord& record) {
    auto face = std::shared_ptr<OpenFace>(new OpenFace(record.index));
    if (FT_Init_FreeType(&face->library_) != 0) {
      face->library_ = nullptr;
      return nullptr;
    }
    if (FT_New_Face(face->library_, record.file.c_str(), record.index, &face->face_) != 0) {
      face->face_ = nullptr;
      return nullptr;
    }
    face->hb_face_ = hb_ft_face_create_referenced(face->face_);
    return face;
  }

  ~OpenFace() {
    for (FaceSize& size : sizes_) hb_font_destroy(size.hb_font);
    if (hb_face_ != nullptr) hb_face_destroy(hb_face_);
    if (face_ != nullptr) FT_Done_Face(face_);  // also releases the sizes
    if (library_ != nullptr) FT_Done_FreeType(library_);
  }

  OpenFace(const OpenFace&) = delete;
  OpenFace& operator=(const OpenFace&) = delete;

  std::mutex& mutex() { return mu_; }

  // The face at `size_26_6`, made current for rendering; null when FreeType
  // cannot scale the face to it. Call with mutex() held. The result stays valid
  // until the next call.
  FaceSize* activate(FT_F26Dot6 size_26_6) {
    auto it = std::find_if(sizes_.begin(), sizes_.end(),
                           [&](const FaceSize& s) { return s.size_26_6 == size_26_6; });
    if (it == sizes_.end()) {
      FaceSize size;
      size.size_26_6 = size_26_6;
      if (FT_New_Size(face_, &size.ft_size) != 0) return nullptr;
      if (FT_Activate_Size(size.ft_size) != 0 ||
          FT_Set_Char_Size(face_, 0, size_26_6, 72, 72) != 0) {
        FT_Done_Size(size.ft_size);
        return nullptr;
      }
      size.hb_font = hb_font_create(hb_face_);
      const int scale = static_cast<int>(size_26_6);
      hb_font_set_scale(size.hb_font, scale, scale);
      if (const unsigned instance = static_cast<unsigned>(index_) >> 16; instance > 0) {
        hb_font_set_var_named_instance(size.hb_font, instance - 1);
      }
      hb_position_t descender = 0, line_gap = 0;
      hb_ot_metrics_get_position_with_fallback(size.hb_font, HB_OT_METRICS_TAG_HORIZONTAL_ASCENDER,
                                               &size.ascender);
      hb_ot_metrics_get_position_with_fallback(size.hb_font, HB_OT_METRICS_TAG_HORIZONTAL_DESCENDER,
                                               &descender);
      hb_ot_metrics_get_position_with_fallback(size.hb_font, HB_OT_METRICS_TAG_HORIZONTAL_LINE_GAP,
                                               &line_gap);
      size.line_height = (static_cast<double>(size.ascender) - descender + line_gap) / 64.0;
      if (sizes_.size() >= kMaxSizesPerFace) drop_size(std::prev(sizes_.end()));
      sizes_.push_front(std::move(size));
    } else if (it != sizes_.begin()) {
      sizes_.splice(sizes_.begin(), sizes_, it);
    }
    FaceSize& size = sizes_.front();
    if (FT_Activate_Size(size.ft_size) != 0) return nullptr;
    return &size;
  }

  // Glyph `glyph` of the active size `size`, rendered once and kept within the
  // face's budget. `scratch` holds a glyph too large to keep. Call with mutex()
  // held, after activate(size).
  const GlyphBits& glyph(FaceSize& size, hb_codepoint_t glyph, GlyphBits& scratch) {
    if (const auto it = size.glyphs.find(glyph); it != size.glyphs.end()) return it->second;
    GlyphBits bits = render(glyph);
    const std::size_t cost = bits.bits.size() + kGlyphOverheadBytes;
    if (bits.bits.size() > kMaxKeptGlyphBytes) {
      scratch = std::move(bits);
      return scratch;
    }
    if (glyph_bytes_ + cost > kGlyphBytesPerFace) {
      for (FaceSize& s : sizes_) s.glyphs.clear();
      glyph_bytes_ = 0;
    }
    glyph_bytes_ += cost;
    return size.glyphs.emplace(glyph, std::move(bits)).first->second;
  }

 private:
  explicit OpenFace(int index) : index_(index) {}

  GlyphBits render(hb_codepoint_t glyph) {
    GlyphBits bits;
    if (FT_Load_Glyph(face_, glyph, FT_LOAD_TARGET_MONO | FT_LOAD_NO_BITMAP) != 0) return bits;
    FT_GlyphSlot slot = face_->glyph;
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0) return bits;
    const FT_Bitmap& bitmap = slot->bitmap;
    if (bitmap.pixel_mode != FT_PIXEL_MODE_MONO) return bits;
    bits.drawable = true;
    bits.left = slot->bitmap_left;
    bits.top = slot->bitmap_top;
    bits.width = bitmap.width;
    bits.rows = bitmap.rows;
    bits.stride = (bitmap.width + 7) / 8;
    bits.bits.resize(bits.stride * bitmap.rows);
    for (unsigned row = 0; row < bitmap.rows; ++row) {
      const unsigned char* source = bitmap.buffer + static_cast<std::ptrdiff_t>(row) * bitmap.pitch;
      std::copy_n(source, bits.stride, bits.bits.begin() + row * bits.stride);
    }
    return bits;
  }

  void drop_size(std::list<FaceSize>::iterator it) {
    for (const auto& [id, bits] : it->glyphs)
      glyph_bytes_ -= bits.bits.size() + kGlyphOverheadBytes;
    hb_font_destroy(it->hb_font);
    FT_Done_Size(it->ft_size);
    sizes_.erase(it);
  }

  std::mutex mu_;
  const int index_;
  FT_Library library_ = nullptr;
  FT_Face face_ = nullptr;
  hb_face_t* hb_face_ = nullptr;
  std::list<FaceSize> sizes_;  // most recently used first
  std::size_t glyph_bytes_ = 0;
};

// The opened faces of one host, least recently used dropped first.
// Thread-safe.
class FaceCache {
 public:
  std::shared_ptr<OpenFace> get(const FaceRecord& record) {
    const std::pair<std::string, int> key(record.file, record.index);
    {
      std::lock_guard lock(mu_);
      if (auto face = find(key)) return face;
    }
    // Opened without the lock: it reads the file.
    std::shared_ptr<OpenFace> face = OpenFace::open(record);
    if (!face) return nullptr;
    std::lock_guard lock(mu_);
    if (auto raced = find(key)) return raced;
    if (entries_.size() >= kMaxOpenFaces) entries_.pop_back();
    entries_.emplace_front(key, face);
    return face;
  }

 private:
  std::shared_ptr<OpenFace> find(const std::pair<std::string, int>& key) {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const auto& entry) { return entry.first == key; });
    if (it == entries_.end()) return nullptr;
    entries_.splice(entries_.begin(), entries_, it);
    return it->second;
  }

  std::mutex mu_;
  std::list<std::pair<std::pair<std::string, int>, std::shared_ptr<OpenFace>>> entries_;
};

class FreeTypeFont final : public Font {
 public:
  // `face` at `size` points; null when FreeType cannot open or scale it.
  static std::unique_ptr<Font> open(FaceCache& cache, const FaceRecord& record, double size) {
    std::shared_ptr<OpenFace> face = cache.get(record);
    if (!face) return nullptr;
    const auto size_26_6 = static_cast<FT_F26Dot6>(std::max(1L, std::lround(size * 64.0)));
    {
      std::lock_guard lock(face->mutex());
      if (face->activate(size_26_6) == nullptr) return nullptr;
    }
    return std::unique_ptr<Font>(
        new FreeTypeFont(record.postscript_name, std::move(face), size_26_6));
  }

  std::string face_name() const override { return face_name_; }

  TextExtent measure(std::string_view utf8_text) override {
    std::lock_guard lock(face_->mutex());
    FaceSize* size = face_->activate(size_26_6_);
    if (size == nullptr) return {};
    TextExtent extent;
    extent.height = size->line_height;
    if (utf8_text.size() > kMaxTextBytes) {
      extent.width = std::numeric_limits<double>::infinity();
      return extent;
    }
    std::int64_t advance = 0;
    for (const ShapedGlyph& glyph : shape(*size, utf8_text)) advance += glyph.x_advance;
    extent.width = static_cast<double>(advance) / 64.0;
    return extent;
  }

  void draw(std::string_view utf8_text, Image& surface) override {
    if (surface.empty() || utf8_text.size() > kMaxTextBytes) return;
    std::lock_guard lock(face_->mutex());
    FaceSize* size = face_->activate(size_26_6_);
    if (size == nullptr) return;
    GlyphBits scratch;
    std::int64_t pen_x = 0;
    for (const ShapedGlyph& shaped : shape(*size, utf8_text)) {
      const auto origin_x = static_cast<long>(std::lround((pen_x + shaped.x_offset) / 64.0));
      const auto origin_y =
          static_cast<long>(std::lround((size->ascender - shaped.y_offset) / 64.0));
      pen_x += shaped.x_advance;
      const GlyphBits& bits = face_->glyph(*size, shaped.glyph, scratch);
      if (bits.drawable) paint(bits, origin_x + bits.left, origin_y - bits.top, surface);
    }
  }

 private:
  struct ShapedGlyph {
    hb_codepoint_t glyph;
    hb_position_t x_advance;
    hb_position_t x_offset;
    hb_position_t y_offset;
  };

  FreeTypeFont(std::string face_name, std::shared_ptr<OpenFace> face, FT_F26Dot6 size_26_6)
      : face_name_(std::move(face_name)), face_(std::move(face)), size_26_6_(size_26_6) {}

  // The shaped glyphs of `utf8_text`. The last line shaped is kept, since a
  // drawing measures a line and then draws the same line.
  const std::vector<ShapedGlyph>& shape(FaceSize& size, std::string_view utf8_text) {
    if (shaped_valid_ && utf8_text == shaped_text_) return shaped_;
    shaped_valid_ = false;
    shaped_.clear();
    hb_buffer_t* buffer = hb_buffer_create();
    const int length = static_cast<int>(utf8_text.size());
    hb_buffer_add_utf8(buffer, utf8_text.data(), length, 0, length);
    hb_buffer_guess_segment_properties(buffer);
    hb_shape(size.hb_font, buffer, nullptr, 0);
    unsigned count = 0;
    const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
    const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, nullptr);
    if (infos != nullptr && positions != nullptr) {
      shaped_.reserve(count);
      for (unsigned i = 0; i < count; ++i) {
        shaped_.push_back({infos[i].codepoint, positions[i].x_advance, positions[i].x_offset,
                           positions[i].y_offset});
      }
    }
    hb_buffer_destroy(buffer);
    shaped_text_.assign(utf8_text);
    shaped_valid_ = true;
    return shaped_;
  }

  // Paints the set bits of a glyph whose top-left lands at (left, top) of the
  // surface, clipped to the surface.
  static void paint(const GlyphBits& glyph, long left, long top, Image& surface) {
    const auto surface_width = static_cast<long>(surface.width);
    const auto surface_height = static_cast<long>(surface.height);
    for (unsigned row = 0; row < glyph.rows; ++row) {
      const long y = top + static_cast<long>(row);
      if (y < 0 || y >= surface_height) continue;
      const std::uint8_t* bits = glyph.bits.data() + row * glyph.stride;
      for (unsigned column = 0; column < glyph.width; ++column) {
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
  std::shared_ptr<OpenFace> face_;
  FT_F26Dot6 size_26_6_;
  bool shaped_valid_ = false;
  std::string shaped_text_;
  std::vector<ShapedGlyph> shaped_;
};

// A host over one source of font configuration, which load_config_ reads
// afresh whenever the fonts may have changed.
//
// The catalogue is rebuilt when the configuration's files or font folders (and
// the paths the host was given) have changed. They are looked at no more than
// once per the configuration's rescan interval (30 s by default), and when a
// name that is neither a face nor a family is asked for, at most once per
// kMissRescanSeconds, so that a font installed while the process runs is found
// by its name. fontconfig's own FcConfigUptoDate is not used: it compares
// whole seconds with the time of its previous call, so a font installed in the
// same second as a look is never seen, and it takes about 0.2 ms. Both limits
// use the wall clock, as fontconfig does for its rescan interval.
//
// Locking: fc_mu_ serialises every fontconfig call of this host (including
// loading and listing); state_mu_ guards the catalogue pointer, the check
// times and the best-match memo and is never held across a fontconfig call or
// file access. Readers work on a catalogue they hold a reference to, so a
// rebuild never blocks a drawing in progress.
class FontconfigHost final : public FontHost {
 public:
  // `watched` adds paths whose change means the configuration must be read
  // again (those of application fonts, which fontconfig does not list).
  explicit FontconfigHost(std::function<FcConfig*()> load_config,
                          std::vector<std::string> watched = {})
      : load_config_(std::move(load_config)), watched_(std::move(watched)) {}

  std::vector<std::string> family_names() override {
    const auto catalogue = current(std::nullopt);
    std::vector<std::string> names;
    names.reserve(catalogue->by_family.size());
    for (const auto& [family, faces] : catalogue->by_family) names.push_back(family);
    return names;
  }

  std::vector<std::string> face_names(std::string_view family) override {
    const auto catalogue = current(family);
    std::vector<std::string> names;
    if (const auto* members = catalogue->family(family)) {
      for (std::size_t i : *members) names.push_back(catalogue->faces[i].postscript_name);
    }
    return names;
  }

  std::unique_ptr<Font> open_font(std::string_view name, double size) override {
    if (!(size > 0.0 && size <= kMaxFontSize)) return nullptr;
    // Candidates in order: the face of that name, the family's first face,
    // then fontconfig's ranking; a file that fails to open is passed over.
    const auto catalogue = current(name);
    if (const FaceRecord* face = catalogue->face(name)) {
      if (auto font = FreeTypeFont::open(faces_, *face, size)) return font;
    }
    if (const auto* members = catalogue->family(name)) {
      if (auto font = FreeTypeFont::open(faces_, catalogue->faces[members->front()], size)) {
        return font;
      }
    }
    const std::string family(name.substr(0, name.find('\0')));
    if (auto remembered = best_match_memo(catalogue, family)) {
      if (auto font = FreeTypeFont::open(faces_, *remembered, size)) return font;
    }
    for (const FaceRecord& face : best_matches(family)) {
      if (auto font = FreeTypeFont::open(faces_, face, size)) {
        remember_best_match(catalogue, family, face);
        return font;
      }
    }
    return nullptr;
  }

 private:
  // The catalogue to answer with, rebuilt first when it is missing or when its
  // sources changed, looked at once the rescan interval has passed, or when
  // `name` is unknown to it and no look for an unknown name happened within
  // kMissRescanSeconds.
  std::shared_ptr<const Catalogue> current(std::optional<std::string_view> name) {
    const std::time_t now = std::time(nullptr);
    std::shared_ptr<const Catalogue> catalogue;
    bool look = false;
    {
      std::lock_guard lock(state_mu_);
      catalogue = catalogue_;
      if (catalogue && rescan_interval_ > 0 && !within(last_look_, rescan_interval_, now)) {
        last_look_ = now;
        look = true;
      }
      if (catalogue && name && !catalogue->knows(*name) &&
          !within(last_look_for_name_, kMissRescanSeconds, now)) {
        last_look_for_name_ = now;
        look = true;
      }
    }
    if (catalogue && !look) return catalogue;

    std::lock_guard fc_lock(fc_mu_);
    {
      std::lock_guard lock(state_mu_);
      // Another thread may have rebuilt while this one waited for fc_mu_.
      if (catalogue_ != catalogue) return catalogue_;
    }
    if (catalogue && !sources_.changed()) return catalogue;
    config_.reset(load_config_());
    std::vector<std::string> sources = config_sources(config_.get());
    sources.insert(sources.end(), watched_.begin(), watched_.end());
    sources_ = SourceTimes(std::move(sources));
    auto rebuilt = build_catalogue(config_.get());
    const std::time_t interval = config_ ? FcConfigGetRescanInterval(config_.get()) : 0;
    std::lock_guard lock(state_mu_);
    catalogue_ = rebuilt;
    rescan_interval_ = interval;
    last_look_ = now;
    best_match_memo_.clear();
    return rebuilt;
  }

  // Whether `now` is less than `seconds` after `then`; a clock set back counts
  // as the interval having passed.
  static bool within(std::optional<std::time_t> then, std::time_t seconds, std::time_t now) {
    return then && now >= *then && now - *then < seconds;
  }

  std::optional<FaceRecord> best_match_memo(const std::shared_ptr<const Catalogue>& catalogue,
                                            const std::string& family) {
    std::lock_guard lock(state_mu_);
    if (catalogue != catalogue_) return std::nullopt;
    const auto it = best_match_memo_.find(family);
    if (it == best_match_memo_.end()) return std::nullopt;
    return it->second;
  }

  void remember_best_match(const std::shared_ptr<const Catalogue>& catalogue,
                           const std::string& family, const FaceRecord& face) {
    std::lock_guard lock(state_mu_);
    if (catalogue != catalogue_) return;
    if (best_match_memo_.size() >= kMaxBestMatchMemo) best_match_memo_.clear();
    best_match_memo_.insert_or_assign(family, face);
  }

  // Fontconfig's ranking of the usable faces for `family`, best first.
  std::vector<FaceRecord> best_matches(const std::string& family) {
    std::vector<FaceRecord> faces;
    std::lock_guard lock(fc_mu_);
    if (!config_) return faces;
    PatternPtr pattern(FcPatternCreate());
    if (!pattern) return faces;
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcConfigSubstitute(config_.get(), pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    FontSetPtr set(FcFontSort(config_.get(), pattern.get(), FcFalse, nullptr, &result));
    if (!set) return faces;
    for (int i = 0; i < set->nfont; ++i) {
      if (auto face = face_from_pattern(set->fonts[i])) faces.push_back(std::move(*face));
    }
    return faces;
  }

  const std::function<FcConfig*()> load_config_;
  const std::vector<std::string> watched_;
  FaceCache faces_;

  std::mutex fc_mu_;
  ConfigPtr config_;     // guarded by fc_mu_
  SourceTimes sources_;  // guarded by fc_mu_

  std::mutex state_mu_;
  std::shared_ptr<const Catalogue> catalogue_;
  std::time_t rescan_interval_ = 0;
  std::optional<std::time_t> last_look_;
  std::optional<std::time_t> last_look_for_name_;
  std::map<std::string, FaceRecord, std::less<>> best_match_memo_;
};

}  // namespace

FontHost& default_font_host() {
  // Never destroyed: Fonts and callers on other threads may outlive static
  // destruction order.
  static FontconfigHost* const host = new FontconfigHost([] { return FcInitLoadConfigAndFonts(); });
  return *host;
}

std::unique_ptr<FontHost> new_font_host_for_files(std::span<const std::string> font_files) {
  std::vector<std::string> paths(font_files.begin(), font_files.end());
  return std::make_unique<FontconfigHost>(
      [files = paths] {
        FcConfig* config = FcConfigCreate();
        if (config == nullptr) return config;
        for (const std::string& file : files) {
          const auto* path = reinterpret_cast<const FcChar8*>(file.c_str());
          std::error_code error;
          if (std::filesystem::is_directory(file, error)) {
            FcConfigAppFontAddDir(config, path);
          } else {
            FcConfigAppFontAddFile(config, path);
          }
        }
        return config;
      },
      std::move(paths));
}

std::unique_ptr<FontHost> new_font_host_for_config_file(const std::string& config_file) {
  return std::make_unique<FontconfigHost>([config_file] {
    ConfigPtr config(FcConfigCreate());
    if (!config ||
        !FcConfigParseAndLoad(config.get(), reinterpret_cast<const FcChar8*>(config_file.c_str()),
                              FcFalse) ||
        !FcConfigBuildFonts(config.get())) {
      return static_cast<FcConfig*>(nullptr);
    }
    return config.release();
  });
}

}  // namespace quillkit::platform
