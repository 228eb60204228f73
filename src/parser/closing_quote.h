#pragma once

#include <cstddef>
#include <cstdint>

namespace tidewrack {

// Quote repair's look-ahead: whether a quote inside a quoted field closes it.
// It does when it is followed, after optional blanks, by the delimiter, a line
// break or the end of the input; otherwise only when no later quote on the same
// physical line is followed that way. The blank run and the last closing
// candidate of the line are cached, which keeps the test linear in the line
// length however many stray quotes the line holds.
class ClosingQuoteLookahead {
public:
  ClosingQuoteLookahead(const unsigned char *data, std::size_t size, std::uint8_t delimiter,
                        std::uint8_t quote)
      : data_(data), size_(size), delimiter_(delimiter), quote_(quote) {}

  bool closes_field(std::size_t quote_at) {
    const std::size_t next = after_blanks(quote_at + 1);
    if (ends_at(next)) {
      return true;
    }
    if (!(next >= segment_from_ && next < segment_end_)) {
      find_closing_candidate(next);
    }
    return !(segment_has_candidate_ && segment_candidate_ >= next);
  }

  // Whether the quote is followed, after optional blanks, by the delimiter, a
  // line break or the end of the input: whether it closes a well-formed field.
  bool ends_field(std::size_t quote_at) { return ends_at(after_blanks(quote_at + 1)); }

  // Past the blanks at `from` (never the delimiter), or `from` itself.
  std::size_t after_blanks(std::size_t from) {
    if (from < size_ && (data_[from] == ' ' || data_[from] == '\t') && data_[from] != delimiter_) {
      return skip_blanks(from);
    }
    return from;
  }

private:
  bool ends_at(std::size_t at) const {
    return at == size_ || data_[at] == delimiter_ || data_[at] == '\r' || data_[at] == '\n';
  }
  std::size_t skip_blanks(std::size_t from);
  void find_closing_candidate(std::size_t from);

  const unsigned char *data_;
  std::size_t size_;
  std::uint8_t delimiter_;
  std::uint8_t quote_;

  std::size_t blank_run_from_ = 0;
  std::size_t blank_run_end_ = 0;
  std::size_t segment_from_ = 0;
  std::size_t segment_end_ = 0; // first CR, LF or end of input at or after segment_from_
  std::size_t segment_candidate_ = 0;
  bool segment_has_candidate_ = false;
};

} // namespace tidewrack
