#include "cli/label_file.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <type_traits>
#include <utility>

#include "cli/pictures.hpp"
#include "quillkit/printer.hpp"

namespace quill {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxFileBytes = 1024 * 1024;
constexpr std::size_t kMaxElements = 1000;
constexpr int kMaxDots = 20000;
constexpr std::size_t kMaxTextBytes = 4096;
constexpr std::size_t kMaxNameBytes = 128;
constexpr std::size_t kMaxBarcodeDataBytes = 256;
constexpr std::size_t kMaxRawBytes = 64 * 1024;
// The dots of a label's pictures together (8 MiB of bits).
constexpr std::size_t kMaxPictureDots = quillkit::kMaxPixels;

// A refused field; caught in parse_label and turned into LabelParse::error.
struct FieldError {
  std::string field;
  std::string problem;
};

std::string describe(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    default:
      return "the number " + value.dump();
  }
}

// One JSON object being read: every member must be known, and each getter checks the type and
// range of its member and names it in the error.
class ObjectReader {
 public:
  ObjectReader(const json& object, std::string path, std::initializer_list<std::string_view> known)
      : object_(object), path_(std::move(path)) {
    if (!object.is_object()) throw FieldError{path_or_root(), "expected an object"};
    for (const auto& [key, value] : object.items()) {
      bool found = key == "comment";
      for (std::string_view k : known) found = found || k == key;
      if (!found) throw FieldError{field(key), "unknown field"};
    }
  }

  bool has(std::string_view key) const { return object_.contains(key); }
  std::string field(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  }
  const json& at(std::string_view key) const { return object_.at(key); }

  int integer(std::string_view key, int min, int max, std::optional<int> fallback) const {
    if (!has(key)) return required(key, fallback);
    const json& value = at(key);
    const std::string range = "expected a whole number from " + std::to_string(min) + " to " +
                              std::to_string(max) + ", got ";
    if (!value.is_number_integer() && !value.is_number_float()) {
      throw FieldError{field(key), range + describe(value)};
    }
    const double number = value.get<double>();
    if (std::trunc(number) != number || number < min || number > max) {
      throw FieldError{field(key), range + value.dump()};
    }
    return static_cast<int>(number);
  }

  // A number above `min` (or equal when `min_inclusive`) and at most `max`.
  double number(std::string_view key, double min, bool min_inclusive, double max,
                std::optional<double> fallback) const {
    if (!has(key)) return required(key, fallback);
    const json& value = at(key);
    const std::string range = std::string("expected a number ") +
                              (min_inclusive ? "from " : "above ") + format_number(min) +
                              (min_inclusive ? " to " : " up to ") + format_number(max) + ", got ";
    if (!value.is_number()) throw FieldError{field(key), range + describe(value)};
    const double n = value.get<double>();
    if (!std::isfinite(n) || n < min || (n == min && !min_inclusive) || n > max) {
      throw FieldError{field(key), range + value.dump()};
    }
    return n;
  }

  bool boolean(std::string_view key, bool fallback) const {
    if (!has(key)) return fallback;
    if (!at(key).is_boolean()) {
      throw FieldError{field(key), "expected true or false, got " + describe(at(key))};
    }
    return at(key).get<bool>();
  }

  // A non-empty string of at most `max_bytes` bytes. Control characters are refused unless
  // `allow_control`; a double quote is refused when `no_quote` (the printer's quoted fields
  // cannot carry one).
  std::string text(std::string_view key, std::size_t max_bytes, bool no_quote, bool allow_control,
                   std::optional<std::string> fallback) const {
    if (!has(key)) return required(key, std::move(fallback));
    const json& value = at(key);
    if (!value.is_string())
      throw FieldError{field(key), "expected a string, got " + describe(value)};
    const auto& s = value.get_ref<const std::string&>();
    if (s.empty()) throw FieldError{field(key), "must not be empty"};
    if (s.size() > max_bytes) {
      throw FieldError{field(key), "longer than " + std::to_string(max_bytes) + " bytes"};
    }
    for (unsigned char c : s) {
      if (no_quote && c == '"') {
        throw FieldError{field(key), "contains a double quote, which the printer cannot take here"};
      }
      if (!allow_control && (c < 0x20 || c == 0x7F)) {
        throw FieldError{field(key), "contains a control character (line ends are not allowed)"};
      }
    }
    return s;
  }

