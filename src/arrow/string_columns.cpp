#include "arrow/string_columns.h"

#include <algorithm>
#include <new>

namespace tidewrack {

namespace {

// Makes `view` that of `text`, which the column's texts hold at `offset` when
// the view does not hold it itself. Written in place: a view built aside of
// byte stores and then copied stalls on reading them back.
void set_view(StringView &view, std::string_view text, std::size_t offset) {
  view = StringView{};
  view.length = static_cast<std::int32_t>(text.size());
  if (text.size() <= StringView::INLINE_BYTES) {
    copy_short(view.bytes.data(), text);
    return;
  }
  const auto at = static_cast<std::int32_t>(offset);
  std::memcpy(view.bytes.data(), text.data(), 4);
  std::memcpy(view.bytes.data() + 8, &at, sizeof at); // buffer 0: the column's texts
}

} // namespace

StringColumns::StringColumns(std::size_t width, StringLayout layout)
    : layout_(layout), columns_(width) {
  if (layout == StringLayout::Offsets) {
    for (Column &column : columns_) {
      column.offsets.push_back(0);
    }
  }
}

std::string_view StringColumns::field(std::size_t row, std::size_t column) const {
  const Column &held = columns_[column];
  if (layout_ == StringLayout::Views) {
    const StringView &cell = view(row, column);
    const auto length = static_cast<std::size_t>(cell.length);
    return length <= StringView::INLINE_BYTES
               ? std::string_view(cell.bytes.data(), length)
               : std::string_view(held.text.data() + cell.offset(), length);
  }
  const auto begin = static_cast<std::size_t>(held.offsets[row]);
  const auto end = static_cast<std::size_t>(held.offsets[row + 1]);
  return std::string_view(held.text.data() + begin, end - begin);
}

void ColumnText::reserve(std::size_t capacity) {
  if (capacity <= capacity_) {
    return;
  }
  void *grown = std::realloc(data_.get(), capacity); // left unfilled
  if (grown == nullptr) {
    throw std::bad_alloc();
  }
  (void)data_.release();
  data_.reset(static_cast<char *>(grown));
  capacity_ = capacity;
}

void ColumnText::append_undoubled(std::string_view piece, char quote) {
  if (piece.size() > capacity_ - size_) {
    reserve(std::max(capacity_ + capacity_ / 4, size_ + piece.size()));
  }
  char *out = data_.get() + size_;
  const char *from = piece.data();
  const char *const end = from + piece.size();
  while (const void *found = std::memchr(from, quote, static_cast<std::size_t>(end - from))) {
    const auto through = static_cast<std::size_t>(static_cast<const char *>(found) - from) + 1;
    std::memcpy(out, from, through);
    out += through;
    from += through + 1; // past the second quote of the pair
  }
  std::memcpy(out, from, static_cast<std::size_t>(end - from));
  out += end - from;
  size_ = static_cast<std::size_t>(out - data_.get());
}

void StringColumns::reserve(std::size_t rows, const std::vector<std::size_t> &text_bytes) {
  if (layout_ == StringLayout::Views) {
    reserve_views(rows_ + rows);
  }
  for (std::size_t column = 0; column < columns_.size(); ++column) {
    if (layout_ == StringLayout::Offsets) {
      columns_[column].offsets.reserve(rows_ + rows + 1);
    }
    columns_[column].text.reserve(
        std::min(columns_[column].text.size() + text_bytes[column], COLUMN_BYTES_LIMIT));
  }
}

void StringColumns::reserve_views(std::size_t rows) {
  if (rows <= view_rows_) {
    return;
  }
  const std::size_t width = std::max<std::size_t>(columns_.size(), 1);
  if (rows > SIZE_MAX / sizeof(StringView) / width) {
    throw std::bad_alloc();
  }
  void *memory = std::malloc(rows * width * sizeof(StringView)); // left unfilled
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  std::unique_ptr<StringView[], FreeMemory> grown(static_cast<StringView *>(memory));
  if (rows_ > 0) {
    for (std::size_t column = 0; column < columns_.size(); ++column) {
      std::memcpy(static_cast<void *>(grown.get() + column * rows), &view(0, column),
                  rows_ * sizeof(StringView));
    }
  }
  views_ = std::move(grown);
  view_rows_ = rows;
}

void StringColumns::grow_views() {
  // From a few pages' worth, however wide the rows.
  const std::size_t first = std::max<std::size_t>(1, (std::size_t{64} << 10) / sizeof(StringView) /
                                                         std::max<std::size_t>(columns_.size(), 1));
  reserve_views(view_rows_ > 0 ? view_rows_ * 2 : first);
}

template <StringLayout LAYOUT>
inline bool StringColumns::append(std::size_t column, std::string_view field) {
  Column &held = columns_[column];
  if (field.size() > COLUMN_BYTES_LIMIT - held.text.size()) {
    return false;
  }
  if constexpr (LAYOUT == StringLayout::Views) {
    set_view(view(rows_, column), field, held.text.size());
    if (field.size() > StringView::INLINE_BYTES) {
      held.text.append(field);
    }
  } else {
    held.text.append(field);
    held.offsets.push_back(static_cast<std::int32_t>(held.text.size()));
  }
  return true;
}

bool StringColumns::append_undoubled(std::size_t column, std::string_view field, char quote) {
  ColumnText &text = columns_[column].text;
  if (field.size() > COLUMN_BYTES_LIMIT - text.size()) {
    return false; // checked as written: undoubled, it is no longer
  }
  const std::size_t before = text.size();
  text.append_undoubled(field, quote);
  end_built_field(column, before);
  return true;
}

void StringColumns::end_built_field(std::size_t column, std::size_t before) {
  Column &held = columns_[column];
  if (layout_ == StringLayout::Views) {
    const std::string_view text(held.text.data() + before, held.text.size() - before);
    set_view(view(rows_, column), text, before);
    if (text.size() <= StringView::INLINE_BYTES) {
      held.text.shrink(before);
    }
  } else {
    held.offsets.push_back(static_cast<std::int32_t>(held.text.size()));
  }
}

bool StringColumns::append(std::size_t column, std::string_view field) {
  return layout_ == StringLayout::Views ? append<StringLayout::Views>(column, field)
                                        : append<StringLayout::Offsets>(column, field);
}

bool StringColumns::append(std::size_t column, std::string_view field, const SharedText *shared) {
  if (shared == nullptr || !shared->takes(field)) {
    return append(column, field);
  }
  if (field.size() > COLUMN_BYTES_LIMIT) {
    return false;
  }
  // The row is the first (add() saw to it): the column's texts are empty.
  Column &held = columns_[column];
  held.text.share(field, shared->owner);
  if (layout_ == StringLayout::Views) {
    set_view(view(rows_, column), field, 0);
  } else {
    held.offsets.push_back(static_cast<std::int32_t>(field.size()));
  }
  shares_ = true;
  return true;
}

void StringColumns::pad(std::size_t column) {
  if (layout_ == StringLayout::Views) {
    view(rows_, column) = StringView{};
  } else {
    columns_[column].offsets.push_back(columns_[column].offsets.back());
  }
}

void StringColumns::drop_last(std::size_t columns) {
  shares_ = false; // only the row dropped can have shared a field
  for (std::size_t index = 0; index < columns; ++index) {
    Column &column = columns_[index];
    if (layout_ == StringLayout::Views) {
      // The row's views lie past the rows; only its long texts are to take back.
      const StringView &dropped = view(rows_, index);
      if (static_cast<std::size_t>(dropped.length) > StringView::INLINE_BYTES) {
        column.text.shrink(static_cast<std::size_t>(dropped.offset()));
      }
    } else {
      column.offsets.pop_back();
      column.text.shrink(static_cast<std::size_t>(column.offsets.back()));
    }
  }
}

bool StringColumns::add(const Record &record, const RowShape &shape,
                        std::string_view merge_separator, const SharedText *shared) {
  bool takes = false;
  if (shared != nullptr && record.end - record.begin >= SharedText::MIN_FIELD) {
    for (std::size_t column = 0; column < shape.kept && !takes; ++column) {
      takes = shared->takes(record.field(column));
    }
  }
  if (shares_ || (takes && rows_ > 0)) {
    return false; // a row that shares a field has the columns to itself
  }
  shared = takes ? shared : nullptr;
  if (layout_ == StringLayout::Views && rows_ == view_rows_) {
    grow_views();
  }
  std::size_t column = 0;
  for (; column < shape.kept; ++column) {
    if (!append(column, record.field(column), shared)) {
      drop_last(column);
      return false;
    }
  }
  if (shape.merge_rest) {
    // The merged text is built in place, at the end of the column's texts.
    ColumnText &merged = columns_[column].text;
    const std::size_t before = merged.size();
    for (std::size_t index = column; index < record.size(); ++index) {
      if (index > column) {
        merged.append(merge_separator);
      }
      merged.append(record.field(index));
    }
    if (merged.size() > COLUMN_BYTES_LIMIT) {
      merged.shrink(before);
      drop_last(column);
      return false;
    }
    end_built_field(column, before);
    ++column;
  }
  for (; column < columns_.size(); ++column) {
    pad(column);
  }
  ++rows_;
  return true;
}

bool StringColumns::add(const char *text, std::span<const PlainField> fields, char quote,
                        const SharedText *shared) {
  bool takes = false;
  if (shared != nullptr && !fields.empty() &&
      fields.back().begin + fields.back().size - fields.front().begin >= SharedText::MIN_FIELD) {
    for (std::size_t column = 0; column < fields.size() && !takes; ++column) {
      const PlainField &field = fields[column];
      takes =
          !field.doubled_quotes && shared->takes(std::string_view(text + field.begin, field.size));
    }
  }
  if (shares_ || (takes && rows_ > 0)) {
    return false; // a row that shares a field has the columns to itself
  }
  shared = takes ? shared : nullptr;
  if (layout_ == StringLayout::Views && rows_ == view_rows_) {
    grow_views();
  }
  // The layout is chosen once a row, each field's append inlined: most rows come this way.
  const bool added = layout_ == StringLayout::Views
                         ? append_fields<StringLayout::Views>(text, fields, quote, shared)
                         : append_fields<StringLayout::Offsets>(text, fields, quote, shared);
  if (!added) {
    return false;
  }
  for (std::size_t column = fields.size(); column < columns_.size(); ++column) {
    pad(column);
  }
  ++rows_;
  return true;
}

template <StringLayout LAYOUT>
bool StringColumns::append_fields(const char *text, std::span<const PlainField> fields, char quote,
                                  const SharedText *shared) {
  for (std::size_t column = 0; column < fields.size(); ++column) {
    const PlainField &field = fields[column];
    const std::string_view piece(text + field.begin, field.size);
    if (!(field.doubled_quotes ? append_undoubled(column, piece, quote)
          : shared != nullptr  ? append(column, piece, shared)
                               : append<LAYOUT>(column, piece))) {
      drop_last(column);
      return false;
    }
  }
  return true;
}

namespace {

// What one exported string child owns: a share of the columns, so that it
// stays valid when the consumer moves it out of its parent. A view array adds
// the sizes of its data buffers (the one of texts) as a last buffer.
struct ChildHolder {
  std::shared_ptr<const StringColumns> columns;
  std::array<const void *, 4> buffers;
  std::int64_t text_bytes;
};

struct ParentHolder {
  std::vector<ArrowArray> children;
  std::vector<ArrowArray *> child_pointers;
  std::array<const void *, 1> buffers{nullptr};
};

void release_child(ArrowArray *array) {
  delete static_cast<ChildHolder *>(array->private_data);
  array->release = nullptr;
}

void release_parent(ArrowArray *array) {
  auto *holder = static_cast<ParentHolder *>(array->private_data);
  for (ArrowArray &child : holder->children) {
    if (child.release != nullptr) {
      child.release(&child);
    }
  }
  delete holder;
  array->release = nullptr;
}

struct SchemaHolder {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema *> child_pointers;
};

void release_field(ArrowSchema *schema) {
  delete static_cast<std::string *>(schema->private_data);
  schema->release = nullptr;
}

void release_struct(ArrowSchema *schema) {
  auto *holder = static_cast<SchemaHolder *>(schema->private_data);
  for (ArrowSchema &child : holder->children) {
    if (child.release != nullptr) {
      child.release(&child);
    }
  }
  delete holder;
  schema->release = nullptr;
}

} // namespace

void export_rows(const std::shared_ptr<const StringColumns> &columns, std::size_t from,
                 std::size_t count, ArrowArray *out) {
  auto holder = std::make_unique<ParentHolder>();
  const std::size_t width = columns->width();
  holder->children.resize(width);
  holder->child_pointers.resize(width);
  for (std::size_t column = 0; column < width; ++column) {
    const std::array<const void *, 3> buffers = columns->buffers(column);
    auto child = std::make_unique<ChildHolder>(
        ChildHolder{columns,
                    {buffers[0], buffers[1], buffers[2], nullptr},
                    static_cast<std::int64_t>(columns->text_bytes(column))});
    child->buffers[3] = &child->text_bytes;
    ArrowArray &array = holder->children[column];
    array = ArrowArray{static_cast<int64_t>(count),
                       0,
                       static_cast<int64_t>(from),
                       columns->layout() == StringLayout::Views ? 4 : 3,
                       0,
                       child->buffers.data(),
                       nullptr,
                       nullptr,
                       release_child,
                       child.get()};
    child.release();
    holder->child_pointers[column] = &array;
  }
  *out = ArrowArray{static_cast<int64_t>(count),
                    0,
                    0,
                    1,
                    static_cast<int64_t>(width),
                    holder->buffers.data(),
                    holder->child_pointers.data(),
                    nullptr,
                    release_parent,
                    holder.get()};
  holder.release();
}

void export_schema(const std::vector<std::string> &names, StringLayout layout, ArrowSchema *out) {
  const char *format = layout == StringLayout::Views ? "vu" : "u";
  auto holder = std::make_unique<SchemaHolder>();
  holder->children.resize(names.size());
  holder->child_pointers.resize(names.size());
  for (std::size_t column = 0; column < names.size(); ++column) {
    auto name = std::make_unique<std::string>(names[column]);
    holder->children[column] =
        ArrowSchema{format,  name->c_str(), nullptr,       ARROW_FLAG_NULLABLE, 0,
                    nullptr, nullptr,       release_field, name.get()};
    name.release();
    holder->child_pointers[column] = &holder->children[column];
  }
  *out = ArrowSchema{"+s",
                     "",
                     nullptr,
                     0,
                     static_cast<int64_t>(names.size()),
                     holder->child_pointers.data(),
                     nullptr,
                     release_struct,
                     holder.get()};
  holder.release();
}

} // namespace tidewrack
