#include "encoding/encoding.h"

#include <string>
#include <utility>

namespace tidewrack {

std::string_view encoding_name(Encoding encoding) {
  switch (encoding) {
  case Encoding::Utf8:
  case Encoding::Utf8Auto:
    return "utf-8";
  case Encoding::Cp1252:
    return "cp1252";
  case Encoding::Latin1:
    return "latin-1";
  case Encoding::Utf16Le:
    return "utf-16-le";
  case Encoding::Utf16Be:
    return "utf-16-be";
  case Encoding::Utf32Le:
    return "utf-32-le";
  case Encoding::Utf32Be:
    return "utf-32-be";
  }
  return "utf-8";
}

std::optional<InputEncoding> input_encoding_named(std::string_view name) {
  // Python's spellings of these codecs, once lower-cased with '-' for '_'.
  // utf-8-sig is UTF-8 without its mark, which is how UTF-8 is read here anyway.
  static constexpr std::pair<std::string_view, InputEncoding> NAMES[] = {
      {"auto", InputEncoding::Auto},           {"utf-8", InputEncoding::Utf8},
      {"utf8", InputEncoding::Utf8},           {"utf-8-sig", InputEncoding::Utf8},
      {"utf8-sig", InputEncoding::Utf8},       {"cp1252", InputEncoding::Cp1252},
      {"windows-1252", InputEncoding::Cp1252}, {"latin-1", InputEncoding::Latin1},
      {"latin1", InputEncoding::Latin1},       {"iso-8859-1", InputEncoding::Latin1},
      {"iso8859-1", InputEncoding::Latin1},    {"utf-16", InputEncoding::Utf16},
      {"utf16", InputEncoding::Utf16},         {"utf-16-le", InputEncoding::Utf16Le},
      {"utf-16le", InputEncoding::Utf16Le},    {"utf-16-be", InputEncoding::Utf16Be},
      {"utf-16be", InputEncoding::Utf16Be},    {"utf-32", InputEncoding::Utf32},
      {"utf32", InputEncoding::Utf32},         {"utf-32-le", InputEncoding::Utf32Le},
      {"utf-32le", InputEncoding::Utf32Le},    {"utf-32-be", InputEncoding::Utf32Be},
      {"utf-32be", InputEncoding::Utf32Be},
  };
  std::string folded(name);
  for (char &c : folded) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (c == '_') {
      c = '-';
    }
  }
  for (const auto &[known, encoding] : NAMES) {
    if (folded == known) {
      return encoding;
    }
  }
  return std::nullopt;
}

} // namespace tidewrack
