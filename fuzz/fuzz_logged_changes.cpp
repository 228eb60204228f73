// Every change is logged: under the package's rules (the whole dialect
// detected, rows aligned, unclosed quotes recovered, auto encoding, blanks
// after a closing quote kept, lone CRs counted), every record whose clean row
// differs from what a plain reader of the reported dialect makes of its text
// has a line in the repair log.
//
// The check walks the decoded text. A record the log names (by its bytes) may
// have been changed in any way; from any other point the plain reader reads
// one record, which must be the next clean row, field for field. A record cut
// otherwise without a log line throws the walk off the next rows, so it is
// caught too. The plain reader: a quoted field ends at the first quote that is
// not doubled, text after its closing quote joins it, an escape takes the
// byte after it, blanks (other than the delimiter) after a delimiter are
// skipped where the dialect says so, and nothing is repaired.
//
// Lines: each log line names the lines its record spans, CR, LF and CR LF each
// ending one, counted from the start of the text.
//
// Input: byte 0 changes the rules: 0x01 short rows quarantined, not padded;
// 0x02 long rows quarantined, not merged; 0x04 no unclosed-quote recovery;
// 0x08 recovery within 2 lines and 64 bytes. The rest is the CSV input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decoded_input.h"
#include "fuzz_check.h"
#include "listed_salvage.h"
#include "records.h"
#include "salvage/salvage_slice.h"

namespace {

// Bytes as unsigned values; -1 for no such character.
struct Dialect {
  int delimiter;
  int quote;
  int escape;
  bool skip_blanks;
};

struct PlainRecord {
  std::vector<std::string> fields;
  std::size_t end; // past its line break
};

bool is_line_break(char byte) {
  return byte == '\r' || byte == '\n';
}

// Past the line break at `at`: CR LF is one.
std::size_t past_line_break(std::string_view text, std::size_t at) {
  return text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? at + 2 : at + 1;
}

// CR, LF and CR LF in [from, to), one line each.
std::uint64_t line_breaks(std::string_view text, std::size_t from, std::size_t to) {
  std::uint64_t breaks = 0;
  for (std::size_t at = from; at < to; ++at) {
    breaks +=
        text[at] == '\n' || (text[at] == '\r' && (at + 1 == text.size() || text[at + 1] != '\n'));
  }
  return breaks;
}

PlainRecord read_plain(std::string_view text, std::size_t at, const Dialect &dialect) {
  PlainRecord record;
  std::string field;
  bool quoted = false;
  bool field_start = true;
  while (at < text.size()) {
    const char byte = text[at];
    const int value = static_cast<unsigned char>(byte);
    if (value == dialect.escape) {
      field.push_back(at + 1 < text.size() ? text[at + 1] : byte);
      at += 2;
      field_start = false;
      continue;
    }
    if (quoted) {
      if (value == dialect.quote && at + 1 < text.size() && text[at + 1] == byte) {
        field.push_back(byte);
        at += 2;
      } else {
        quoted = value != dialect.quote;
        if (quoted) {
          field.push_back(byte);
        }
        ++at;
      }
      continue;
    }
    if (field_start && value == dialect.quote) {
      quoted = true;
      field_start = false;
      ++at;
      continue;
    }
    field_start = false;
    if (value == dialect.delimiter) {
      record.fields.push_back(std::move(field));
      field.clear();
      ++at;
      while (dialect.skip_blanks && at < text.size() &&
             static_cast<unsigned char>(text[at]) != dialect.delimiter &&
             (text[at] == ' ' || text[at] == '\t')) {
        ++at;
      }
      field_start = true;
      continue;
    }
    if (is_line_break(byte)) {
      record.fields.push_back(std::move(field));
      record.end = past_line_break(text, at);
      return record;
    }
    field.push_back(byte);
    ++at;
  }
  record.fields.push_back(std::move(field));
  record.end = text.size();
  return record;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint8_t flags = data[0];
  const std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);
  tidewrack::SalvageOptions options;
  options.detect_dialect = true;
  options.align_columns = true;
  options.encoding = tidewrack::InputEncoding::Auto;
  options.output_quote_char = '"';
  options.quote_lone_empty_field = true;
  options.rules.keep_blanks_after_quote = options.rules.count_lone_cr = true;
  options.fill_ragged_rows = (flags & 0x01) == 0;
  options.merge_overflow = (flags & 0x02) == 0;
  if ((flags & 0x04) == 0) {
    options.unclosed_quote_recovery = (flags & 0x08) != 0 ? tidewrack::QuoteRecoveryLimits{2, 64}
                                                          : tidewrack::QuoteRecoveryLimits{};
  }

