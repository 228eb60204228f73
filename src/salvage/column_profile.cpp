#include "salvage/column_profile.h"

#include <algorithm>
#include <cmath>

namespace tidewrack {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The digits from `at`: their count, `at` moved past them.
std::size_t digits(std::string_view text, std::size_t &at) {
  const std::size_t from = at;
  while (at < text.size() && is_digit(text[at])) {
    ++at;
  }
  return at - from;
}

bool is_integer(std::string_view text) {
  std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  return digits(text, at) > 0 && at == text.size();
}

// Digits, the separator, digits.
bool is_decimal(std::string_view text, char separator) {
  std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  const std::size_t whole = digits(text, at);
  if (at == text.size() || text[at] != separator) {
    return false;
  }
  ++at;
  const std::size_t fraction = digits(text, at);
  return at == text.size() && whole + fraction > 0 && fraction > 0;
}

// Three groups of digits with one separator among - / . : year first (4, 1-2,
// 1-2) or last (1-2, 1-2, 2 or 4). Returns where the date ends, or 0.
std::size_t date_end(std::string_view text) {
  std::size_t at = 0;
  const std::size_t first = digits(text, at);
  if (at == text.size() || (text[at] != '-' && text[at] != '/' && text[at] != '.')) {
    return 0;
  }
  const char separator = text[at++];
  const std::size_t second = digits(text, at);
  if (at == text.size() || text[at] != separator) {
    return 0;
  }
  ++at;
  const std::size_t third = digits(text, at);
  const bool year_first = first == 4 && second >= 1 && second <= 2 && third >= 1 && third <= 2;
  const bool year_last =
      first >= 1 && first <= 2 && second >= 1 && second <= 2 && (third == 2 || third == 4);
  return year_first || year_last ? at : 0;
}

// H:MM, HH:MM:SS, with a fraction of seconds, and AM/PM or a zone after.
bool is_time(std::string_view text) {
  std::size_t at = 0;
  const std::size_t hours = digits(text, at);
  if (hours == 0 || hours > 2 || at == text.size() || text[at] != ':') {
    return false;
  }
  ++at;
  if (digits(text, at) != 2) {
    return false;
  }
  if (at < text.size() && text[at] == ':') {
    ++at;
    if (digits(text, at) != 2) {
      return false;
    }
    if (at < text.size() && text[at] == '.') {
      ++at;
      if (digits(text, at) == 0) {
        return false;
      }
    }
  }
  std::string_view rest = text.substr(at);
  while (!rest.empty() && is_blank(rest.front())) {
    rest.remove_prefix(1);
  }
  if (rest.empty() || rest == "Z" || rest == "AM" || rest == "PM" || rest == "am" || rest == "pm") {
    return true;
  }
  // A zone offset: +01:00, -0500.
  if (rest[0] != '+' && rest[0] != '-') {
    return false;
  }
  for (std::size_t i = 1; i < rest.size(); ++i) {
    if (!is_digit(rest[i]) && rest[i] != ':') {
      return false;
    }
  }
  return rest.size() > 2;
}

bool equals_folded(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b; });
}

CellKind kind_of(std::string_view text) {
  if (is_integer(text)) {
    return CellKind::integer;
  }
  if (is_decimal(text, '.')) {
    return CellKind::decimal_point;
  }
  if (is_decimal(text, ',')) {
    return CellKind::decimal_comma;
  }
  if (const std::size_t end = date_end(text); end != 0) {
    if (end == text.size()) {
      return CellKind::date;
    }
    if ((text[end] == 'T' || text[end] == ' ') && is_time(text.substr(end + 1))) {
      return CellKind::date_time;
    }
    return CellKind::text;
  }
  if (is_time(text)) {
    return CellKind::time;
  }
  static constexpr std::string_view BOOLEANS[] = {"true", "false", "yes", "no"};
  for (std::string_view word : BOOLEANS) {
    if (equals_folded(text, word)) {
      return CellKind::boolean;
    }
  }
  return CellKind::text;
}

