// JPEG through libjpeg(-turbo). Errors arrive by longjmp, as with libpng: the
// decompressor lives in an object of the caller's frame and each step that may
// jump sets its own setjmp with no destructible object in its frame.
// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <csetjmp>
#include <new>
#include <vector>

#include "quillkit/image/decode.hpp"

namespace quillkit::image {
namespace {

// Bounds on what a hostile file can make the decoder do: memory for a
// progressive picture's coefficients, and the number of scans (each one a
// pass over all of them).
constexpr long kMaxDecoderMemory = 512L * 1024 * 1024;
constexpr int kMaxScans = 500;

struct Failure {
  jpeg_error_mgr manager;  // first, so that the library's pointer is ours
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void fail(j_common_ptr info) {
  auto* failure = reinterpret_cast<Failure*>(info->err);
  (*info->err->format_message)(info, failure->message);
  std::longjmp(failure->jump, 1);
}

// Warnings about damaged data (a truncated file, bad codes) end the decoding:
// libjpeg would go on and fill the rest with grey. Warnings about metadata do
// not.
void warn(j_common_ptr info, int level) {
  if (level >= 0) return;
  switch (info->err->msg_code) {
    case JWRN_ADOBE_XFORM:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_JFIF_MAJOR:
    case JWRN_BOGUS_ICC:
    case JWRN_TOO_MUCH_DATA:
      return;
    default:
      fail(info);
  }
}

void count_scans(j_common_ptr info) {
  auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (decompress->input_scan_number <= kMaxScans) return;
  auto* failure = reinterpret_cast<Failure*>(info->err);
  std::snprintf(failure->message, sizeof failure->message, "more than %d scans", kMaxScans);
  std::longjmp(failure->jump, 1);
}

class JpegReader {
 public:
  JpegReader() {
    info_.err = jpeg_std_error(&failure_.manager);
    failure_.manager.error_exit = fail;
    failure_.manager.emit_message = warn;
    progress_.progress_monitor = count_scans;
  }
  ~JpegReader() {
    if (created_) jpeg_destroy_decompress(&info_);
  }
  JpegReader(const JpegReader&) = delete;
  JpegReader& operator=(const JpegReader&) = delete;

  const char* message() const { return failure_.message; }
  std::size_t width() const { return info_.output_width; }
  std::size_t height() const { return info_.output_height; }
  bool cmyk() const {
    return info_.jpeg_color_space == JCS_CMYK || info_.jpeg_color_space == JCS_YCCK;
  }

  bool read_header(std::span<const std::uint8_t> file) {
    if (setjmp(failure_.jump)) return false;
    created_ = true;  // destroying a structure that failed to be created is safe
    jpeg_create_decompress(&info_);
    info_.mem->max_memory_to_use = kMaxDecoderMemory;
    info_.progress = &progress_;
    jpeg_mem_src(&info_, file.data(), static_cast<unsigned long>(file.size()));
    if (jpeg_read_header(&info_, TRUE) != JPEG_HEADER_OK) {
      std::snprintf(failure_.message, sizeof failure_.message, "it holds no picture");
      return false;
    }
    info_.out_color_space = JCS_GRAYSCALE;
    jpeg_calc_output_dimensions(&info_);
    return true;
  }

  // Decodes at `eighths` / 8 of the full size.
  bool scale(int eighths) {
    if (setjmp(failure_.jump)) return false;
    info_.scale_num = static_cast<unsigned>(eighths);
    info_.scale_denom = 8;
    jpeg_calc_output_dimensions(&info_);
    return true;
  }

  bool read_rows(PageSink& sink, std::uint8_t* row) {
    if (setjmp(failure_.jump)) return false;
    jpeg_start_decompress(&info_);
    while (info_.output_scanline < info_.output_height) {
      JSAMPROW rows[1] = {row};
      if (jpeg_read_scanlines(&info_, rows, 1) != 1) {
        std::snprintf(failure_.message, sizeof failure_.message, "the data ends early");
        return false;
      }
      sink.row(row);
    }
    return true;
  }

 private:
  jpeg_decompress_struct info_{};
  Failure failure_{};
  jpeg_progress_mgr progress_{};
  bool created_ = false;
};

}  // namespace

std::string decode_jpeg(std::span<const std::uint8_t> file, PageSink& sink) {
  JpegReader reader;
  auto failed = [&] { return std::string("the JPEG cannot be read: ") + reader.message(); };
  if (!reader.read_header(file)) return failed();
  if (reader.cmyk()) return "CMYK JPEG pictures are not supported";
  // A picture shrunk to half or less is decoded at 1/2, 1/4 or 1/8 of its size in the
  // decoder's own transform (libjpeg-turbo's fast scales; the others are slower than a
  // full decode), so that the conversion has fewer pixels to average away.
  const double shrink = sink.shrink(reader.width(), reader.height());
  if (shrink >= 2) {
    const int eighths = shrink >= 8 ? 1 : shrink >= 4 ? 2 : 4;
    if (!reader.scale(eighths)) return failed();
  }
  const std::size_t w = reader.width(), h = reader.height();
  if (w == 0 || h > kMaxPixels / w) {
    return "the picture is " + std::to_string(w) + " x " + std::to_string(h) +
           " pixels, more than " + std::to_string(kMaxPixels);
  }
  if (!sink.begin_page(w, h)) return sink.refused();
  std::vector<std::uint8_t> row;
  try {
    row.resize(w);
  } catch (const std::bad_alloc&) {
    return "not enough memory for the picture";
  }
  if (!reader.read_rows(sink, row.data())) return failed();
  if (!sink.end_page()) return sink.refused();
  return {};
}

}  // namespace quillkit::image
