// The virtual printer drawing and saving a whole label, beside libpng alone encoding a 1-bit
// image of the same size. The "x_bare_png" counter is the label's CPU time over the bare
// encode's; the label's includes writing its PNG file.
#include <benchmark/benchmark.h>
#include <png.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "quillkit/virtual_printer.hpp"

namespace {

// Encodes a packed 1-bit grey image into memory with libpng's defaults, nothing more.
std::size_t bare_png(int width, int height, const std::vector<png_byte>& packed) {
  struct Sink {
    std::size_t bytes = 0;
  } sink;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &sink,
      [](png_structp p, png_bytep, png_size_t n) {
        static_cast<Sink*>(png_get_io_ptr(p))->bytes += n;
      },
      [](png_structp) {});
  png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::size_t stride = (static_cast<std::size_t>(width) + 7) / 8;
  for (int y = 0; y < height; ++y) {
    png_write_row(png, const_cast<png_bytep>(packed.data() + stride * static_cast<std::size_t>(y)));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return sink.bytes;
}

// CPU seconds of this thread: the machine's load does not count.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Three text lines, a Code 128, a QR code and a 400 x 50 BITMAP.
std::string label(const std::string& size) {
  std::string raster(50 * 50, '\0');
  for (std::size_t i = 0; i < raster.size(); ++i) raster[i] = static_cast<char>(i * 37);
  return "SIZE " + size + "\r\nCLS\r\n" +
         "TEXT 20,20,\"3\",0,1,1,\"Lot 4711 / Best before 12-2027\"\r\n"
         "TEXT 20,50,\"TSS24.BF2\",0,1,1,\"Ship to: Quill Street 7\"\r\n"
         "TEXT 20,80,\"0\",0,10,10,\"Handle with care - 2 of 3\"\r\n"
         "BARCODE 20,110,\"128\",50,1,0,2,2,\"QK-2027-4711\"\r\n"
         "QRCODE 300,110,M,3,A,0,\"https://example.com/p/4711\"\r\n"
         "BITMAP 20,200,50,50,0," +
         raster + "\r\nPRINT 1\r\n";
}

void label_against_bare_png(benchmark::State& state, const std::string& size) {
  // Memory-backed when the system has it: the file system's inode work is not the printer's.
  std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                   ? std::filesystem::path("/dev/shm")
                                   : std::filesystem::temp_directory_path();
  auto dir = base / ("quillkit-bench-labels-" + std::to_string(::getpid()));
  quillkit::VirtualPrinterConfig config;
  config.output_dir = dir;
  config.labels_kept = 1;
  config.output_max_labels = ~0ULL;
  config.output_max_bytes = ~0ULL;
  quillkit::VirtualPrinter printer(config);
  const std::string job = label(size);
  printer.feed(job);  // fonts found and glyphs drawn once, as a running printer has them
  // The bare encode gets the same label, already packed.
  quillkit::VirtualLabel drawn = printer.labels().back();
  int width = drawn.width, height = drawn.height;
  std::size_t stride = (static_cast<std::size_t>(width) + 7) / 8;
  std::vector<png_byte> packed(stride * static_cast<std::size_t>(height), 0xFF);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (drawn.ink(x, y)) packed[stride * y + x / 8] &= static_cast<png_byte>(~(0x80 >> (x % 8)));
    }
  }
  double start = cpu_seconds();
  constexpr int kBareRuns = 200;
  for (int i = 0; i < kBareRuns; ++i) benchmark::DoNotOptimize(bare_png(width, height, packed));
  double bare = (cpu_seconds() - start) / kBareRuns;
  start = cpu_seconds();
  for (auto _ : state) benchmark::DoNotOptimize(printer.feed(job));
  double each = (cpu_seconds() - start) / static_cast<double>(state.iterations());
  state.counters["bare_png_us"] = bare * 1e6;
  state.counters["x_bare_png"] = each / bare;
  std::filesystem::remove_all(dir);
}

void BM_Label60x40mm(benchmark::State& state) { label_against_bare_png(state, "60 mm,40 mm"); }
BENCHMARK(BM_Label60x40mm)->Unit(benchmark::kMicrosecond);

void BM_Label4x6inch(benchmark::State& state) { label_against_bare_png(state, "4,6"); }
BENCHMARK(BM_Label4x6inch)->Unit(benchmark::kMicrosecond);

}  // namespace
