#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Property checks shared by the fuzz targets. A broken property prints what
// broke and aborts, which libFuzzer records as a crash together with the input
// and the replay main reports as a failed test.
namespace fuzz {

// The bytes with everything outside printable ASCII written as \xNN, so that a
// failure message shows exactly what was compared.
inline std::string escaped(std::string_view bytes) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out.push_back(c);
    } else {
      out += "\\x";
      out.push_back(HEX[byte >> 4]);
      out.push_back(HEX[byte & 0xF]);
    }
  }
  return out;
}

inline std::string row_text(const std::vector<std::string> &fields) {
  std::string out = "[";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    out += i == 0 ? "\"" : ", \"";
    out += escaped(fields[i]);
    out += "\"";
  }
  return out + "]";
}

[[noreturn]] inline void fail(std::string_view property, std::string_view input,
                              const std::string &detail) {
  std::fprintf(stderr, "\nbroken property: %.*s\n  input (%zu bytes): \"%s\"\n  %s\n",
               static_cast<int>(property.size()), property.data(), input.size(),
               escaped(input).c_str(), detail.c_str());
  std::abort();
}

// Well-formed UTF-8 by the code point ranges of the Unicode Standard
// (no overlongs, no surrogates, nothing above U+10FFFF).
inline bool is_well_formed_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<std::uint8_t>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // F8 to FF never lead a sequence; F5 to F7 fail the range check below.
    std::size_t length = lead >= 0xF8   ? 0
                         : lead >= 0xF0 ? 4
                         : lead >= 0xE0 ? 3
                         : lead >= 0xC0 ? 2
                                        : 0;
    if (length == 0 || i + length > text.size()) {
      return false;
    }
    std::uint32_t code = lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
      auto byte = static_cast<std::uint8_t>(text[i + k]);
      if ((byte & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (byte & 0x3Fu);
    }
    std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

} // namespace fuzz
