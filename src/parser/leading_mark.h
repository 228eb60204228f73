#pragma once

namespace tidewrack {

// A UTF-8 byte-order mark at the start of the input: skipped, when the input
// is bytes as they were read; or text, when a decoder has removed the input's
// own mark already and a U+FEFF that follows it is content.
enum class LeadingMark { Skip, Text };

} // namespace tidewrack
