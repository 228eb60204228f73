#pragma once

namespace tidewrack {

// What a parser reads: bytes as they were read (a leading UTF-8 byte-order
// mark is skipped, what is not UTF-8 is replaced), or the UTF-8 text of a
// decoder: well-formed, with the input's own mark removed already, so that a
// U+FEFF at its start is content.
enum class ParserInput { Bytes, DecodedText };

} // namespace tidewrack
