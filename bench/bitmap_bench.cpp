// Packing a full label into one bit a dot, against copying the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>

#include "quillkit/bitmap/packing.hpp"

namespace {

using quillkit::Bytes;
using quillkit::Image;

// A 4 by 6 inch label at 203 dpi.
constexpr std::size_t kLabelWidth = 832;
constexpr std::size_t kLabelHeight = 1218;

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

}  // namespace
