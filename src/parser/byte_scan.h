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

#if defined(__AVX2__) || defined(TIDEWRACK_AVX2_AT_RUN_TIME)
#define TIDEWRACK_HAS_AVX2_BLOCK 1
#endif

// Code for AVX2 alone, which a build without it may still run on a processor
// that has it.
#if defined(TIDEWRACK_AVX2_AT_RUN_TIME)
#define TIDEWRACK_AVX2 [[gnu::target("avx2")]]
#else
#define TIDEWRACK_AVX2
#endif

// The hot lambdas of the record loops are called from many places; inlined,
// their state stays in registers.
#if defined(__GNUC__) || defined(__clang__)
#define TIDEWRACK_ALWAYS_INLINE __attribute__((always_inline))
#else
#define TIDEWRACK_ALWAYS_INLINE
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

// The instructions a block is classified with, each a superset of the one before.
enum class ClassifierTarget : std::uint8_t { scalar, sse2, avx2 };

// 64 bytes as each target holds them. `equal` sets a byte to 0xFF where it is
// `value`, to 0 elsewhere; `high_bits` gathers the top bit of every byte, byte i
// into bit i.
struct ScalarBlock {
  std::uint8_t bytes[64];

  static ScalarBlock load(const unsigned char *from) {
    ScalarBlock block;
    std::memcpy(block.bytes, from, 64);
    return block;
  }
  ScalarBlock equal(std::uint8_t value) const {
    ScalarBlock hits;
    for (int i = 0; i < 64; ++i) {
      hits.bytes[i] = static_cast<std::uint8_t>(bytes[i] == value ? 0xFF : 0);
    }
    return hits;
  }
  std::uint64_t high_bits() const {
    std::uint64_t bits = 0;
    for (int i = 0; i < 64; ++i) {
      bits |= static_cast<std::uint64_t>(bytes[i] >> 7) << i;
    }
    return bits;
  }
};

#if defined(__SSE2__)
struct Sse2Block {
  __m128i parts[4];

  static Sse2Block load(const unsigned char *from) {
    Sse2Block block;
    for (int i = 0; i < 4; ++i) {
      block.parts[i] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + 16 * i));
    }
    return block;
  }
  Sse2Block equal(std::uint8_t value) const {
    const __m128i splat = _mm_set1_epi8(static_cast<char>(value));
    Sse2Block hits;
    for (int i = 0; i < 4; ++i) {
      hits.parts[i] = _mm_cmpeq_epi8(parts[i], splat);
    }
    return hits;
  }
  std::uint64_t high_bits() const {
    std::uint64_t bits = 0;
    for (int i = 0; i < 4; ++i) {
      bits |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(parts[i])))
              << (16 * i);
    }
    return bits;
  }
};
#endif

#if defined(TIDEWRACK_HAS_AVX2_BLOCK)
struct Avx2Block {
  __m256i parts[2];

  TIDEWRACK_AVX2 static Avx2Block load(const unsigned char *from) {
    return {{_mm256_loadu_si256(reinterpret_cast<const __m256i *>(from)),
             _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + 32))}};
  }
  TIDEWRACK_AVX2 Avx2Block equal(std::uint8_t value) const {
    const __m256i splat = _mm256_set1_epi8(static_cast<char>(value));
    return {{_mm256_cmpeq_epi8(parts[0], splat), _mm256_cmpeq_epi8(parts[1], splat)}};
  }
  TIDEWRACK_AVX2 std::uint64_t high_bits() const {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(parts[0]))) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(parts[1])))
               << 32;
  }
};
#endif

// The classifier, once for every target: the 64 bytes at `bytes`, all readable.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline ByteClasses classify_as(const unsigned char *bytes,
                                                       std::uint8_t quote, std::uint8_t delimiter) {
  const Block block = Block::load(bytes);
  return {block.equal(quote).high_bits(), block.equal(delimiter).high_bits(),
          block.equal('\r').high_bits(), block.equal('\n').high_bits(), block.high_bits()};
}

