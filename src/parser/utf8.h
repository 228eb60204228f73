#pragma once

#include <cstddef>
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

} // namespace tidewrack
