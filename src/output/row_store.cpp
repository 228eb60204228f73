#include "output/row_store.h"

namespace tidewrack {

void RowStore::reserve_for_input(std::size_t input_size) {
  // Pages that stay untouched cost no memory, so a generous reservation is cheap
  // and spares the copies of repeated growth.
  arena_.reserve(input_size + input_size / 4 + 64);
}

void RowStore::append_varint(std::uint64_t value) {
  while (value >= 0x80) {
    arena_.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  arena_.push_back(static_cast<char>(value));
}

void RowStore::append(const Record &record, const RowShape &shape,
                      std::string_view merge_separator) {
  row_offsets_.push_back(arena_.size());
  append_varint(shape.kept + (shape.merge_rest ? 1 : 0));
  append_varint(shape.padding);
  for (std::size_t i = 0; i < shape.kept; ++i) {
    std::string_view field = record.field(i);
    append_varint(field.size());
    arena_.append(field);
  }
  if (shape.merge_rest) {
    std::size_t joined = (record.size() - shape.kept - 1) * merge_separator.size();
    for (std::size_t i = shape.kept; i < record.size(); ++i) {
      joined += record.field(i).size();
    }
    append_varint(joined);
    for (std::size_t i = shape.kept; i < record.size(); ++i) {
      if (i > shape.kept) {
        arena_.append(merge_separator);
      }
      arena_.append(record.field(i));
    }
  }
}

RowView RowStore::row(std::size_t index) const {
  const char *at = arena_.data() + row_offsets_[index];
  std::uint64_t stored = RowView::read_varint(at);
  std::uint64_t padding = RowView::read_varint(at);
  return RowView(at, stored, padding);
}

} // namespace tidewrack
