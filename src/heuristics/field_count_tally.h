#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "base/stop_poll.h"
#include "parser/parse_rules.h"
#include "parser/parser_input.h"

namespace tidewrack {

// Occurrences per field count, visited in ascending field count so that ties
// resolve the same way on every call.
using FieldCountTally = std::map<std::size_t, int>;

inline FieldCountTally tally(const std::vector<std::size_t> &field_counts) {
  FieldCountTally counts;
  for (std::size_t count : field_counts) {
    ++counts[count];
  }
  return counts;
}

// The field counts of the first `limit` non-blank records of `sample`, parsed
// with quote repair on and counted without building their fields (a single
// line of millions of fields costs no field list); nothing when `stop` ends the
// reading first. A head of
// blank lines may be long, so the poll is asked as the reading goes. Sets
// `*reached_end` (when given) when the reading came to the end of the sample:
// the last record counted, or one more, might read otherwise in a longer one.
// Lines led by the comment prefix that have `comment_row_width` fields count
// as records (see ResilientParser::keep_comment_lines_of_width).
std::optional<std::vector<std::size_t>>
head_field_counts(std::string_view sample, std::uint8_t delimiter, std::uint8_t quote_char,
                  std::size_t limit, StopPoll stop, ParserInput kind, bool *reached_end = nullptr,
                  const ParseRules &rules = {}, std::uint64_t comment_row_width = 0);

} // namespace tidewrack
