#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/utf8.h"

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
// that has it. Every processor with AVX2 counts bits in one instruction too.
#if defined(TIDEWRACK_AVX2_AT_RUN_TIME)
#define TIDEWRACK_AVX2 [[gnu::target("avx2,popcnt")]]
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
// `value`, to 0 elsewhere; `in_range` where it lies in [first, first + count)
// (count at most 128, wrapping past 0xFF); `high_bits` gathers the top bit of
// every byte, byte i into bit i; `store_every_other` writes byte 2i (2i + 1 when
// `odd`) to to[i], for i below 32.
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
  ScalarBlock in_range(std::uint8_t first, std::uint8_t count) const {
    ScalarBlock hits;
    for (int i = 0; i < 64; ++i) {
      hits.bytes[i] =
          static_cast<std::uint8_t>(static_cast<std::uint8_t>(bytes[i] - first) < count ? 0xFF : 0);
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
  void store_every_other(bool odd, char *to) const {
    for (int i = 0; i < 32; ++i) {
      to[i] = static_cast<char>(bytes[2 * i + (odd ? 1 : 0)]);
    }
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
  Sse2Block in_range(std::uint8_t first, std::uint8_t count) const {
    // Moved so that the range starts at the lowest signed byte.
    const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - first));
    const __m128i top = _mm_set1_epi8(static_cast<char>(0x80 + count));
    Sse2Block hits;
    for (int i = 0; i < 4; ++i) {
      hits.parts[i] = _mm_cmplt_epi8(_mm_add_epi8(parts[i], shift), top);
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
  void store_every_other(bool odd, char *to) const {
    const __m128i low = _mm_set1_epi16(0xFF);
    __m128i halves[4];
    for (int i = 0; i < 4; ++i) {
      halves[i] = odd ? _mm_srli_epi16(parts[i], 8) : _mm_and_si128(parts[i], low);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to), _mm_packus_epi16(halves[0], halves[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + 16), _mm_packus_epi16(halves[2], halves[3]));
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
  TIDEWRACK_AVX2 Avx2Block in_range(std::uint8_t first, std::uint8_t count) const {
    // Moved so that the range starts at the lowest signed byte.
    const __m256i shift = _mm256_set1_epi8(static_cast<char>(0x80 - first));
    const __m256i top = _mm256_set1_epi8(static_cast<char>(0x80 + count));
    return {{_mm256_cmpgt_epi8(top, _mm256_add_epi8(parts[0], shift)),
             _mm256_cmpgt_epi8(top, _mm256_add_epi8(parts[1], shift))}};
  }
  TIDEWRACK_AVX2 std::uint64_t high_bits() const {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(parts[0]))) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(parts[1])))
               << 32;
  }
  TIDEWRACK_AVX2 void store_every_other(bool odd, char *to) const {
    const __m256i low = _mm256_set1_epi16(0xFF);
    const __m256i first = odd ? _mm256_srli_epi16(parts[0], 8) : _mm256_and_si256(parts[0], low);
    const __m256i second = odd ? _mm256_srli_epi16(parts[1], 8) : _mm256_and_si256(parts[1], low);
    // Packing works within 128-bit lanes: the quarters come out as first, second,
    // first, second.
    const __m256i packed = _mm256_packus_epi16(first, second);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(to), _mm256_permute4x64_epi64(packed, 0xD8));
  }
};
#endif

inline unsigned lowest_bit(std::uint64_t mask) {
  return static_cast<unsigned>(__builtin_ctzll(mask));
}

// Bits 0 to `count` - 1.
inline std::uint64_t low_bits(std::size_t count) {
  return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

// The `size` bytes at `from` as a block: 64 of them when there are, else the
// rest followed by zeros.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline Block load_upto(const unsigned char *from, std::size_t size) {
  if (size >= 64) {
    return Block::load(from);
  }
  unsigned char padded[64] = {};
  std::memcpy(padded, from, size);
  return Block::load(padded);
}

