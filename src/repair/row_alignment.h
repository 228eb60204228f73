#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/record.h"
#include "repair/column_profile.h"

namespace tidewrack {

// One change an aligned repair made to a row; fields and columns count from 0.
struct AlignStep {
  enum Kind : std::uint8_t {
    join,          // fields [field, last_field] joined back with the delimiter
    drop,          // an empty surplus field left out
    insert,        // an empty cell put in
    split,         // a field cut into two columns, where a delimiter was lost
    literal_quote, // the row re-read with the quote opening `column` as text
  };
  Kind kind;
  std::size_t field = 0;
  std::size_t last_field = 0;
  std::size_t column = 0;
};

// A row of the profiles' width and the steps that made it.
struct AlignedRow {
  Record row; // every field in row.text
  std::vector<AlignStep> steps;
};

// Chooses how to bring a row of another width to the profiles' width: the
// steps that make its cells fit the columns best. A choice is taken only when
// it fits clearly better than the classic repair (surplus fields joined into
// the last column, missing ones added at the end) and than any other choice;
// otherwise the classic repair stands. The search is exact over the steps
// (a dynamic programme that keeps the two best choices) up to MAX_STEPS steps;
// rows further off get the classic repair, unless a re-read line fits.
class RowAligner {
public:
  static constexpr std::size_t MAX_STEPS = 4;

  RowAligner(const ColumnProfiles &profiles, std::string_view delimiter_text,
             std::uint8_t quote_char);
  ~RowAligner();

  // A row with more fields than columns: joins and drops.
  bool align_surplus(const Record &record, AlignedRow &out);
  // A row with fewer fields: empty cells inserted and fused fields split, or
  // `line` (the record's one line, when it may be read again: valid UTF-8,
  // no line break; else empty) re-read with one opening quote as text.
  bool align_missing(const Record &record, std::string_view line, AlignedRow &out);

  struct BestTwo; // a state of the search

private:
  void describe_fields(const Record &record);
  CellShape joined_shape(const Record &record, std::size_t first, std::size_t count);
  double fit_row(const Record &row) const;
  std::size_t re_read(std::string_view line, std::size_t literal, Record &row,
                      std::vector<std::size_t> *opening_quotes, std::size_t &literal_field) const;

  const ColumnProfiles &profiles_;
  std::string delimiter_text_;
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  std::uint16_t delimiter_traits_; // of the delimiter text, as a cell
  // Scratch, reused from row to row.
  // Where a field may be cut in two, and the pieces' shapes.
  struct Piece {
    std::size_t at;
    CellShape left;
    CellShape right;
  };

  std::vector<CellShape> shapes_; // of the row's fields
  std::vector<CellShape> joined_; // of runs of fields joined, by first field and size
  std::vector<Piece> pieces_;     // of every field, in order
  std::vector<CutShapes> cut_shapes_;
  std::vector<std::size_t> piece_starts_;
  std::vector<BestTwo> states_;
  std::vector<double> fits_;
  std::vector<std::size_t> cuts_;
  std::vector<std::size_t> quotes_;
  std::string joined_text_;
  Record candidate_;
};

// Appends the repair-log detail of one step (repair_event.h), 1-based.
void append_step_detail(std::string &detail, const AlignStep &step);

// The record's text when it lies on one line and may be read again as it
// stands (valid UTF-8), without its line break; else empty.
std::string_view single_line(const Record &record);

} // namespace tidewrack
