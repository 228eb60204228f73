#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/stop_poll.h"
#include "parser/parse_rules.h"
#include "parser/parser_input.h"

namespace tidewrack {

// How a delimited text is written, as detect_dialect reads it.
struct Dialect {
  std::uint8_t delimiter = ',';
  std::uint8_t quote_char = '"'; // read only when rules.quoting
  ParseRules rules;
  std::uint64_t header_rows = 0; // 0 to 3
  std::uint64_t columns = 0;
  double confidence = 0.0; // in [0, 1]
  // What the reading kept as it is but may be otherwise (a second table, a
  // title row, another delimiter), one sentence each.
  std::vector<std::string> notes;
};

// Lines of the head that detection reads, and the bytes it reads at most.
inline constexpr std::size_t DIALECT_LINE_LIMIT = 100;
inline constexpr std::size_t DIALECT_SAMPLE_BYTES = std::size_t{256} << 10;

// The dialect of the head of `head`: the delimiter (any printable ASCII
// punctuation, space or tab), the quote (" or '), a backslash escape,
// blanks after delimiters, no quoting, `#` comment lines, preamble lines,
// header rows and the column count. Each reading is scored by how consistently it splits the
// records into one width and by how many of its cells look like values. The
// classic reading (the four classic delimiters and ") stands unless another
// one is clearly better, so files that it reads right read alike. Nothing when
// `stop` ends the work first. `*reached_end` (when given) is set when the
// reading came to the end of `head`, where a longer head might read otherwise.
std::optional<Dialect> detect_dialect(std::string_view head, StopPoll stop,
                                      ParserInput kind = ParserInput::Bytes,
                                      bool *reached_end = nullptr);

} // namespace tidewrack
