#include "heuristics/field_count_tally.h"

#include "heuristics/blank_record.h"
#include "parser/resilient_parser.h"

namespace tidewrack {

std::optional<std::vector<std::size_t>>
head_field_counts(std::string_view sample, std::uint8_t delimiter, std::uint8_t quote_char,
                  std::size_t limit, StopPoll stop, ParserInput kind) {
  ResilientParser parser(sample, delimiter, quote_char, true, kind);
  Record record;
  StopCheckpoints checkpoints(stop);
  std::vector<std::size_t> field_counts;
  while (field_counts.size() < limit && parser.next_row(record)) {
    if (checkpoints.stop_at(parser.pos())) {
      return std::nullopt;
    }
    if (!is_blank_record(record)) {
      field_counts.push_back(record.size());
    }
  }
  return field_counts;
}

} // namespace tidewrack
