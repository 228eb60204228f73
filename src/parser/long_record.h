#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "parser/record.h"
#include "parser/resilient_parser.h"

namespace tidewrack {

// Records of this many fields or more, or of this many bytes of fields put
// together, are long: a salvage whose sinks take them (as LongRecord) never
// holds them whole.
inline constexpr std::size_t LONG_RECORD_FIELDS = std::size_t{1} << 16;
inline constexpr std::size_t LONG_RECORD_TEXT = std::size_t{4} << 20;

// A long record as a salvage hands it on: the record as cut first, its
// lines, bytes, counts and last fields (ResilientParser::batch_long_records),
// and its fields read again, a batch at a time.
class LongRecord {
public:
  LongRecord(ResilientParser &parser, const ResilientParser::Mark &start, const Record &record,
             Record &batch)
      : parser_(parser), start_(start), record_(record), batch_(batch) {}

  const Record &record() const { return record_; }
  std::uint64_t width() const { return record_.width(); }

  // Reads the record again from its start, handing its fields to `take` a
  // batch at a time, in order, until `take` returns false; the parser then
  // stands past the record again. Returns whether every batch was taken.
  bool for_each_batch(const std::function<bool(const Record &)> &take) const {
    bool taking = true;
    parser_.back_to(start_);
    parser_.batch_long_records(LONG_RECORD_FIELDS, LONG_RECORD_TEXT,
                               [&](const Record &batch) { taking = taking && take(batch); });
    parser_.next_row(batch_);
    parser_.batch_long_records(LONG_RECORD_FIELDS, LONG_RECORD_TEXT);
    return taking && take(batch_);
  }

private:
  ResilientParser &parser_;
  ResilientParser::Mark start_;
  const Record &record_;
  Record &batch_;
};

} // namespace tidewrack