// A block and how far right its masks shift to begin at the byte asked for.
template <class Block> struct BlockAt {
  Block block;
  unsigned shift;
};

// The bytes from `at` to the end of the `size` bytes at `data`: the 64 bytes at
// `at` when there are as many, else the last 64 of the data (the masks shifted
// right leave zeros past the end), else the rest followed by zeros.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline BlockAt<Block> load_at(const unsigned char *data, std::size_t at,
                                                      std::size_t size) {
  if (size - at < 64 && size >= 64) {
    return {Block::load(data + size - 64), static_cast<unsigned>(at + 64 - size)};
  }
  return {load_upto<Block>(data + at, size - at), 0};
}

// The block operations, each written once for every target; the scalar block is
// the twin the others are tested against.

// The classifier: the 64 bytes at `bytes`, all readable.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline ByteClasses classify_as(const unsigned char *bytes,
                                                       std::uint8_t quote, std::uint8_t delimiter) {
  const Block block = Block::load(bytes);
  return {block.equal(quote).high_bits(), block.equal(delimiter).high_bits(),
          block.equal('\r').high_bits(), block.equal('\n').high_bits(), block.high_bits()};
}

// Offset of the first CR or LF at or after `from`, or `size`.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline std::size_t find_line_break_as(const unsigned char *data,
                                                              std::size_t from, std::size_t size) {
  if (size < 64) { // byte by byte: cheaper than padding a block
    while (from < size && data[from] != '\r' && data[from] != '\n') {
      ++from;
    }
    return from;
  }
  for (std::size_t at = from; at < size; at += 64) {
    const auto [block, shift] = load_at<Block>(data, at, size);
    const std::uint64_t breaks =
        (block.equal('\r').high_bits() | block.equal('\n').high_bits()) >> shift;
    if (breaks != 0) {
      return at + lowest_bit(breaks);
    }
  }
  return size;
}

// Offset of the first byte of 0x80 or above at or after `from`, or `size`.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline std::size_t skip_ascii_as(const unsigned char *data,
                                                         std::size_t from, std::size_t size) {
  if (size < 64) { // byte by byte: cheaper than padding a block
    while (from < size && data[from] < 0x80) {
      ++from;
    }
    return from;
  }
  for (std::size_t at = from; at < size; at += 64) {
    const auto [block, shift] = load_at<Block>(data, at, size);
    const std::uint64_t high = block.high_bits() >> shift;
    if (high != 0) {
      return at + lowest_bit(high);
    }
  }
  return size;
}

// The line breaks that start in [from, to) of the `size` bytes at `data`: each
// LF, and each CR that no LF follows (the byte after it may lie past `to`).
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline std::uint64_t count_line_breaks_as(const unsigned char *data,
                                                                  std::size_t from, std::size_t to,
                                                                  std::size_t size) {
  std::uint64_t found = 0;
  for (std::size_t at = from; at < to; at += 64) {
    const std::size_t count = to - at < 64 ? to - at : 64;
    const auto [block, shift] = load_at<Block>(data, at, to);
    const std::uint64_t lf = block.equal('\n').high_bits() >> shift;
    const std::uint64_t lf_next = at + count < size && data[at + count] == '\n';
    const std::uint64_t before_lf = (lf >> 1) | (lf_next << (count - 1));
    const std::uint64_t cr = block.equal('\r').high_bits() >> shift;
    found += static_cast<std::uint64_t>(std::popcount(lf | (cr & ~before_lf)));
  }
  return found;
}

