#pragma once

#include <optional>
#include <string_view>

namespace tidewrack {

// The encodings the engine decodes to UTF-8 itself. Utf8Auto is UTF-8 in
// which whatever is not valid UTF-8 is read as cp1252.
enum class Encoding { Utf8, Utf8Auto, Cp1252, Latin1, Utf16Le, Utf16Be, Utf32Le, Utf32Be };

// The codec name of an encoding ("utf-8", "cp1252", "utf-16-le", ...); Utf8Auto
// is "utf-8", since the text it yields is read as UTF-8 wherever it can be.
std::string_view encoding_name(Encoding encoding);

// The encoding a salvage is asked to read: one of the engine's, or one that
// the head of the input decides (Auto; Utf16 and Utf32, whose byte order is
// open). See resolve_encoding (detect.h).
enum class InputEncoding {
  Auto,
  Utf8,
  Cp1252,
  Latin1,
  Utf16,
  Utf16Le,
  Utf16Be,
  Utf32,
  Utf32Le,
  Utf32Be
};

// The encoding that a user's name stands for, in any case and with '_' or '-'
// ("auto", "utf-8", "UTF8", "cp1252", "windows-1252", "latin-1", "iso-8859-1",
// "utf-16", "utf_16_le", ...); nothing for a name the engine does not decode.
std::optional<InputEncoding> input_encoding_named(std::string_view name);

} // namespace tidewrack
