#include "encoding/decoder.h"

#include <algorithm>
#include <cstring>

#include "base/byte_scan.h"
#include "base/utf8.h"

namespace tidewrack {

namespace {

// A character in UTF-8, padded to four bytes so that it copies in one move.
struct Utf8Char {
  char bytes[4];
  std::size_t length;
};

constexpr Utf8Char utf8_char(char32_t c) {
  if (c < 0x80) {
    return {{static_cast<char>(c), 0, 0, 0}, 1};
  }
  if (c < 0x800) {
    return {{static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F)), 0, 0}, 2};
  }
  return {{static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
           static_cast<char>(0x80 | (c & 0x3F)), 0},
          3};
}

// cp1252 at 0x80..0x9F; the five bytes it leaves undefined keep their Latin-1
// control characters. From 0xA0 on it is Latin-1.
constexpr char32_t CP1252_80_9F[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

using HighHalf = std::array<Utf8Char, 128>; // bytes 0x80..0xFF

constexpr HighHalf high_half(bool cp1252) {
  HighHalf table{};
  for (std::size_t i = 0; i < 128; ++i) {
    table[i] = utf8_char(cp1252 && i < 32 ? CP1252_80_9F[i] : static_cast<char32_t>(0x80 + i));
  }
  return table;
}

constexpr HighHalf CP1252 = high_half(true);
constexpr HighHalf LATIN1 = high_half(false);

constexpr Utf8Char REPLACEMENT = utf8_char(0xFFFD);

// Collects output in a small buffer and appends it to the caller's string in
// pieces, so a character costs a copy of four bytes and no allocation.
class Utf8Writer {
public:
  Utf8Writer(std::string &out, std::uint64_t produced, ChangeLog &changes)
      : out_(out), origin_(out.size()), produced_(produced), changes_(changes) {}
  Utf8Writer(const Utf8Writer &) = delete;
  Utf8Writer &operator=(const Utf8Writer &) = delete;

  // Offset of the next byte in the decoded stream.
  std::uint64_t offset() const { return produced_ + (out_.size() - origin_) + used_; }

  // Space for `n` bytes (at most 32) at the end of the buffer.
  char *room(std::size_t n) {
    if (BUFFER - used_ < n) {
      flush();
    }
    return buffer_ + used_;
  }
  void advance(std::size_t n) { used_ += n; }

  void put(const Utf8Char &c) {
    std::memcpy(room(4), c.bytes, 4);
    used_ += c.length;
  }
  void put(char32_t c) {
    if (c < 0x10000) {
      put(utf8_char(c));
      return;
    }
    char *at = room(4);
    at[0] = static_cast<char>(0xF0 | (c >> 18));
    at[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    at[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    at[3] = static_cast<char>(0x80 | (c & 0x3F));
    used_ += 4;
  }
  void copy(const unsigned char *data, std::size_t n) {
    if (n > BUFFER - used_) {
      flush();
      if (n >= BUFFER) {
        out_.append(reinterpret_cast<const char *>(data), n);
        return;
      }
    }
    std::memcpy(buffer_ + used_, data, n);
    used_ += n;
  }

  // Logs the output written since `start` as one change.
  void change(ChangeKind kind, std::uint64_t start, std::uint64_t input_bytes) {
    changes_.add(start, static_cast<std::size_t>(offset() - start), kind, input_bytes);
  }
  void replace(std::uint64_t input_bytes) {
    const std::uint64_t start = offset();
    put(REPLACEMENT);
    change(ChangeKind::Replaced, start, input_bytes);
  }

  // Flushes and returns the length of the decoded stream.
  std::uint64_t finish() {
    flush();
    return offset();
  }

private:
  static constexpr std::size_t BUFFER = 4096;

  void flush() {
    out_.append(buffer_, used_);
    used_ = 0;
  }

  std::string &out_;
  std::size_t origin_;
  std::uint64_t produced_;
  ChangeLog &changes_;
  std::size_t used_ = 0;
  char buffer_[BUFFER];
};

// The decoders are templates on the block type of the target they run on.

template <class Block>
std::size_t decode_code_page(const HighHalf &table, const unsigned char *data, std::size_t size,
                             Utf8Writer &out) {
  std::size_t i = 0;
  while (i < size) {
    const std::size_t end = skip_ascii_as<Block>(data, i, size);
    out.copy(data + i, end - i);
    for (i = end; i < size && data[i] >= 0x80; ++i) {
      out.put(table[data[i] - 0x80]);
    }
  }
  return size;
}

// Returns how many bytes were decoded; the rest is a character that the end of
// a block other than the last cuts.
template <class Block, bool Auto>
std::size_t decode_utf8(const unsigned char *data, std::size_t size, bool last, Utf8Writer &out) {
  std::size_t i = 0;
  while (i < size) {
    if (data[i] < 0x80) {
      const std::size_t end = skip_ascii_as<Block>(data, i, size);
      out.copy(data + i, end - i);
      i = end;
      continue;
    }
    std::size_t length;
    const Utf8Sequence sequence = utf8_sequence(data + i, size - i, length);
    if (sequence == Utf8Sequence::cut && !last) {
      break;
    }
    if (sequence == Utf8Sequence::valid) {
      out.copy(data + i, length);
    } else if constexpr (Auto) {
      const std::uint64_t start = out.offset();
      for (std::size_t k = 0; k < length; ++k) {
        out.put(CP1252[data[i + k] - 0x80]);
      }
      out.change(ChangeKind::Decoded, start, length);
    } else {
      out.replace(length);
    }
    i += length;
  }
  return i;
}

template <bool Big> char32_t unit16(const unsigned char *at) {
  return Big ? static_cast<char32_t>(at[0] << 8 | at[1])
             : static_cast<char32_t>(at[1] << 8 | at[0]);
}

template <class Block, bool Big>
std::size_t decode_utf16(const unsigned char *data, std::size_t size, bool last, Utf8Writer &out) {
  std::size_t i = 0;
  while (i + 2 <= size) {
    // The run of ASCII units, 32 at a time.
    std::size_t units;
    do {
      units = narrow_ascii_units_as<Block>(data + i, size - i, Big, out.room(32));
      out.advance(units);
      i += 2 * units;
    } while (units == 32);
    if (i + 2 > size) {
      break;
    }
    const char32_t unit = unit16<Big>(data + i);
    if (unit < 0xD800 || unit > 0xDFFF) {
      out.put(unit);
      i += 2;
      continue;
    }
    if (unit <= 0xDBFF) {
      if (i + 4 > size && !last) {
        return i; // the low surrogate may come with the next block
      }
      if (i + 4 <= size) {
        const char32_t low = unit16<Big>(data + i + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          out.put(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          i += 4;
          continue;
        }
      }
    }
    out.replace(2);
    i += 2;
  }
  if (i < size && last) {
    out.replace(size - i); // an odd byte at the end
    i = size;
  }
  return i;
}

template <bool Big>
std::size_t decode_utf32(const unsigned char *data, std::size_t size, bool last, Utf8Writer &out) {
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    const unsigned char *at = data + i;
    const char32_t unit =
        Big ? static_cast<char32_t>(at[0]) << 24 | static_cast<char32_t>(at[1]) << 16 |
                  static_cast<char32_t>(at[2]) << 8 | at[3]
            : static_cast<char32_t>(at[3]) << 24 | static_cast<char32_t>(at[2]) << 16 |
                  static_cast<char32_t>(at[1]) << 8 | at[0];
    if (unit > 0x10FFFF || (unit >= 0xD800 && unit <= 0xDFFF)) {
      out.replace(4);
    } else {
      out.put(unit);
    }
  }
  if (i < size && last) {
    out.replace(size - i); // a unit cut by the end of the input
    i = size;
  }
  return i;
}

std::size_t decode_units(Encoding encoding, const unsigned char *data, std::size_t size, bool last,
                         Utf8Writer &out) {
  return run_on(
      best_classifier_target(),
      []<class Block>(Encoding kind, const unsigned char *bytes, std::size_t length, bool at_end,
                      Utf8Writer *writer) -> std::size_t {
        switch (kind) {
        case Encoding::Utf8:
          return decode_utf8<Block, false>(bytes, length, at_end, *writer);
        case Encoding::Utf8Auto:
          return decode_utf8<Block, true>(bytes, length, at_end, *writer);
        case Encoding::Cp1252:
          return decode_code_page<Block>(CP1252, bytes, length, *writer);
        case Encoding::Latin1:
          return decode_code_page<Block>(LATIN1, bytes, length, *writer);
        case Encoding::Utf16Le:
          return decode_utf16<Block, false>(bytes, length, at_end, *writer);
        case Encoding::Utf16Be:
          return decode_utf16<Block, true>(bytes, length, at_end, *writer);
        case Encoding::Utf32Le:
          return decode_utf32<false>(bytes, length, at_end, *writer);
        case Encoding::Utf32Be:
          return decode_utf32<true>(bytes, length, at_end, *writer);
        }
        return length;
      },
      encoding, data, size, last, &out);
}

// Length of `data` without a multi-byte sequence that its end cuts short.
std::size_t without_cut_sequence(const unsigned char *data, std::size_t size) {
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const unsigned char byte = data[size - back];
    if (byte < 0x80) {
      break;
    }
    if (byte >= 0xC0) {
      std::size_t length;
      const bool cut = utf8_sequence(data + size - back, back, length) == Utf8Sequence::cut;
      return cut ? size - back : size;
    }
  }
  return size;
}

} // namespace

bool Decoder::decode(std::string_view block, bool last, std::string &out) {
  const auto *data = reinterpret_cast<const unsigned char *>(block.data());
  const std::size_t size = block.size();
  const bool fresh = carried_ == 0;
  Utf8Writer writer(out, produced_, changes_);
  std::size_t from = 0;
  if (!fresh) {
    // Finish the cut character with the first bytes of this block: no unit is
    // longer than four bytes, so it ends within them unless the block is shorter.
    std::array<unsigned char, 3 + 4> joined{};
    const std::size_t borrowed = std::min<std::size_t>(size, 4);
    std::copy_n(carry_.begin(), carried_, joined.begin());
    std::copy_n(data, borrowed, joined.begin() + static_cast<std::ptrdiff_t>(carried_));
    const std::size_t total = carried_ + borrowed;
    const std::size_t used =
        decode_units(encoding_, joined.data(), total, last && borrowed == size, writer);
    if (used < carried_) { // still cut: the whole block joined the carry
      carried_ = total - used;
      std::copy_n(joined.begin() + static_cast<std::ptrdiff_t>(used), carried_, carry_.begin());
      produced_ = writer.finish();
      return false;
    }
    from = used - carried_;
    carried_ = 0;
  }
  if (reads_utf8()) {
    // Valid text, the usual case, is checked in bulk and copied whole.
    const std::size_t rest = size - from;
    const std::size_t whole = last ? rest : without_cut_sequence(data + from, rest);
    if (is_valid_utf8(block.data() + from, whole)) {
      if (fresh && whole == size) {
        produced_ += size;
        return true;
      }
      writer.copy(data + from, whole);
      from += whole;
    }
  }
  const std::size_t used = decode_units(encoding_, data + from, size - from, last, writer);
  carried_ = size - from - used;
  std::copy_n(data + from + used, carried_, carry_.begin());
  produced_ = writer.finish();
  return false;
}

} // namespace tidewrack
