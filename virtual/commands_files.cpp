// Images and files: BITMAP rasters, DOWNLOAD (files and programs), KILL, and PUTPCX/PUTBMP of
// stored PCX and BMP images.
#include "virtual/commands.hpp"

namespace quillkit::vp {
namespace {

std::uint32_t le16(const Bytes& b, std::size_t at) {
  return at + 2 <= b.size() ? static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8)) : 0;
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
  return at + 4 <= b.size() ? le16(b, at) | (le16(b, at + 2) << 16) : 0;
}

bool dark(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return r * 299 + g * 587 + b * 114 < 128000;
}

bool image_fits(long long width, long long height) {
  return width > 0 && height > 0 && width <= VirtualLimits::kMaxLabelWidthDots &&
         height <= VirtualLimits::kMaxLabelHeightDots;
}

// A PCX image (run-length encoded, 1 bit in one plane or 8 bits with the 256-colour palette at
// the end), dark pixels as ink.
std::optional<Mono> decode_pcx(const Bytes& file, std::string& error) {
  if (file.size() < 128 || file[0] != 0x0A || file[2] != 1)
    return error = "not a PCX file", std::nullopt;
  int bits = file[3], planes = file[65];
  long long width = static_cast<long long>(le16(file, 8)) - le16(file, 4) + 1;
  long long height = static_cast<long long>(le16(file, 10)) - le16(file, 6) + 1;
  std::size_t line = le16(file, 66);
  if (!image_fits(width, height)) return error = "PCX size out of range", std::nullopt;
  if (planes != 1 || (bits != 1 && bits != 8)) {
    return error = "PCX of " + std::to_string(planes) + " planes of " + std::to_string(bits) +
                   " bits (1- and 8-bit only)",
           std::nullopt;
  }
  if (line * 8 < static_cast<std::size_t>(width * bits))
    return error = "PCX line too short", std::nullopt;
  // Decode the run-length data into rows of `line` bytes.
  Bytes raw;
  raw.reserve(line * static_cast<std::size_t>(height));
  std::size_t at = 128;
  std::size_t end = file.size();
  if (bits == 8 && file.size() >= 128 + 769 && file[file.size() - 769] == 0x0C) end -= 769;
  while (raw.size() < line * static_cast<std::size_t>(height) && at < end) {
    std::uint8_t byte = file[at++];
    std::size_t count = 1;
    if ((byte & 0xC0) == 0xC0) {
      count = byte & 0x3F;
      if (at >= end) break;
      byte = file[at++];
    }
    raw.insert(raw.end(), count, byte);
  }
  if (raw.size() < line * static_cast<std::size_t>(height))
    return error = "PCX data cut short", std::nullopt;
  Mono out(static_cast<int>(width), static_cast<int>(height));
  for (int y = 0; y < out.height; ++y) {
    const std::uint8_t* row = raw.data() + static_cast<std::size_t>(y) * line;
    for (int x = 0; x < out.width; ++x) {
      if (bits == 1) {
        // Bit 1 is the background (white) of a monochrome PCX.
        out.at(x, y) = ((row[x / 8] >> (7 - x % 8)) & 1) == 0;
      } else if (end != file.size()) {
        const std::uint8_t* rgb = file.data() + end + 1 + 3 * row[x];
        out.at(x, y) = dark(rgb[0], rgb[1], rgb[2]);
      } else {
        out.at(x, y) = row[x] < 128;
      }
    }
  }
  return out;
}

