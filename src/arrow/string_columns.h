#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_abi.h"
#include "output/csv_format.h"
#include "output/row_store.h"
#include "parser/record.h"

namespace tidewrack {

// Copies a text of fewer than 16 bytes as two fixed-size copies that overlap,
// not as a call or a loop for a few bytes.
inline void copy_short(char *out, std::string_view text) {
  const std::size_t size = text.size();
  const char *from = text.data();
  if (size >= 8) {
    std::memcpy(out, from, 8);
    std::memcpy(out + size - 8, from + size - 8, 8);
  } else if (size >= 4) {
    std::memcpy(out, from, 4);
    std::memcpy(out + size - 4, from + size - 4, 4);
  } else if (size > 0) {
    out[0] = from[0];
    out[size / 2] = from[size / 2];
    out[size - 1] = from[size - 1];
  }
}

// Text that lies in memory `owner` keeps, the text of the input held as it
// is read: a column takes a long field of it without a copy, keeping the
// memory instead.
struct SharedText {
  // Shortest field taken so: a shorter one is copied, as a row of it would
  // otherwise keep memory much bigger than itself, and start a batch of its own.
  static constexpr std::size_t MIN_FIELD = std::size_t{16} << 20;

  std::string_view text;
  std::shared_ptr<const void> owner;

  // True when `field` is long enough and lies in the text.
  bool takes(std::string_view field) const {
    const auto begin = reinterpret_cast<std::uintptr_t>(text.data());
    const auto at = reinterpret_cast<std::uintptr_t>(field.data());
    return field.size() >= MIN_FIELD && field.size() <= text.size() && at >= begin &&
           at - begin <= text.size() - field.size();
  }
};

// The texts of a column back to back, in memory grown by hand and never
// zero-filled: most fields are a few bytes, and copied in a loop of their own.
// It grows by a quarter at least, in place where the allocator can (large
// blocks are remapped, not copied): a long field is not held twice meanwhile.
// Or one field of shared text, taken as it is, to which nothing is appended.
class ColumnText {
public:
  std::size_t size() const { return size_; }
  const char *data() const { return shared_ != nullptr ? shared_ : data_ ? data_.get() : ""; }
  // Takes `field`, which `owner` keeps, as the whole text, which is empty.
  void share(std::string_view field, std::shared_ptr<const void> owner) {
    shared_ = field.data();
    size_ = field.size();
    owner_ = std::move(owner);
  }
  void reserve(std::size_t capacity);
  void append(std::string_view piece) {
    if (piece.size() > capacity_ - size_) {
      reserve(std::max(capacity_ + capacity_ / 4, size_ + piece.size()));
    }
    char *out = data_.get() + size_;
    if (piece.size() < 16) {
      copy_short(out, piece);
    } else {
      std::memcpy(out, piece.data(), piece.size());
    }
    size_ += piece.size();
  }
  void shrink(std::size_t size) {
    size_ = size;
    if (size == 0) {
      shared_ = nullptr;
      owner_.reset();
    }
  }
  // Appends `piece`, made of text and pairs of `quote`, with one quote a pair.
  void append_undoubled(std::string_view piece, char quote);

private:
  struct Free {
    void operator()(char *bytes) const { std::free(bytes); }
  };
  std::unique_ptr<char, Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  const char *shared_ = nullptr; // the field shared, when one is
  std::shared_ptr<const void> owner_;
};

// The two Arrow layouts of a string column. Offsets (utf8): int32 offsets
// into the texts back to back. Views (utf8_view): a 16-byte view per field,
// which holds a text of up to 12 bytes itself, else its length, first bytes
// and place in the texts; the layout Polars keeps its strings in, so it takes
// them without a copy.
enum class StringLayout { Offsets, Views };

// One field in the view layout, as the Arrow format lays it out: the length,
// then the text itself, zero-padded, or its first 4 bytes, the data buffer's
// index and the offset in that buffer.
struct StringView {
  static constexpr std::size_t INLINE_BYTES = 12;
  std::int32_t length = 0;
  std::array<char, INLINE_BYTES> bytes{};

  std::int32_t offset() const {
    std::int32_t offset;
    std::memcpy(&offset, bytes.data() + 8, sizeof offset);
    return offset;
  }
};
static_assert(sizeof(StringView) == 16);

// Clean rows of a fixed width gathered column by column, each column laid out
// as an Arrow string array of `layout`; in the view layout only the texts
// longer than a view holds go to the column's texts. A row that takes a field
// of shared text as it is (SharedText) has the columns to itself: the
// field's column's texts are that field.
class StringColumns {
public:
  // Most bytes a column's texts may take: its offsets are int32.
  static constexpr std::size_t COLUMN_BYTES_LIMIT = INT32_MAX;

