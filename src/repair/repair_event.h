#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tidewrack {

// What was done to a record, in the order the changes happen to it: the
// record is cut, then reconciled with the width.
enum class RepairAction : std::uint8_t {
  decoded,        // bytes read as cp1252 where UTF-8 was expected
  replaced,       // bytes that could not be decoded, now U+FFFD
  unclosed_quote, // an opening quote read as text
  quote_repaired, // stray quotes kept as text
  padded,
  merged,
  dropped, // an empty surplus field left out
  split,   // a field cut into two columns
  quarantined,
  comment,  // a comment line, left out
  preamble, // a line before the table, left out
};

// The action's name in the repair log.
std::string_view repair_action_name(RepairAction action);

// One change to one record: where the record lies (its lines, and its bytes
// [begin, end) in the parsed input, by which a change made before parsing can
// be put with its record), what was done, and the detail.
struct RepairEvent {
  std::uint64_t line_start = 0;
  std::uint64_t line_end = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  RepairAction action = RepairAction::padded;
  std::string detail;
  std::uint64_t quote_line = 0; // unclosed_quote: the line of the quote, named in the detail
};

// The details, e.g. "3 bytes read as cp1252", "1 byte not decodable, replaced
// by U+FFFD", "2 empty fields added", "fields 8-9 joined into column 7",
// "1 stray quote kept as text", "quote on line 4 read as text", appended to
// `detail`: an event's detail is rebuilt in place, without allocating, from one
// record to the next.
void append_decoded_detail(std::string &detail, std::uint64_t bytes);
void append_replaced_detail(std::string &detail, std::uint64_t bytes);
void append_padded_detail(std::string &detail, std::uint64_t added);
void append_merged_detail(std::string &detail, std::uint64_t fields, std::uint64_t columns);
void append_quote_repaired_detail(std::string &detail, std::uint64_t quotes);
void append_unclosed_quote_detail(std::string &detail, std::uint64_t line);

// The details of aligned repairs, by 1-based field and column: "fields 4-5
// joined into column 4", "empty field 6 dropped", "empty column 3 inserted",
// "field 3 split into columns 3-4", "1 stray quote read as text in column 3".
void append_joined_detail(std::string &detail, std::uint64_t first_field, std::uint64_t last_field,
                          std::uint64_t column);
void append_dropped_detail(std::string &detail, std::uint64_t field);
void append_inserted_detail(std::string &detail, std::uint64_t column);
void append_split_detail(std::string &detail, std::uint64_t field, std::uint64_t column);
void append_literal_quote_detail(std::string &detail, std::uint64_t column);

// Appends `value` in decimal.
void append_decimal(std::string &text, std::uint64_t value);

} // namespace tidewrack
