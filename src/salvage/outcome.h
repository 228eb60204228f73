#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "salvage/row_store.h"

namespace tidewrack {

// One record the salvage set aside, with its fields exactly as parsed.
struct QuarantineRecord {
  std::uint64_t line = 0; // the line on which the record ends
  std::string reason;
  std::vector<std::string> fields;
};

// The six summary values of one salvage.
struct SalvageCounts {
  std::uint64_t total_rows = 0;
  std::uint64_t salvaged_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;
  char32_t detected_delimiter = U',';
};

struct SalvageOutcome {
  RowStore clean_rows;
  std::vector<QuarantineRecord> quarantine;
  SalvageCounts counts;
};

} // namespace tidewrack
