#include "parser/closing_quote.h"

#include "base/byte_scan.h"

namespace tidewrack {

namespace {

bool is_blank(std::uint8_t byte) {
  return byte == ' ' || byte == '\t';
}

} // namespace

// Blanks are skipped up to, never over, the delimiter: a tab delimiter right
// after a quote still ends the field.
std::size_t ClosingQuoteLookahead::skip_blanks(std::size_t from) {
  if (from >= blank_run_from_ && from < blank_run_end_) {
    return blank_run_end_;
  }
  std::size_t at = from;
  while (at < size_ && is_blank(data_[at]) && data_[at] != delimiter_) {
    ++at;
  }
  if (at > from) {
    blank_run_from_ = from;
    blank_run_end_ = at;
  }
  return at;
}

// The last quote in [from, end of physical line) that is followed, after
// optional blanks, by the delimiter, a line break or the end of the input.
// Found once per physical line and reused for every later quote on it: the
// end of the line is found first, then the line is read backwards, where the
// last such quote usually sits close to its end.
void ClosingQuoteLookahead::find_closing_candidate(std::size_t from) {
  const std::size_t end = find_line_break(data_, from, size_);
  segment_from_ = from;
  segment_end_ = end;
  segment_has_candidate_ = false;
  // Whether the first byte at or after `at` that is neither a blank nor the
  // delimiter... is the delimiter or the end of the line: blanks other than the
  // delimiter are passed over, the delimiter ends a candidate's run.
  bool ending = true;
  for (std::size_t at = end; at > from;) {
    --at;
    const std::uint8_t byte = data_[at];
    if (byte == quote_ && ending) {
      segment_has_candidate_ = true;
      segment_candidate_ = at;
      return;
    }
    if (byte == delimiter_) {
      ending = true;
    } else if (!is_blank(byte)) {
      ending = false;
    }
  }
}

} // namespace tidewrack
