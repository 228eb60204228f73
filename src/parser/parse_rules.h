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
  // Blanks between a closing quote and the delimiter or the line break stay in
  // the field, as any text after the closing quote does: the classic reading
  // leaves them out.
  bool keep_blanks_after_quote = false;
  // A lone CR inside a field (quoted, or escaped) counts a line as LF does, so
  // that CR, LF and CR LF each count one wherever they stand, as an editor
  // shows them: the classic reading counts only LF there.
  bool count_lone_cr = false;

  // The classic reading, the two rules above aside: every way of cutting
  // records (the classified blocks, their fast lanes, unclosed-quote recovery)
  // reads those too.
  bool classic() const { return classic_but_blanks() && !skip_blanks; }
  // The same, blanks after delimiters skipped or not.
  bool classic_but_blanks() const {
    return quoting && !escape && comment_prefix.empty() && preamble_lines == 0;
  }
};

} // namespace tidewrack
