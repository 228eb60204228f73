#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "parser/record.h"
#include "parser/resilient_parser.h"
#include "salvage/outcome.h"
#include "salvage/repair_event.h"
#include "salvage/row_store.h"

namespace tidewrack {

// Renders clean rows: fields separated by the delimiter, enclosed in the quote
// character when they hold it, the delimiter, LF or CR, with quotes doubled.
// A record whose parser used the same delimiter and quote (`parser_quote`)
// carries marks that spare the renderer from looking for those bytes again.
// A row of one empty field is an empty line, or two quotes with
// `quote_lone_empty_field` (SalvageOptions).
class CleanRowRenderer {
public:
  CleanRowRenderer(std::uint8_t delimiter, std::uint8_t quote_char, std::uint8_t parser_quote,
                   bool quote_lone_empty_field = false);
  CleanRowRenderer(std::uint8_t delimiter, std::uint8_t quote_char)
      : CleanRowRenderer(delimiter, quote_char, quote_char) {}

  // At least the number of bytes that the row's line takes.
  std::size_t size_bound(const Record &record, const RowShape &shape,
                         std::string_view merge_separator) const;
  // Writes the row's line, LF included, at `out`, which has room for
  // size_bound() bytes; returns the end of what was written.
  char *render_to(char *out, const Record &record, const RowShape &shape,
                  std::string_view merge_separator);
  bool quotes_lone_empty_field() const { return quote_lone_empty_field_; }
  // Whether render_in_pieces can render: the delimiter and the quote are ASCII.
  bool renders_in_pieces() const { return single_bytes_; }
  // The bytes render_to writes, handed to `write` in pieces, a long field
  // straight from the record or a slice at a time: a long row is not held
  // once more whole. Stops at the first piece `write` refuses (false).
  bool render_in_pieces(const Record &record, const RowShape &shape,
                        std::string_view merge_separator,
                        const std::function<bool(std::string_view)> &write);

private:
  bool needs_quotes(std::string_view field) const;
  char *put_field(char *out, std::string_view field) const;
  char *put_enclosed(char *out, std::string_view field) const;
  // The field's bytes with each quote written twice.
  char *put_doubled(char *out, std::string_view field) const;
  char *put_delimiter(char *out) const;
  // The fields from shape.kept on, joined by the separator, into merged_.
  void merge_rest(const Record &record, const RowShape &shape, std::string_view merge_separator);

  std::string delimiter_;
  std::string quote_;
  bool single_bytes_; // delimiter and quote are ASCII
  bool marks_apply_;  // the parser marked the bytes written here
  bool quote_lone_empty_field_;
  std::array<bool, 256> special_{}; // bytes that force quoting, when single_bytes_
  std::string merged_;              // scratch for a merged field
  std::unique_ptr<char[]> pieces_;  // scratch of render_in_pieces
};

// What render_plain_row did; small enough to come back in registers.
struct PlainRow {
  std::size_t size = 0;      // bytes written, LF included; none when 0
  std::uint64_t padding = 0; // empty fields added up to the column count
  bool lacked_room = false;  // not rendered only for want of room so far
  bool rendered() const { return size != 0; }
};

// The fast lane of file salvage, parsing and rendering in one pass. When the
// parser cuts classified blocks with an ASCII delimiter and quote, and its next
// record is plain (its quoted fields close right before a delimiter or a line
// break and hold no quote but doubled ones, no LF, nor CR while unclosed-quote
// recovery is on, its unquoted fields hold no quote, its text is valid UTF-8), has `columns`
// fields (any number when 0; fewer too when `fill_ragged_rows`, padded with
// empty fields), and its clean line fits in `room` bytes: writes that line at
// `out` exactly as CleanRowRenderer would with the parser's delimiter and quote
// (and `quote_lone_empty_field`), and consumes the record. Otherwise consumes nothing and returns a
// row not rendered (`lacked_room` when the room ran out before anything else made the record not
// plain; more room may render it), and the caller goes the general way (next_row). At the end of
// the input it returns one not rendered too.
PlainRow render_plain_row(ResilientParser &parser, char *out, std::size_t room,
                          std::uint64_t columns, bool fill_ragged_rows,
                          bool quote_lone_empty_field);

// Whether the parser's next record is plain (as render_plain_row takes it),
// with its field count and the bytes of its fields; consumes nothing.
struct PlainCount {
  bool plain = false;
  std::uint64_t fields = 0;
  std::size_t bytes = 0;
};
PlainCount count_plain_row(ResilientParser &parser, std::uint64_t columns, bool fill_ragged_rows);

// A field of a plain record: `size` bytes from `begin` of the parser's input,
// each pair of quotes among them standing for one when `doubled_quotes`.
struct PlainField {
  std::size_t begin;
  std::size_t size;
  bool doubled_quotes;
};

// The same fast lane for a consumer of fields: notes the fields of the next
// record, when plain as above, at `fields` (room for `room` of them) instead
// of rendering its line, and consumes it; the row's size is then the count of
// fields noted (the padding not among them). A record of more fields than
// `room` is left to next_row as lacking room.
PlainRow cut_plain_record(ResilientParser &parser, PlainField *fields, std::size_t room,
                          std::uint64_t columns, bool fill_ragged_rows);

inline constexpr std::string_view QUARANTINE_HEADER = "line,reason,raw_content\n";
inline constexpr std::string_view REPAIR_LOG_HEADER = "line_start,line_end,action,detail\n";

// Appends one quarantine line: line number, quoted reason, quoted raw content
// (the fields joined by the delimiter text), LF.
void render_quarantine_line(std::string &line, const QuarantineRecord &record,
                            std::string_view delimiter_text);
// The same without the line number and its comma: the quoted reason and raw
// content, LF.
void render_quarantine_columns(std::string &line, const QuarantineRecord &record,
                               std::string_view delimiter_text);

// One repair-log line: first and last line of the record, the action, the
// detail (enclosed in double quotes, doubled inside, when it holds a comma, a
// double quote, CR or LF), LF. Written at `out`, which has room for
// repair_line_bound() bytes, returning the end of what was written; or
// appended to `line`.
std::size_t repair_line_bound(const RepairEvent &event);
char *render_repair_line(char *out, const RepairEvent &event);
void render_repair_line(std::string &line, const RepairEvent &event);

} // namespace tidewrack
