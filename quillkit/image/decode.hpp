// Decoding picture files into grey rows, page by page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "quillkit/image.hpp"

namespace quillkit::image {

// Takes a file's pages as the decoders produce them, one grey row at a time.
// Called from inside the decoders (between a C library's setjmp and its
// possible longjmp), so no member may throw.
class PageSink {
 public:
  virtual ~PageSink() = default;
  // The factor by which a decoder may shrink a page of this size before
  // handing it in (see shrink_factor); 1 or less: not at all.
  virtual double shrink(std::size_t /*width*/, std::size_t /*height*/) noexcept { return 1; }
  // A page of width x height pixels begins. False refuses it; refused()
  // then says why.
  virtual bool begin_page(std::size_t width, std::size_t height) noexcept = 0;
  // The page's next row from the top: width bytes of grey.
  virtual void row(const std::uint8_t* grey) noexcept = 0;
  // Every row of the page is in. False stops the decoding; refused() says why.
  virtual bool end_page() noexcept = 0;
  virtual std::string refused() const = 0;
};

// The pages load.first_page to load.last_page of a PNG, JPEG or PDF file into
// `sink`. Returns the error text, empty on success; `document_pages` is set to
// the file's page count once it is known.
std::string decode_pages(std::span<const std::uint8_t> file, const LoadOptions& load,
                         PageSink& sink, std::size_t& document_pages);

// The decoders, one page each for PNG and JPEG. Each returns its error text.
std::string decode_png(std::span<const std::uint8_t> file, PageSink& sink);
std::string decode_jpeg(std::span<const std::uint8_t> file, PageSink& sink);
std::string decode_pdf(std::span<const std::uint8_t> file, const LoadOptions& load, PageSink& sink,
                       std::size_t& document_pages);

// One row of 8-bit samples with `channels` of grey, grey and alpha, RGB or
// RGBA, as grey: luminance with ITU-R BT.601 weights, laid on white by alpha.
void to_grey(const std::uint8_t* samples, int channels, std::size_t width, std::uint8_t* grey);

}  // namespace quillkit::image
