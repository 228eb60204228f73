#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/stop_poll.h"
#include "parser/parse_rules.h"
#include "parser/parser_input.h"

namespace tidewrack {

inline constexpr std::size_t INFER_RECORD_LIMIT = 100;

// The most frequent field count among the first 100 non-blank records, with
// fields quoted by `quote_char`; 0 when there is none. On equal occurrences the
// wider field count wins. Nothing when `stop` ends the work first. `kind`
// says what the sample is, as for the parser. `*reached_end` (when given) is
// set when the reading came to the end of the sample. `rules` are the parser's.
std::optional<std::uint64_t> infer_column_count(std::string_view sample, std::uint8_t delimiter,
                                                std::uint8_t quote_char, StopPoll stop,
                                                ParserInput kind, bool *reached_end = nullptr,
                                                const ParseRules &rules = {});

inline std::uint64_t infer_column_count(std::string_view sample, std::uint8_t delimiter,
                                        std::uint8_t quote_char) {
  return *infer_column_count(sample, delimiter, quote_char, StopPoll{}, ParserInput::Bytes);
}

} // namespace tidewrack
