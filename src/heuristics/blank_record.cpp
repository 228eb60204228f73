#include "heuristics/blank_record.h"

#include <cstdint>

namespace tidewrack {

namespace {

bool is_white_space(char32_t c) {
  switch (c) {
  case 0x09:
  case 0x0A:
  case 0x0B:
  case 0x0C:
  case 0x0D:
  case 0x20:
  case 0x85:
  case 0xA0:
  case 0x1680:
  case 0x2028:
  case 0x2029:
  case 0x202F:
  case 0x205F:
  case 0x3000:
    return true;
  default:
    return c >= 0x2000 && c <= 0x200A;
  }
}

// Decodes one character of well-formed UTF-8 (fields are always well-formed).
char32_t decode(std::string_view text, std::size_t &at) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    c = (c << 6) | (byte(at + i) & 0x3F);
  }
  at += length;
  return c;
}

} // namespace

bool is_blank_record(const Record &record) {
  if (record.width() == 0) {
    return true;
  }
  if (record.width() > 1) {
    return false;
  }
  std::string_view field = record.field(0);
  for (std::size_t at = 0; at < field.size();) {
    if (!is_white_space(decode(field, at))) {
      return false;
    }
  }
  return true;
}

} // namespace tidewrack
