#pragma once

#include <cstddef>
#include <string_view>

#include "encoding/encoding.h"

namespace tidewrack {

// How many leading bytes the detection functions read; give them that many
// when the input has them, so that the answer does not depend on block sizes.
inline constexpr std::size_t DETECTION_HEAD = 4096;

// An encoding and the length of the byte-order mark to skip before decoding.
struct Detection {
  Encoding encoding;
  std::size_t bom_length;

  bool operator==(const Detection &) const = default;
};

// The auto policy over the head of the input. A byte-order mark decides first:
// EF BB BF UTF-8, FF FE 00 00 UTF-32 LE (tried before FF FE), 00 00 FE FF
// UTF-32 BE, FF FE UTF-16 LE, FE FF UTF-16 BE. Without one, text that is
// mostly ASCII shows a NUL pattern in UTF-32 and UTF-16: count the units (4,
// then 2 bytes) whose only non-zero byte is the first (a little-endian ASCII
// or Latin-1 character) and those whose only non-zero byte is the last. One
// side wins when its units hold at least 3 different characters and make a
// quarter of all units, and it outnumbers the other side 4 to 1. A few NUL
// bytes in UTF-8 text never reach that, nor does a NUL after every line of a
// short file, nor NUL padding (its units are all zero and count for neither).
// Anything else is Utf8Auto.
Detection detect_encoding(std::string_view head);

// For the name "utf-16", which leaves the byte order open: the byte-order
// mark, else the NUL pattern above, else little-endian.
Detection detect_utf16(std::string_view head);

// For the name "utf-32", likewise: the byte-order mark, else the NUL pattern
// of 4-byte units, else little-endian.
Detection detect_utf32(std::string_view head);

// The encoding to decode an input with when `encoding` is asked for, and its
// byte-order mark to skip: Auto, Utf16 and Utf32 detect as above; a named
// encoding skips its own mark only, so a cp1252 input keeps EF BB BF as text.
Detection resolve_encoding(InputEncoding encoding, std::string_view head);

// The length of the byte-order mark of `encoding` at the start of `head`, or
// 0. The single-byte code pages have none: EF BB BF there is text.
std::size_t byte_order_mark_length(Encoding encoding, std::string_view head);

} // namespace tidewrack
