#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "parser/unclosed_quote.h"

namespace tidewrack {

// How to salvage one input. The Python layer supplies the defaults.
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
};

// The first byte of a non-empty text; an empty text means "sniff it".
std::optional<std::uint8_t> delimiter_option(std::string_view text);

// The first byte of a non-empty text; an empty text gives the double quote.
std::uint8_t quote_char_option(std::string_view text);

// Why the option bytes can never give a file that reads back (a line break as
// the delimiter or the quote, or the delimiter as the quote); empty when they
// can.
std::string_view unreadable_options(const SalvageOptions &options);

} // namespace tidewrack