// An uncompressed BMP image of 1, 8 or 24 bits, dark pixels as ink.
std::optional<Mono> decode_bmp(const Bytes& file, std::string& error) {
  if (file.size() < 54 || file[0] != 'B' || file[1] != 'M')
    return error = "not a BMP file", std::nullopt;
  std::size_t offset = le32(file, 10), header = le32(file, 14);
  auto width = static_cast<std::int32_t>(le32(file, 18));
  auto height = static_cast<std::int32_t>(le32(file, 22));
  int bits = static_cast<int>(le16(file, 28));
  bool top_down = height < 0;
  long long rows = top_down ? -static_cast<long long>(height) : height;
  if (!image_fits(width, rows)) return error = "BMP size out of range", std::nullopt;
  if (le32(file, 30) != 0 || (bits != 1 && bits != 8 && bits != 24)) {
    return error =
               "BMP of " + std::to_string(bits) + " bits or compressed (1-, 8- and 24-bit only)",
           std::nullopt;
  }
  std::size_t stride = ((static_cast<std::size_t>(width) * bits + 31) / 32) * 4;
  if (offset > file.size() || file.size() - offset < stride * static_cast<std::size_t>(rows)) {
    return error = "BMP data cut short", std::nullopt;
  }
  std::size_t palette = 14 + header;
  std::size_t colours = bits == 24 ? 0 : (le32(file, 46) != 0 ? le32(file, 46) : 1u << bits);
  if (bits != 24 && (palette + 4 * colours > offset || colours > 256)) {
    return error = "BMP palette missing", std::nullopt;
  }
  Mono out(width, static_cast<int>(rows));
  for (int y = 0; y < out.height; ++y) {
    std::size_t row_index =
        top_down ? static_cast<std::size_t>(y) : static_cast<std::size_t>(rows - 1 - y);
    const std::uint8_t* row = file.data() + offset + row_index * stride;
    for (int x = 0; x < out.width; ++x) {
      if (bits == 24) {
        out.at(x, y) = dark(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
        continue;
      }
      std::size_t index = bits == 1 ? (row[x / 8] >> (7 - x % 8)) & 1 : row[x];
      if (index >= colours) continue;
      const std::uint8_t* bgr = file.data() + palette + 4 * index;
      out.at(x, y) = dark(bgr[2], bgr[1], bgr[0]);
    }
  }
  return out;
}

// The text after a memory letter and its comma ("F," flash, "E," card), or all of it.
std::string_view after_memory(std::string_view text) {
  std::size_t comma = text.find(',');
  std::string letter = upper(trim(text.substr(0, comma)));
  if (comma == std::string_view::npos || (letter != "F" && letter != "E")) return text;
  return trim(text.substr(comma + 1));
}

void put_image(Call& call, bool pcx) {
  long long x = call.coordinate(0), y = call.coordinate(1);
  std::string_view name = call.quoted(2);
  if (!call.ok() || name.empty()) return call.malformed();
  if (call.has(3)) call.ignored("fourth field");
  const VirtualFile* file = call.files().find(name);
  if (file == nullptr) return call.malformed("no stored file of that name");
  std::string error;
  auto image = pcx ? decode_pcx(file->data, error) : decode_bmp(file->data, error);
  if (!image) return call.malformed(error);
  call.place(*image, x, y, 0);
}

}  // namespace

void draw_bitmap(const Context& context, const BitmapHeader& header,
                 std::span<const std::uint8_t> raster) {
  static constexpr BlitOp kOps[] = {BlitOp::kOverwrite, BlitOp::kOr, BlitOp::kXor};
  if (header.mode < 0 || header.mode > 2) {
    context.pending.log("BITMAP mode " + std::to_string(header.mode) + " unknown; raster skipped");
    return;
  }
  if (raster.size() != static_cast<std::size_t>(header.width_bytes) * header.height) return;
  const VirtualLabelSetup& setup = context.printer.settings.setup;
  context.printer.page.canvas().blit_raster(raster.data(), header.width_bytes, header.height,
                                            static_cast<long long>(header.x) + setup.reference_x,
                                            static_cast<long long>(header.y) + setup.reference_y,
                                            kOps[header.mode]);
}

void cmd_download(Call& call) {
  // Only headers without a size reach here (the parser takes the others): a program, stored
  // up to EOP. DOWNLOAD F,"NAME.BAS" keeps it in flash, which the virtual printer has not.
  auto name = unquote(after_memory(call.words));
  if (!name || name->empty() || name->size() > VirtualLimits::kMaxFileNameBytes) {
    return call.malformed("bad header");
  }
  StreamState& stream = call.stream();
  stream.program_name = std::string(*name);
  stream.program.clear();
  stream.program_overflow = false;
}

void cmd_eop(Call& call) {
  StreamState& stream = call.stream();
  if (!stream.program_name) return call.malformed("no program being downloaded");
  std::string name = std::move(*stream.program_name);
  stream.program_name.reset();
  if (stream.program_overflow) {
    call.log("program larger than " + std::to_string(VirtualLimits::kMaxFileBytes) +
             " bytes; not stored: " + printable(name));
  } else {
    call.files().store(name, Bytes(stream.program.begin(), stream.program.end()), call.pending());
  }
  stream.program.clear();
  stream.program.shrink_to_fit();
}

void cmd_bitmap(Call& call) { call.malformed("bad header"); }

void cmd_kill(Call& call) {
  auto pattern = unquote(after_memory(call.words));
  if (!pattern || pattern->empty()) return call.malformed();
  if (call.files().remove_matching(std::string(*pattern)) == 0) {
    call.log("KILL found no file: " + printable(call.line));
  }
}

void cmd_putpcx(Call& call) { put_image(call, true); }

void cmd_putbmp(Call& call) { put_image(call, false); }

void cmd_run(Call& call) {
  call.log("RUN not built: programs are stored, not run: " + printable(call.line));
}

}  // namespace quillkit::vp
