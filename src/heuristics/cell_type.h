#pragma once

#include <string_view>

namespace tidewrack {

// What a cell looks like, for telling a dialect's cells from text cut at the
// wrong places, and a header from the rows below it.
enum class CellType {
  Empty,   // nothing but blanks
  Number,  // integer or decimal, signed, with `.` or `,` marks, `%` or a currency sign
  Date,    // dates and times: digit groups joined by - / . : with an optional T or space
  Boolean, // true/false/yes/no, or a missing-value marker (NA, null, ...)
  Word,    // letters, digits, blanks and the punctuation of ordinary text
  Other,   // anything else: likely text cut at the wrong delimiter
};

CellType cell_type(std::string_view cell);

// Empty, Number, Date and Boolean: values, not text.
inline bool is_typed(CellType type) {
  return type != CellType::Word && type != CellType::Other;
}

} // namespace tidewrack
