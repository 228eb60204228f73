#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "output/csv_format.h"
#include "output/row_store.h"
#include "repair/repair_event.h"

namespace tidewrack {

// The six summary values of one salvage, then what its repair log counts.
struct SalvageCounts {
  std::uint64_t total_rows = 0;
  std::uint64_t salvaged_rows = 0;
  std::uint64_t repaired_rows = 0; // padded and merged rows
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;
  char32_t detected_delimiter = U',';

  std::uint64_t padded_rows = 0;
  std::uint64_t merged_rows = 0;
  std::uint64_t quote_repairs = 0;   // stray quotes kept as text
  std::uint64_t unclosed_quotes = 0; // opening quotes read as text
  std::uint64_t decoded_bytes = 0;   // bytes that auto read as cp1252
  std::uint64_t replaced_bytes = 0;  // bytes no encoding could read, now U+FFFD
  // The encoding the input was read in (TextWindow::encoding_name); empty
  // when the salvage read bytes as they are, without an encoding.
  std::string_view encoding;
  // The rest of the dialect read (0: no such character), and the lines it
  // left out of the table.
  std::uint8_t quote_char = '"';
  std::uint8_t escape_char = 0;
  bool skip_blanks = false;
  std::string comment_prefix;
  std::uint64_t header_rows = 0;
  double confidence = 0.0;
  std::vector<std::string> notes; // what the detected dialect may have misread
  std::uint8_t output_quote_char = '"';
  std::uint64_t comment_lines = 0;
  std::uint64_t preamble_lines = 0;
};

struct SalvageOutcome {
  RowStore clean_rows;
  std::vector<QuarantineRecord> quarantine;
  std::vector<RepairEvent> repairs; // when asked for
  SalvageCounts counts;
};

} // namespace tidewrack
