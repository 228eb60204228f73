#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "salvage/options.h"

namespace fuzz {

// A fuzz input for the salvage targets: four header bytes choose the options,
// the rest is the CSV input.
//   byte 0, flags: 0x01 delimiter given, 0x02 fill ragged rows, 0x04 merge
//           overflow, 0x08 repair quotes, 0x10 column count given, 0x20
//           unclosed-quote recovery; 0x40 and 0x80 an encoding: 0x40 auto,
//           0x80 utf-16, both latin-1
//   byte 1: the delimiter (when given)
//   byte 2: the quote character
//   byte 3: the column count modulo 9 (when given; 0 means "no width"); for
//           recovery, a window of 1 + (bits 4-5) lines and 8 << (bits 6-7) bytes
// Missing header bytes count as 0. Recovery and the encoding are kept apart
// from the options: the targets that restate the classic rules leave them out.
struct SalvageCase {
  tidewrack::SalvageOptions options;
  std::optional<tidewrack::QuoteRecoveryLimits> recovery;
  std::optional<tidewrack::InputEncoding> encoding;
  std::string_view input;
};

inline constexpr std::size_t SALVAGE_HEADER_SIZE = 4;

// Reading rules beyond the classic ones, drawn from the input's last byte:
// bits 0-1 preamble lines, bit 2 blanks skipped, bit 3 a backslash escape, bit
// 4 `#` comments, bit 5 no quoting, bit 6 the whole dialect detected (when no
// delimiter is given); as under the package's rules, the clean file quotes with
// ", a lone empty field too, blanks after a closing quote stay and lone CRs
// count lines. Nothing when the byte draws no rule, or the rules cannot go with
// the options.
inline std::optional<tidewrack::SalvageOptions>
dialect_rules(const tidewrack::SalvageOptions &options, std::string_view input) {
  if (input.empty() || (input.back() & 0x7F) == 0) {
    return std::nullopt;
  }
  const auto bits = static_cast<std::uint8_t>(input.back());
  tidewrack::SalvageOptions ruled = options;
  ruled.rules.preamble_lines = bits & 3u;
  ruled.rules.skip_blanks = (bits & 4) != 0;
  if ((bits & 8) != 0) {
    ruled.rules.escape = '\\';
  }
  if ((bits & 16) != 0) {
    ruled.rules.comment_prefix = "#";
  }
  ruled.rules.quoting = (bits & 32) == 0;
  ruled.rules.keep_blanks_after_quote = ruled.rules.count_lone_cr = true;
  ruled.detect_dialect = (bits & 64) != 0;
  ruled.output_quote_char = '"';
  ruled.quote_lone_empty_field = true;
  if (!tidewrack::unreadable_options(ruled).empty()) {
    return std::nullopt;
  }
  return ruled;
}

inline SalvageCase decode_salvage_case(const std::uint8_t *data, std::size_t size) {
  std::uint8_t header[SALVAGE_HEADER_SIZE] = {};
  std::size_t used = size < SALVAGE_HEADER_SIZE ? size : SALVAGE_HEADER_SIZE;
  for (std::size_t i = 0; i < used; ++i) {
    header[i] = data[i];
  }
  SalvageCase result;
  std::uint8_t flags = header[0];
  if (flags & 0x01) {
    result.options.delimiter = header[1];
  }
  result.options.quote_char = header[2];
  result.options.fill_ragged_rows = (flags & 0x02) != 0;
  result.options.merge_overflow = (flags & 0x04) != 0;
  result.options.repair_quotes = (flags & 0x08) != 0;
  if (flags & 0x10) {
    result.options.expected_columns = header[3] % 9;
  }
  if (flags & 0x20) {
    result.recovery =
        tidewrack::QuoteRecoveryLimits{1 + ((header[3] >> 4) & 3u), 8u << ((header[3] >> 6) & 3u)};
  }
  switch (flags & 0xC0) {
  case 0x40:
    result.encoding = tidewrack::InputEncoding::Auto;
    break;
  case 0x80:
    result.encoding = tidewrack::InputEncoding::Utf16;
    break;
  case 0xC0:
    result.encoding = tidewrack::InputEncoding::Latin1;
    break;
  default:
    break;
  }
  result.input = std::string_view(reinterpret_cast<const char *>(data) + used, size - used);
  return result;
}

} // namespace fuzz
