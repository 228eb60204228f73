#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tidewrack {

// Offset of the first byte at or after `from` that equals a, b or c, or `size`.
inline std::size_t find_first_of3(const unsigned char *data, std::size_t from, std::size_t size,
                                  std::uint8_t a, std::uint8_t b, std::uint8_t c) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
  for (; i + 16 <= size; i += 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                                _mm_cmpeq_epi8(chunk, vc));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
  }
#endif
  for (; i < size; ++i) {
    std::uint8_t byte = data[i];
    if (byte == a || byte == b || byte == c) {
      return i;
    }
  }
  return size;
}

} // namespace tidewrack
