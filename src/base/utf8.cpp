#include "base/utf8.h"

#include "base/byte_scan.h"

namespace tidewrack {

std::size_t skip_ascii(const unsigned char *bytes, std::size_t from, std::size_t size) {
  return run_on(
      best_classifier_target(),
      []<class Block>(const unsigned char *data, std::size_t at, std::size_t end) {
        return skip_ascii_as<Block>(data, at, end);
      },
      bytes, from, size);
}

bool is_ascii(const char *data, std::size_t size) {
  return skip_ascii(reinterpret_cast<const unsigned char *>(data), 0, size) == size;
}

bool is_valid_utf8(const char *data, std::size_t size) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(data);
  return run_on(
      best_classifier_target(),
      []<class Block>(const unsigned char *text, std::size_t length) {
        return valid_utf8_as<Block>(text, length);
      },
      bytes, size);
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
    std::size_t length;
    if (utf8_sequence(bytes + i, tail.size() - i, length) == Utf8Sequence::valid) {
      text.append(tail, i, length);
    } else {
      text += "\xEF\xBF\xBD"; // a cut sequence at the end is ill-formed too
    }
    i += length;
  }
}

std::string byte_as_utf8(unsigned char byte) {
  if (byte < 0x80) {
    return std::string(1, static_cast<char>(byte));
  }
  return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

} // namespace tidewrack
