// Slice salvage against a plain restatement of its promises: every record of a
// separate parse ends up, in order, either as a clean row of the settled width
// (padded or merged as the options allow) or as a quarantine record holding
// its raw fields and line; the counters add up; all text is valid UTF-8.
//
// Input: four header bytes choose the options (salvage_case.h), the rest is
// the CSV input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "fuzz_check.h"
#include "heuristics/blank_record.h"
#include "heuristics/sniff.h"
#include "naive_parser.h"
#include "records.h"
#include "salvage/salvage_slice.h"
#include "salvage_case.h"

namespace {

using Fields = std::vector<std::string>;

std::string describe(const tidewrack::SalvageOptions &options) {
  std::string text = "options: delimiter ";
  text += options.delimiter ? std::to_string(*options.delimiter) : "sniffed";
  text += ", quote " + std::to_string(options.quote_char);
  text += options.fill_ragged_rows ? ", fill" : ", no fill";
  text += options.merge_overflow ? ", merge" : ", no merge";
  text += options.repair_quotes ? ", repair" : ", no repair";
  text += ", columns ";
  text += options.expected_columns ? std::to_string(*options.expected_columns) : "inferred";
  return text;
}

bool is_blank(const Fields &fields) {
  return tidewrack::is_blank_record(test_support::record_of(fields));
}

// The field counts that occur most often among the first 100 non-blank
// records, parsed the way column inference parses (the salvage's quote, repair on).
std::vector<std::uint64_t> most_frequent_widths(std::string_view input, std::uint8_t delimiter,
                                                std::uint8_t quote) {
  std::map<std::uint64_t, int> tally;
  int tallied = 0;
  for (const naive::Row &row : naive::parse(input, delimiter, quote, true)) {
    if (tallied == 100) {
      break;
    }
    if (!is_blank(row.fields)) {
      ++tally[row.fields.size()];
      ++tallied;
    }
  }
  int best = 0;
  for (const auto &[width, count] : tally) {
    best = std::max(best, count);
  }
  std::vector<std::uint64_t> widths;
  for (const auto &[width, count] : tally) {
    if (count == best) {
      widths.push_back(width);
    }
  }
  return widths;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fuzz::SalvageCase fuzz_case = fuzz::decode_salvage_case(data, size);
  const tidewrack::SalvageOptions &options = fuzz_case.options;
  const std::string_view input = fuzz_case.input;
  const std::string settings = describe(options);

  const tidewrack::SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
  const tidewrack::SalvageCounts &counts = outcome.counts;

  auto check = [&](bool holds, std::string_view property, const std::string &detail) {
    if (!holds) {
      fuzz::fail(property, input, settings + ": " + detail);
    }
  };

  check(counts.total_rows == counts.salvaged_rows + counts.quarantined_rows,
        "total = salvaged + quarantined", std::to_string(counts.total_rows));
  check(counts.repaired_rows <= counts.salvaged_rows, "repaired <= salvaged",
        std::to_string(counts.repaired_rows) + " > " + std::to_string(counts.salvaged_rows));
  check(counts.salvaged_rows == outcome.clean_rows.size(), "salvaged counts the clean rows",
        std::to_string(counts.salvaged_rows) + " vs " + std::to_string(outcome.clean_rows.size()));
  check(counts.quarantined_rows == outcome.quarantine.size(),
        "quarantined counts the quarantine records",
        std::to_string(counts.quarantined_rows) + " vs " +
            std::to_string(outcome.quarantine.size()));

  if (input.empty()) {
    check(counts.total_rows == 0 && counts.inferred_columns == 0 &&
              counts.detected_delimiter == U',',
          "an empty input reports nothing, with ',' and no width", "");
    return 0;
  }

  // The delimiter: the given one, or one of the four candidates other than the quote.
  check(counts.detected_delimiter < 0x100, "the delimiter is a byte",
        std::to_string(counts.detected_delimiter));
  const auto delimiter = static_cast<std::uint8_t>(counts.detected_delimiter);
  if (options.delimiter) {
    check(delimiter == *options.delimiter, "a given delimiter is used", std::to_string(delimiter));
  } else {
    check(std::find(tidewrack::CANDIDATE_DELIMITERS.begin(), tidewrack::CANDIDATE_DELIMITERS.end(),
                    delimiter) != tidewrack::CANDIDATE_DELIMITERS.end() &&
              delimiter != options.quote_char,
          "a sniffed delimiter is one of the candidates other than the quote",
          std::to_string(delimiter));
  }

  // The width: the given one, or a most frequent width of the head.
  const std::uint64_t columns = counts.inferred_columns;
  if (options.expected_columns) {
    check(columns == *options.expected_columns, "a given column count is used",
          std::to_string(columns));
  } else {
    std::vector<std::uint64_t> widths = most_frequent_widths(input, delimiter, options.quote_char);
    check(widths.empty() ? columns == 0
                         : std::find(widths.begin(), widths.end(), columns) != widths.end(),
          "the inferred width is a most frequent width of the first 100 non-blank records",
          "inferred " + std::to_string(columns));
  }

  // Replay the reconciliation on a separate parse.
  const std::string separator = tidewrack::byte_as_utf8(delimiter);
  const std::string too_few = "Row has too few columns (expected " + std::to_string(columns) + ")";
  const std::string extra = "Row has extra columns (expected " + std::to_string(columns) + ")";
  std::size_t clean_index = 0;
  std::size_t quarantine_index = 0;
  std::uint64_t padded = 0, merged = 0, stray_quotes = 0;
  const std::vector<naive::Row> records =
      naive::parse(input, delimiter, options.quote_char, options.repair_quotes);
  check(records.size() == counts.total_rows, "every record is counted",
        std::to_string(counts.total_rows) + " counted, " + std::to_string(records.size()) +
            " parsed");

  for (const naive::Row &record : records) {
    const std::uint64_t width = record.fields.size();
    Fields want = record.fields;
    const std::string *reason = nullptr;
    stray_quotes += record.stray_quotes;
    if (columns == 0 || width == columns) {
    } else if (width < columns && options.fill_ragged_rows) {
      want.resize(static_cast<std::size_t>(columns));
      ++padded;
    } else if (width > columns && options.merge_overflow) {
      const auto keep = static_cast<std::size_t>(columns - 1);
      std::string merged_field;
      for (std::size_t i = keep; i < want.size(); ++i) {
        merged_field += (i > keep ? separator : "") + want[i];
      }
      want.resize(keep);
      want.push_back(merged_field);
      ++merged;
    } else {
      reason = width < columns ? &too_few : &extra;
    }

    if (reason == nullptr) {
      check(clean_index < outcome.clean_rows.size(), "every accepted record is a clean row",
            "missing clean row for " + fuzz::row_text(record.fields));
      const Fields got = test_support::fields_of(outcome.clean_rows.row(clean_index));
      check(got == want, "a clean row is the record, padded or merged to the width",
            "clean row " + std::to_string(clean_index) + " is " + fuzz::row_text(got) +
                ", expected " + fuzz::row_text(want));
      for (const std::string &field : got) {
        check(fuzz::is_well_formed_utf8(field), "clean fields are valid UTF-8",
              fuzz::escaped(field));
      }
      ++clean_index;
    } else {
      check(quarantine_index < outcome.quarantine.size(), "every rejected record is quarantined",
            "missing quarantine record for " + fuzz::row_text(record.fields));
      const tidewrack::QuarantineRecord &got = outcome.quarantine[quarantine_index];
      check(got.fields == record.fields && got.line == record.end_line && got.reason == *reason,
            "a quarantine record keeps the raw fields, the line and the reason",
            "record " + std::to_string(quarantine_index) + " is " + fuzz::row_text(got.fields) +
                " line " + std::to_string(got.line) + " \"" + got.reason + "\", expected " +
                fuzz::row_text(record.fields) + " line " + std::to_string(record.end_line) + " \"" +
                *reason + "\"");
      for (const std::string &field : got.fields) {
        check(fuzz::is_well_formed_utf8(field), "quarantined fields are valid UTF-8",
              fuzz::escaped(field));
      }
      ++quarantine_index;
    }
  }
  check(clean_index == outcome.clean_rows.size() && quarantine_index == outcome.quarantine.size(),
        "nothing but the records of the input comes out",
        std::to_string(outcome.clean_rows.size()) + " clean rows and " +
            std::to_string(outcome.quarantine.size()) + " quarantine records, expected " +
            std::to_string(clean_index) + " and " + std::to_string(quarantine_index));
  check(padded + merged == counts.repaired_rows && padded == counts.padded_rows &&
            merged == counts.merged_rows,
        "repaired counts padded and merged rows, each counted apart",
        std::to_string(counts.repaired_rows) + " repaired, " + std::to_string(counts.padded_rows) +
            " padded, " + std::to_string(counts.merged_rows) + " merged counted; " +
            std::to_string(padded) + " padded and " + std::to_string(merged) + " merged expected");
  check(stray_quotes == counts.quote_repairs && counts.unclosed_quotes == 0,
        "quote repairs count the stray quotes kept as text, and no quote is recovered unasked",
        std::to_string(counts.quote_repairs) + " quote repairs and " +
            std::to_string(counts.unclosed_quotes) + " unclosed quotes counted, " +
            std::to_string(stray_quotes) + " stray quotes expected");
  return 0;
}
