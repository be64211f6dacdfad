// Host-font text: packing a full label, drawing a line, building the command.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string_view>

#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/bitmap/packing.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "quillkit/platform/font_host.hpp"

namespace {

using quillkit::Bytes;
using quillkit::Image;

// A 4 by 6 inch label at 203 dpi.
constexpr std::size_t kLabelWidth = 832;
constexpr std::size_t kLabelHeight = 1218;

// One line of 30 characters.
constexpr std::string_view kLine = "Lot 4711 / Best before 12-2027";
static_assert(kLine.size() == 30);

Image label_image() {
  Image image(kLabelWidth, kLabelHeight);
  // A mix of ink and background so that no branch is always taken.
  for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
    image.rgba[i + 3] = ((i / 4) % 7 < 3) ? 255 : 0;
  }
  return image;
}

void BM_PackFullLabel(benchmark::State& state) {
  const Image image = label_image();
  for (auto _ : state) {
    Bytes packed = quillkit::bitmap::pack_bits(image);
    benchmark::DoNotOptimize(packed.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.rgba.size()));
}
BENCHMARK(BM_PackFullLabel);

void BM_MemcpyFullLabel(benchmark::State& state) {
  const Image image = label_image();
  std::vector<std::uint8_t> copy(image.rgba.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), image.rgba.data(), image.rgba.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.rgba.size()));
}
BENCHMARK(BM_MemcpyFullLabel);

void BM_DrawString30Chars48pt(benchmark::State& state) {
  auto& host = quillkit::platform::default_font_host();
  for (auto _ : state) {
    Image image = quillkit::bitmap::draw_text(host, kLine, "DejaVu Sans", 48, 0);
    benchmark::DoNotOptimize(image.rgba.data());
  }
}
BENCHMARK(BM_DrawString30Chars48pt)->Unit(benchmark::kMillisecond);

void BM_WindowsfontCommand30Chars48pt(benchmark::State& state) {
  auto& host = quillkit::platform::default_font_host();
  for (auto _ : state) {
    Bytes command =
        quillkit::bitmap::windowsfont_command(host, 10, 20, 48, 0, 0, 0, "DejaVu Sans", kLine);
    benchmark::DoNotOptimize(command.data());
  }
}
BENCHMARK(BM_WindowsfontCommand30Chars48pt)->Unit(benchmark::kMillisecond);

}  // namespace
