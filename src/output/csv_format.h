#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output/row_store.h"
#include "parser/plain_record.h"
#include "parser/record.h"
#include "parser/resilient_parser.h"
#include "repair/repair_event.h"

namespace tidewrack {

// One record the salvage set aside, with its fields exactly as parsed.
struct QuarantineRecord {
  std::uint64_t line = 0; // the line on which the record ends
  std::string reason;
  std::vector<std::string> fields;
};

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

  // The bytes render_to writes, handed to `write` in pieces as the row's
  // fields come, a batch at a time (a record held whole is one batch): a long
  // field a slice at a time, so that a long row is not held once more whole. Stops at the first
  // piece `write` refuses (false). A merge that begins in one batch is enclosed as that batch and
  // the separator say: a merge of two fields or more holds the separator,
  // which, being the delimiter, encloses it.
  class PieceRow {
  public:
    PieceRow(CleanRowRenderer &renderer, std::uint64_t width, const RowShape &shape,
             std::string_view merge_separator, const std::function<bool(std::string_view)> &write);
    // The next fields of the row.
    bool add(const Record &batch);
    // Padding and the line's end.
    bool finish();

  private:
    bool flush();
    bool room(std::size_t count);
    bool put_quote();
    bool put_delimiter();
    // The text, with each quote written twice when `doubled`.
    bool put_text(std::string_view text, bool doubled);

    CleanRowRenderer &renderer_;
    std::uint64_t width_;
    const RowShape &shape_;
    std::string_view merge_separator_;
    const std::function<bool(std::string_view)> &write_;
    char *base_;
    char *out_;
    std::uint64_t handed_ = 0; // bytes handed to `write`
    std::uint64_t index_ = 0;  // of the next field
    bool merge_enclosed_ = false;
  };
  // A whole record's row, as PieceRow writes it.
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
  std::unique_ptr<char[]> pieces_;  // scratch of PieceRow
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

// The same fast lane for a line longer than the room at hand, never held
// whole. skim_plain_row consumes the next record when plain as above and
// returns the size of its clean line, writing nothing; padding longer than the
// line leaves the record to the general way (which fails at once where no
// memory holds the line). write_plain_row, from the same place, consumes it
// again and writes that line, LF included, to `write` in pieces of at most
// `scratch`'s size, put together there. After a piece that `write`
// refuses (false) it writes nothing more, and the record is consumed all the same.
PlainRow skim_plain_row(ResilientParser &parser, std::uint64_t columns, bool fill_ragged_rows,
                        bool quote_lone_empty_field);
PlainRow write_plain_row(ResilientParser &parser, std::uint64_t columns, bool fill_ragged_rows,
                         bool quote_lone_empty_field, std::span<char> scratch,
                         const std::function<bool(std::string_view)> &write);

inline constexpr std::string_view QUARANTINE_HEADER = "line,reason,raw_content\n";
inline constexpr std::string_view REPAIR_LOG_HEADER = "line_start,line_end,action,detail\n";

// Appends `text` with each double quote written twice.
void append_doubled_quotes(std::string &line, std::string_view text);

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
