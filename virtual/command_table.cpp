// The command table, the dispatcher and the Call the handlers get. The dispatcher knows no
// command: it finds the row, splits the arguments as the row says, checks their number and calls
// the handler.
#include <algorithm>
#include <array>
#include <cmath>

#include "virtual/commands.hpp"
#include "virtual/text_decode.hpp"

namespace quillkit::vp {
namespace {

constexpr long long kMaxCoordinate = 1'000'000;
constexpr double kMaxLength = 100'000;  // in the field's own unit
constexpr int kManyFields = 64;

// Sorted by name for the binary search in find_row.
constexpr auto kCommands = std::to_array<CommandRow>({
    {"@", Shape::kWords, 0, 0, false, cmd_assign},
    {"AZTEC", Shape::kContent, 3, 12, true, cmd_aztec},
    {"BACKFEED", Shape::kFields, 1, 1, false, cmd_feed},
    {"BACKUP", Shape::kFields, 1, 1, false, cmd_feed},
    {"BAR", Shape::kFields, 4, 4, true, cmd_bar},
    {"BARCODE", Shape::kContent, 8, 9, true, cmd_barcode},
    {"BITMAP", Shape::kWords, 0, 0, false, cmd_bitmap},
    {"BLINE", Shape::kFields, 2, 2, false, cmd_bline},
    {"BLOCK", Shape::kContent, 9, 11, true, cmd_block},
    {"BOX", Shape::kFields, 5, 6, true, cmd_box},
    {"CIRCLE", Shape::kFields, 4, 4, true, cmd_circle},
    {"CLS", Shape::kNone, 0, 0, false, cmd_cls},
    {"CODABLOCK", Shape::kContent, 3, 5, true, cmd_codablock},
    {"CODEPAGE", Shape::kWords, 0, 0, false, cmd_codepage},
    {"COUNTRY", Shape::kWords, 0, 0, false, cmd_control},
    {"CUT", Shape::kNone, 0, 0, false, cmd_control},
    {"DELAY", Shape::kWords, 0, 0, false, cmd_control},
    {"DENSITY", Shape::kFields, 1, 1, false, cmd_density},
    {"DIAGNOSTIC", Shape::kWords, 0, 0, false, cmd_diagnostic},
    {"DIAGONAL", Shape::kFields, 5, 5, true, cmd_diagonal},
    {"DIRECTION", Shape::kFields, 1, 2, false, cmd_direction},
    {"DMATRIX", Shape::kContent, 4, 10, true, cmd_dmatrix},
    {"DOWNLOAD", Shape::kWords, 0, 0, false, cmd_download},
    {"ELLIPSE", Shape::kFields, 5, 5, true, cmd_ellipse},
    {"EOJ", Shape::kNone, 0, 0, false, cmd_control},
    {"EOP", Shape::kNone, 0, 0, false, cmd_eop},
    {"ERASE", Shape::kFields, 4, 4, true, cmd_erase},
    {"FEED", Shape::kFields, 1, 1, false, cmd_feed},
    {"FORMFEED", Shape::kNone, 0, 0, false, cmd_feed},
    {"GAP", Shape::kFields, 2, 2, false, cmd_gap},
    {"HOME", Shape::kNone, 0, 0, false, cmd_feed},
    {"INITIALPRINTER", Shape::kNone, 0, 0, false, cmd_control},
    {"KILL", Shape::kWords, 0, 0, false, cmd_kill},
    {"LIMITFEED", Shape::kWords, 0, 0, false, cmd_control},
    {"MAXICODE", Shape::kContent, 3, 6, true, cmd_maxicode},
    {"OFFSET", Shape::kFields, 1, 1, false, cmd_offset},
    {"OUT", Shape::kWords, 0, 0, false, cmd_out},
    {"PDF417", Shape::kContent, 5, 16, true, cmd_pdf417},
    {"PRINT", Shape::kFields, 1, 2, false, cmd_print},
    {"PUTBMP", Shape::kFields, 3, 4, true, cmd_putbmp},
    {"PUTPCX", Shape::kFields, 3, 4, true, cmd_putpcx},
    {"QRCODE", Shape::kContent, 6, 8, true, cmd_qrcode},
    {"REFERENCE", Shape::kFields, 2, 2, false, cmd_reference},
    {"REVERSE", Shape::kFields, 4, 4, true, cmd_reverse},
    {"RSS", Shape::kContent, 6, 7, true, cmd_rss},
    {"RUN", Shape::kWords, 0, 0, false, cmd_run},
    {"SELFTEST", Shape::kWords, 0, 0, false, cmd_selftest},
    {"SET", Shape::kWords, 0, 0, false, cmd_set},
    {"SHIFT", Shape::kWords, 0, 0, false, cmd_control},
    {"SIZE", Shape::kFields, 1, 2, false, cmd_size},
    {"SOUND", Shape::kWords, 0, 0, false, cmd_control},
    {"SPEED", Shape::kFields, 1, 1, false, cmd_speed},
    {"TEXT", Shape::kContent, 6, 7, true, cmd_text},
    {"TLC39", Shape::kContent, 3, 8, true, cmd_tlc39},
});

static_assert(std::is_sorted(kCommands.begin(), kCommands.end(),
                             [](const CommandRow& a, const CommandRow& b) {
                               return a.name < b.name;
                             }));

const CommandRow* find_row(std::string_view keyword) {
  auto it =
      std::lower_bound(kCommands.begin(), kCommands.end(), keyword,
                       [](const CommandRow& row, std::string_view k) { return row.name < k; });
  return it != kCommands.end() && it->name == keyword ? &*it : nullptr;
}

// The next field of a comma-separated list (commas inside double quotes do not count), trimmed;
// `rest` moves past it and its comma. `had_comma` tells whether a comma ended it.
std::string_view take_field(std::string_view& rest, bool& had_comma) {
  bool quoted = false;
  std::size_t i = 0;
  for (; i < rest.size(); ++i) {
    if (rest[i] == '"') quoted = !quoted;
    if (rest[i] == ',' && !quoted) break;
  }
  std::string_view field = trim(rest.substr(0, i));
  had_comma = i < rest.size();
  rest = had_comma ? rest.substr(i + 1) : std::string_view();
  return field;
}

// Splits `args` as `row` says into the call's fields; false when their number does not fit.
bool split_args(const CommandRow& row, std::string_view args, Call& call) {
  std::vector<std::string_view>& fields = call.fields;
  bool had_comma = true;
  switch (row.shape) {
    case Shape::kNone:
      return trim(args).empty();
    case Shape::kWords:
      call.words = trim(args);
      return true;
    case Shape::kFields:
      if (!trim(args).empty()) {
        while (had_comma && fields.size() < kManyFields)
          fields.push_back(take_field(args, had_comma));
      }
      break;
    case Shape::kContent: {
      // Lead fields until the content: a quote or a variable starts it once the minimum is
      // read; the content runs to the end of the line, so it may hold commas and quotes.
      while (static_cast<int>(fields.size()) < row.max_fields) {
        std::string_view rest = trim(args);
        if (static_cast<int>(fields.size()) >= row.min_fields &&
            (rest.empty() || rest.front() == '"' || rest.front() == '@')) {
          // A quoted optional field ("post" of MAXICODE) is followed by a comma.
          std::string_view peek = rest;
          bool more = false;
          take_field(peek, more);
          if (!more) break;
        }
        fields.push_back(take_field(args, had_comma));
        if (!had_comma) return false;
      }
      call.content = trim(args);
      if (call.content.empty()) return false;
      break;
    }
  }
  return static_cast<int>(fields.size()) >= row.min_fields &&
         static_cast<int>(fields.size()) <= row.max_fields;
}

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// "a"+@1+"b": the terms, each a quoted text without quotes inside or a variable name.
std::optional<std::vector<std::string_view>> split_expression(std::string_view text) {
  std::vector<std::string_view> terms;
  text = trim(text);
  while (true) {
    if (text.empty()) return std::nullopt;
    std::size_t end;
    if (text.front() == '"') {
      end = text.find('"', 1);
      if (end == std::string_view::npos) return std::nullopt;
      ++end;
    } else if (text.front() == '@') {
      end = 1;
      while (end < text.size() && is_name_char(text[end])) ++end;
      if (end == 1) return std::nullopt;
    } else {
      return std::nullopt;
    }
    terms.push_back(text.substr(0, end));
    text = trim(text.substr(end));
    if (text.empty()) return terms;
    if (text.front() != '+') return std::nullopt;
    text = trim(text.substr(1));
  }
}

}  // namespace

long long Call::integer(std::size_t i, long long lo, long long hi) {
  long long value = 0;
  if (!has(i) || !parse_int(fields[i], value) || value < lo || value > hi) return mark_bad(i), lo;
  return value;
}

double Call::number(std::size_t i, double lo, double hi) {
  double value = 0;
  if (!has(i) || !parse_double(fields[i], value) || value < lo || value > hi) {
    return mark_bad(i), lo;
  }
  return value;
}

long long Call::coordinate(std::size_t i) { return integer(i, -kMaxCoordinate, kMaxCoordinate); }

int Call::rotation(std::size_t i) {
  long long value = integer(i, 0, 270);
  if (value % 90 != 0) return mark_bad(i), 0;
  return static_cast<int>(value);
}

int Call::length(std::size_t i) {
  if (!has(i)) return mark_bad(i), 0;
  std::string_view field = trim(fields[i]);
  std::string text = upper(field);
  double factor = settings().setup.dpi;
  std::string_view number = field;
  for (auto [suffix, per_unit] :
       {std::pair<std::string_view, double>{"MM", settings().dots_per_mm()},
        {"DOTS", 1.0},
        {"DOT", 1.0}}) {
    if (text.size() >= suffix.size() && text.ends_with(suffix)) {
      factor = per_unit;
      number = field.substr(0, field.size() - suffix.size());
      break;
    }
  }
  double value = 0;
  if (!parse_double(number, value) || std::fabs(value) > kMaxLength) return mark_bad(i), 0;
  return static_cast<int>(std::lround(value * factor));
}

std::string_view Call::quoted(std::size_t i) {
  auto inside = has(i) ? unquote(fields[i]) : std::nullopt;
  if (!inside) return mark_bad(i), std::string_view();
  return *inside;
}

std::optional<std::string> Call::content_text() {
  auto terms = split_expression(content);
  if (!terms) {
    // A content of two characters that is no quoted text counts as the empty text.
    auto inside = unquote(content);
    if (!inside && content.size() != 2) {
      mark_bad(fields.size());
      return std::nullopt;
    }
    return std::string(inside.value_or(""));
  }
  std::string text;
  for (std::string_view term : *terms) {
    if (term.front() == '"') {
      text += term.substr(1, term.size() - 2);
      continue;
    }
    page().note_variables();
    if (const std::string* value = variables().find(upper(term))) {
      text += *value;
    } else {
      ignored("variable " + std::string(term) + " (not set)");
    }
    if (text.size() > VirtualLimits::kMaxLineBytes) break;
  }
  return text;
}

std::u32string Call::decode(std::string_view bytes) const {
  return decode_text(bytes, context.printer.settings.codepage);
}

void Call::malformed(std::string_view why) {
  std::string message = "malformed command skipped: " + printable(line);
  if (!why.empty()) {
    message += " (" + std::string(why) + ")";
  } else if (bad_field_ != 0) {
    message += " (field " + std::to_string(bad_field_) + ")";
  }
  log(std::move(message));
}

void Call::ignored(std::string_view what) {
  log(std::string(keyword) + ": " + std::string(what) +
      " ignored or approximated: " + printable(line));
}

void Call::place(const Mono& element, long long x, long long y, int rotation, int alignment) {
  long long shift = alignment == 2 ? -element.width / 2 : alignment == 3 ? -element.width : 0;
  x += settings().setup.reference_x;
  y += settings().setup.reference_y;
  switch (rotation) {
    case 90:
      y += shift;
      break;
    case 180:
      x -= shift;
      break;
    case 270:
      y -= shift;
      break;
    default:
      x += shift;
      break;
  }
  page().canvas().draw_rotated(element, x, y, rotation);
}

void run_line(const Context& context, std::string_view line, bool record) {
  std::string_view trimmed = trim(line);
  if (trimmed.empty()) return;
  auto [keyword, args] = first_word(trimmed);
  // @n="value" needs no blank after its keyword; its handler reads the whole line.
  if (trimmed.front() == '@') keyword = "@";
  StreamState& stream = context.stream;
  if (stream.program_name && keyword != "EOP") {
    if (stream.program.size() + line.size() + 2 > VirtualLimits::kMaxFileBytes) {
      stream.program_overflow = true;
    } else {
      stream.program.append(line).append("\r\n");
    }
    return;
  }
  Call call(context, keyword, line);
  const CommandRow* row = find_row(keyword);
  if (row == nullptr) {
    call.log("unknown command skipped: " + printable(line));
    return;
  }
  if (!split_args(*row, args, call)) return call.malformed("number of fields");
  if (keyword == "@") call.words = trimmed;
  if (record && row->draws) context.printer.page.record(line);
  row->handler(call);
}

}  // namespace quillkit::vp
