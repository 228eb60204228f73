#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "base/byte_scan.h"
#include "parser/closing_quote.h"
#include "parser/parse_rules.h"
#include "parser/parser_input.h"
#include "parser/record.h"
#include "parser/unclosed_quote.h"

namespace tidewrack {

struct PlainRow;

// Cuts delimiter-separated text into records. It never fails and never rejects
// input: every byte sequence becomes records by fixed rules (quotes inside
// unquoted fields are text, text after a closing quote joins the field, an
// unterminated quoted field runs to the end, invalid UTF-8 becomes U+FFFD).
// With quote repair on, a quote inside a quoted field closes it only when no
// later quote on the same physical line is a better closing candidate.
class ResilientParser {
public:
  // Rules other than the classic ones are read byte by byte.
  ResilientParser(std::string_view data, std::uint8_t delimiter, std::uint8_t quote_char,
                  bool repair_quotes, ParserInput kind = ParserInput::Bytes, ParseRules rules = {});

  // Switches unclosed-quote recovery on for records of `columns` fields (see
  // UnclosedQuoteCheck): an opening quote whose field would run on past its
  // line is then read as a literal character when the lines it would swallow
  // look like records of their own, and parsing goes on right after it. Each
  // such quote is noted in the record. Without a width (0), or under settings
  // that are parsed byte by byte, nothing changes.
  void recover_unclosed_quotes(std::uint64_t columns, QuoteRecoveryLimits limits);

  // A line that starts with the comment prefix but reads, on its own line, as
  // a record of `columns` fields is a row of the table, not a comment: a data
  // row or a header may start with the prefix. 0 makes every such line a comment.
  void keep_comment_lines_of_width(std::uint64_t columns) { comment_row_width_ = columns; }

  // Fills `record` with the next record and returns true, or returns false at
  // the end of the input. `record.end_line` receives the line the record ends on.
  // The record's fields may point into the input. A comment or preamble line
  // comes as a record of its kind with no fields.
  bool next_row(Record &record);

  // Long records: once a record holds `fields` fields, or `text_bytes` bytes
  // of fields put together, next_row hands those fields to `take` (their UTF-8
  // checked), or drops them when there is no `take`, and cuts the rest alike:
  // the record comes with its last fields only, the others counted in
  // Record::fields_before, so that a record of millions of fields costs the
  // memory of a batch. Settings read byte by byte keep every field.
  void batch_long_records(std::size_t fields, std::size_t text_bytes,
                          std::function<void(const Record &)> take = {}) {
    batch_fields_ = fields;
    batch_text_ = text_bytes;
    take_batch_ = std::move(take);
  }

  // Consumes the next record exactly as next_row would, lines counted alike,
  // but builds only its first field, into `first_field`: the fields after it
  // are counted, not cut. Comment and preamble lines are passed over. Returns
  // the record's number of fields, or 0 at the end of the input. The first
  // field is built as far as telling whether it is blank needs: a field put
  // together from pieces (doubled quotes, text after a closing quote) ends at
  // its first ASCII byte that is no white space, so that a long one costs
  // nothing.
  std::size_t count_row(Record &first_field);

  // The fast lanes (parser/plain_record.h): when the parser cuts classified
  // blocks with an ASCII delimiter and quote and its next record is plain,
  // hands that record's fields to `out` as it cuts them and consumes it;
  // otherwise consumes nothing and returns a row not rendered.
  template <class Out>
  PlainRow take_plain_record(Out &&out, std::uint64_t columns, bool fill_ragged_rows);

  const unsigned char *data() const { return data_; }
  std::size_t size() const { return size_; }
  std::uint8_t delimiter() const { return delimiter_; }
  std::uint8_t quote() const { return quote_; }
  const ParseRules &rules() const { return rules_; }

  // Where the parser stands. Put back there (back_to), it reads the records
  // after it again exactly as it did: a long record is cut once to be judged
  // and once more to be written, a piece at a time.
  struct Mark {
    std::size_t pos;
    std::uint64_t line;
    ClassifiedBlock block;
  };
  Mark mark() const { return {pos_, line_, block_}; }
  void back_to(const Mark &mark) {
    pos_ = mark.pos;
    line_ = mark.line;
    block_ = mark.block;
    if (unclosed_quotes_) {
      unclosed_quotes_->forget_from(mark.pos);
    }
  }

  // 1 plus the line breaks consumed so far (record ends, and those inside
  // fields that count a line: LFs, and lone CRs by ParseRules::count_lone_cr).
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
  template <bool RECOVERING, class Out>
  PlainRow take_plain_record_as(Out &out, std::uint64_t columns, bool fill_ragged_rows);
  // The 64 bytes from `base` (a multiple of 64 below the input size), classified.
  ByteClasses classify_block(std::size_t base) const;
  // Consumes a record a fast lane cut, whose line break (or the end of the
  // input) it reached at `end`, keeping the block it classified last.
  void consume_plain_record(std::size_t end, const ClassifiedBlock &block) {
    if (end < size_) {
      ++line_;
      end += data_[end] == '\r' && end + 1 < size_ && data_[end + 1] == '\n' ? 2 : 1;
    }
    pos_ = end;
    block_ = block;
  }

  friend class UnclosedQuoteCheck; // looks ahead by the parser's own quote rules

  template <bool RECOVERING, bool COUNTING> std::size_t cut_classified(Record &record);
  // Hands on or drops the record's batch of fields, which ends at `end`; its
  // stretches' UTF-8 is checked from `checked_to`, which moves to `end`.
  void end_batch(Record &record, std::size_t &checked_to, std::size_t end, bool &unchecked);
  bool next_row_bytewise(Record &record);
  bool skip_line(Record &record, Record::Kind kind);
  bool cut_bytewise(Record &record);

  const unsigned char *data_;
  std::size_t size_;
  std::size_t pos_;
  std::uint64_t line_ = 1;
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  bool repair_quotes_;
  ParseRules rules_;
  std::uint64_t comment_row_width_ = 0;
  // Clears the classified high bytes where none can be invalid UTF-8.
  std::uint64_t high_mask_;
  // The delimiter and the quote are distinct and neither is a line-break byte
  // nor (the quote) a blank, and the rules are the classic ones, blanks after
  // delimiters aside: the rules then never compete for one byte, and records
  // are cut from classified blocks. Other settings go byte by byte.
  bool classified_;
  ClassifierTarget target_ = best_classifier_target();

  // Present while unclosed-quote recovery is on.
  std::unique_ptr<UnclosedQuoteCheck> unclosed_quotes_;

  // The block last classified, kept from one call to the next.
  ClassifiedBlock block_;

  // Long records, see batch_long_records.
  std::size_t batch_fields_ = SIZE_MAX;
  std::size_t batch_text_ = SIZE_MAX;
  std::function<void(const Record &)> take_batch_;

  ClosingQuoteLookahead closing_;
};

// Offset at which parsing starts: past a leading UTF-8 byte-order mark of
// bytes as read.
std::size_t start_offset(std::string_view data, ParserInput kind);

} // namespace tidewrack
