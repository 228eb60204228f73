#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tidewrack {

// The kind of value a cell holds, as far as its text tells.
enum class CellKind : std::uint8_t {
  empty,
  integer,       // 12, -3, 12,345
  decimal_point, // 1.95
  decimal_comma, // 1,95
  date,          // 2024-02-02, 30/01/2018, 1.2.24
  time,          // 00:30, 12:05:59.5
  date_time,     // a date, then T or a blank, then a time
  boolean,       // true, false, yes, no
  text,
};
inline constexpr std::size_t CELL_KINDS = 9;

// Traits of a non-empty cell's characters, one bit each.
enum CellTrait : std::uint16_t {
  HAS_DIGIT = 1,
  HAS_LETTER = 2,
  HAS_INNER_BLANK = 4,
  HAS_PUNCTUATION = 8, // but the delimiter
  HAS_NON_ASCII = 16,
  HAS_EDGE_BLANK = 32, // a blank first or last: often the piece of a field cut after ", "
  HAS_DELIMITER = 64,
  HAS_EDGE_DELIMITER = 128, // first or last: an empty field joined to its neighbour
  DIGIT_FIRST = 256,        // past blanks: an address, not a product
  DIGIT_LAST = 512,
};
inline constexpr std::size_t CELL_TRAITS = 10;

struct CellShape {
  CellKind kind = CellKind::empty;
  std::uint16_t traits = 0;
  std::size_t length = 0; // in bytes; a number's in digits
};

CellShape describe_cell(std::string_view cell, std::uint8_t delimiter);

// The shapes of the two pieces of a cut cell.
struct CutShapes {
  CellShape left;
  CellShape right;
};

// What describe_cell gives for the pieces of `cell` cut at each of `cuts`
// (increasing, each inside the cell), reading its bytes twice rather than
// twice per cut.
void describe_cuts(std::string_view cell, std::uint8_t delimiter, std::span<const std::size_t> cuts,
                   std::vector<CutShapes> &out);

// What the cells of each column look like in the rows of the expected width:
// how often each kind and trait occurs, and the range of lengths. Built once
// from a fixed head of the input and then only read (by every thread at once),
// so that the repairs it guides do not depend on how the input is cut.
class ColumnProfiles {
public:
  ColumnProfiles(std::size_t columns, std::uint8_t delimiter);

  // Counts one row of exactly columns() cells.
  template <class Cells> void add_row(const Cells &cell_at) {
    for (std::size_t column = 0; column < columns_.size(); ++column) {
      add_cell(column, cell_at(column));
    }
    ++rows_;
  }

  // Turns the counts into the scores fit() reads; call once, after the rows.
  void finish();

  std::size_t columns() const { return columns_.size(); }
  std::size_t rows() const { return rows_; }
  std::uint8_t delimiter() const { return delimiter_; }

  // How well `cell` fits `column`: a log-likelihood, 0 at best, lower the
  // worse it fits.
  double fit(std::size_t column, std::string_view cell) const {
    return fit(column, describe_cell(cell, delimiter_));
  }
  double fit(std::size_t column, const CellShape &shape) const;

private:
  struct Column {
    std::array<std::uint32_t, CELL_KINDS> kinds{};
    std::array<std::uint32_t, CELL_TRAITS> traits{};
    std::uint32_t filled = 0; // non-empty cells
    std::size_t shortest = SIZE_MAX;
    std::size_t longest = 0;
    // The scores: of each kind, and of each trait's absence and presence.
    std::array<double, CELL_KINDS> kind_scores{};
    // Of each set of the low and of the high half of the traits.
    std::array<double, std::size_t{1} << (CELL_TRAITS / 2)> low_traits{};
    std::array<double, std::size_t{1} << (CELL_TRAITS - CELL_TRAITS / 2)> high_traits{};
    double unseen_score = 0; // of an outcome never seen in the non-empty cells
  };
  void add_cell(std::size_t column, std::string_view cell);

  std::vector<Column> columns_;
  std::uint8_t delimiter_;
  std::size_t rows_ = 0;
};

} // namespace tidewrack