// Passes over UTF-8 made of ASCII and two-byte sequences (C2..DF followed by
// 80..BF), a block at a time from the sequence boundary `from`. Returns the
// sequence boundary where a block holds any other byte of 0x80 or above or fewer
// than 64 bytes remain, or `size` + 1 on an ill-formed two-byte sequence.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline std::size_t
skip_two_byte_utf8_as(const unsigned char *data, std::size_t from, std::size_t size) {
  std::size_t at = from;
  std::uint64_t pending = 0; // the byte before `at` is a lead that waits for its continuation
  for (; at + 64 <= size; at += 64) {
    const Block block = Block::load(data + at);
    const std::uint64_t continuations = block.in_range(0x80, 0x40).high_bits();
    const std::uint64_t leads = block.in_range(0xC2, 0x1E).high_bits();
    if ((continuations | leads) != block.high_bits()) {
      break;
    }
    if (continuations != ((leads << 1) | pending)) {
      return size + 1;
    }
    pending = leads >> 63;
  }
  return at - pending;
}

// True when the `size` bytes at `data` are well-formed UTF-8.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline bool valid_utf8_as(const unsigned char *data, std::size_t size) {
  std::size_t at = skip_ascii_as<Block>(data, 0, size);
  // Where the bulk pass last stopped: the sequences from there on go one by one
  // for a block's length before it is tried again.
  std::size_t bulk_stop = 0;
  while (at < size) {
    if (data[at] < 0x80) {
      at = skip_ascii_as<Block>(data, at, size);
      continue;
    }
    if (at >= bulk_stop + 64 && at + 64 <= size) {
      const std::size_t stop = skip_two_byte_utf8_as<Block>(data, at, size);
      if (stop > size) {
        return false;
      }
      bulk_stop = stop;
      if (stop != at) {
        at = stop;
        continue;
      }
    }
    std::size_t length;
    if (utf8_sequence(data + at, size - at, length) != Utf8Sequence::valid) {
      return false;
    }
    at += length;
  }
  return true;
}

// The kinds of byte in a run, for the shape of a cell: each a flag but
// `digits`, a count. The delimiter is a kind of its own, whatever its byte.
struct ByteKinds {
  bool digit = false;
  bool letter = false;
  bool blank = false; // space or tab
  bool high = false;  // 0x80 and above
  bool delimiter = false;
  bool other = false; // punctuation, control bytes
  std::size_t digits = 0;
};

template <class Block>
TIDEWRACK_ALWAYS_INLINE inline ByteKinds byte_kinds_as(const unsigned char *data, std::size_t size,
                                                       std::uint8_t delimiter) {
  std::uint64_t digit = 0, letter = 0, blank = 0, high = 0, delimiters = 0, other = 0;
  std::size_t digits = 0;
  for (std::size_t at = 0; at < size; at += 64) {
    const Block block = load_upto<Block>(data + at, size - at);
    const std::uint64_t valid = low_bits(size - at); // the zeros that pad the last block are not
    const std::uint64_t is_delimiter = block.equal(delimiter).high_bits() & valid;
    const std::uint64_t is_digit = block.in_range('0', 10).high_bits() & ~is_delimiter;
    const std::uint64_t is_letter =
        (block.in_range('a', 26).high_bits() | block.in_range('A', 26).high_bits()) & ~is_delimiter;
    const std::uint64_t is_blank =
        (block.equal(' ').high_bits() | block.equal('\t').high_bits()) & ~is_delimiter;
    const std::uint64_t is_high = block.high_bits() & ~is_delimiter;
    digit |= is_digit;
    letter |= is_letter;
    blank |= is_blank;
    high |= is_high;
    delimiters |= is_delimiter;
    other |= valid & ~(is_digit | is_letter | is_blank | is_high | is_delimiter);
    digits += static_cast<std::size_t>(std::popcount(is_digit));
  }
  return {digit != 0, letter != 0, blank != 0, high != 0, delimiters != 0, other != 0, digits};
}

