// Picture files: telling the format by content, the page range, and the two
// ways of taking the pages (kept in grey, or converted as they are decoded).
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "quillkit/image.hpp"
#include "quillkit/image/decode.hpp"
#include "quillkit/image/fit_plan.hpp"
#include "quillkit/platform/files.hpp"

namespace quillkit {
namespace image {

namespace {

// Picture files are read whole before decoding.
constexpr std::size_t kMaxFileBytes = std::size_t{64} * 1024 * 1024;

enum class Format { png, jpeg, pdf, unknown };

Format format_of(std::span<const std::uint8_t> file) {
  static constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (file.size() >= sizeof kPng && std::memcmp(file.data(), kPng, sizeof kPng) == 0) {
    return Format::png;
  }
  if (file.size() >= 3 && file[0] == 0xFF && file[1] == 0xD8 && file[2] == 0xFF) {
    return Format::jpeg;
  }
  // Readers accept the header anywhere in the first kilobyte.
  const std::string_view head(reinterpret_cast<const char*>(file.data()),
                              std::min<std::size_t>(file.size(), 1024));
  return head.find("%PDF-") != std::string_view::npos ? Format::pdf : Format::unknown;
}

// Keeps each page whole in grey, at most kMaxPixels in all.
class GreySink final : public PageSink {
 public:
  explicit GreySink(std::vector<GreyImage>& pages) : pages_(pages) {}

  bool begin_page(std::size_t width, std::size_t height) noexcept override {
    if (height > (kMaxPixels - held_) / width) {
      refused_ = "the pages together are more than " + std::to_string(kMaxPixels) +
                 " pixels; load fewer at a time";
      return false;
    }
    try {
      page_ = GreyImage{width, height, std::vector<std::uint8_t>(width * height)};
    } catch (const std::bad_alloc&) {
      refused_ = "not enough memory for the picture";
      return false;
    }
    held_ += width * height;
    next_ = page_.pixels.data();
    return true;
  }
  void row(const std::uint8_t* grey) noexcept override {
    next_ = std::copy_n(grey, page_.width, next_);
  }
  bool end_page() noexcept override {
    try {
      pages_.push_back(std::move(page_));
    } catch (const std::bad_alloc&) {
      refused_ = "not enough memory for the picture";
      return false;
    }
    return true;
  }
  std::string refused() const override { return refused_; }

 private:
  std::vector<GreyImage>& pages_;
  GreyImage page_;
  std::uint8_t* next_ = nullptr;
  std::size_t held_ = 0;
  std::string refused_;
};

// Converts each page as its rows arrive; the converted pages hold at most
// 8 x kMaxPixels dots in all (kMaxPixels bytes).
class MonoSink final : public PageSink {
 public:
  MonoSink(std::vector<MonoImage>& pages, const PictureOptions& options)
      : pages_(pages), options_(options) {}

  double shrink(std::size_t width, std::size_t height) noexcept override {
    return shrink_factor(width, height, options_);
  }
  bool begin_page(std::size_t width, std::size_t height) noexcept override {
    width_ = width;
    try {
      converter_.emplace(width, height, options_);
    } catch (const std::bad_alloc&) {
      refused_ = "not enough memory for the picture";
      return false;
    }
    refused_ = converter_->error();
    return refused_.empty();
  }
  void row(const std::uint8_t* grey) noexcept override {
    converter_->add_row(std::span(grey, width_));
  }
  bool end_page() noexcept override {
    try {
      MonoImage page = converter_->finish();
      refused_ = converter_->error();
      if (page.empty()) return false;
      if (page.bits.size() > kMaxPixels - held_) {
        refused_ = "the converted pages together are more than " + std::to_string(kMaxPixels) +
                   " bytes; convert fewer at a time";
        return false;
      }
      held_ += page.bits.size();
      pages_.push_back(std::move(page));
      return true;
    } catch (const std::bad_alloc&) {
      refused_ = "not enough memory for the picture";
      return false;
    }
  }
  std::string refused() const override { return refused_; }

