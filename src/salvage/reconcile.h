#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "heuristics/infer.h"
#include "heuristics/sniff.h"
#include "parser/resilient_parser.h"
#include "parser/utf8.h"
#include "salvage/options.h"
#include "salvage/outcome.h"
#include "salvage/row_store.h"

namespace tidewrack {

std::string too_few_columns_reason(std::uint64_t columns);
std::string extra_columns_reason(std::uint64_t columns);
std::vector<std::string> record_fields(const Record &record);

// The delimiter and the column count of one salvage, given or detected.
struct Settlement {
  std::uint8_t delimiter = ',';
  std::uint64_t columns = 0;
};

// Takes the delimiter and the column count from the options, or detects them
// from the head of the input. An empty input settles on ',' and no width.
Settlement settle(std::string_view input, const SalvageOptions &options);

// Hands every record to `clean(record, shape, merge_separator)` or to
// `quarantine(record, reason)`, in input order, and returns the counters.
// Stops early when `clean` returns false. Before each record, `plain(parser)`
// may take it whole instead (ResilientParser::render_plain_row); it returns
// the PlainRow it got. Shared by the in-memory and the file salvage, so that
// both reconcile exactly alike.
template <class PlainLane, class CleanSink, class QuarantineSink>
SalvageCounts reconcile_records(std::string_view input, const SalvageOptions &options,
                                const Settlement &settlement, PlainLane &&plain, CleanSink &&clean,
                                QuarantineSink &&quarantine) {
  SalvageCounts counts;
  counts.detected_delimiter = settlement.delimiter;
  counts.inferred_columns = settlement.columns;
  const std::uint64_t columns = settlement.columns;
  const std::string too_few = too_few_columns_reason(columns);
  const std::string extra = extra_columns_reason(columns);
  const std::string merge_separator = byte_as_utf8(settlement.delimiter);

  ResilientParser parser(input, settlement.delimiter, options.quote_char, options.repair_quotes);
  Record record;
  for (;;) {
    const ResilientParser::PlainRow taken = plain(parser);
    if (taken.rendered()) {
      ++counts.total_rows;
      ++counts.salvaged_rows;
      counts.repaired_rows += taken.padding != 0 ? 1 : 0;
      continue;
    }
    if (!parser.next_row(record)) {
      break;
    }
    ++counts.total_rows;
    std::uint64_t width = record.size();
    RowShape shape{record.size(), false, 0};
    if (columns == 0 || width == columns) {
    } else if (width < columns && options.fill_ragged_rows) {
      shape.padding = columns - width;
      ++counts.repaired_rows;
    } else if (width > columns && options.merge_overflow) {
      shape.kept = static_cast<std::size_t>(columns - 1);
      shape.merge_rest = true;
      ++counts.repaired_rows;
    } else {
      quarantine(record, width < columns ? too_few : extra);
      ++counts.quarantined_rows;
      continue;
    }
    ++counts.salvaged_rows;
    if (!clean(record, shape, merge_separator)) {
      break;
    }
  }
  return counts;
}

// The same without a fast lane: every record goes through `clean` or `quarantine`.
template <class CleanSink, class QuarantineSink>
SalvageCounts reconcile_records(std::string_view input, const SalvageOptions &options,
                                const Settlement &settlement, CleanSink &&clean,
                                QuarantineSink &&quarantine) {
  return reconcile_records(
      input, options, settlement, [](ResilientParser &) { return ResilientParser::PlainRow{}; },
      clean, quarantine);
}

} // namespace tidewrack
