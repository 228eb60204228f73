#include "salvage/salvage_slice.h"

#include "salvage/reconcile.h"

namespace tidewrack {

std::string too_few_columns_reason(std::uint64_t columns) {
  return "Row has too few columns (expected " + std::to_string(columns) + ")";
}

std::string extra_columns_reason(std::uint64_t columns) {
  return "Row has extra columns (expected " + std::to_string(columns) + ")";
}

std::vector<std::string> record_fields(const Record &record) {
  std::vector<std::string> fields;
  fields.reserve(record.size());
  for (std::size_t i = 0; i < record.size(); ++i) {
    fields.emplace_back(record.field(i));
  }
  return fields;
}

Result<Settlement> settle(std::string_view input, const SalvageOptions &options, StopPoll stop) {
  Settlement settlement;
  if (input.empty()) {
    return settlement;
  }
  // The heuristics read quotes as the salvage will, so that quoted delimiters
  // split neither the sniffed nor the inferred width.
  if (options.delimiter) {
    settlement.delimiter = *options.delimiter;
  } else {
    const std::optional<std::uint8_t> sniffed = sniff_delimiter(input, options.quote_char, stop);
    if (!sniffed) {
      return SalvageError::interrupted();
    }
    settlement.delimiter = *sniffed;
  }
  if (options.expected_columns) {
    settlement.columns = *options.expected_columns;
  } else {
    const std::optional<std::uint64_t> inferred =
        infer_column_count(input, settlement.delimiter, options.quote_char, stop);
    if (!inferred) {
      return SalvageError::interrupted();
    }
    settlement.columns = *inferred;
  }
  return settlement;
}

Result<SalvageOutcome> salvage_slice(std::string_view input, const SalvageOptions &options,
                                     StopPoll stop) {
  Result<Settlement> settlement = settle(input, options, stop);
  if (!settlement.ok()) {
    return std::move(settlement.error());
  }
  SalvageOutcome outcome;
  outcome.clean_rows.reserve_for_input(input.size());
  Result<SalvageCounts> counts = reconcile_records(
      input, options, settlement.value(), stop,
      [&](const Record &record, const RowShape &shape, const std::string &merge_separator) {
        outcome.clean_rows.append(record, shape, merge_separator);
        return true;
      },
      [&](const Record &record, const std::string &reason) {
        outcome.quarantine.push_back(
            QuarantineRecord{record.end_line, reason, record_fields(record)});
      });
  if (!counts.ok()) {
    return std::move(counts.error());
  }
  outcome.counts = counts.value();
  return outcome;
}

} // namespace tidewrack
