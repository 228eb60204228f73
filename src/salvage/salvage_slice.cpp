#include "salvage/salvage_slice.h"

#include <algorithm>

#include "heuristics/blank_record.h"
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

void append_line_text(std::string &out, const ResilientParser &parser, const Record &line) {
  std::size_t end = line.end;
  while (end > line.begin && (parser.data()[end - 1] == '\n' || parser.data()[end - 1] == '\r')) {
    --end;
  }
  const std::size_t from = out.size();
  out.append(reinterpret_cast<const char *>(parser.data()) + line.begin, end - line.begin);
  sanitize_utf8_tail(out, from);
}

namespace {

// A character as the message shows it: ',' or "'" or '\t'.
std::string shown_character(std::uint8_t byte) {
  std::string shown;
  switch (byte) {
  case '\t':
    shown = "\\t";
    break;
  case '\\':
    shown = "\\\\";
    break;
  default:
    if (byte < 0x20 || byte == 0x7F) {
      constexpr char HEX[] = "0123456789abcdef";
      shown = std::string("\\x") + HEX[byte >> 4] + HEX[byte & 0xF];
    } else {
      shown = std::string(1, static_cast<char>(byte));
    }
  }
  return byte == '\'' ? "\"'\"" : "'" + shown + "'";
}

// Why a dialect whose delimiter was detected cannot be read: two of the
// delimiter, the quote and the escape character alike; empty when it can.
std::string dialect_conflict(const Settlement &settlement) {
  const std::optional<std::uint8_t> quote =
      settlement.rules.quoting ? std::optional<std::uint8_t>(settlement.quote_char) : std::nullopt;
  const std::pair<const char *, std::optional<std::uint8_t>> named[] = {
      {"the delimiter", settlement.delimiter},
      {"the quote character", quote},
      {"the escape character", settlement.rules.escape}};
  for (std::size_t i = 0; i < std::size(named); ++i) {
    for (std::size_t j = i + 1; j < std::size(named); ++j) {
      if (named[i].second && named[i].second == named[j].second) {
        return std::string(named[i].first) + " and " + named[j].first + " are both " +
               shown_character(*named[i].second) +
               "; they must differ (as detected: give the delimiter to read the file otherwise)";
      }
    }
  }
  return {};
}

// The dialect detected, but for what the options give of it; the width is
// inferred as for a delimiter given.
Result<Settlement> settle_given(const SalvageText &input, const SalvageOptions &options,
                                const Dialect &detected, StopPoll stop, bool *read_to_end) {
  Settlement settlement;
  settlement.delimiter = detected.delimiter;
  settlement.confidence = detected.confidence;
  settlement.notes = detected.notes;
  settlement.rules = options.rules;
  const bool quote_given = options.quote_char != '"' || !options.rules.quoting;
  settlement.rules.quoting = quote_given ? options.rules.quoting : detected.rules.quoting;
  settlement.quote_char = !settlement.rules.quoting ? std::uint8_t{'"'}
                          : quote_given             ? options.quote_char
                                                    : detected.quote_char;
  if (!options.rules.escape) {
    settlement.rules.escape = detected.rules.escape;
  }
  if (!options.given.skip_blanks) {
    settlement.rules.skip_blanks = detected.rules.skip_blanks;
  }
  if (!options.given.comment_prefix) {
    settlement.rules.comment_prefix = detected.rules.comment_prefix;
  }
  if (!options.given.preamble_lines) {
    settlement.rules.preamble_lines = detected.rules.preamble_lines;
  }
  if (std::string conflict = dialect_conflict(settlement); !conflict.empty()) {
    return SalvageError::contradiction(std::move(conflict));
  }
  settlement.output_quote = options.output_quote_char.value_or(settlement.quote_char);
  if (settlement.output_quote == settlement.delimiter) {
    // A clean file quoted with the delimiter could not be read back.
    settlement.output_quote = settlement.quote_char;
  }
  if (options.expected_columns) {
    settlement.columns = *options.expected_columns;
    return settlement;
  }
  const std::optional<std::uint64_t> inferred =
      infer_column_count(input.text, settlement.delimiter, settlement.quote_char, stop, input.kind,
                         read_to_end, settlement.rules);
  if (!inferred) {
    return SalvageError::interrupted();
  }
  settlement.columns = *inferred;
  return settlement;
}

} // namespace