// The kind of each byte (but the delimiter), for a run too short for blocks.
enum : std::uint8_t {
  KIND_DIGIT = 1,
  KIND_LETTER = 2,
  KIND_BLANK = 4,
  KIND_HIGH = 8,
  KIND_OTHER = 16,
  KIND_DELIMITER = 32,
};
inline constexpr std::array<std::uint8_t, 256> BYTE_KINDS = [] {
  std::array<std::uint8_t, 256> kinds{};
  for (std::size_t byte = 0; byte < kinds.size(); ++byte) {
    kinds[byte] = byte - '0' < 10               ? KIND_DIGIT
                  : ((byte | 0x20) - 'a') < 26  ? KIND_LETTER
                  : byte == ' ' || byte == '\t' ? KIND_BLANK
                  : byte >= 0x80                ? KIND_HIGH
                                                : KIND_OTHER;
  }
  return kinds;
}();

// Copies `size` bytes in moves of 16, reading and writing up to 15 bytes past them.
TIDEWRACK_ALWAYS_INLINE inline char *copy_by_16(char *out, const unsigned char *from,
                                                std::size_t size) {
  for (std::size_t at = 0; at < size; at += 16) {
    std::memcpy(out + at, from + at, 16);
  }
  return out + size;
}

// Doubles each `byte` among the `count` (at most 64) bytes of `block`, read 16
// past them, into `out`: moves of 16 that write up to 15 bytes past the end.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline char *double_in_block(char *out, const unsigned char *block,
                                                     std::size_t count, std::uint8_t byte) {
  std::uint64_t hits = Block::load(block).equal(byte).high_bits() & low_bits(count);
  std::size_t piece = 0;
  while (hits != 0) {
    const std::size_t hit = lowest_bit(hits);
    hits &= hits - 1;
    out = copy_by_16(out, block + piece, hit + 1 - piece);
    *out++ = static_cast<char>(byte);
    piece = hit + 1;
  }
  return copy_by_16(out, block + piece, count - piece);
}

// Copies the `size` bytes at `from` to `out`, each `byte` among them twice;
// returns the end of the copy, past which one more byte may be written.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline char *copy_doubling_as(char *out, const unsigned char *from,
                                                      std::size_t size, std::uint8_t byte) {
  std::size_t at = 0;
  // While 16 bytes past the block can be read, and what is written past the copy
  // of the block is overwritten by the copy of the next.
  for (; size - at >= 80; at += 64) {
    out = double_in_block<Block>(out, from + at, 64, byte);
  }
  const std::size_t rest = size - at;
  if (rest >= 16) {
    // The last bytes through copies, so that nothing is read or written past them.
    unsigned char padded[128] = {};
    char doubled[2 * 80 + 16];
    std::memcpy(padded, from + at, rest);
    char *end = double_in_block<Block>(doubled, padded, rest < 64 ? rest : 64, byte);
    if (rest > 64) {
      end = double_in_block<Block>(end, padded + 64, rest - 64, byte);
    }
    std::memcpy(out, doubled, static_cast<std::size_t>(end - doubled));
    return out + (end - doubled);
  }
  // A few bytes one by one, without branches.
  for (; at < size; ++at) {
    out[0] = static_cast<char>(from[at]);
    out[1] = static_cast<char>(byte);
    out += from[at] == byte ? 2 : 1;
  }
  return out;
}

// The UTF-16 units below 0x80 that begin the `size` bytes at `from` (big-endian
// when `big`), at most 32: writes them to `to` as bytes, and up to 32 bytes in
// all, and returns how many there are.
template <class Block>
TIDEWRACK_ALWAYS_INLINE inline std::size_t
narrow_ascii_units_as(const unsigned char *from, std::size_t size, bool big, char *to) {
  const Block block = load_upto<Block>(from, size);
  // The upper byte of an ASCII unit is zero, the lower below 0x80.
  const std::uint64_t upper = big ? 0x5555555555555555U : 0xAAAAAAAAAAAAAAAAU;
  const std::uint64_t other = block.high_bits() | (upper & ~block.equal(0).high_bits());
  block.store_every_other(big, to);
  const std::size_t units = (other == 0 ? 64 : lowest_bit(other)) / 2;
  const std::size_t whole = (size < 64 ? size : 64) / 2;
  return units < whole ? units : whole;
}

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

