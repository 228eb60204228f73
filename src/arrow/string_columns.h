#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_abi.h"
#include "parser/record.h"
#include "salvage/csv_format.h"
#include "salvage/row_store.h"

namespace tidewrack {

// The texts of a column back to back, in memory grown by hand and never
// zero-filled: most fields are a few bytes, and copied in a loop of their own.
class ColumnText {
public:
  std::size_t size() const { return size_; }
  const char *data() const { return data_ ? data_.get() : ""; }
  void reserve(std::size_t capacity);
  void append(std::string_view piece) {
    if (piece.size() > capacity_ - size_) {
      reserve(std::max(capacity_ * 2, size_ + piece.size()));
    }
    char *out = data_.get() + size_;
    if (piece.size() < 16) {
      for (char byte : piece) {
        *out++ = byte;
      }
    } else {
      std::memcpy(out, piece.data(), piece.size());
    }
    size_ += piece.size();
  }
  void shrink(std::size_t size) { size_ = size; }

private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

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

  // Adds the row of `fields` (PlainField of csv_format.h) of `text`, padded
  // with empty fields to the width; false, adding nothing, as add().
  bool add(const char *text, std::span<const PlainField> fields);

private:
  struct Column {
    std::vector<std::int32_t> offsets{0};
    ColumnText text;
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
