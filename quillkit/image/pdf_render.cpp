// PDF pages drawn by poppler, in grey, at the asked resolution.
#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <climits>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "quillkit/image/decode.hpp"

namespace quillkit::image {
namespace {

constexpr double kMinDpi = 36;
constexpr double kMaxDpi = 2400;

// Poppler writes its complaints about damaged files to standard error; the
// caller gets our error text instead. The setting is process-wide.
void quiet_poppler() {
  static std::once_flag once;
  std::call_once(
      once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

// Poppler mends a file cut short where it can and draws what is left; a file
// whose last kilobyte has no end-of-file marker is taken as truncated.
bool ends_properly(std::span<const std::uint8_t> file) {
  const std::size_t tail = std::min<std::size_t>(file.size(), 1024);
  const std::string_view end(reinterpret_cast<const char*>(file.data() + file.size() - tail), tail);
  return end.find("%%EOF") != std::string_view::npos;
}

std::string render_pages(std::span<const std::uint8_t> file, const LoadOptions& load,
                         PageSink& sink, std::size_t& document_pages) {
  if (!(load.dpi >= kMinDpi && load.dpi <= kMaxDpi)) {
    return "the resolution must be from 36 to 2400 dots an inch";
  }
  if (file.size() > INT_MAX) return "the PDF is too large";
  if (!ends_properly(file)) return "the PDF is truncated (no end-of-file marker)";
  quiet_poppler();
  const std::unique_ptr<poppler::document> document(poppler::document::load_from_raw_data(
      reinterpret_cast<const char*>(file.data()), static_cast<int>(file.size())));
  if (!document) return "the PDF cannot be read";
  if (document->is_locked()) return "the PDF is encrypted and needs a password";
  document_pages = static_cast<std::size_t>(std::max(document->pages(), 0));
  const std::size_t last = load.last_page == 0 ? document_pages : load.last_page;
  if (load.first_page < 1 || last < load.first_page || last > document_pages) {
    return "pages " + std::to_string(load.first_page) + " to " + std::to_string(last) +
           " are not in the document, which has " + std::to_string(document_pages);
  }
  poppler::page_renderer renderer;
  renderer.set_image_format(poppler::image::format_gray8);
  renderer.set_render_hints(poppler::page_renderer::antialiasing |
                            poppler::page_renderer::text_antialiasing);
  for (std::size_t n = load.first_page; n <= last; ++n) {
    const std::string page_name = "page " + std::to_string(n);
    const std::unique_ptr<poppler::page> page(document->create_page(static_cast<int>(n - 1)));
    if (!page) return page_name + " cannot be read";
    // The drawing's size, known before poppler allocates it: the crop box at
    // the resolution, rounded up, whatever the page's turn.
    const poppler::rectf box = page->page_rect(poppler::crop_box);
    const double w = std::ceil(std::abs(box.width()) * load.dpi / 72) + 1;
    const double h = std::ceil(std::abs(box.height()) * load.dpi / 72) + 1;
    if (w * h > static_cast<double>(kMaxPixels)) {
      return page_name + " would be more than " + std::to_string(kMaxPixels) + " pixels";
    }
    const poppler::image drawn = renderer.render_page(page.get(), load.dpi, load.dpi);
    if (!drawn.is_valid() || drawn.format() != poppler::image::format_gray8 || drawn.width() <= 0 ||
        drawn.height() <= 0) {
      return page_name + " cannot be drawn";
    }
    if (!sink.begin_page(static_cast<std::size_t>(drawn.width()),
                         static_cast<std::size_t>(drawn.height()))) {
      return sink.refused();
    }
    const auto* pixels = reinterpret_cast<const std::uint8_t*>(drawn.const_data());
    for (int y = 0; y < drawn.height(); ++y) sink.row(pixels + y * drawn.bytes_per_row());
    if (!sink.end_page()) return sink.refused();
  }
  return {};
}

}  // namespace

std::string decode_pdf(std::span<const std::uint8_t> file, const LoadOptions& load, PageSink& sink,
                       std::size_t& document_pages) {
  try {
    return render_pages(file, load, sink, document_pages);
  } catch (const std::bad_alloc&) {
    return "not enough memory for the PDF";
  } catch (...) {
    return "the PDF cannot be read";
  }
}

}  // namespace quillkit::image