  StringColumns(std::size_t width, StringLayout layout);

  StringLayout layout() const { return layout_; }
  std::size_t width() const { return columns_.size(); }
  std::size_t rows() const { return rows_; }
  std::string_view field(std::size_t row, std::size_t column) const;
  // The Arrow buffers of a column: validity (none), offsets or views, texts.
  std::array<const void *, 3> buffers(std::size_t column) const {
    const Column &held = columns_[column];
    const void *cells = layout_ == StringLayout::Offsets
                            ? static_cast<const void *>(held.offsets.data())
                            : static_cast<const void *>(views_.get() + column * view_rows_);
    return {nullptr, cells, held.text.data()};
  }

  // Room for `rows` more rows whose column texts take `text_bytes` bytes
  // (one count per column).
  void reserve(std::size_t rows, const std::vector<std::size_t> &text_bytes);
  std::size_t text_bytes(std::size_t column) const { return columns_[column].text.size(); }

  // Adds the clean row `shape` makes of `record`, which must have as many
  // fields as the columns are wide, taking the fields `shared` (when given)
  // takes as they are. Returns false, adding nothing, when a column's texts
  // would pass COLUMN_BYTES_LIMIT, or when the row would share the columns
  // with another as it takes a field of shared text, or the one before did.
  bool add(const Record &record, const RowShape &shape, std::string_view merge_separator,
           const SharedText *shared);

  // Adds the row of `fields` (PlainField of csv_format.h) of `text`, padded
  // with empty fields to the width, their doubled `quote`s undoubled; false,
  // adding nothing, as add().
  bool add(const char *text, std::span<const PlainField> fields, char quote,
           const SharedText *shared);

private:
  struct Column {
    std::vector<std::int32_t> offsets; // of the offsets layout
    ColumnText text;
  };
  struct FreeMemory {
    void operator()(StringView *views) const { std::free(views); }
  };
  StringView &view(std::size_t row, std::size_t column) {
    return views_[column * view_rows_ + row];
  }
  const StringView &view(std::size_t row, std::size_t column) const {
    return views_[column * view_rows_ + row];
  }
  // Room for `rows` rows of views in every column.
  void reserve_views(std::size_t rows);
  void grow_views(); // for one more row at least
  template <StringLayout LAYOUT> bool append(std::size_t column, std::string_view field);
  bool append(std::size_t column, std::string_view field);
  // Appends `field`, taken as it is when `shared` takes it.
  bool append(std::size_t column, std::string_view field, const SharedText *shared);
  // Appends the fields of a row, false (taking back what it added) as append().
  template <StringLayout LAYOUT>
  bool append_fields(const char *text, std::span<const PlainField> fields, char quote,
                     const SharedText *shared);
  // Appends a field whose pairs of `quote` stand for one quote each.
  bool append_undoubled(std::size_t column, std::string_view field, char quote);
  // Ends the row's field of `column` whose text the column's texts hold from
  // `before` on: its offset, or its view (the text taken back when the view
  // holds it itself).
  void end_built_field(std::size_t column, std::size_t before);
  void pad(std::size_t column);
  void drop_last(std::size_t columns);

  StringLayout layout_;
  std::vector<Column> columns_;
  // The views layout keeps the views of every column in one block, room for
  // `view_rows_` rows in each, column after column: a row's views are written
  // before it is known to fit, and need no taking back when it does not.
  std::unique_ptr<StringView[], FreeMemory> views_;
  std::size_t view_rows_ = 0;
  std::size_t rows_ = 0;
  bool shares_ = false; // the row holds a field of shared text
};

// Exports rows [from, from + count) of `columns` as an Arrow struct array of
// string children of its layout with no nulls, sharing their memory until the consumer
// releases the array (or each child it moved out).
void export_rows(const std::shared_ptr<const StringColumns> &columns, std::size_t from,
                 std::size_t count, ArrowArray *out);

// Exports the schema of such arrays: a struct of nullable string fields of
// `layout` named `names`.
void export_schema(const std::vector<std::string> &names, StringLayout layout, ArrowSchema *out);

} // namespace tidewrack
