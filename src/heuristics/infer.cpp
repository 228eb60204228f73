#include "heuristics/infer.h"

#include <vector>

#include "heuristics/field_count_tally.h"

namespace tidewrack {

std::optional<std::uint64_t> infer_column_count(std::string_view sample, std::uint8_t delimiter,
                                                std::uint8_t quote_char, StopPoll stop,
                                                ParserInput kind, bool *reached_end,
                                                const ParseRules &rules) {
  const std::optional<std::vector<std::size_t>> field_counts = head_field_counts(
      sample, delimiter, quote_char, INFER_RECORD_LIMIT, stop, kind, reached_end, rules);
  if (!field_counts) {
    return std::nullopt;
  }
  if (field_counts->empty()) {
    return 0;
  }
  // Visiting in ascending order makes the widest of equally frequent counts the last
  // one to qualify, and so the result.
  FieldCountTally counts = tally(*field_counts);
  auto best = counts.begin();
  for (auto entry = std::next(best); entry != counts.end(); ++entry) {
    if (entry->second >= best->second) {
      best = entry;
    }
  }
  return best->first;
}

} // namespace tidewrack
