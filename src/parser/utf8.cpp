#include "parser/utf8.h"

#include <cstdint>
#include <cstring>

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

bool is_ascii(const char *data, std::size_t size) {
  std::size_t i = 0;
  std::uint64_t bits = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    bits |= word;
  }
  for (; i < size; ++i) {
    bits |= static_cast<unsigned char>(data[i]);
  }
  return (bits & 0x8080808080808080ULL) == 0;
}

bool is_valid_utf8(const char *data, std::size_t size) {
  auto bytes = reinterpret_cast<const unsigned char *>(data);
  std::size_t i = 0;
  while (i < size) {
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t maximal;
    std::size_t length = sequence_length(bytes + i, size - i, maximal);
    if (length == 0) {
      return false;
    }
    i += length;
  }
  return true;
}

void sanitize_utf8_tail(std::string &text, std::size_t from) {
  if (is_ascii(text.data() + from, text.size() - from) ||
      is_valid_utf8(text.data() + from, text.size() - from)) {
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
