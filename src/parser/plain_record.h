#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_scan.h"
#include "base/utf8.h"
#include "parser/resilient_parser.h"

namespace tidewrack {

// What render_plain_row did; small enough to come back in registers.
struct PlainRow {
  std::size_t size = 0;      // bytes of the clean line, LF included; none when 0
  std::uint64_t padding = 0; // empty fields added up to the column count
  bool lacked_room = false;  // not rendered only for want of room so far
  bool rendered() const { return size != 0; }
};

// A field of a plain record: `size` bytes from `begin` of the parser's input,
// each pair of quotes among them standing for one when `doubled_quotes`.
struct PlainField {
  std::size_t begin;
  std::size_t size;
  bool doubled_quotes;
};

// The same fast lane for a consumer of fields: notes the fields of the next
// record, when plain as above, at `fields` (room for `room` of them) instead
// of rendering its line, and consumes it; the row's size is then the count of
// fields noted (the padding not among them). A record of more fields than
// `room` is left to next_row as lacking room.
PlainRow cut_plain_record(ResilientParser &parser, PlainField *fields, std::size_t room,
                          std::uint64_t columns, bool fill_ragged_rows);

// The fast lanes' record cutting, for ResilientParser::take_plain_record.
// A quoted field that holds a line break is left to next_row; while recovery
// may put its opening quote in doubt there, or where it counts a line, a CR
// counts as one too.
template <bool RECOVERING, class Out>
PlainRow ResilientParser::take_plain_record_as(Out &out, std::uint64_t columns,
                                               bool fill_ragged_rows) {
  ResilientParser &parser = *this;
  constexpr std::uint8_t CR = '\r';
  constexpr std::uint8_t LF = '\n';
  PlainRow row;
  const unsigned char *const data = parser.data();
  const std::size_t size = parser.size();
  const std::size_t start = parser.pos();
  if (start >= size || !out.any_room()) {
    return row;
  }
  const std::uint8_t delimiter_byte = parser.delimiter();
  const std::uint8_t quote_byte = parser.quote();
  const std::uint64_t cr_stops = RECOVERING || parser.rules().count_lone_cr ? ~std::uint64_t{0} : 0;
  ClassifiedBlock block = block_;
  auto classify = [&parser](std::size_t base) { return parser.classify_block(base); };
  std::size_t at = start;
  std::uint64_t fields = 0;
  std::uint64_t high = 0; // nonzero once the record holds a byte that UTF-8 decoding may reject

  // Leaves the record for the general way; the block cache may still be kept.
  auto decline = [&] {
    block_ = block;
    return PlainRow{};
  };
  // Leaves it for want of room only, so far.
  auto decline_for_room = [&] {
    PlainRow declined = decline();
    declined.lacked_room = true;
    return declined;
  };

  for (;;) {
    // Field start.
    ++fields;
    if (at == size || data[at] == CR || data[at] == LF) {
      if (!out.last_empty_field(data + at)) {
        return decline_for_room();
      }
      break; // a delimiter just opened this empty field
    }
    const std::uint8_t first = data[at];
    if (first == delimiter_byte) {
      if (!out.field(data + at, 0, false)) {
        return decline_for_room();
      }
    } else if (first == quote_byte) {
      const std::size_t content = at + 1;
      std::uint64_t marks = 0;
      auto pass_to_quote = [&](std::size_t from) TIDEWRACK_ALWAYS_INLINE {
        return pass_classified(
            from, size, block, classify,
            [=](const ByteClasses &b) { return b.quote | b.lf | (b.cr & cr_stops); },
            [](const ByteClasses &b) { return b.delimiter | b.cr; }, marks, high);
      };
      std::size_t closing = pass_to_quote(content);
      if (closing == size || data[closing] != quote_byte) {
        return decline(); // left open, or a line break inside quotes
      }
      at = closing + 1;
      bool doubled_quotes = false;
      while (at < size && data[at] == quote_byte) {
        doubled_quotes = true; // it stands for one quote, and the field goes on
        closing = pass_to_quote(at + 1);
        if (closing == size || data[closing] != quote_byte) {
          return decline();
        }
        at = closing + 1;
      }
      if (at < size && data[at] != delimiter_byte && data[at] != CR && data[at] != LF) {
        return decline(); // a stray quote, or text after the closing quote
      }
      if (!out.field(data + content, closing - content, marks != 0, doubled_quotes)) {
        return decline_for_room();
      }
    } else {
      const std::size_t from = at;
      std::uint64_t quotes = 0;
      at = pass_classified(
          from, size, block, classify,
          [](const ByteClasses &b) { return b.delimiter | b.cr | b.lf; },
          [](const ByteClasses &b) { return b.quote; }, quotes, high);
      if (quotes != 0) {
        return decline(); // a quote in an unquoted field is written doubled
      }
      if (!out.field(data + from, at - from, false)) {
        return decline_for_room();
      }
    }
    if (at == size || data[at] != delimiter_byte) {
      break;
    }
    out.separator();
    ++at;
  }

  // `at` is at the end of the input or at the record's line break. The fields
  // are stretches of the record cut at ASCII bytes: they are valid UTF-8 exactly
  // when the whole record is.
  if (high != 0 && !is_valid_utf8(reinterpret_cast<const char *>(data + start), at - start)) {
    return decline();
  }
  if (columns != 0 && fields != columns) {
    if (fields > columns || !fill_ragged_rows) {
      return decline();
    }
    if (!out.pad(columns - fields)) {
      return decline_for_room();
    }
    row.padding = columns - fields;
  }
  if (!out.end_row()) {
    return decline_for_room();
  }
  row.size = out.finish();
  parser.consume_plain_record(at, block);
  return row;
}

// The fast lanes need classified blocks and an ASCII delimiter and quote.
template <class Out>
PlainRow ResilientParser::take_plain_record(Out &&out, std::uint64_t columns,
                                            bool fill_ragged_rows) {
  if (!classified_ || !rules_.classic() || delimiter_ >= 0x80 || quote_ >= 0x80) {
    return {};
  }
  return unclosed_quotes_ != nullptr ? take_plain_record_as<true>(out, columns, fill_ragged_rows)
                                     : take_plain_record_as<false>(out, columns, fill_ragged_rows);
}

} // namespace tidewrack
