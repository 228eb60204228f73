#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

// Without AVX2 at compile time, an AVX2 classifier is still built for x86-64 and
// chosen at run time when the processor has it.
#if defined(__x86_64__) && !defined(__AVX2__) && (defined(__GNUC__) || defined(__clang__))
#define TIDEWRACK_AVX2_AT_RUN_TIME 1
#include <immintrin.h>
#endif

namespace tidewrack {

// Where the bytes that steer the parser sit in one block of 64 input bytes:
// bit i of each mask stands for byte i of the block.
struct ByteClasses {
  std::uint64_t quote = 0;
  std::uint64_t delimiter = 0;
  std::uint64_t cr = 0;
  std::uint64_t lf = 0;
  std::uint64_t high = 0; // bytes 0x80 and above: the only ones UTF-8 decoding can reject
};

// Classifies the 64 bytes at `block`, all readable.
inline ByteClasses classify_64(const unsigned char *block, std::uint8_t quote,
                               std::uint8_t delimiter) {
  ByteClasses classes;
#if defined(__AVX2__)
  const __m256i q = _mm256_set1_epi8(static_cast<char>(quote));
  const __m256i d = _mm256_set1_epi8(static_cast<char>(delimiter));
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  for (int half = 0; half < 2; ++half) {
    __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 32 * half));
    auto bits = [&](__m256i hits) {
      return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hits)))
             << (32 * half);
    };
    classes.quote |= bits(_mm256_cmpeq_epi8(bytes, q));
    classes.delimiter |= bits(_mm256_cmpeq_epi8(bytes, d));
    classes.cr |= bits(_mm256_cmpeq_epi8(bytes, cr));
    classes.lf |= bits(_mm256_cmpeq_epi8(bytes, lf));
    classes.high |= bits(bytes);
  }
#elif defined(__SSE2__)
  const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
  const __m128i d = _mm_set1_epi8(static_cast<char>(delimiter));
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (int quarter = 0; quarter < 4; ++quarter) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * quarter));
    auto bits = [&](__m128i hits) {
      return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(hits)))
             << (16 * quarter);
    };
    classes.quote |= bits(_mm_cmpeq_epi8(bytes, q));
    classes.delimiter |= bits(_mm_cmpeq_epi8(bytes, d));
    classes.cr |= bits(_mm_cmpeq_epi8(bytes, cr));
    classes.lf |= bits(_mm_cmpeq_epi8(bytes, lf));
    classes.high |= bits(bytes);
  }
#else
  for (int i = 0; i < 64; ++i) {
    std::uint8_t byte = block[i];
    std::uint64_t bit = std::uint64_t{1} << i;
    classes.quote |= byte == quote ? bit : 0;
    classes.delimiter |= byte == delimiter ? bit : 0;
    classes.cr |= byte == '\r' ? bit : 0;
    classes.lf |= byte == '\n' ? bit : 0;
    classes.high |= byte >= 0x80 ? bit : 0;
  }
#endif
  return classes;
}

#if defined(TIDEWRACK_AVX2_AT_RUN_TIME)
__attribute__((target("avx2"))) inline ByteClasses
classify_64_avx2(const unsigned char *block, std::uint8_t quote, std::uint8_t delimiter) {
  ByteClasses classes;
  const __m256i q = _mm256_set1_epi8(static_cast<char>(quote));
  const __m256i d = _mm256_set1_epi8(static_cast<char>(delimiter));
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 32));
  auto bits = [](__m256i low_hits, __m256i high_hits) __attribute__((target("avx2"))) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(low_hits))) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high_hits)))
               << 32;
  };
  classes.quote = bits(_mm256_cmpeq_epi8(low, q), _mm256_cmpeq_epi8(high, q));
  classes.delimiter = bits(_mm256_cmpeq_epi8(low, d), _mm256_cmpeq_epi8(high, d));
  classes.cr = bits(_mm256_cmpeq_epi8(low, cr), _mm256_cmpeq_epi8(high, cr));
  classes.lf = bits(_mm256_cmpeq_epi8(low, lf), _mm256_cmpeq_epi8(high, lf));
  classes.high = bits(low, high);
  return classes;
}

inline bool has_avx2() {
  return __builtin_cpu_supports("avx2");
}
#endif

// The instructions the block classifier uses in this build on this processor:
// "avx2", "sse2" or "scalar". Shown in bug reports.
inline const char *block_classifier_name() {
#if defined(__AVX2__)
  return "avx2";
#else
#if defined(TIDEWRACK_AVX2_AT_RUN_TIME)
  if (has_avx2()) {
    return "avx2";
  }
#endif
#if defined(__SSE2__)
  return "sse2";
#else
  return "scalar";
#endif
#endif
}

// Classifies the `size` (< 64) bytes at `block`; the bits past them stay clear.
inline ByteClasses classify_tail(const unsigned char *block, std::size_t size, std::uint8_t quote,
                                 std::uint8_t delimiter) {
  unsigned char padded[64] = {};
  std::memcpy(padded, block, size);
  ByteClasses classes = classify_64(padded, quote, delimiter);
  const std::uint64_t valid = (std::uint64_t{1} << size) - 1;
  classes.quote &= valid;
  classes.delimiter &= valid;
  classes.cr &= valid;
  classes.lf &= valid;
  classes.high &= valid;
  return classes;
}

// Offset of the first CR or LF at or after `from`, or `size`.
inline std::size_t find_line_break(const unsigned char *data, std::size_t from, std::size_t size) {
  std::size_t at = from;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; at + 16 <= size; at += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + at));
    auto hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf))));
    if (hits != 0) {
      return at + static_cast<std::size_t>(__builtin_ctz(hits));
    }
  }
#endif
  for (; at < size; ++at) {
    if (data[at] == '\r' || data[at] == '\n') {
      return at;
    }
  }
  return size;
}

inline unsigned lowest_bit(std::uint64_t mask) {
  return static_cast<unsigned>(__builtin_ctzll(mask));
}

} // namespace tidewrack
