#include "encoding/change_log.h"

namespace tidewrack {

void ChangeLog::add(std::uint64_t offset, std::size_t output_length, ChangeKind kind,
                    std::uint64_t input_bytes) {
  if (first_ < changes_.size() && changes_.back().kind == kind && last_end_ == offset) {
    changes_.back().input_bytes += input_bytes;
  } else {
    changes_.push_back({offset, input_bytes, kind});
  }
  last_end_ = offset + output_length;
}

ChangeCounts ChangeCursor::take(std::uint64_t start, std::uint64_t end) {
  ChangeCounts counts;
  while (first_ < changes_.size() && changes_[first_].offset < end) {
    const Change &change = changes_[first_++];
    if (change.offset >= start) {
      (change.kind == ChangeKind::Decoded ? counts.decoded : counts.replaced) += change.input_bytes;
    }
  }
  return counts;
}

ChangeCounts ChangeLog::take(std::uint64_t start, std::uint64_t end) {
  ChangeCursor cursor(pending());
  const ChangeCounts counts = cursor.take(start, end);
  first_ += cursor.passed();
  // Give back the taken front once it is most of the storage.
  if (first_ == changes_.size()) {
    changes_.clear();
    first_ = 0;
  } else if (first_ >= 1024 && first_ * 2 >= changes_.size()) {
    changes_.erase(changes_.begin(), changes_.begin() + static_cast<std::ptrdiff_t>(first_));
    first_ = 0;
  }
  return counts;
}

} // namespace tidewrack
