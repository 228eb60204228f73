#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "encoding/encoding.h"
#include "parser/parse_rules.h"
#include "parser/unclosed_quote.h"

namespace tidewrack {

// How to salvage one input. The defaults are the classic rules; package()
// gives the package's.
struct SalvageOptions {
  std::optional<std::uint8_t> delimiter; // absent: sniffed
  std::uint8_t quote_char = '"';
  bool fill_ragged_rows = true;
  bool merge_overflow = true;
  std::optional<std::uint64_t> expected_columns; // absent: inferred; 0: no width enforced
  bool repair_quotes = true;
  // Unclosed-quote recovery within these limits (ResilientParser::
  // recover_unclosed_quotes); absent: off, a quote left open runs on.
  std::optional<QuoteRecoveryLimits> unclosed_quote_recovery;
  // The input's encoding: it is decoded to UTF-8 before anything else reads
  // it, and what the decoding changed is counted and logged. Absent: the bytes
  // are parsed as they are (a UTF-8 byte-order mark skipped, what is not UTF-8
  // replaced field by field, nothing counted).
  std::optional<InputEncoding> encoding;
  // Reading rules beyond the classic ones, for a delimiter that is given.
  ParseRules rules;
  // Without a delimiter: detect the dialect (quote, escape, blanks, comments,
  // preamble and width) rather than sniff the delimiter alone. What the
  // caller gave of it stands: a quote (quote_char other than '"', or
  // rules.quoting off), rules.escape, and the rules flagged in `given`.
  bool detect_dialect = false;
  struct GivenRules {
    bool skip_blanks = false;
    bool comment_prefix = false;
    bool preamble_lines = false;
  };
  GivenRules given;
  // The clean file's quote character; absent: quote_char.
  std::optional<std::uint8_t> output_quote_char;
  // A row of one empty field is written as two quotes, not as an empty line,
  // which most readers skip (the row would be lost on loading the file).
  bool quote_lone_empty_field = false;
  // Rows of another width are brought to it by the steps that make their
  // cells fit the columns best (RowAligner), when clearly better than merging
  // into the last column or padding at the end. Off: the classic repairs.
  bool align_columns = false;

  // The package's rules: unclosed quotes recovered, rows aligned to the
  // columns' profiles, the encoding decided by the head of the input, and
  // nothing changed without a trace in the repair log, whose lines are an
  // editor's (blanks after a closing quote kept, a lone CR counted as a line).
  static constexpr SalvageOptions package();

  // Whether the caller gave any part of the dialect that detect_dialect
  // would otherwise detect.
  bool gives_dialect_part() const {
    return quote_char != '"' || !rules.quoting || rules.escape || given.skip_blanks ||
           given.comment_prefix || given.preamble_lines;
  }
};

constexpr SalvageOptions SalvageOptions::package() {
  SalvageOptions options;
  options.unclosed_quote_recovery = QuoteRecoveryLimits{};
  options.encoding = InputEncoding::Auto;
  options.quote_lone_empty_field = true;
  options.align_columns = true;
  options.rules.keep_blanks_after_quote = true;
  options.rules.count_lone_cr = true;
  return options;
}

// The first byte of a non-empty text; an empty text means "sniff it".
std::optional<std::uint8_t> delimiter_option(std::string_view text);

// The first byte of a non-empty text; an empty text gives the double quote.
std::uint8_t quote_char_option(std::string_view text);

// Why the option bytes can never give a file that reads back (a line break as
// the delimiter or the quote, or the delimiter as the quote), or cannot be
// found in decoded text (a byte of 0x80 or above, which there is only ever part
// of a character, with an encoding given); empty when they can.
std::string_view unreadable_options(const SalvageOptions &options);

} // namespace tidewrack
