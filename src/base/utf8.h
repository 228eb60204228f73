#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tidewrack {

// True when every byte is below 0x80.
bool is_ascii(const char *data, std::size_t size);

// Offset of the first byte at or after `from` that is 0x80 or above, or `size`.
std::size_t skip_ascii(const unsigned char *bytes, std::size_t from, std::size_t size);

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(const char *data, std::size_t size);

// Replaces, in place from `from` to the end of `text`, each maximal ill-formed
// subsequence by one U+FFFD, the Unicode Standard's substitution of maximal subparts.
void sanitize_utf8_tail(std::string &text, std::size_t from);

// The UTF-8 encoding of the character whose code point equals `byte`.
std::string byte_as_utf8(unsigned char byte);

// What the UTF-8 sequence at the start of some bytes is.
enum class Utf8Sequence : std::uint8_t { valid, ill_formed, cut };

// Classifies the sequence at data[0] of the `size` (at least 1) bytes at `data`.
// `length` receives the length of a valid sequence, of the maximal subpart of an
// ill-formed one (at least 1), or of the valid beginning that the end of the
// bytes cuts.
inline Utf8Sequence utf8_sequence(const unsigned char *data, std::size_t size,
                                  std::size_t &length) {
  const unsigned char lead = data[0];
  length = 1;
  if (lead < 0x80) {
    return Utf8Sequence::valid;
  }
  std::size_t need;
  unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
    high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;  // no overlong forms
    high = lead == 0xF4 ? 0x8F : 0xBF; // nothing past U+10FFFF
  } else {
    return Utf8Sequence::ill_formed;
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (k == size) {
      return Utf8Sequence::cut;
    }
    const unsigned char byte = data[k];
    if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) {
      return Utf8Sequence::ill_formed;
    }
    length = k + 1;
  }
  return Utf8Sequence::valid;
}

} // namespace tidewrack
