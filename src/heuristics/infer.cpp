#include "heuristics/infer.h"

#include <vector>

#include "heuristics/blank_record.h"
#include "heuristics/field_count_tally.h"
#include "parser/resilient_parser.h"

namespace tidewrack {

std::uint64_t infer_column_count(std::string_view sample, std::uint8_t delimiter,
                                 std::uint8_t quote_char) {
  ResilientParser parser(sample, delimiter, quote_char, true);
  Record record;
  std::vector<std::size_t> field_counts;
  while (field_counts.size() < INFER_RECORD_LIMIT && parser.next_row(record)) {
    if (!is_blank_record(record)) {
      field_counts.push_back(record.size());
    }
  }
  if (field_counts.empty()) {
    return 0;
  }
  // Visiting in ascending order makes the widest of equally frequent counts the last
  // one to qualify, and so the result.
  FieldCountTally counts = tally(field_counts);
  auto best = counts.begin();
  for (auto entry = std::next(best); entry != counts.end(); ++entry) {
    if (entry->second >= best->second) {
      best = entry;
    }
  }
  return best->first;
}

} // namespace tidewrack
