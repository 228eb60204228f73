#pragma once

#include <cstddef>
#include <map>
#include <vector>

namespace tidewrack {

// Occurrences per field count, visited in ascending field count so that ties
// resolve the same way on every call.
using FieldCountTally = std::map<std::size_t, int>;

inline FieldCountTally tally(const std::vector<std::size_t> &field_counts) {
  FieldCountTally counts;
  for (std::size_t count : field_counts) {
    ++counts[count];
  }
  return counts;
}

} // namespace tidewrack
