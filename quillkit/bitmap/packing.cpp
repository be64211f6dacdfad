#include "quillkit/bitmap/packing.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quillkit/bitmap/raster.hpp"

namespace quillkit::bitmap {
namespace {

constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
// Multiplying the 0/1 bytes (byte k = pixel k) by this moves byte k's bit to
// bit 63 - k; no two products share a bit, so nothing carries.
constexpr std::uint64_t kGather = 0x8040201008040201ULL;

// Packs 8 RGBA pixels (32 bytes) into one output byte.
inline std::uint8_t pack_eight(const std::uint8_t* pixels) {
  if constexpr (std::endian::native == std::endian::little) {
    // Collect the eight alpha bytes into one word, byte k holding pixel k.
    std::uint64_t alphas = 0;
    for (int pair = 0; pair < 4; ++pair) {
      std::uint64_t word;
      std::memcpy(&word, pixels + pair * 8, 8);
      const std::uint64_t two = ((word >> 24) & 0xFF) | ((word >> 48) & 0xFF00);
      alphas |= two << (pair * 16);
    }
    // High bit of each byte set where that alpha is non-zero.
    const std::uint64_t inked = (((alphas & kLow7) + kLow7) | alphas) & kHigh;
    const std::uint64_t blank = (inked ^ kHigh) >> 7;
    return static_cast<std::uint8_t>((blank * kGather) >> 56);
  } else {
    std::uint8_t byte = 0;
    for (int k = 0; k < 8; ++k) {
      byte |= static_cast<std::uint8_t>((pixels[k * 4 + 3] == 0 ? 1 : 0) << (7 - k));
    }
    return byte;
  }
}

#if defined(__SSE2__)
// Byte b with its bit order reversed: the SIMD mask has pixel 0 in bit 0, the
// printer wants it in bit 7.
constexpr std::array<std::uint8_t, 256> kReversed = [] {
  std::array<std::uint8_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    int reversed = 0;
    for (int bit = 0; bit < 8; ++bit) {
      if (value & (1 << bit)) reversed |= 0x80 >> bit;
    }
    table[value] = static_cast<std::uint8_t>(reversed);
  }
  return table;
}();

// Packs 16 RGBA pixels (64 bytes) into two output bytes.
inline void pack_sixteen(const std::uint8_t* pixels, std::uint8_t* out) {
  const auto* in = reinterpret_cast<const __m128i*>(pixels);
  const __m128i a = _mm_srli_epi32(_mm_loadu_si128(in), 24);
  const __m128i b = _mm_srli_epi32(_mm_loadu_si128(in + 1), 24);
  const __m128i c = _mm_srli_epi32(_mm_loadu_si128(in + 2), 24);
  const __m128i d = _mm_srli_epi32(_mm_loadu_si128(in + 3), 24);
  const __m128i alphas = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
  const unsigned blank =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(alphas, _mm_setzero_si128())));
  out[0] = kReversed[blank & 0xFF];
  out[1] = kReversed[blank >> 8];
}
#endif

}  // namespace

Bytes pack_bits(const Image& image) {
  if (image.empty() || !is_well_formed(image)) return {};
  const std::size_t row_bytes = image.width / 8;
  Bytes packed(row_bytes * image.height);
  const std::uint8_t* row = image.rgba.data();
  std::uint8_t* out = packed.data();
  for (std::size_t y = 0; y < image.height; ++y, row += image.width * 4) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 2 <= row_bytes; i += 2, out += 2) pack_sixteen(row + i * 32, out);
#endif
    for (; i < row_bytes; ++i) *out++ = pack_eight(row + i * 32);
  }
  return packed;
}

Image pad_to_byte_width(const Image& image) {
  if (image.width % 8 == 0 || !is_well_formed(image)) return image;
  Image padded(image.width + (8 - image.width % 8), image.height);
  if (!is_well_formed(padded)) return image;
  for (std::size_t y = 0; y < image.height; ++y) {
    std::memcpy(padded.rgba.data() + y * padded.width * 4, image.rgba.data() + y * image.width * 4,
                image.width * 4);
  }
  return padded;
}

}  // namespace quillkit::bitmap
