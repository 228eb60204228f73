#include "parser/plain_record.h"

namespace tidewrack {

namespace {

// Where cut_plain_record notes a record's fields.
class FieldsOut {
public:
  FieldsOut(PlainField *fields, std::size_t room, const ResilientParser &parser)
      : start_(fields), fields_(fields), limit_(fields + room), data_(parser.data()) {}
  bool any_room() const { return fields_ < limit_; }
  bool last_empty_field(const unsigned char *at) { return field(at, 0, false); }
  // A quoted field's doubled quotes are noted, for the consumer to undouble.
  bool field(const unsigned char *text, std::size_t length, bool, bool doubled_quotes = false) {
    if (fields_ == limit_) {
      return false;
    }
    *fields_++ = {static_cast<std::size_t>(text - data_), length, doubled_quotes};
    return true;
  }
  void separator() {}
  bool pad(std::uint64_t) { return true; }
  bool end_row() { return true; }
  std::size_t finish() { return static_cast<std::size_t>(fields_ - start_); }

private:
  PlainField *start_;
  PlainField *fields_;
  PlainField *limit_;
  const unsigned char *data_;
};

} // namespace

PlainRow cut_plain_record(ResilientParser &parser, PlainField *fields, std::size_t room,
                          std::uint64_t columns, bool fill_ragged_rows) {
  return parser.take_plain_record(FieldsOut(fields, room, parser), columns, fill_ragged_rows);
}

} // namespace tidewrack
