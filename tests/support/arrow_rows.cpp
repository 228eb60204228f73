#include "arrow_rows.h"

#include <cstring>
#include <stdexcept>

namespace test_support {

namespace {

std::string view_field(const ArrowArray &child, std::int64_t at) {
  if (child.n_buffers != 4) {
    throw std::logic_error("a view child has validity, views, one data buffer and its size");
  }
  const auto *view = static_cast<const char *>(child.buffers[1]) + 16 * at;
  std::int32_t length;
  std::memcpy(&length, view, 4);
  if (length < 0) {
    throw std::logic_error("a view of negative length");
  }
  if (length <= 12) {
    for (std::int32_t index = 4 + length; index < 16; ++index) {
      if (view[index] != 0) {
        throw std::logic_error("bytes after an inline text are not zero");
      }
    }
    return std::string(view + 4, static_cast<std::size_t>(length));
  }
  std::int32_t buffer;
  std::int32_t offset;
  std::memcpy(&buffer, view + 8, 4);
  std::memcpy(&offset, view + 12, 4);
  std::int64_t data_bytes;
  std::memcpy(&data_bytes, child.buffers[3], 8);
  if (buffer != 0 || offset < 0 || offset + std::int64_t{length} > data_bytes) {
    throw std::logic_error("a view's text lies outside its data buffer");
  }
  std::string text(static_cast<const char *>(child.buffers[2]) + offset,
                   static_cast<std::size_t>(length));
  if (std::memcmp(view + 4, text.data(), 4) != 0) {
    throw std::logic_error("a view's prefix is not its text's");
  }
  return text;
}

} // namespace

std::vector<std::string> batch_row(const ArrowArray &batch, std::int64_t row, bool views) {
  std::vector<std::string> fields;
  for (std::int64_t column = 0; column < batch.n_children; ++column) {
    const ArrowArray &child = *batch.children[column];
    const std::int64_t at = child.offset + row;
    if (views) {
      fields.push_back(view_field(child, at));
      continue;
    }
    if (child.n_buffers != 3) {
      throw std::logic_error("a utf8 child has validity, offsets and texts");
    }
    const auto *offsets = static_cast<const std::int32_t *>(child.buffers[1]);
    const auto *text = static_cast<const char *>(child.buffers[2]);
    fields.emplace_back(text + offsets[at],
                        static_cast<std::size_t>(offsets[at + 1] - offsets[at]));
  }
  return fields;
}

} // namespace test_support