#if defined(TIDEWRACK_HAS_AVX2_BLOCK)
// Flattened, so that the AVX2 operations are inlined where AVX2 is enabled.
TIDEWRACK_AVX2 [[gnu::flatten]] inline ByteClasses
classify_avx2(const unsigned char *bytes, std::uint8_t quote, std::uint8_t delimiter) {
  return classify_as<Avx2Block>(bytes, quote, delimiter);
}
#endif

// The best target of this build on this processor; every target before it runs
// here as well.
inline ClassifierTarget best_classifier_target() {
#if defined(__AVX2__)
  return ClassifierTarget::avx2;
#else
#if defined(TIDEWRACK_AVX2_AT_RUN_TIME)
  if (__builtin_cpu_supports("avx2")) {
    return ClassifierTarget::avx2;
  }
#endif
#if defined(__SSE2__)
  return ClassifierTarget::sse2;
#else
  return ClassifierTarget::scalar;
#endif
#endif
}

// The instructions the block classifier uses in this build on this processor:
// "avx2", "sse2" or "scalar". Shown in bug reports.
inline const char *block_classifier_name() {
  switch (best_classifier_target()) {
  case ClassifierTarget::avx2:
    return "avx2";
  case ClassifierTarget::sse2:
    return "sse2";
  case ClassifierTarget::scalar:
    break;
  }
  return "scalar";
}

// Classifies the 64 bytes at `block`, all readable, with `target`, which must
// run here: the one place that chooses between the targets.
TIDEWRACK_ALWAYS_INLINE inline ByteClasses classify_64(ClassifierTarget target,
                                                       const unsigned char *block,
                                                       std::uint8_t quote, std::uint8_t delimiter) {
  switch (target) {
#if defined(TIDEWRACK_HAS_AVX2_BLOCK)
  case ClassifierTarget::avx2:
    return classify_avx2(block, quote, delimiter);
#endif
#if defined(__SSE2__)
  case ClassifierTarget::sse2:
    return classify_as<Sse2Block>(block, quote, delimiter);
#endif
  default:
    return classify_as<ScalarBlock>(block, quote, delimiter);
  }
}

// Classifies the `size` (< 64) bytes at `block`; the bits past them stay clear.
inline ByteClasses classify_tail(ClassifierTarget target, const unsigned char *block,
                                 std::size_t size, std::uint8_t quote, std::uint8_t delimiter) {
  unsigned char padded[64] = {};
  std::memcpy(padded, block, size);
  ByteClasses classes = classify_64(target, padded, quote, delimiter);
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

// The classified block that holds the bytes being passed over; a record loop
// keeps it from one record to the next.
struct ClassifiedBlock {
  std::size_t base = ~std::size_t{0};
  ByteClasses classes{};
};

// Passes over ordinary bytes from `at` to the first byte in `stops_of(classes)`,
// or to the end of the input (`size`), and returns where it stopped. What
// `marks_of(classes)` says of the bytes passed over, the stop excluded, is ORed
// into `marks`, and their high bits into `high`. `classify(base)` classifies the
// block at `base`; `block` is the one classified last. Every record loop that
// cuts at classified bytes passes over the rest through here.
template <class Classify, class StopsOf, class MarksOf>
TIDEWRACK_ALWAYS_INLINE inline std::size_t
pass_classified(std::size_t at, std::size_t size, ClassifiedBlock &block, const Classify &classify,
                StopsOf stops_of, MarksOf marks_of, std::uint64_t &marks, std::uint64_t &high) {
  for (;;) {
    if (at >= size) {
      return size;
    }
    if ((at & ~std::size_t{63}) != block.base) {
      block.base = at & ~std::size_t{63};
      block.classes = classify(block.base);
    }
    const std::size_t offset = at - block.base;
    const std::uint64_t stops = stops_of(block.classes) >> offset;
    if (stops != 0) {
      const std::uint64_t passed = (stops & (0 - stops)) - 1; // strictly before the stop
      marks |= (marks_of(block.classes) >> offset) & passed;
      high |= (block.classes.high >> offset) & passed;
      return at + lowest_bit(stops);
    }
    marks |= marks_of(block.classes) >> offset;
    high |= block.classes.high >> offset;
    at = block.base + 64;
  }
}

} // namespace tidewrack
