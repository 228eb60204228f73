#pragma once

#include <string_view>

namespace tidewrack {

// The encodings the engine decodes to UTF-8 itself. Utf8Auto is UTF-8 in
// which whatever is not valid UTF-8 is read as cp1252.
enum class Encoding { Utf8, Utf8Auto, Cp1252, Latin1, Utf16Le, Utf16Be, Utf32Le, Utf32Be };

// The codec name of an encoding ("utf-8", "cp1252", "utf-16-le", ...); Utf8Auto
// is "utf-8", since the text it yields is read as UTF-8 wherever it can be.
std::string_view encoding_name(Encoding encoding);

} // namespace tidewrack
