// TODO(picture library): stand-in for <quillkit/image.hpp>; see picture.hpp.
#include "printer-app/picture.hpp"

// jpeglib.h needs the declarations of stdio.h first.
// clang-format off
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <png.h>
#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace quill_printer {
namespace {

bool too_large(double width, double height) {
  return !(width >= 1 && height >= 1) || width * height > static_cast<double>(kMaxPagePixels);
}

// A document of one picture, read whole when it is opened.
class PictureDocument final : public Document {
 public:
  explicit PictureDocument(GreyPage page) : page_(std::move(page)) {}
  int page_count() const override { return 1; }
  GreyPage page(int index, int, std::string& error) override {
    if (index != 0) {
      error = "no such page";
      return {};
    }
    return page_;
  }

 private:
  GreyPage page_;
};

std::unique_ptr<Document> open_png(const std::filesystem::path& path, std::string& error) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    error = std::string("not a readable PNG file: ") + png.message;
    return nullptr;
  }
  if (too_large(png.width, png.height)) {
    png_image_free(&png);
    error = "the PNG picture is too large";
    return nullptr;
  }
  // Palettes, 1- to 16-bit grey and colour all come out as 8-bit grey; alpha is laid on white.
  png.format = PNG_FORMAT_GRAY;
  GreyPage page(static_cast<int>(png.width), static_cast<int>(png.height));
  png_color white{0xFF, 0xFF, 0xFF};
  if (!png_image_finish_read(&png, &white, page.pixels.data(), 0, nullptr)) {
    error = std::string("the PNG file is damaged: ") + png.message;
    png_image_free(&png);
    return nullptr;
  }
  return std::make_unique<PictureDocument>(std::move(page));
}

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

std::unique_ptr<Document> open_jpeg(const std::filesystem::path& path, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open the JPEG file";
    return nullptr;
  }
  jpeg_decompress_struct info{};
  JpegError jerr{};
  info.err = jpeg_std_error(&jerr.manager);
  jerr.manager.error_exit = [](j_common_ptr common) {
    auto* e = reinterpret_cast<JpegError*>(common->err);
    (*common->err->format_message)(common, e->message);
    std::longjmp(e->jump, 1);
  };
  // Only plain data lives across the jump: the page is allocated after the header is read,
  // and the scanlines are written through a raw pointer into it.
  GreyPage* volatile page = nullptr;
  if (setjmp(jerr.jump) != 0) {
    error = std::string("not a readable JPEG file: ") + jerr.message;
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    delete page;
    return nullptr;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_GRAYSCALE;
  jpeg_calc_output_dimensions(&info);
  if (too_large(info.output_width, info.output_height)) {
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    error = "the JPEG picture is too large";
    return nullptr;
  }
  page = new GreyPage(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
  std::uint8_t* const pixels = page->pixels.data();
  jpeg_start_decompress(&info);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels + static_cast<std::size_t>(info.output_scanline) * info.output_width;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  std::fclose(file);
  std::unique_ptr<GreyPage> owned(page);
  return std::make_unique<PictureDocument>(std::move(*owned));
}

class PdfDocument final : public Document {
 public:
  explicit PdfDocument(std::unique_ptr<poppler::document> pdf) : pdf_(std::move(pdf)) {}
  int page_count() const override { return pdf_->pages(); }

  GreyPage page(int index, int dpi, std::string& error) override {
    const std::unique_ptr<poppler::page> page(pdf_->create_page(index));
    if (!page) {
      error = "no such page";
      return {};
    }
    const poppler::rectf box = page->page_rect();
    if (too_large(box.width() * dpi / 72.0, box.height() * dpi / 72.0)) {
      error = "the PDF page is too large";
      return {};
    }
    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
    renderer.set_paper_color(0xFFFFFFFF);
    renderer.set_image_format(poppler::image::format_gray8);
    const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
    if (!image.is_valid() || image.format() != poppler::image::format_gray8) {
      error = "the PDF page cannot be drawn";
      return {};
    }
    GreyPage out(image.width(), image.height());
    for (int y = 0; y < out.height; ++y) {
      std::memcpy(out.row(y),
                  image.const_data() + static_cast<std::size_t>(y) * image.bytes_per_row(),
                  static_cast<std::size_t>(out.width));
    }
    return out;
  }

 private:
  std::unique_ptr<poppler::document> pdf_;
};

std::unique_ptr<Document> open_pdf(const std::filesystem::path& path, std::string& error) {
  std::unique_ptr<poppler::document> pdf(poppler::document::load_from_file(path.string()));
  if (!pdf) {
    error = "not a readable PDF file";
    return nullptr;
  }
  if (pdf->is_locked()) {
    error = "the PDF file is encrypted";
    return nullptr;
  }
  if (pdf->pages() < 1) {
    error = "the PDF file has no pages";
    return nullptr;
  }
  return std::make_unique<PdfDocument>(std::move(pdf));
}

}  // namespace

std::unique_ptr<Document> open_document(const std::filesystem::path& path,
                                        const std::string& mime_type, std::string& error) {
  if (mime_type == "image/png") return open_png(path, error);
  if (mime_type == "image/jpeg") return open_jpeg(path, error);
  if (mime_type == "application/pdf") return open_pdf(path, error);
  error = "unsupported document format " + mime_type;
  return nullptr;
}

MonoPage label_raster(const GreyPage& page, int width, int height) {
  MonoPage out{width, height, {}};
  out.bits.assign(static_cast<std::size_t>(out.row_bytes()) * height, 0xFF);
  if (page.width <= 0 || page.height <= 0 || width <= 0 || height <= 0) return out;
  // A picture whose long side runs the other way than the label's is turned a quarter
  // clockwise, so that it fills more of the label.
  const bool turn = (page.width > page.height) != (width > height) && page.width != page.height;
  const int src_w = turn ? page.height : page.width;
  const int src_h = turn ? page.width : page.height;
  const double scale =
      std::min(static_cast<double>(width) / src_w, static_cast<double>(height) / src_h);
  const int drawn_w = std::max(1, static_cast<int>(std::lround(src_w * scale)));
  const int drawn_h = std::max(1, static_cast<int>(std::lround(src_h * scale)));
  const int left = (width - drawn_w) / 2, top = (height - drawn_h) / 2;
  for (int y = 0; y < drawn_h; ++y) {
    const int sy = std::min(src_h - 1, static_cast<int>(y / scale));
    std::uint8_t* row = out.bits.data() + static_cast<std::size_t>(y + top) * out.row_bytes();
    for (int x = 0; x < drawn_w; ++x) {
      const int sx = std::min(src_w - 1, static_cast<int>(x / scale));
      // Turned clockwise: the source column is the target row, read from the bottom up.
      const std::uint8_t grey = turn ? page.row(page.height - 1 - sx)[sy] : page.row(sy)[sx];
      // TODO(picture library): the library's default dither replaces this fixed threshold.
      if (grey < 128) {
        const int dx = x + left;
        row[dx / 8] &= static_cast<std::uint8_t>(~(0x80 >> (dx % 8)));
      }
    }
  }
  return out;
}

}  // namespace quill_printer
