#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "parser/byte_scan.h"
#include "parser/parser_input.h"
#include "parser/record.h"
#include "parser/unclosed_quote.h"

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
                  bool repair_quotes, ParserInput kind = ParserInput::Bytes);

  // Switches unclosed-quote recovery on for records of `columns` fields (see
  // UnclosedQuoteCheck): an opening quote whose field would run on past its
  // line is then read as a literal character when the lines it would swallow
  // look like records of their own, and parsing goes on right after it. Each
  // such quote is noted in the record. Without a width (0), or under settings
  // that are parsed byte by byte, nothing changes.
  void recover_unclosed_quotes(std::uint64_t columns, QuoteRecoveryLimits limits);

  // Fills `record` with the next record and returns true, or returns false at
  // the end of the input. `record.end_line` receives the line the record ends on.
  // The record's fields may point into the input.
  bool next_row(Record &record);

  // Consumes the next record exactly as next_row would, lines counted alike,
  // but builds only its first field, into `first_field`: the fields after it
  // are counted, not cut. Returns the record's number of fields, or 0 at the
  // end of the input.
  std::size_t count_row(Record &first_field);

  // What render_plain_row did; small enough to come back in registers.
  struct PlainRow {
    std::size_t size = 0;      // bytes written, LF included; none when 0
    std::uint64_t padding = 0; // empty fields added up to the column count
    bool rendered() const { return size != 0; }
  };

  // True when render_plain_row may be used: the delimiter and the quote are
  // ASCII and records are cut from classified blocks.
  bool renders_plain_rows() const { return classified_ && delimiter_ < 0x80 && quote_ < 0x80; }

  // The fast lane of file salvage, parsing and rendering in one pass. When the
  // next record is plain (its quoted fields close right before a delimiter or a
  // line break and hold no quote or LF, nor CR while unclosed-quote recovery is
  // on, its unquoted fields hold no quote, its text is valid UTF-8), has
  // `columns` fields (any number when 0; fewer too when `fill_ragged_rows`,
  // padded with empty fields), and its clean line fits in `room` bytes: writes
  // that line at `out` exactly as the clean-row renderer would with the same
  // delimiter and quote, and consumes the record. Otherwise consumes nothing
  // and returns a row not rendered, and the caller goes the general way
  // (next_row). At the end of the input it returns one not rendered too.
  PlainRow render_plain_row(char *out, std::size_t room, std::uint64_t columns,
                            bool fill_ragged_rows) {
    return unclosed_quotes_ ? render_plain_row_as<true>(out, room, columns, fill_ragged_rows)
                            : render_plain_row_as<false>(out, room, columns, fill_ragged_rows);
  }

  // 1 plus the line breaks consumed so far (record ends and LFs inside quotes).
  std::uint64_t line() const { return line_; }
  std::size_t pos() const { return pos_; }

  // Reads the data as the rest of a longer input, cut right before a record
  // that starts on line `line`: lines count from there, and a byte-order mark
  // at the start is content. Call before the first record.
  void continue_input_at_line(std::uint64_t line) {
    pos_ = 0;
    line_ = line;
  }

  // How far the unclosed-quote recovery has read ahead of the records so far
  // (0 before it reads any line): a verdict that reached the end of the data
  // might differ if more data followed.
  std::size_t look_ahead_end() const {
    return unclosed_quotes_ ? unclosed_quotes_->looked_ahead_to() : 0;
  }

private:
  friend class UnclosedQuoteCheck; // looks ahead by the parser's own quote rules

  template <bool RECOVERING, bool COUNTING> std::size_t cut_classified(Record &record);
  template <bool RECOVERING>
  PlainRow render_plain_row_as(char *out, std::size_t room, std::uint64_t columns,
                               bool fill_ragged_rows);
  bool next_row_bytewise(Record &record);

  // The 64 bytes from `base` (a multiple of 64 below the input size), classified.
  ByteClasses classify_block(std::size_t base) const;

  // A quote closes its field when it is followed, after optional blanks, by
  // the delimiter, a line break or the end of the input; otherwise only when no
  // later quote on the same physical line is followed that way.
  bool closes_field(std::size_t quote_at) {
    const std::size_t next = after_blanks(quote_at + 1);
    if (next == size_ || data_[next] == delimiter_ || data_[next] == '\r' || data_[next] == '\n') {
      return true;
    }
    if (!(next >= segment_from_ && next < segment_end_)) {
      last_closing_candidate(next);
    }
    return !(segment_has_candidate_ && segment_candidate_ >= next);
  }
  std::size_t skip_blanks(std::size_t from);
  // Past the blanks at `from` (never the delimiter), or `from` itself.
  std::size_t after_blanks(std::size_t from) {
    if (from < size_ && (data_[from] == ' ' || data_[from] == '\t') && data_[from] != delimiter_) {
      return skip_blanks(from);
    }
    return from;
  }
  std::size_t last_closing_candidate(std::size_t from);

  const unsigned char *data_;
  std::size_t size_;
  std::size_t pos_;
  std::uint64_t line_ = 1;
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  bool repair_quotes_;
  // Clears the classified high bytes where none can be invalid UTF-8.
  std::uint64_t high_mask_;
  // The delimiter and the quote are distinct and neither is a line-break byte
  // nor (the quote) a blank: the rules then never compete for one byte, and
  // records are cut from classified blocks. Other settings go byte by byte.
  bool classified_;
  bool avx2_ = false; // classify with AVX2 (chosen at run time)

  // Present while unclosed-quote recovery is on.
  std::unique_ptr<UnclosedQuoteCheck> unclosed_quotes_;

  // The block last classified, kept from one call to the next.
  ByteClasses block_{};
  std::size_t block_base_ = ~std::size_t{0};

  // Look-ahead caches of the closing-quote test; they keep it linear in the
  // line length however many stray quotes the line holds.
  std::size_t blank_run_from_ = 0;
  std::size_t blank_run_end_ = 0;
  std::size_t segment_from_ = 0;
  std::size_t segment_end_ = 0; // first CR, LF or end of input at or after segment_from_
  std::size_t segment_candidate_ = 0;
  bool segment_has_candidate_ = false;
};

// Offset at which parsing starts: past a leading UTF-8 byte-order mark of
// bytes as read.
std::size_t start_offset(std::string_view data, ParserInput kind);

} // namespace tidewrack
