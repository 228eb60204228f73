#include "heuristics/field_count_tally.h"

#include "heuristics/blank_record.h"
#include "parser/resilient_parser.h"

namespace tidewrack {

std::optional<std::vector<std::size_t>>
head_field_counts(std::string_view sample, std::uint8_t delimiter, std::uint8_t quote_char,
                  std::size_t limit, StopPoll stop, ParserInput kind, bool *reached_end,
                  const ParseRules &rules, std::uint64_t comment_row_width) {
  ResilientParser parser(sample, delimiter, quote_char, true, kind, rules);
  parser.keep_comment_lines_of_width(comment_row_width);
  Record first_field;
  StopCheckpoints checkpoints(stop);
  std::vector<std::size_t> field_counts;
  while (field_counts.size() < limit) {
    // Only a record of one field can be blank: the others are counted, not built.
    const std::size_t fields = parser.count_row(first_field);
    if (fields == 0) {
      break;
    }
    if (checkpoints.stop_at(parser.pos())) {
      return std::nullopt;
    }
    if (fields > 1 || !is_blank_record(first_field)) {
      field_counts.push_back(fields);
    }
  }
  if (reached_end != nullptr && parser.pos() >= sample.size()) {
    *reached_end = true;
  }
  return field_counts;
}

} // namespace tidewrack
