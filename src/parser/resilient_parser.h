#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/record.h"

namespace tidewrack {

// Cuts delimiter-separated text into records. It never fails and never rejects
// input: every byte sequence becomes records by fixed rules (quotes inside
// unquoted fields are text, text after a closing quote joins the field, an
// unterminated quoted field runs to the end, invalid UTF-8 becomes U+FFFD).
// With quote repair on, a quote inside a quoted field closes it only when no
// later quote on the same physical line is a better closing candidate.
class ResilientParser {
public:
  ResilientParser(std::string_view data, std::uint8_t delimiter, std::uint8_t quote_char,
                  bool repair_quotes);

  // Fills `record` with the next record and returns true, or returns false at
  // the end of the input. `record.end_line` receives the line the record ends on.
  bool next_row(Record &record);

  // 1 plus the line breaks consumed so far (record ends and LFs inside quotes).
  std::uint64_t line() const { return line_; }
  std::size_t pos() const { return pos_; }

private:
  bool closes_field(std::size_t quote_at);
  std::size_t skip_blanks(std::size_t from);
  bool ends_candidate(std::size_t at) const;
  std::size_t last_closing_candidate(std::size_t from);

  const unsigned char *data_;
  std::size_t size_;
  std::size_t pos_;
  std::uint64_t line_ = 1;
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  bool repair_quotes_;

  // Look-ahead caches of the closing-quote test; they keep it linear in the
  // line length however many stray quotes the line holds.
  std::size_t blank_run_from_ = 0;
  std::size_t blank_run_end_ = 0;
  std::size_t segment_from_ = 0;
  std::size_t segment_end_ = 0; // first CR, LF or end of input at or after segment_from_
  std::size_t segment_candidate_ = 0;
  bool segment_has_candidate_ = false;
};

// Offset at which parsing starts: past a leading UTF-8 byte-order mark.
std::size_t start_offset(std::string_view data);

} // namespace tidewrack