 private:
  std::vector<MonoImage>& pages_;
  const PictureOptions& options_;
  std::optional<PictureConverter> converter_;
  std::size_t width_ = 0;
  std::size_t held_ = 0;
  std::string refused_;
};

}  // namespace

std::string decode_pages(std::span<const std::uint8_t> file, const LoadOptions& load,
                         PageSink& sink, std::size_t& document_pages) {
  if (file.empty()) return "the file is empty";
  const Format format = format_of(file);
  if (format == Format::pdf) return decode_pdf(file, load, sink, document_pages);
  if (format == Format::unknown) return "not a PNG, JPEG or PDF file";
  document_pages = 1;
  if (load.first_page != 1 || load.last_page > 1) {
    return "a PNG or JPEG picture has page 1 only";
  }
  return format == Format::png ? decode_png(file, sink) : decode_jpeg(file, sink);
}

void to_grey(const std::uint8_t* samples, int channels, std::size_t width, std::uint8_t* grey) {
  // Luminance in 16-bit fixed point (0.299, 0.587, 0.114), then alpha over
  // white: (v a + 255 (255 - a)) / 255, rounded.
  auto luma = [](unsigned r, unsigned g, unsigned b) {
    return (19595 * r + 38470 * g + 7471 * b + 32768) >> 16;
  };
  auto over_white = [](unsigned v, unsigned a) { return (v * a + 255 * (255 - a) + 127) / 255; };
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint8_t* s = samples + x * static_cast<std::size_t>(channels);
    unsigned v = 0;
    switch (channels) {
      case 1:
        v = s[0];
        break;
      case 2:
        v = over_white(s[0], s[1]);
        break;
      case 3:
        v = luma(s[0], s[1], s[2]);
        break;
      default:
        v = over_white(luma(s[0], s[1], s[2]), s[3]);
        break;
    }
    grey[x] = static_cast<std::uint8_t>(v);
  }
}

}  // namespace image

namespace {

// The pages of `file` taken by the sink that `make_sink` builds over the
// result's pages.
template <class Page, class MakeSink>
Pictures<Page> take_pages(std::span<const std::uint8_t> file, const LoadOptions& load,
                          MakeSink make_sink) {
  Pictures<Page> result;
  try {
    auto sink = make_sink(result.pages);
    result.error = image::decode_pages(file, load, sink, result.document_pages);
  } catch (const std::bad_alloc&) {
    result.error = "not enough memory for the picture";
  }
  if (!result.ok()) result.pages.clear();
  return result;
}

template <class Page, class MakeSink>
Pictures<Page> take_file_pages(const std::filesystem::path& path, const LoadOptions& load,
                               MakeSink make_sink) {
  std::string why;
  const auto file = platform::read_whole_file(path, image::kMaxFileBytes, &why);
  if (!file) {
    Pictures<Page> result;
    result.error = path.string() + ": " + why;
    return result;
  }
  return take_pages<Page>(*file, load, make_sink);
}

MonoPages refused(std::string error) {
  MonoPages result;
  result.error = std::move(error);
  return result;
}

auto grey_sink() {
  return [](std::vector<GreyImage>& pages) { return image::GreySink(pages); };
}

auto mono_sink(const PictureOptions& options) {
  return [&options](std::vector<MonoImage>& pages) { return image::MonoSink(pages, options); };
}

}  // namespace

bool is_picture_file(std::span<const std::uint8_t> file) {
  return image::format_of(file) != image::Format::unknown;
}

GreyPages load_picture(std::span<const std::uint8_t> file, const LoadOptions& load) {
  return take_pages<GreyImage>(file, load, grey_sink());
}

GreyPages load_picture(const std::filesystem::path& path, const LoadOptions& load) {
  return take_file_pages<GreyImage>(path, load, grey_sink());
}

MonoPages convert_picture_file(std::span<const std::uint8_t> file, const PictureOptions& options,
                               const LoadOptions& load) {
  if (auto error = picture_options_error(options); !error.empty()) return refused(error);
  return take_pages<MonoImage>(file, load, mono_sink(options));
}

MonoPages convert_picture_file(const std::filesystem::path& path, const PictureOptions& options,
                               const LoadOptions& load) {
  if (auto error = picture_options_error(options); !error.empty()) return refused(error);
  return take_file_pages<MonoImage>(path, load, mono_sink(options));
}

}  // namespace quillkit