#if defined(TIDEWRACK_HAS_AVX2_BLOCK)
// Flattened, so that the AVX2 operations are inlined where AVX2 is enabled.
template <class Op, class... Args>
TIDEWRACK_AVX2 [[gnu::flatten]] inline auto run_avx2(Op op, Args... args) {
  return op.template operator()<Avx2Block>(args...);
}
#endif

// Calls `op`, templated on the block type, with the blocks of `target`, which
// must run here: the one place that chooses between the targets. The arguments
// go by value, so that they stay in registers.
template <class Op, class... Args>
TIDEWRACK_ALWAYS_INLINE inline auto run_on(ClassifierTarget target, Op op, Args... args) {
  switch (target) {
#if defined(TIDEWRACK_HAS_AVX2_BLOCK)
  case ClassifierTarget::avx2:
    return run_avx2(op, args...);
#endif
#if defined(__SSE2__)
  case ClassifierTarget::sse2:
    return op.template operator()<Sse2Block>(args...);
#endif
  default:
    return op.template operator()<ScalarBlock>(args...);
  }
}

// Classifies the 64 bytes at `block`, all readable, with `target`.
TIDEWRACK_ALWAYS_INLINE inline ByteClasses classify_64(ClassifierTarget target,
                                                       const unsigned char *block,
                                                       std::uint8_t quote, std::uint8_t delimiter) {
  return run_on(
      target,
      []<class Block>(const unsigned char *bytes, std::uint8_t quote_byte,
                      std::uint8_t delimiter_byte) {
        return classify_as<Block>(bytes, quote_byte, delimiter_byte);
      },
      block, quote, delimiter);
}

// The kinds of byte in the `size` bytes at `data`: a short run byte by byte,
// a long one a block at a time with `target`.
inline ByteKinds byte_kinds(ClassifierTarget target, const unsigned char *data, std::size_t size,
                            std::uint8_t delimiter) {
  if (size >= 64) {
    return run_on(
        target,
        []<class Block>(const unsigned char *bytes, std::size_t length,
                        std::uint8_t delimiter_byte) {
          return byte_kinds_as<Block>(bytes, length, delimiter_byte);
        },
        data, size, delimiter);
  }
  unsigned seen = 0;
  std::size_t digits = 0;
  for (std::size_t at = 0; at < size; ++at) {
    const unsigned kind = data[at] == delimiter ? unsigned{KIND_DELIMITER} : BYTE_KINDS[data[at]];
    seen |= kind;
    digits += kind == KIND_DIGIT ? 1 : 0;
  }
  return {(seen & KIND_DIGIT) != 0,
          (seen & KIND_LETTER) != 0,
          (seen & KIND_BLANK) != 0,
          (seen & KIND_HIGH) != 0,
          (seen & KIND_DELIMITER) != 0,
          (seen & KIND_OTHER) != 0,
          digits};
}

// Classifies the `size` (< 64) bytes at `block`; the bits past them stay clear.
inline ByteClasses classify_tail(ClassifierTarget target, const unsigned char *block,
                                 std::size_t size, std::uint8_t quote, std::uint8_t delimiter) {
  unsigned char padded[64] = {};
  std::memcpy(padded, block, size);
  ByteClasses classes = classify_64(target, padded, quote, delimiter);
  const std::uint64_t valid = low_bits(size);
  classes.quote &= valid;
  classes.delimiter &= valid;
  classes.cr &= valid;
  classes.lf &= valid;
  classes.high &= valid;
  return classes;
}

// Offset of the first CR or LF at or after `from`, or `size`.
inline std::size_t find_line_break(const unsigned char *data, std::size_t from, std::size_t size) {
  return run_on(best_classifier_target(),
                [&]<class Block>() { return find_line_break_as<Block>(data, from, size); });
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
