#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/record.h"

namespace tidewrack {

// How a parsed record becomes a clean row: its first `kept` fields as they are,
// then (when `merge_rest`) the remaining fields joined into one, then `padding`
// empty fields.
struct RowShape {
  std::size_t kept = 0;
  bool merge_rest = false;
  std::uint64_t padding = 0;
};

// A read-only view of one stored row.
class RowView {
public:
  RowView(const char *fields, std::uint64_t stored, std::uint64_t padding)
      : fields_(fields), stored_(stored), padding_(padding) {}

  std::uint64_t size() const { return stored_ + padding_; }

  // Calls fn(std::string_view) for each field in order.
  template <class Fn> void for_each_field(Fn &&fn) const {
    const char *at = fields_;
    for (std::uint64_t i = 0; i < stored_; ++i) {
      std::uint64_t length = read_varint(at);
      fn(std::string_view(at, static_cast<std::size_t>(length)));
      at += length;
    }
    for (std::uint64_t i = 0; i < padding_; ++i) {
      fn(std::string_view());
    }
  }

  static std::uint64_t read_varint(const char *&at) {
    std::uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
      auto byte = static_cast<unsigned char>(*at++);
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if (byte < 0x80) {
        return value;
      }
    }
  }

private:
  const char *fields_;
  std::uint64_t stored_;
  std::uint64_t padding_;
};

// Clean rows stored compactly: every field text back to back in one arena,
// each behind its length, so that a row costs a few bytes beyond its text and
// padding costs nothing per empty field.
class RowStore {
public:
  // Reserves room for about the rows of an input of `input_size` bytes.
  void reserve_for_input(std::size_t input_size);
  void append(const Record &record, const RowShape &shape, std::string_view merge_separator);

  std::size_t size() const { return row_offsets_.size(); }
  RowView row(std::size_t index) const;

private:
  void append_varint(std::uint64_t value);

  std::string arena_;
  std::vector<std::size_t> row_offsets_;
};

} // namespace tidewrack
