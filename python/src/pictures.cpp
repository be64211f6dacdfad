// Pictures: grey and 1-bit rasters, their options, loading and conversion. The library answers
// a bad picture or options with an empty image or an error text; here they raise ValueError
// with that reason instead.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <new>
#include <span>
#include <string>
#include <type_traits>

#include "bindings.hpp"
#include "convert.hpp"
#include "quillkit/image.hpp"

namespace quillkit::python {
namespace {

using namespace pybind11::literals;

// How a raster lays out its bytes: GreyImage a byte a pixel, MonoImage a bit a dot in whole
// bytes a row. A new raster with no data given is white (grey 255, or 1 bits: no dot).
struct GreyLayout {
  static constexpr const char* kName = "GreyImage";
  static constexpr const char* kData = "pixels";
  static constexpr auto kMember = &GreyImage::pixels;
  static std::size_t row_bytes(std::size_t width) { return width; }
};
struct MonoLayout {
  static constexpr const char* kName = "MonoImage";
  static constexpr const char* kData = "bits";
  static constexpr auto kMember = &MonoImage::bits;
  static std::size_t row_bytes(std::size_t width) { return (width + 7) / 8; }
};

template <class T, class Layout>
T make_raster(std::size_t width, std::size_t height, const py::object& data) {
  if (width != 0 && height > kMaxPixels / width) {
    throw py::value_error(std::string(Layout::kName) + ": at most " + std::to_string(kMaxPixels) +
                          " pixels");
  }
  T raster;
  raster.width = width;
  raster.height = height;
  const std::size_t size = Layout::row_bytes(width) * height;
  if (data.is_none()) {
    (raster.*Layout::kMember).assign(size, 0xFF);
    return raster;
  }
  const std::string what = std::string(Layout::kName) + ": " + Layout::kData;
  with_bytes(data, what.c_str(), [&](std::span<const std::uint8_t> bytes) {
    if (bytes.size() != size) {
      throw py::value_error(what + " must hold " + std::to_string(size) + " bytes, not " +
                            std::to_string(bytes.size()));
    }
    (raster.*Layout::kMember).assign(bytes.begin(), bytes.end());
  });
  return raster;
}

// A raster made whole by its constructor: its fields are read-only, so that it is always well
// formed and may be read without the interpreter lock.
template <class T, class Layout>
void bind_raster(py::module_& m, const char* doc) {
  py::class_<T>(m, Layout::kName, doc)
      .def(py::init(&make_raster<T, Layout>), "width"_a = 0, "height"_a = 0,
           py::arg(Layout::kData) = py::none())
      .def_readonly("width", &T::width)
      .def_readonly("height", &T::height)
      .def_property_readonly(Layout::kData,
                             [](const T& raster) { return to_bytes(raster.*Layout::kMember); })
      .def("empty", &T::empty)
      .def("__repr__", [](const T& raster) {
        return py::str("{}(width={}, height={})")
            .format(Layout::kName, raster.width, raster.height);
      });
}

// The pages of a load; a load that fails raises instead.
template <class Page>
void bind_pages(py::module_& m, const char* name, const char* doc) {
  py::class_<Pictures<Page>>(m, name, doc)
      .def_readonly("pages", &Pictures<Page>::pages)
      .def_readonly("document_pages", &Pictures<Page>::document_pages)
      .def("__repr__", [name](const Pictures<Page>& p) {
        return py::str("{}({} of {} pages)").format(name, p.pages.size(), p.document_pages);
      });
}

void bind_types(py::module_& m) {
  py::enum_<Fit>(m, "Fit", "How a picture meets its box.")
      .value("fit", Fit::fit)
      .value("fill", Fit::fill)
      .value("stretch", Fit::stretch)
      .value("none", Fit::none);
  py::enum_<Rotation>(m, "Rotation", "Clockwise quarter turns before fitting.")
      .value("none", Rotation::none)
      .value("cw90", Rotation::cw90)
      .value("cw180", Rotation::cw180)
      .value("cw270", Rotation::cw270)
      .value("automatic", Rotation::automatic);
  py::enum_<Upscale>(m, "Upscale", "How an enlarged picture is resampled.")
      .value("nearest", Upscale::nearest)
      .value("bilinear", Upscale::bilinear);
  py::enum_<Dither>(m, "Dither", "How grey becomes dots.")
      .value("threshold", Dither::threshold)
      .value("ordered", Dither::ordered)
      .value("floyd_steinberg", Dither::floyd_steinberg)
      .value("atkinson", Dither::atkinson)
      .value("label", Dither::label);
  py::enum_<BitmapMode>(m, "BitmapMode", "How a BITMAP combines its dots with the label's.")
      .value("overwrite", BitmapMode::overwrite)
      .value("merge", BitmapMode::merge)
      .value("exclusive", BitmapMode::exclusive);

  bind_raster<GreyImage, GreyLayout>(
      m, "An 8-bit grey raster: 0 black to 255 white, rows from the top, width bytes a row.");
  bind_raster<MonoImage, MonoLayout>(
      m,
      "A 1-bit raster as BITMAP takes it: rows of (width + 7) // 8 bytes, the leftmost dot in "
      "the top bit, a 1 bit no dot; the bits past the width are 1.");
  bind_pages<GreyImage>(m, "GreyPages", "The grey pages of a file, and how many it holds.");
  bind_pages<MonoImage>(m, "MonoPages", "The converted pages of a file, and how many it holds.");

  using O = PictureOptions;
  bind_record<O>(m, "PictureOptions", "The box a picture is fitted to and how it is dithered.",
                 field("width", &O::width), field("height", &O::height), field("fit", &O::fit),
                 field("rotation", &O::rotation), field("upscale", &O::upscale),
                 field("black_point", &O::black_point), field("white_point", &O::white_point),
                 field("gamma", &O::gamma), field("dither", &O::dither),
                 field("threshold", &O::threshold));
  bind_record<LoadOptions>(m, "LoadOptions", "The resolution of PDF pages and the pages loaded.",
                           field("dpi", &LoadOptions::dpi),
                           field("first_page", &LoadOptions::first_page),
                           field("last_page", &LoadOptions::last_page));
  bind_record<LabelStock>(
      m, "LabelStock", "The label a picture is printed on.", field("dpi", &LabelStock::dpi),
      field("width_mm", &LabelStock::width_mm), field("height_mm", &LabelStock::height_mm),
      field("gap_mm", &LabelStock::gap_mm), field("gap_offset_mm", &LabelStock::gap_offset_mm));
}

// The conversions of a whole picture refuse an empty picture and options they cannot use with
// an empty image; with those ruled out first, only memory is left to fail.
template <class R>
auto converting(R (*convert)(const GreyImage&, const PictureOptions&)) {
  return [convert](const GreyImage& picture, PictureOptions options) {
    if (picture.empty()) throw py::value_error("the picture is empty");
    if (auto error = picture_options_error(options); !error.empty()) throw py::value_error(error);
    R result;
    {
      py::gil_scoped_release release;
      result = convert(picture, options);
    }
    if (result.empty()) throw std::bad_alloc();
    return result;
  };
}

// A load from a file's bytes or from a path, raising ValueError with the reason it failed.
template <class Pages, class Source, class... A>
auto loading(Pages (*load)(Source, A...)) {
  using File = std::conditional_t<std::is_same_v<Source, std::span<const std::uint8_t>>, ByteView,
                                  std::filesystem::path>;
  return [load](File file, std::remove_cvref_t<A>... args) {
    Pages pages;
    {
      py::gil_scoped_release release;
      pages = load(file, args...);
    }
    if (!pages.ok()) throw py::value_error(pages.error);
    return pages;
  };
}

void bind_functions(py::module_& m) {
  m.attr("kMaxPixels") = kMaxPixels;
  m.def("picture_options_error", &picture_options_error, "options"_a,
        "Why the options cannot be used, or the empty text when they can.");
  m.def(
      "bitmap_bytes",
      [](std::intptr_t x, std::intptr_t y, const MonoImage& picture, BitmapMode mode) {
        return to_bytes(bitmap_bytes(x, y, picture, mode));
      },
      "x"_a, "y"_a, "picture"_a, "mode"_a = BitmapMode::overwrite,
      "The BITMAP command sendbitmap writes, for a program that carries the bytes itself; empty "
      "for an empty picture.");
  m.def("stock_dots", &stock_dots, "stock"_a,
        "The label's size in dots: the box to fit a picture to; 0 for a side of 0 mm, (0, 0) "
        "for a stock printpicture refuses.");
  m.def("fit_picture", converting(&fit_picture), "picture"_a, "options"_a,
        "The picture turned, scaled, placed in the box and levelled.");
  m.def("dither_picture", converting(&dither_picture), "picture"_a, "options"_a,
        "The picture dithered as options.dither and options.threshold say.");
  m.def("convert_picture", converting(&convert_picture), "picture"_a, "options"_a,
        "fit_picture, then dither_picture.");

  // The bytes of a file first: a path given as bytes is not taken.
  using Span = std::span<const std::uint8_t>;
  using Path = const std::filesystem::path&;
  const LoadOptions load;
  const char* load_doc =
      "Reads a PNG, JPEG or PDF file (its bytes, or a path as str or os.PathLike) as grey "
      "pages; ValueError with the reason when it cannot.";
  m.def("load_picture", loading(py::overload_cast<Span, const LoadOptions&>(&load_picture)),
        "file"_a, "load"_a = load, load_doc);
  m.def("load_picture", loading(py::overload_cast<Path, const LoadOptions&>(&load_picture)),
        "file"_a, "load"_a = load, load_doc);
  const char* convert_doc =
      "Loads and converts each page of a file (bytes or a path), one page held at a time; "
      "ValueError with the reason when it cannot.";
  m.def("convert_picture_file",
        loading(py::overload_cast<Span, const PictureOptions&, const LoadOptions&>(
            &convert_picture_file)),
        "file"_a, "options"_a, "load"_a = load, convert_doc);
  m.def("convert_picture_file",
        loading(py::overload_cast<Path, const PictureOptions&, const LoadOptions&>(
            &convert_picture_file)),
        "file"_a, "options"_a, "load"_a = load, convert_doc);
}

}  // namespace

void bind_pictures(py::module_& m) {
  bind_types(m);
  bind_functions(m);
}

}  // namespace quillkit::python