  // One of `choices`, returned as its index.
  int choice(std::string_view key, const std::vector<std::string_view>& choices,
             int fallback) const {
    if (!has(key)) return fallback;
    const json& value = at(key);
    std::string list;
    int index = 0;
    for (std::string_view c : choices) {
      if (value.is_string() && value.get_ref<const std::string&>() == c) return index;
      list += (index == 0 ? "" : ", ") + std::string(c);
      ++index;
    }
    throw FieldError{field(key), "expected one of " + list + ", got " +
                                     (value.is_string() ? value.dump() : describe(value))};
  }

  // One of the names of a vocabulary, returned as its value.
  template <class V, std::size_t N>
  V named(std::string_view key, const Named<V> (&table)[N], V fallback) const {
    std::vector<std::string_view> names;
    for (const Named<V>& r : table) names.push_back(r.name);
    return has(key) ? table[choice(key, names, 0)].value : fallback;
  }

  int rotation(std::string_view key) const {
    if (!has(key)) return 0;
    const json& value = at(key);
    if (value.is_number_integer()) {
      const auto r = value.get<std::int64_t>();
      if (r == 0 || r == 90 || r == 180 || r == 270) return static_cast<int>(r);
    }
    throw FieldError{field(key), "expected 0, 90, 180 or 270, got " +
                                     (value.is_number() ? value.dump() : describe(value))};
  }

 private:
  template <typename T>
  T required(std::string_view key, std::optional<T> fallback) const {
    if (!fallback) throw FieldError{field(key), "missing"};
    return *std::move(fallback);
  }
  std::string path_or_root() const { return path_.empty() ? "label" : path_; }
  static std::string format_number(double n) {
    std::array<char, 32> buffer{};
    const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), n).ptr;
    return std::string(buffer.data(), end);
  }

  const json& object_;
  std::string path_;
};

// The picture of an image element: the file read (a relative name in `folder`), its first page
// converted for the box.
quillkit::MonoImage read_picture(const ObjectReader& r, const std::string& file,
                                 const std::filesystem::path& folder,
                                 const quillkit::PictureOptions& options) {
  std::string error;
  const std::string shown = (folder / file).string();
  const auto bytes = read_input(shown, error);
  quillkit::LoadOptions first_page;
  first_page.last_page = 1;
  const auto pages = bytes ? convert_file(*bytes, shown, options, first_page, error) : std::nullopt;
  if (!pages) throw FieldError{r.field("file"), error};
  return std::move(pages->front());
}

