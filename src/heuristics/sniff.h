#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/stop_poll.h"
#include "parser/parser_input.h"

namespace tidewrack {

// Tried in this order; on an exact tie of scores the earlier one wins.
inline constexpr std::array<std::uint8_t, 4> CANDIDATE_DELIMITERS = {',', ';', '\t', '|'};
inline constexpr std::size_t SNIFF_RECORD_LIMIT = 50;

// The candidate delimiter that splits the head of `sample` most consistently
// into one and the same number of fields, wider splits weighing more, with
// fields quoted by `quote_char`. A candidate equal to `quote_char` could never
// delimit and is passed over; the first candidate tried wins when none splits.
// Nothing when `stop` ends the work first. `kind` says what the sample
// is, as for the parser. `*reached_end` (when given) is set when the reading
// came to the end of the sample, where a longer sample might read otherwise.
std::optional<std::uint8_t> sniff_delimiter(std::string_view sample, std::uint8_t quote_char,
                                            StopPoll stop, ParserInput kind,
                                            bool *reached_end = nullptr);

inline std::uint8_t sniff_delimiter(std::string_view sample, std::uint8_t quote_char) {
  return *sniff_delimiter(sample, quote_char, StopPoll{}, ParserInput::Bytes);
}

} // namespace tidewrack
