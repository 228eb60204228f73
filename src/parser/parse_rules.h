#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tidewrack {

// Reading rules beyond the delimiter and the quote character. The defaults are
// the classic reading, under which none of them changes a record.
struct ParseRules {
  bool quoting = true; // false: the quote character is text like any other byte
  // The byte after it is taken as it is, inside quotes or out; the escape
  // itself is dropped (one left at the end of the input stays as text).
  std::optional<std::uint8_t> escape;
  bool skip_blanks = false;         // spaces and tabs right after a delimiter are left out
  std::string comment_prefix;       // a line starting with it is a comment, not a record
  std::uint64_t preamble_lines = 0; // lines before the table, not records

  bool classic() const { return classic_but_blanks() && !skip_blanks; }
  // The classic reading, blanks after delimiters skipped or not.
  bool classic_but_blanks() const {
    return quoting && !escape && comment_prefix.empty() && preamble_lines == 0;
  }
};

} // namespace tidewrack