Element read_element(const json& value, const std::string& path,
                     const std::filesystem::path& folder) {
  if (!value.is_object()) throw FieldError{path, "expected an object, got " + describe(value)};
  if (!value.contains("kind")) throw FieldError{path + ".kind", "missing"};
  const json& kind = value.at("kind");
  const std::string name = kind.is_string() ? kind.get<std::string>() : "";
  if (name == "text") {
    ObjectReader r(
        value, path,
        {"kind", "x", "y", "font", "rotation", "scale_x", "scale_y", "text", "encoding"});
    TextElement e;
    e.x = r.integer("x", 0, kMaxDots, std::nullopt);
    e.y = r.integer("y", 0, kMaxDots, std::nullopt);
    e.font = r.text("font", kMaxNameBytes, true, false, e.font);
    e.rotation = r.rotation("rotation");
    e.scale_x = r.integer("scale_x", 1, 10, 1);
    e.scale_y = r.integer("scale_y", 1, 10, 1);
    e.text = r.text("text", kMaxTextBytes, true, false, std::nullopt);
    e.encoding = static_cast<TextEncoding>(r.choice("encoding", {"utf-8", "gb18030", "big5"}, 0));
    return e;
  }
  if (name == "barcode") {
    ObjectReader r(
        value, path,
        {"kind", "x", "y", "type", "height", "readable", "rotation", "narrow", "wide", "data"});
    BarcodeElement e;
    e.x = r.integer("x", 0, kMaxDots, std::nullopt);
    e.y = r.integer("y", 0, kMaxDots, std::nullopt);
    e.type = r.text("type", 16, true, false, e.type);
    if (e.type.find(',') != std::string::npos)
      throw FieldError{r.field("type"), "contains a comma"};
    e.height = r.integer("height", 1, 4800, e.height);
    e.readable = r.boolean("readable", e.readable);
    e.rotation = r.rotation("rotation");
    e.narrow = r.integer("narrow", 1, 10, e.narrow);
    e.wide = r.integer("wide", 1, 30, e.wide);
    e.data = r.text("data", kMaxBarcodeDataBytes, true, false, std::nullopt);
    return e;
  }
  if (name == "bitmap-text") {
    ObjectReader r(value, path,
                   {"kind", "x", "y", "font", "height", "rotation", "style", "underline", "text"});
    BitmapTextElement e;
    e.x = r.integer("x", 0, kMaxDots, std::nullopt);
    e.y = r.integer("y", 0, kMaxDots, std::nullopt);
    e.font = r.text("font", kMaxNameBytes, false, false, e.font);
    e.height = r.integer("height", 4, 1000, e.height);
    e.rotation = r.rotation("rotation");
    // windowsfont's style numbers, in this order.
    e.style = r.choice("style", {"plain", "italic", "bold", "bold-italic"}, 0);
    e.underline = r.boolean("underline", false);
    e.text = r.text("text", kMaxTextBytes, false, false, std::nullopt);
    return e;
  }
  if (name == "image") {
    ObjectReader r(value, path, {"kind", "x", "y", "file", "width", "height", "fit", "dither"});
    ImageElement e;
    e.x = r.integer("x", 0, kMaxDots, std::nullopt);
    e.y = r.integer("y", 0, kMaxDots, std::nullopt);
    e.file = r.text("file", kMaxTextBytes, false, false, std::nullopt);
    quillkit::PictureOptions options;
    options.width = static_cast<std::size_t>(r.integer("width", 0, kMaxDots, 0));
    options.height = static_cast<std::size_t>(r.integer("height", 0, kMaxDots, 0));
    options.fit = r.named("fit", kFits, options.fit);
    options.dither = r.named("dither", kDithers, options.dither);
    e.picture = read_picture(r, e.file, folder, options);
    return e;
  }
  if (name == "raw") {
    ObjectReader r(value, path, {"kind", "command"});
    return RawElement{r.text("command", kMaxRawBytes, false, true, std::nullopt)};
  }
  throw FieldError{path + ".kind", "expected one of text, barcode, bitmap-text, raw, image, got " +
                                       (kind.is_string() ? kind.dump() : describe(kind))};
}

Label read_label(const json& document, const std::filesystem::path& folder) {
  ObjectReader r(document, "",
                 {"size", "gap", "mark", "speed", "density", "quantity", "copies", "elements"});
  Label label;
  if (!r.has("size")) throw FieldError{"size", "missing"};
  ObjectReader size(r.at("size"), "size", {"width", "height"});
  label.width_mm = size.number("width", 0, false, 1000, std::nullopt);
  label.height_mm = size.number("height", 0, false, 1000, std::nullopt);

  if (r.has("gap") && r.has("mark")) throw FieldError{"mark", "give either gap or mark, not both"};
  for (const char* key : {"gap", "mark"}) {
    if (!r.has(key)) continue;
    ObjectReader sensor(r.at(key), key, {"distance", "offset"});
    label.sensor = std::string_view(key) == "gap" ? Sensor::gap : Sensor::mark;
    label.sensor_distance_mm = sensor.number("distance", 0, true, 100, std::nullopt);
    label.sensor_offset_mm = sensor.number("offset", 0, true, 100, 0.0);
  }
  label.speed = r.number("speed", 0, false, 20, label.speed);
  label.density = r.integer("density", 0, 15, label.density);
  label.quantity = r.integer("quantity", 1, 1000, label.quantity);
  label.copies = r.integer("copies", 1, 1000, label.copies);

  if (r.has("elements")) {
    const json& elements = r.at("elements");
    if (!elements.is_array()) {
      throw FieldError{"elements", "expected an array, got " + describe(elements)};
    }
    if (elements.size() > kMaxElements) {
      throw FieldError{"elements", "more than " + std::to_string(kMaxElements) + " elements"};
    }
    std::size_t picture_dots = 0;
    for (std::size_t i = 0; i < elements.size(); ++i) {
      const std::string path = "elements[" + std::to_string(i) + "]";
      label.elements.push_back(read_element(elements[i], path, folder));
      if (const auto* image = std::get_if<ImageElement>(&label.elements.back())) {
        picture_dots += image->picture.width * image->picture.height;
        if (picture_dots > kMaxPictureDots) {
          throw FieldError{path, "the pictures together are more than " +
                                     std::to_string(kMaxPictureDots) + " dots"};
        }
      }
    }
  }
  return label;
}

