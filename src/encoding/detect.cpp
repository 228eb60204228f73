#include "encoding/detect.h"

#include <bitset>

namespace tidewrack {

namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
constexpr std::string_view UTF16LE_BOM = "\xFF\xFE";
constexpr std::string_view UTF16BE_BOM = "\xFE\xFF";
constexpr std::string_view UTF32LE_BOM{"\xFF\xFE\x00\x00", 4};
constexpr std::string_view UTF32BE_BOM{"\x00\x00\xFE\xFF", 4};

std::string_view mark_of(Encoding encoding) {
  switch (encoding) {
  case Encoding::Utf8:
  case Encoding::Utf8Auto:
    return UTF8_BOM;
  case Encoding::Utf16Le:
    return UTF16LE_BOM;
  case Encoding::Utf16Be:
    return UTF16BE_BOM;
  case Encoding::Utf32Le:
    return UTF32LE_BOM;
  case Encoding::Utf32Be:
    return UTF32BE_BOM;
  case Encoding::Cp1252:
  case Encoding::Latin1:
    break;
  }
  return {};
}

// The encoding whose byte-order mark starts `head`, in the order that keeps
// UTF-32 LE from being read as UTF-16 LE.
bool find_mark(std::string_view head, Detection &found) {
  for (Encoding encoding : {Encoding::Utf8Auto, Encoding::Utf32Le, Encoding::Utf32Be,
                            Encoding::Utf16Le, Encoding::Utf16Be}) {
    if (head.starts_with(mark_of(encoding))) {
      found = {encoding, mark_of(encoding).size()};
      return true;
    }
  }
  return false;
}

enum class ByteOrder { None, Little, Big };

// Text shows at least a delimiter, a line break and one more character; a
// NUL after each line's last character of UTF-8 text shows a single one.
constexpr std::size_t MIN_CHARACTERS = 3;

// The NUL pattern of units of `width` bytes (see detect.h).
ByteOrder nul_pattern(std::string_view head, std::size_t width) {
  struct Side {
    std::size_t units = 0;
    std::bitset<256> characters; // the non-zero bytes of its units
  };
  std::size_t units = 0;
  Side little, big;
  for (std::size_t at = 0; at + width <= head.size(); at += width) {
    std::size_t non_zero = 0, last = 0;
    for (std::size_t k = 0; k < width; ++k) {
      if (head[at + k] != 0) {
        ++non_zero;
        last = k;
      }
    }
    ++units;
    if (non_zero == 1) {
      Side &side = last == 0 ? little : big;
      ++side.units;
      side.characters.set(static_cast<unsigned char>(head[at + last]));
    }
  }
  auto wins = [&](const Side &side, const Side &other) {
    return side.characters.count() >= MIN_CHARACTERS && side.units * 4 >= units &&
           other.units * 4 <= side.units;
  };
  return wins(little, big)   ? ByteOrder::Little
         : wins(big, little) ? ByteOrder::Big
                             : ByteOrder::None;
}

} // namespace

Detection detect_encoding(std::string_view head) {
  head = head.substr(0, DETECTION_HEAD);
  Detection found{Encoding::Utf8Auto, 0};
  if (find_mark(head, found)) {
    return found;
  }
  switch (nul_pattern(head, 4)) {
  case ByteOrder::Little:
    return {Encoding::Utf32Le, 0};
  case ByteOrder::Big:
    return {Encoding::Utf32Be, 0};
  case ByteOrder::None:
    break;
  }
  switch (nul_pattern(head, 2)) {
  case ByteOrder::Little:
    return {Encoding::Utf16Le, 0};
  case ByteOrder::Big:
    return {Encoding::Utf16Be, 0};
  case ByteOrder::None:
    break;
  }
  return found;
}

Detection detect_utf16(std::string_view head) {
  head = head.substr(0, DETECTION_HEAD);
  if (head.starts_with(UTF16BE_BOM)) {
    return {Encoding::Utf16Be, 2};
  }
  if (head.starts_with(UTF16LE_BOM)) {
    return {Encoding::Utf16Le, 2};
  }
  return {nul_pattern(head, 2) == ByteOrder::Big ? Encoding::Utf16Be : Encoding::Utf16Le, 0};
}

Detection detect_utf32(std::string_view head) {
  head = head.substr(0, DETECTION_HEAD);
  if (head.starts_with(UTF32BE_BOM)) {
    return {Encoding::Utf32Be, 4};
  }
  if (head.starts_with(UTF32LE_BOM)) {
    return {Encoding::Utf32Le, 4};
  }
  return {nul_pattern(head, 4) == ByteOrder::Big ? Encoding::Utf32Be : Encoding::Utf32Le, 0};
}

Detection resolve_encoding(InputEncoding encoding, std::string_view head) {
  auto named = [&](Encoding fixed) {
    return Detection{fixed, byte_order_mark_length(fixed, head)};
  };
  switch (encoding) {
  case InputEncoding::Auto:
    return detect_encoding(head);
  case InputEncoding::Utf16:
    return detect_utf16(head);
  case InputEncoding::Utf32:
    return detect_utf32(head);
  case InputEncoding::Utf8:
    return named(Encoding::Utf8);
  case InputEncoding::Cp1252:
    return named(Encoding::Cp1252);
  case InputEncoding::Latin1:
    return named(Encoding::Latin1);
  case InputEncoding::Utf16Le:
    return named(Encoding::Utf16Le);
  case InputEncoding::Utf16Be:
    return named(Encoding::Utf16Be);
  case InputEncoding::Utf32Le:
    return named(Encoding::Utf32Le);
  case InputEncoding::Utf32Be:
    return named(Encoding::Utf32Be);
  }
  return detect_encoding(head);
}

std::size_t byte_order_mark_length(Encoding encoding, std::string_view head) {
  std::string_view mark = mark_of(encoding);
  return !mark.empty() && head.starts_with(mark) ? mark.size() : 0;
}

} // namespace tidewrack
