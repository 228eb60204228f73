#include "parser/utf8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tidewrack {

namespace {

// Length of the well-formed sequence starting at data[0], or 0 when the
// sequence is ill-formed; `maximal` then receives the length of its maximal
// subpart (at least 1), which becomes one U+FFFD.
std::size_t sequence_length(const unsigned char *data, std::size_t size, std::size_t &maximal) {
  unsigned char lead = data[0];
  maximal = 1;
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) {
      low = 0xA0;
    } else if (lead == 0xED) {
      high = 0x9F;
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) {
      low = 0x90;
    } else if (lead == 0xF4) {
      high = 0x8F;
    }
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= size) {
      return 0;
    }
    unsigned char byte = data[i];
    bool fits = i == 1 ? (byte >= low && byte <= high) : (byte >= 0x80 && byte <= 0xBF);
    if (!fits) {
      return 0;
    }
    maximal = i + 1;
  }
  return length;
}

} // namespace

std::size_t skip_ascii(const unsigned char *bytes, std::size_t from, std::size_t size) {
  std::size_t i = from;
#if defined(__SSE2__)
  for (; i + 16 <= size; i += 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + i));
    auto high = static_cast<unsigned>(_mm_movemask_epi8(chunk));
    if (high != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(high));
    }
  }
#else
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) {
      break;
    }
  }
#endif
  while (i < size && bytes[i] < 0x80) {
    ++i;
  }
  return i;
}

bool is_ascii(const char *data, std::size_t size) {
  return skip_ascii(reinterpret_cast<const unsigned char *>(data), 0, size) == size;
}

namespace {

#if defined(__SSE2__)
// Passes, 16 bytes at a time, over text made of ASCII and two-byte sequences
// (C2..DF followed by 80..BF), from the sequence boundary `from`. Returns the
// sequence boundary where a block holds anything else (a longer sequence or an
// invalid byte) or fewer than 16 bytes remain, or `size` + 1 on an ill-formed
// two-byte sequence.
std::size_t skip_two_byte_text(const unsigned char *bytes, std::size_t from, std::size_t size) {
  const __m128i continuation_top = _mm_set1_epi8(-64); // bytes below: 80..BF
  const __m128i lead_bottom = _mm_set1_epi8(-63);      // bytes above, and below -32: C2..DF
  const __m128i lead_top = _mm_set1_epi8(-32);
  std::size_t i = from;
  unsigned pending = 0; // the byte before i is a lead that waits for its continuation
  for (; i + 16 <= size; i += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + i));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(chunk));
    const auto continuations =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(chunk, continuation_top)));
    const auto leads = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpgt_epi8(chunk, lead_bottom), _mm_cmplt_epi8(chunk, lead_top))));
    if ((continuations | leads) != high) {
      break;
    }
    if (continuations != (((leads << 1) | pending) & 0xFFFF)) {
      return size + 1;
    }
    pending = leads >> 15;
  }
  return i - pending;
}
#endif

} // namespace

bool is_valid_utf8(const char *data, std::size_t size) {
  auto bytes = reinterpret_cast<const unsigned char *>(data);
  auto continuation = [&](std::size_t at) { return (bytes[at] & 0xC0) == 0x80; };
  std::size_t i = skip_ascii(bytes, 0, size);
  // Where the bulk pass last stopped: the sequences from there on go one by one
  // for a block's length before it is tried again.
  std::size_t bulk_stop = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      i = skip_ascii(bytes, i, size);
      continue;
    }
#if defined(__SSE2__)
    if (i >= bulk_stop + 16 && i + 16 <= size) {
      std::size_t stop = skip_two_byte_text(bytes, i, size);
      if (stop > size) {
        return false;
      }
      bulk_stop = stop;
      if (stop != i) {
        i = stop;
        continue;
      }
    }
#endif
    if (lead < 0xC2) {
      return false;
    }
    if (lead < 0xE0) {
      if (i + 1 >= size || !continuation(i + 1)) {
        return false;
      }
      i += 2;
      continue;
    }
    if (lead < 0xF0) {
      // E0 needs A0..BF next (no overlong forms), ED needs 80..9F (no surrogates).
      const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
      if (i + 2 >= size || bytes[i + 1] < low || bytes[i + 1] > high || !continuation(i + 2)) {
        return false;
      }
      i += 3;
      continue;
    }
    if (lead < 0xF5) {
      // F0 needs 90..BF next (no overlong forms), F4 needs 80..8F (nothing past U+10FFFF).
      const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
      if (i + 3 >= size || bytes[i + 1] < low || bytes[i + 1] > high || !continuation(i + 2) ||
          !continuation(i + 3)) {
        return false;
      }
      i += 4;
      continue;
    }
    return false;
  }
  return true;
}

void sanitize_utf8_tail(std::string &text, std::size_t from) {
  if (is_valid_utf8(text.data() + from, text.size() - from)) {
    return;
  }
  std::string tail = text.substr(from);
  text.resize(from);
  auto bytes = reinterpret_cast<const unsigned char *>(tail.data());
  std::size_t i = 0;
  while (i < tail.size()) {
    std::size_t maximal;
    std::size_t length = sequence_length(bytes + i, tail.size() - i, maximal);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      i += maximal;
    } else {
      text.append(tail, i, length);
      i += length;
    }
  }
}

std::string byte_as_utf8(unsigned char byte) {
  if (byte < 0x80) {
    return std::string(1, static_cast<char>(byte));
  }
  return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

} // namespace tidewrack
