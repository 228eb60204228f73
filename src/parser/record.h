#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tidewrack {

// One record as the parser yields it: its fields, decoded to UTF-8, stored back
// to back in one buffer. A Record is meant to be reused from call to call so
// that its storage is allocated once per pass, not once per field.
struct Record {
  std::string text;
  std::vector<std::size_t> ends; // end offset in `text` of each field
  // The line on which the record ends: the line counter before the record's
  // terminating line break was stepped over.
  std::uint64_t end_line = 0;

  std::size_t size() const { return ends.size(); }
  std::string_view field(std::size_t index) const {
    std::size_t begin = index == 0 ? 0 : ends[index - 1];
    return std::string_view(text).substr(begin, ends[index] - begin);
  }
  void clear() {
    text.clear();
    ends.clear();
  }
};

} // namespace tidewrack
