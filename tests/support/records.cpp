#include "records.h"

#include <stdexcept>

namespace test_support {

tidewrack::Record record_of(const std::vector<std::string> &fields) {
  tidewrack::Record record;
  for (const std::string &field : fields) {
    record.spans.push_back({record.text.size(), field.size() | tidewrack::Record::IN_TEXT});
    record.text += field;
  }
  return record;
}

std::vector<std::string> fields_of(const tidewrack::RowView &row) {
  std::vector<std::string> fields;
  row.for_each_field([&](std::string_view field) { fields.emplace_back(field); });
  return fields;
}

void append_row(tidewrack::CleanRowRenderer &renderer, std::string &line,
                const tidewrack::Record &record, const tidewrack::RowShape &shape,
                std::string_view merge_separator) {
  const std::size_t start = line.size();
  const std::size_t bound = renderer.size_bound(record, shape, merge_separator);
  if (bound > line.max_size() - start) { // a saturated bound must not wrap around
    throw std::length_error("clean row too long for a line");
  }
  line.resize(start + bound);
  char *end = renderer.render_to(line.data() + start, record, shape, merge_separator);
  line.resize(static_cast<std::size_t>(end - line.data()));
}

void append_row(tidewrack::CleanRowRenderer &renderer, std::string &line,
                const tidewrack::RowView &row) {
  const tidewrack::Record record = record_of(fields_of(row));
  append_row(renderer, line, record, tidewrack::RowShape{record.size(), false, 0}, "");
}

} // namespace test_support
