#include "arrow/string_columns.h"

#include <algorithm>

namespace tidewrack {

StringColumns::StringColumns(std::size_t width) : columns_(width) {}

std::string_view StringColumns::field(std::size_t row, std::size_t column) const {
  const Column &held = columns_[column];
  const auto begin = static_cast<std::size_t>(held.offsets[row]);
  const auto end = static_cast<std::size_t>(held.offsets[row + 1]);
  return std::string_view(held.text.data() + begin, end - begin);
}

void ColumnText::reserve(std::size_t capacity) {
  if (capacity <= capacity_) {
    return;
  }
  std::unique_ptr<char[]> grown(new char[capacity]); // left unfilled
  if (size_ > 0) {
    std::memcpy(grown.get(), data_.get(), size_);
  }
  data_ = std::move(grown);
  capacity_ = capacity;
}

void StringColumns::reserve(std::size_t rows, const std::vector<std::size_t> &text_bytes) {
  for (std::size_t column = 0; column < columns_.size(); ++column) {
    columns_[column].offsets.reserve(rows_ + rows + 1);
    columns_[column].text.reserve(
        std::min(columns_[column].text.size() + text_bytes[column], COLUMN_BYTES_LIMIT));
  }
}

bool StringColumns::append(Column &column, std::string_view field) {
  if (field.size() > COLUMN_BYTES_LIMIT - column.text.size()) {
    return false;
  }
  column.text.append(field);
  column.offsets.push_back(static_cast<std::int32_t>(column.text.size()));
  return true;
}

void StringColumns::drop_last(std::size_t columns) {
  for (std::size_t index = 0; index < columns; ++index) {
    Column &column = columns_[index];
    column.offsets.pop_back();
    column.text.shrink(static_cast<std::size_t>(column.offsets.back()));
  }
}

bool StringColumns::add(const Record &record, const RowShape &shape,
                        std::string_view merge_separator) {
  std::size_t column = 0;
  for (; column < shape.kept; ++column) {
    if (!append(columns_[column], record.field(column))) {
      drop_last(column);
      return false;
    }
  }
  if (shape.merge_rest) {
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
    columns_[column].offsets.push_back(static_cast<std::int32_t>(merged.size()));
    ++column;
  }
  for (; column < columns_.size(); ++column) {
    Column &padded = columns_[column];
    padded.offsets.push_back(padded.offsets.back());
  }
  ++rows_;
  return true;
}

bool StringColumns::add(const char *text, std::span<const PlainField> fields) {
  for (std::size_t column = 0; column < fields.size(); ++column) {
    if (!append(columns_[column],
                std::string_view(text + fields[column].begin, fields[column].size))) {
      drop_last(column);
      return false;
    }
  }
  for (std::size_t column = fields.size(); column < columns_.size(); ++column) {
    Column &padded = columns_[column];
    padded.offsets.push_back(padded.offsets.back());
  }
  ++rows_;
  return true;
}

namespace {

// What one exported utf8 child owns: a share of the columns, so that it stays
// valid when the consumer moves it out of its parent.
struct ChildHolder {
  std::shared_ptr<const StringColumns> columns;
  std::array<const void *, 3> buffers;
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
    auto child = std::make_unique<ChildHolder>(ChildHolder{columns, columns->buffers(column)});
    ArrowArray &array = holder->children[column];
    array = ArrowArray{static_cast<int64_t>(count),
                       0,
                       static_cast<int64_t>(from),
                       3,
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

void export_schema(const std::vector<std::string> &names, ArrowSchema *out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->children.resize(names.size());
  holder->child_pointers.resize(names.size());
  for (std::size_t column = 0; column < names.size(); ++column) {
    auto name = std::make_unique<std::string>(names[column]);
    holder->children[column] =
        ArrowSchema{"u",     name->c_str(), nullptr,       ARROW_FLAG_NULLABLE, 0,
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