  const tidewrack::SalvageOutcome outcome = test_support::salvage_listing_repairs(input, options);
  const test_support::DecodedInput decoded =
      test_support::DecodedInput::decode(input, *options.encoding).value();
  const std::string_view text = decoded.text();
  const tidewrack::SalvageCounts &counts = outcome.counts;
  const Dialect dialect{static_cast<int>(counts.detected_delimiter),
                        counts.quote_char != 0 ? counts.quote_char : -1,
                        counts.escape_char != 0 ? counts.escape_char : -1, counts.skip_blanks};
  const std::string reported = "delimiter byte " + std::to_string(dialect.delimiter) +
                               ", quote byte " + std::to_string(counts.quote_char) +
                               ", escape byte " + std::to_string(counts.escape_char) +
                               (counts.skip_blanks ? ", blanks skipped" : "") + ", " +
                               std::to_string(counts.inferred_columns) + " columns";

  const std::vector<tidewrack::RepairEvent> &events = outcome.repairs;
  std::size_t event = 0;
  std::size_t row = 0;
  std::uint64_t line = 1;
  for (std::size_t at = 0; at < text.size();) {
    const std::string where = "the record at byte " + std::to_string(at) + ", line " +
                              std::to_string(line) + " (" + reported + ")";
    if (event < events.size() && events[event].begin == at) {
      const std::size_t end = events[event].end;
      const std::uint64_t inside = line_breaks(text, at, end);
      // A record ends at its line break, or at the end of the text, where a
      // last line break may lie inside quotes.
      const bool ambiguous_end = end == text.size() && is_line_break(text[end - 1]);
      bool set_aside = false;
      for (; event < events.size() && events[event].begin == at; ++event) {
        const tidewrack::RepairEvent &logged = events[event];
        const std::uint64_t last = line + inside - (end < text.size() ? 1 : 0);
        if (logged.end != end || logged.line_start != line ||
            !(logged.line_end == last || (ambiguous_end && logged.line_end + 1 == last))) {
          fuzz::fail("a log line names the lines of its record, every line break counted", input,
                     where + ": logged lines " + std::to_string(logged.line_start) + " to " +
                         std::to_string(logged.line_end) + ", bytes to " +
                         std::to_string(logged.end) + "; the record's bytes end at " +
                         std::to_string(end));
        }
        const std::string_view action = tidewrack::repair_action_name(logged.action);
        set_aside |= action == "quarantined" || action == "comment" || action == "preamble";
      }
      row += set_aside ? 0 : 1;
      line += inside;
      at = end;
      continue;
    }
    const PlainRecord plain = read_plain(text, at, dialect);
    if (event < events.size() && events[event].begin < plain.end) {
      fuzz::fail("a record changed without a log line reads as a plain record", input,
                 where + ": read plainly to byte " + std::to_string(plain.end) +
                     ", but a logged record starts at byte " + std::to_string(events[event].begin));
    }
    if (row >= outcome.clean_rows.size()) {
      fuzz::fail("a record with no log line is a clean row", input,
                 where + ": no clean row is left for " + fuzz::row_text(plain.fields));
    }
    const std::vector<std::string> clean = test_support::fields_of(outcome.clean_rows.row(row));
    if (clean != plain.fields) {
      fuzz::fail("a clean row that differs from the plain reading of its record has a log line",
                 input,
                 where + ": clean row " + fuzz::row_text(clean) + ", read plainly " +
                     fuzz::row_text(plain.fields));
    }
    ++row;
    line += line_breaks(text, at, plain.end);
    at = plain.end;
  }
  if (event != events.size() || row != outcome.clean_rows.size()) {
    fuzz::fail("the walk meets every log line and every clean row", input,
               std::to_string(event) + " of " + std::to_string(events.size()) + " log lines, " +
                   std::to_string(row) + " of " + std::to_string(outcome.clean_rows.size()) +
                   " clean rows (" + reported + ")");
  }
  return 0;
}
