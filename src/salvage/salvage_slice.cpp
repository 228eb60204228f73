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

Settlement settle(std::string_view input, const SalvageOptions &options) {
  Settlement settlement;
  if (input.empty()) {
    return settlement;
  }
  // The heuristics read quotes as the salvage will, so that quoted delimiters
  // split neither the sniffed nor the inferred width.
  settlement.delimiter =
      options.delimiter ? *options.delimiter : sniff_delimiter(input, options.quote_char);
  settlement.columns = options.expected_columns
                           ? *options.expected_columns
                           : infer_column_count(input, settlement.delimiter, options.quote_char);
  return settlement;
}

SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions &options,
                             bool list_repairs) {
  SalvageOutcome outcome;
  outcome.clean_rows.reserve_for_input(input.size());
  auto clean = [&](const Record &record, const RowShape &shape,
                   const std::string &merge_separator) {
    outcome.clean_rows.append(record, shape, merge_separator);
    return true;
  };
  auto quarantine = [&](const Record &record, const std::string &reason) {
    outcome.quarantine.push_back(QuarantineRecord{record.end_line, reason, record_fields(record)});
  };
  const Settlement settlement = settle(input, options);
  if (list_repairs) {
    outcome.counts =
        reconcile_records(input, options, settlement, NoPlainLane{}, clean, quarantine,
                          [&](const RepairEvent &event) { outcome.repairs.push_back(event); });
  } else {
    outcome.counts = reconcile_records(input, options, settlement, clean, quarantine);
  }
  return outcome;
}

} // namespace tidewrack
