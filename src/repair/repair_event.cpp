#include "repair/repair_event.h"

#include <charconv>

namespace tidewrack {

std::string_view repair_action_name(RepairAction action) {
  switch (action) {
  case RepairAction::decoded:
    return "decoded";
  case RepairAction::replaced:
    return "replaced";
  case RepairAction::unclosed_quote:
    return "unclosed_quote";
  case RepairAction::quote_repaired:
    return "quote_repaired";
  case RepairAction::padded:
    return "padded";
  case RepairAction::merged:
    return "merged";
  case RepairAction::dropped:
    return "dropped";
  case RepairAction::split:
    return "split";
  case RepairAction::quarantined:
    return "quarantined";
  case RepairAction::comment:
    return "comment";
  case RepairAction::preamble:
    return "preamble";
  }
  return "";
}

void append_decimal(std::string &text, std::uint64_t value) {
  char digits[20];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
  text.append(digits, written.ptr);
}

void append_decoded_detail(std::string &detail, std::uint64_t bytes) {
  append_decimal(detail, bytes);
  detail.append(bytes == 1 ? " byte read as cp1252" : " bytes read as cp1252");
}

void append_replaced_detail(std::string &detail, std::uint64_t bytes) {
  append_decimal(detail, bytes);
  detail.append(bytes == 1 ? " byte not decodable, replaced by U+FFFD"
                           : " bytes not decodable, replaced by U+FFFD");
}

void append_padded_detail(std::string &detail, std::uint64_t added) {
  append_decimal(detail, added);
  detail.append(added == 1 ? " empty field added" : " empty fields added");
}

// The fields past the last column, 1-based, went into the last column.
void append_merged_detail(std::string &detail, std::uint64_t fields, std::uint64_t columns) {
  if (fields == columns + 1) {
    detail.append("field ");
  } else {
    detail.append("fields ");
    append_decimal(detail, columns + 1);
    detail.push_back('-');
  }
  append_decimal(detail, fields);
  detail.append(" joined into column ");
  append_decimal(detail, columns);
}

void append_quote_repaired_detail(std::string &detail, std::uint64_t quotes) {
  append_decimal(detail, quotes);
  detail.append(quotes == 1 ? " stray quote kept as text" : " stray quotes kept as text");
}

void append_unclosed_quote_detail(std::string &detail, std::uint64_t line) {
  detail.append("quote on line ");
  append_decimal(detail, line);
  detail.append(" read as text");
}

void append_joined_detail(std::string &detail, std::uint64_t first_field, std::uint64_t last_field,
                          std::uint64_t column) {
  detail.append("fields ");
  append_decimal(detail, first_field);
  detail.push_back('-');
  append_decimal(detail, last_field);
  detail.append(" joined into column ");
  append_decimal(detail, column);
}

void append_dropped_detail(std::string &detail, std::uint64_t field) {
  detail.append("empty field ");
  append_decimal(detail, field);
  detail.append(" dropped");
}

void append_inserted_detail(std::string &detail, std::uint64_t column) {
  detail.append("empty column ");
  append_decimal(detail, column);
  detail.append(" inserted");
}

void append_split_detail(std::string &detail, std::uint64_t field, std::uint64_t column) {
  detail.append("field ");
  append_decimal(detail, field);
  detail.append(" split into columns ");
  append_decimal(detail, column);
  detail.push_back('-');
  append_decimal(detail, column + 1);
}

void append_literal_quote_detail(std::string &detail, std::uint64_t column) {
  detail.append("1 stray quote read as text in column ");
  append_decimal(detail, column);
}

} // namespace tidewrack