// Smoothed log-frequency of `count` in `total`, out of `outcomes` equally
// likely outcomes a priori.
double log_share(std::uint32_t count, std::uint32_t total, double outcomes) {
  constexpr double PRIOR = 0.1;
  return std::log((count + PRIOR) / (total + PRIOR * outcomes));
}

} // namespace

CellShape describe_cell(std::string_view cell, std::uint8_t delimiter) {
  CellShape shape;
  shape.length = cell.size();
  if (cell.empty()) {
    return shape;
  }
  for (char c : cell) {
    const auto byte = static_cast<unsigned char>(c);
    if (is_digit(c)) {
      shape.traits |= HAS_DIGIT;
    } else if (is_letter(c)) {
      shape.traits |= HAS_LETTER;
    } else if (is_blank(c)) {
      shape.traits |= HAS_INNER_BLANK;
    } else if (byte >= 0x80) {
      shape.traits |= HAS_NON_ASCII;
    } else {
      shape.traits |= HAS_PUNCTUATION;
    }
    if (byte == delimiter) {
      shape.traits |= HAS_DELIMITER;
    }
  }
  if (is_blank(cell.front()) || is_blank(cell.back())) {
    shape.traits |= HAS_EDGE_BLANK;
  }
  std::string_view trimmed = cell;
  while (!trimmed.empty() && is_blank(trimmed.front())) {
    trimmed.remove_prefix(1);
  }
  while (!trimmed.empty() && is_blank(trimmed.back())) {
    trimmed.remove_suffix(1);
  }
  shape.kind = trimmed.empty() ? CellKind::text : kind_of(trimmed);
  return shape;
}

ColumnProfiles::ColumnProfiles(std::size_t columns, std::uint8_t delimiter)
    : columns_(columns), delimiter_(delimiter) {}

void ColumnProfiles::add_cell(std::size_t column, std::string_view cell) {
  Column &profile = columns_[column];
  const CellShape shape = describe_cell(cell, delimiter_);
  ++profile.kinds[static_cast<std::size_t>(shape.kind)];
  if (shape.kind == CellKind::empty) {
    return;
  }
  ++profile.filled;
  for (std::size_t trait = 0; trait < CELL_TRAITS; ++trait) {
    profile.traits[trait] += (shape.traits >> trait) & 1u;
  }
  profile.shortest = std::min(profile.shortest, shape.length);
  profile.longest = std::max(profile.longest, shape.length);
}

void ColumnProfiles::finish() {
  const auto total = static_cast<std::uint32_t>(rows_);
  for (Column &profile : columns_) {
    for (std::size_t kind = 0; kind < CELL_KINDS; ++kind) {
      profile.kind_scores[kind] = log_share(profile.kinds[kind], total, CELL_KINDS);
    }
    for (std::size_t trait = 0; trait < CELL_TRAITS; ++trait) {
      const std::uint32_t with = profile.traits[trait];
      profile.trait_scores[trait] = {log_share(profile.filled - with, profile.filled, 2),
                                     log_share(with, profile.filled, 2)};
    }
  }
}

double ColumnProfiles::fit(std::size_t column, const CellShape &shape) const {
  const Column &profile = columns_[column];
  double score = profile.kind_scores[static_cast<std::size_t>(shape.kind)];
  if (shape.kind == CellKind::empty) {
    return score;
  }
  for (std::size_t trait = 0; trait < CELL_TRAITS; ++trait) {
    score += profile.trait_scores[trait][(shape.traits >> trait) & 1u];
  }
  // Lengths past the range seen cost by how far past they are.
  if (profile.filled > 0) {
    if (shape.length > profile.longest) {
      score -= std::log(static_cast<double>(shape.length + 1) /
                        static_cast<double>(profile.longest + 1));
    } else if (shape.length < profile.shortest) {
      score -= std::log(static_cast<double>(profile.shortest + 1) /
                        static_cast<double>(shape.length + 1));
    }
  }
  return score;
}

} // namespace tidewrack
