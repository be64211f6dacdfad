// The label description that `quill print` reads: a JSON document with the media settings,
// the elements and the number of copies (docs/label-format.md documents it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quillkit/image.hpp"

namespace quillkit {
class Printer;
}

namespace quill {

enum class TextEncoding { utf8, gb18030, big5 };

// Text in one of the printer's own fonts (a TEXT command).
struct TextElement {
  int x = 0;
  int y = 0;
  std::string font = "3";
  int rotation = 0;
  int scale_x = 1;
  int scale_y = 1;
  std::string text;
  TextEncoding encoding = TextEncoding::utf8;
};

struct BarcodeElement {
  int x = 0;
  int y = 0;
  std::string type = "128";
  int height = 80;
  bool readable = true;
  int rotation = 0;
  int narrow = 2;
  int wide = 2;
  std::string data;
};

// Text drawn on the host in an installed font and sent as a bitmap.
struct BitmapTextElement {
  int x = 0;
  int y = 0;
  std::string font = "DejaVu Sans";
  int height = 32;
  int rotation = 0;
  int style = 0;  // 0 plain, 1 italic, 2 bold, 3 bold italic
  bool underline = false;
  std::string text;
};

// Command text sent exactly as written.
struct RawElement {
  std::string command;
};

// A picture file fitted to a box and sent as a bitmap; converted when the label is read.
struct ImageElement {
  int x = 0;
  int y = 0;
  std::string file;  // as the label file names it
  quillkit::MonoImage picture;
};

using Element =
    std::variant<TextElement, BarcodeElement, BitmapTextElement, RawElement, ImageElement>;

enum class Sensor { unchanged, gap, mark };

struct Label {
  double width_mm = 0;
  double height_mm = 0;
  Sensor sensor = Sensor::unchanged;
  double sensor_distance_mm = 0;
  double sensor_offset_mm = 0;
  double speed = 4;
  int density = 8;
  int quantity = 1;
  int copies = 1;
  std::vector<Element> elements;
};

// A parsed label, or the reason it was refused: "<field>: <problem>", the field written as a
// path such as elements[2].data.
struct LabelParse {
  std::optional<Label> label;
  std::string error;
};

// Parses and checks the whole description, reading and converting its pictures (relative file
// names are found in `folder`; empty: the working directory); nothing of it is used when any
// field is wrong.
LabelParse parse_label(std::string_view json_text, const std::filesystem::path& folder = {});
// Reads the file (at most 1 MiB) and parses it, its pictures found next to it; the error then
// starts with the file's name.
LabelParse load_label(const std::filesystem::path& path);

// Sends the label to the printer: setup, clear, the elements in order, print. Nothing when
// done, else the one-line reason it stopped (an element the printer's link refused). Does not
// check the link before it starts.
std::optional<std::string> print_label(quillkit::Printer& printer, const Label& label);

}  // namespace quill