// The shortest decimal text that reads back as `n` (60, 57.5).
std::string decimal(double n) {
  std::array<char, 32> buffer{};
  const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), n).ptr;
  return std::string(buffer.data(), end);
}

std::string element_name(std::size_t index) { return "elements[" + std::to_string(index) + "]"; }

}  // namespace

LabelParse parse_label(std::string_view json_text, const std::filesystem::path& folder) {
  json document;
  try {
    document = json::parse(json_text);
  } catch (const json::exception& e) {
    // A syntax error, or a number beyond what a double holds (1e400). The library's message
    // names the byte where reading stopped, or the number.
    std::string what = e.what();
    if (const auto tag = what.find("] "); what.starts_with('[') && tag != std::string::npos) {
      what = what.substr(tag + 2);
    }
    return {std::nullopt, "not valid JSON: " + what};
  }
  try {
    return {read_label(document, folder), {}};
  } catch (const FieldError& e) {
    return {std::nullopt, e.field + ": " + e.problem};
  } catch (const json::exception& e) {
    return {std::nullopt, std::string("cannot be read as a label: ") + e.what()};
  }
}

LabelParse load_label(const std::filesystem::path& path) {
  std::error_code ec;
  const std::string shown = path.string();
  if (!std::filesystem::is_regular_file(path, ec)) return {std::nullopt, shown + ": not a file"};
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxFileBytes) return {std::nullopt, shown + ": larger than 1 MiB"};
  std::ifstream in(path, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  if (!in && !in.eof()) return {std::nullopt, shown + ": cannot be read"};
  LabelParse parsed = parse_label(text, path.parent_path());
  if (!parsed.label) parsed.error = shown + ": " + parsed.error;
  return parsed;
}

std::optional<std::string> print_label(quillkit::Printer& printer, const Label& label) {
  const char* sensor = label.sensor == Sensor::gap ? "0" : label.sensor == Sensor::mark ? "1" : "";
  printer.setup(decimal(label.width_mm), decimal(label.height_mm), decimal(label.speed),
                std::to_string(label.density), sensor, decimal(label.sensor_distance_mm),
                decimal(label.sensor_offset_mm));
  printer.clearBuffer();
  for (std::size_t i = 0; i < label.elements.size(); ++i) {
    const Element& element = label.elements[i];
    if (const auto* text = std::get_if<TextElement>(&element)) {
      const std::string x = std::to_string(text->x), y = std::to_string(text->y);
      const std::string r = std::to_string(text->rotation);
      const std::string mx = std::to_string(text->scale_x), my = std::to_string(text->scale_y);
      quillkit::Result result = 1;
      switch (text->encoding) {
        case TextEncoding::utf8:
          result = printer.printerfont(x, y, text->font, r, mx, my, text->text);
          break;
        case TextEncoding::gb18030:
          result = printer.printerfont_GB2312(x, y, text->font, r, mx, my, text->text);
          break;
        case TextEncoding::big5:
          result = printer.printerfont_Big5(x, y, text->font, r, mx, my, text->text);
          break;
      }
      if (result != 1) {
        return element_name(i) +
               ".text cannot be written in the chosen encoding; label not printed";
      }
    } else if (const auto* code = std::get_if<BarcodeElement>(&element)) {
      printer.barcode(std::to_string(code->x), std::to_string(code->y), code->type,
                      std::to_string(code->height), code->readable ? "1" : "0",
                      std::to_string(code->rotation), std::to_string(code->narrow),
                      std::to_string(code->wide), code->data);
    } else if (const auto* bitmap = std::get_if<BitmapTextElement>(&element)) {
      if (printer.windowsfont(bitmap->x, bitmap->y, bitmap->height, bitmap->rotation, bitmap->style,
                              bitmap->underline ? 1 : 0, bitmap->font, bitmap->text) != 1) {
        return element_name(i) + ": the link was lost before the bitmap was sent";
      }
    } else if (const auto* image = std::get_if<ImageElement>(&element)) {
      if (printer.sendbitmap(image->x, image->y, image->picture) != 1) {
        return element_name(i) + ": the link was lost before the picture was sent";
      }
    } else if (const auto* raw = std::get_if<RawElement>(&element)) {
      const quillkit::Result result = printer.sendcommand(raw->command);
      if (result == -2) return element_name(i) + ": the printer is not taking data";
      if (result != 1) return element_name(i) + ": the link was lost before the command was sent";
    }
  }
  printer.printlabel(label.quantity, label.copies);
  return std::nullopt;
}

}  // namespace quill
