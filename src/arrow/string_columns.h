#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_abi.h"
#include "parser/record.h"
#include "salvage/row_store.h"

namespace tidewrack {

// Clean rows of a fixed width gathered column by column, each column laid out
// as an Arrow utf8 array: int32 offsets and the field texts back to back.
class StringColumns {
public:
  // Most bytes a column's texts may take: its offsets are int32.
  static constexpr std::size_t COLUMN_BYTES_LIMIT = INT32_MAX;

  explicit StringColumns(std::size_t width);

  std::size_t width() const { return columns_.size(); }
  std::size_t rows() const { return rows_; }
  std::string_view field(std::size_t row, std::size_t column) const;
  // The Arrow buffers of a column: validity (none), offsets, texts.
  std::array<const void *, 3> buffers(std::size_t column) const {
    const Column &held = columns_[column];
    return {nullptr, held.offsets.data(), held.text.data()};
  }

  // Room for `rows` more rows whose column texts take `text_bytes` bytes
  // (one count per column).
  void reserve(std::size_t rows, const std::vector<std::size_t> &text_bytes);
  std::size_t text_bytes(std::size_t column) const { return columns_[column].text.size(); }

  // Adds the clean row `shape` makes of `record`, which must have as many
  // fields as the columns are wide. Returns false, adding nothing, when a
  // column's texts would pass COLUMN_BYTES_LIMIT.
  bool add(const Record &record, const RowShape &shape, std::string_view merge_separator);

private:
  struct Column {
    std::vector<std::int32_t> offsets{0};
    std::string text;
  };
  bool append(Column &column, std::string_view field);
  void drop_last(std::size_t columns);

  std::vector<Column> columns_;
  std::size_t rows_ = 0;
};

// Exports rows [from, from + count) of `columns` as an Arrow struct array of
// utf8 children with no nulls, sharing their memory until the consumer
// releases the array (or each child it moved out).
void export_rows(const std::shared_ptr<const StringColumns> &columns, std::size_t from,
                 std::size_t count, ArrowArray *out);

// Exports the schema of such arrays: a struct of nullable utf8 fields named
// `names`.
void export_schema(const std::vector<std::string> &names, ArrowSchema *out);

} // namespace tidewrack
