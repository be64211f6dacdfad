// Installed fonts: their family and face names, measuring a line of text and
// drawing it in one dot per point, without antialiasing.
//
// Names. A family name is any of the family names the font configuration gives
// a face (a face may belong to several families: "DejaVu Sans" and "DejaVu Sans
// Condensed", or an English and a Chinese name). A face name is the face's
// PostScript name. Comparisons are exact and case-sensitive.
//
// Face order. face_names() lists a family's faces in this order, which decides
// ties wherever the first or last face of a kind is taken:
//   1. normal width first, then the others by their distance from normal width,
//      narrower before wider at the same distance;
//   2. within a width: the regular weight (book or regular), then bold, then the
//      other weights by their distance from regular, lighter first at the same
//      distance;
//   3. within a weight: upright, then italic, then oblique;
//   4. last, the PostScript name in byte order.
// Only scalable TrueType and OpenType faces (collections included) are listed;
// a PostScript name seen twice (the same font installed twice) is listed once.
//
// Opening. open_font() takes a face name or a family name: an exact face name
// opens that face; otherwise an exact family name opens the family's first face
// in face order; otherwise the font configuration's best match for the name,
// taken as a family name, is opened (on a stock system an unknown name gives
// the default sans-serif face). It returns null only when no usable face exists
// at all or the size is out of range (not a number, not above 0, or above
// kMaxFontSize).
//
// Keeping. A host lists the installed faces once and keeps the list until the
// font configuration or its font folders change; it looks for changes now and
// then and whenever a name it does not know is asked for, so a font installed
// while the process runs is found by name. It keeps a few faces open, with
// their shaping and rendered glyphs, within a fixed memory bound; what is kept
// never changes what is measured or drawn.
//
// Threading: FontHost members may be called from any thread at the same time.
// A Font belongs to one thread at a time; distinct Fonts may be used at once
// from different threads (Fonts of one face take turns on it).
//
// Notes for implementers: never throw; a font file that cannot be read or
// parsed is skipped as if it were not installed. measure() and draw() must
// agree: draw() places the glyphs at the advances that measure() adds up.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/types.hpp"

namespace quillkit::platform {

// The largest font size, in points, a face can be opened at.
inline constexpr double kMaxFontSize = 65535.0;

// The extent of a line of text set in one font, in points (fractional).
struct TextExtent {
  // Sum of the shaped glyph advances.
  double width = 0;
  // The face's line height: ascender minus descender plus line gap.
  double height = 0;
};

// One face opened at one size (1 point = 1 pixel).
class Font {
 public:
  virtual ~Font() = default;

  // The face's PostScript name.
  virtual std::string face_name() const = 0;

  // Shapes `utf8_text` as one line (line breaks are not interpreted; invalid
  // UTF-8 sequences count as U+FFFD) and returns its extent.
  virtual TextExtent measure(std::string_view utf8_text) = 0;

  // Shapes `utf8_text` as measure() does and paints its glyphs opaque black
  // (R, G, B 0, alpha 255) on `surface`, one line whose top-left (the line's
  // ascender at the first pen position) is the surface's top-left. Each pixel
  // is either left as it was or fully painted. Ink falling outside the surface
  // is clipped. Characters the face lacks draw as its missing-glyph shape.
  virtual void draw(std::string_view utf8_text, Image& surface) = 0;
};

class FontHost {
 public:
  virtual ~FontHost() = default;

  // Every installed family name, sorted in byte order, without repeats.
  virtual std::vector<std::string> family_names() = 0;

  // The face names of `family` in face order (see above); empty when no face
  // has that family name.
  virtual std::vector<std::string> face_names(std::string_view family) = 0;

  // The font named `name` (face or family, else the best match) at `size`
  // points; null when no face can be opened or the size is out of range.
  virtual std::unique_ptr<Font> open_font(std::string_view name, double size) = 0;
};

// The host over the system's font configuration. Lives for the whole process.
FontHost& default_font_host();

// A host that sees only the given font files and folders (for tests and
// embedders that ship their own fonts). Paths that cannot be read are ignored.
std::unique_ptr<FontHost> new_font_host_for_files(std::span<const std::string> font_files);

// A host over the font configuration file `config_file` (a fonts.conf, what
// FONTCONFIG_FILE names for the default host). A file that cannot be loaded
// gives a host with no fonts.
std::unique_ptr<FontHost> new_font_host_for_config_file(const std::string& config_file);

}  // namespace quillkit::platform