Result<Settlement> settle(const SalvageText &input, const SalvageOptions &options, StopPoll stop,
                          bool *read_to_end) {
  Settlement settlement;
  if (input.empty_input) {
    return settlement;
  }
  settlement.quote_char = options.quote_char;
  settlement.rules = options.rules;
  settlement.output_quote = options.output_quote_char.value_or(options.quote_char);
  if (!options.delimiter && options.detect_dialect) {
    const std::optional<Dialect> detected =
        detect_dialect(input.text, stop, input.kind, read_to_end);
    if (!detected) {
      return SalvageError::interrupted();
    }
    if (options.gives_dialect_part()) {
      return settle_given(input, options, *detected, stop, read_to_end);
    }
    settlement.delimiter = detected->delimiter;
    settlement.quote_char = detected->quote_char;
    settlement.rules = detected->rules;
    // How the text is read beyond the dialect is the caller's to say.
    settlement.rules.keep_blanks_after_quote = options.rules.keep_blanks_after_quote;
    settlement.rules.count_lone_cr = options.rules.count_lone_cr;
    settlement.header_rows = detected->header_rows;
    settlement.confidence = detected->confidence;
    settlement.notes = detected->notes;
    settlement.columns = options.expected_columns.value_or(detected->columns);
    return settlement;
  }
  // The heuristics read quotes as the salvage will, so that quoted delimiters
  // split neither the sniffed nor the inferred width.
  if (options.delimiter) {
    settlement.delimiter = *options.delimiter;
  } else {
    const std::optional<std::uint8_t> sniffed =
        sniff_delimiter(input.text, options.quote_char, stop, input.kind, read_to_end);
    if (!sniffed) {
      return SalvageError::interrupted();
    }
    settlement.delimiter = *sniffed;
  }
  if (options.expected_columns) {
    settlement.columns = *options.expected_columns;
  } else {
    const std::optional<std::uint64_t> inferred =
        infer_column_count(input.text, settlement.delimiter, options.quote_char, stop, input.kind,
                           read_to_end, options.rules);
    if (!inferred) {
      return SalvageError::interrupted();
    }
    settlement.columns = *inferred;
  }
  return settlement;
}

ResilientParser salvage_parser(const SalvageText &input, const SalvageOptions &options,
                               const Settlement &settlement) {
  ResilientParser parser(input.text, settlement.delimiter, settlement.quote_char,
                         options.repair_quotes, input.kind, settlement.rules);
  parser.keep_comment_lines_of_width(settlement.columns);
  if (options.unclosed_quote_recovery) {
    parser.recover_unclosed_quotes(settlement.columns, *options.unclosed_quote_recovery);
  }
  return parser;
}

std::shared_ptr<const ColumnProfiles> profile_columns(const SalvageText &input,
                                                      const SalvageOptions &options,
                                                      const Settlement &settlement,
                                                      std::size_t certain_end, bool &read_to_end) {
  // Fewer rows than this say too little of a column; wider rows are not
  // aligned (RowAligner's search would not take them either).
  constexpr std::size_t MIN_PROFILED_ROWS = 5;
  constexpr std::uint64_t MAX_PROFILED_COLUMNS = 1024;
  if (!options.align_columns || settlement.columns == 0 ||
      settlement.columns > MAX_PROFILED_COLUMNS || input.empty_input) {
    return nullptr;
  }
  auto profiles = std::make_shared<ColumnProfiles>(static_cast<std::size_t>(settlement.columns),
                                                   settlement.delimiter);
  ResilientParser parser = salvage_parser(input, options, settlement);
  // A record wider than the columns is only counted: its fields are dropped
  // as it is cut.
  parser.batch_long_records(static_cast<std::size_t>(settlement.columns) + 1, SIZE_MAX);
  Record record;
  read_to_end = false;
  std::size_t profiled = 0; // non-blank records after the header
  const std::uint64_t header = std::max<std::uint64_t>(settlement.header_rows, 1);
  for (std::size_t read = 0; read < PROFILE_RECORD_LIMIT && parser.pos() < PROFILE_BYTE_LIMIT;
       ++read) {
    // The header records (the first at least: a header, most often) are only
    // passed over: counted, not cut, which spares building a long single line
    // field by field.
    const bool data = read >= header;
    if (data ? !parser.next_row(record) : parser.count_row(record) == 0) {
      break;
    }
    profiled += data && !is_blank_record(record) ? 1U : 0U;
    if (parser.pos() >= certain_end || parser.look_ahead_end() >= certain_end) {
      read_to_end = true;
      return nullptr;
    }
    if (data && record.width() == settlement.columns) {
      profiles->add_row([&](std::size_t column) { return record.field(column); });
    }
  }
  if (profiles->rows() < MIN_PROFILED_ROWS || profiles->rows() * 2 < profiled) {
    return nullptr;
  }
  profiles->finish();
  return profiles;
}

Result<SalvageOutcome> salvage_slice(std::string_view input, const SalvageOptions &options,
                                     StopPoll stop) {
  SalvageOutcome outcome;
  SliceSink sink(outcome);
  Result<SalvageCounts> counts = salvage_into(input, options, stop, sink);
  if (!counts.ok()) {
    return std::move(counts.error());
  }
  outcome.counts = counts.value();
  return outcome;
}

} // namespace tidewrack
