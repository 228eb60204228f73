#include "heuristics/cell_type.h"

#include <array>
#include <cstdint>

namespace tidewrack {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool equals_folded(std::string_view cell, std::string_view word) {
  if (cell.size() != word.size()) {
    return false;
  }
  for (std::size_t i = 0; i < cell.size(); ++i) {
    const char c = is_letter(cell[i]) ? static_cast<char>(cell[i] | 0x20) : cell[i];
    if (c != word[i]) {
      return false;
    }
  }
  return true;
}

std::string_view trimmed(std::string_view cell) {
  while (!cell.empty() && (cell.front() == ' ' || cell.front() == '\t')) {
    cell.remove_prefix(1);
  }
  while (!cell.empty() && (cell.back() == ' ' || cell.back() == '\t')) {
    cell.remove_suffix(1);
  }
  return cell;
}

// Digits with at most single marks between them: "1,234.5", "2024-02-02",
// "00:30"; `marks` names the ones allowed.
bool digit_groups(std::string_view text, std::string_view marks, std::size_t &groups) {
  groups = 0;
  bool in_digits = false;
  for (char c : text) {
    if (is_digit(c)) {
      groups += in_digits ? 0 : 1;
      in_digits = true;
    } else if (in_digits && marks.find(c) != std::string_view::npos) {
      in_digits = false;
    } else {
      return false;
    }
  }
  return in_digits;
}

bool is_number(std::string_view cell) {
  if (!cell.empty() && (cell.front() == '-' || cell.front() == '+')) {
    cell.remove_prefix(1);
  }
  if (!cell.empty() && cell.front() == '$') {
    cell.remove_prefix(1);
  } else if (cell.starts_with("\xE2\x82\xAC") || cell.starts_with("\xC2\xA3")) { // euro, pound
    cell.remove_prefix(cell.front() == '\xE2' ? 3 : 2);
  }
  if (!cell.empty() && cell.back() == '%') {
    cell.remove_suffix(1);
  }
  if (const std::size_t e = cell.find_first_of("eE"); e != std::string_view::npos && e > 0) {
    std::string_view exponent = cell.substr(e + 1);
    if (!exponent.empty() && (exponent.front() == '-' || exponent.front() == '+')) {
      exponent.remove_prefix(1);
    }
    std::size_t groups = 0;
    if (!digit_groups(exponent, "", groups)) {
      return false;
    }
    cell = cell.substr(0, e);
  }
  if (!cell.empty() && cell.front() == '.') {
    cell.remove_prefix(1); // ".5"
  }
  std::size_t groups = 0;
  return digit_groups(cell, ".,", groups);
}

bool is_date(std::string_view cell) {
  // A date and a time may be joined by T or a space; a time may end in Z or AM/PM.
  if (cell.ends_with('Z')) {
    cell.remove_suffix(1);
  }
  if (cell.size() > 3 && (equals_folded(cell.substr(cell.size() - 2), "am") ||
                          equals_folded(cell.substr(cell.size() - 2), "pm"))) {
    cell = trimmed(cell.substr(0, cell.size() - 2));
  }
  std::size_t total = 0;
  const std::size_t join = cell.find_first_of("T ");
  for (std::string_view part :
       {cell.substr(0, join),
        join == std::string_view::npos ? std::string_view() : cell.substr(join + 1)}) {
    if (part.empty()) {
      continue;
    }
    std::size_t groups = 0;
    if (!digit_groups(part, "-/.:", groups)) {
      return false;
    }
    total += groups;
  }
  return total >= 2 && cell.find_first_of("-/:") != std::string_view::npos;
}

bool is_boolean(std::string_view cell) {
  constexpr std::array<std::string_view, 11> WORDS = {"true", "false", "yes",  "no",  "na", "n/a",
                                                      "nan",  "null",  "none", "nil", "-"};
  for (std::string_view word : WORDS) {
    if (equals_folded(cell, word)) {
      return true;
    }
  }
  return false;
}

bool is_word(std::string_view cell) {
  for (char c : cell) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte >= 0x80 || is_letter(c) || is_digit(c)) {
      continue;
    }
    switch (c) {
    case ' ':
    case '.':
    case '-':
    case '_':
    case '\'':
    case '(':
    case ')':
    case '&':
    case '/':
    case '@':
    case '+':
    case '!':
    case '?':
    case '%':
    case '$':
      continue;
    default:
      return false;
    }
  }
  return true;
}

} // namespace

CellType cell_type(std::string_view cell) {
  cell = trimmed(cell);
  if (cell.empty()) {
    return CellType::Empty;
  }
  if (is_number(cell)) {
    return CellType::Number;
  }
  if (is_date(cell)) {
    return CellType::Date;
  }
  if (is_boolean(cell)) {
    return CellType::Boolean;
  }
  return is_word(cell) ? CellType::Word : CellType::Other;
}

} // namespace tidewrack
