#include "repair/column_profile.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>

#include "base/byte_scan.h"

namespace tidewrack {

namespace {

constexpr bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
constexpr bool is_blank(char c) {
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

// Digits, or groups of three after one to three digits (12,345).
bool is_integer(std::string_view text) {
  std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  const std::size_t leading = digits(text, at);
  if (leading == 0 || at == text.size()) {
    return leading > 0;
  }
  if (leading > 3) {
    return false;
  }
  while (at < text.size()) {
    if (text[at] != ',') {
      return false;
    }
    ++at;
    if (digits(text, at) != 3) {
      return false;
    }
  }
  return true;
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

bool is_boolean(std::string_view text) {
  static constexpr std::string_view BOOLEANS[] = {"true", "false", "yes", "no"};
  return std::any_of(std::begin(BOOLEANS), std::end(BOOLEANS),
                     [&](std::string_view word) { return equals_folded(text, word); });
}

CellKind kind_of(std::string_view text) {
  // Every kind but text and boolean starts with a digit, a sign or a decimal
  // separator.
  if (!is_digit(text[0]) && text[0] != '-' && text[0] != '+' && text[0] != '.' && text[0] != ',') {
    return text.size() <= 5 && is_boolean(text) ? CellKind::boolean : CellKind::text;
  }
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
  return CellKind::text;
}

// Smoothed log-frequency of `count` in `total`, out of `outcomes` equally
// likely outcomes a priori.
double log_share(std::uint32_t count, std::uint32_t total, double outcomes) {
  constexpr double PRIOR = 0.1;
  return std::log((count + PRIOR) / (total + PRIOR * outcomes));
}

// The traits of a run of bytes, and how many of them are digits.
struct ByteTally {
  unsigned traits = 0;
  std::size_t digits = 0;
};

ByteTally tally_bytes(std::string_view text, std::uint8_t delimiter) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  const ByteKinds kinds = byte_kinds(best_classifier_target(), bytes, text.size(), delimiter);
  return {(kinds.digit ? unsigned{HAS_DIGIT} : 0U) | (kinds.letter ? unsigned{HAS_LETTER} : 0U) |
              (kinds.blank ? unsigned{HAS_INNER_BLANK} : 0U) |
              (kinds.other ? unsigned{HAS_PUNCTUATION} : 0U) |
              (kinds.high ? unsigned{HAS_NON_ASCII} : 0U) |
              (kinds.delimiter ? unsigned{HAS_DELIMITER} : 0U),
          kinds.digits};
}

// The shape of a non-empty cell whose bytes' traits are `traits`, with
// `digit_count` digits among them.
CellShape finish_shape(std::string_view cell, unsigned traits, std::size_t digit_count,
                       std::uint8_t delimiter) {
  CellShape shape;
  shape.length = cell.size();
  shape.traits = static_cast<std::uint16_t>(traits);
  if (is_blank(cell.front()) || is_blank(cell.back())) {
    shape.traits |= HAS_EDGE_BLANK;
  }
  if (static_cast<unsigned char>(cell.front()) == delimiter ||
      static_cast<unsigned char>(cell.back()) == delimiter) {
    shape.traits |= HAS_EDGE_DELIMITER;
  }
  std::string_view trimmed = cell;
  while (!trimmed.empty() && is_blank(trimmed.front())) {
    trimmed.remove_prefix(1);
  }
  while (!trimmed.empty() && is_blank(trimmed.back())) {
    trimmed.remove_suffix(1);
  }
  if (!trimmed.empty()) {
    shape.traits =
        static_cast<std::uint16_t>(shape.traits | (is_digit(trimmed.front()) ? DIGIT_FIRST : 0) |
                                   (is_digit(trimmed.back()) ? DIGIT_LAST : 0));
  }
  shape.kind = trimmed.empty() ? CellKind::text : kind_of(trimmed);
  // A number is its digits, however they are signed, grouped or separated
  // (12,345 is an integer like 12345, with a comma for a delimiter too).
  if (shape.kind == CellKind::integer || shape.kind == CellKind::decimal_point ||
      shape.kind == CellKind::decimal_comma) {
    shape.length = digit_count;
    shape.traits =
        static_cast<std::uint16_t>(HAS_DIGIT | (shape.traits & (DIGIT_FIRST | DIGIT_LAST)));
  }
  return shape;
}

} // namespace

CellShape describe_cell(std::string_view cell, std::uint8_t delimiter) {
  if (cell.empty()) {
    return CellShape{};
  }
  const ByteTally tally = tally_bytes(cell, delimiter);
  return finish_shape(cell, tally.traits, tally.digits, delimiter);
}

void describe_cuts(std::string_view cell, std::uint8_t delimiter, std::span<const std::size_t> cuts,
                   std::vector<CutShapes> &out) {
  out.resize(cuts.size());
  if (cuts.empty()) {
    return;
  }
  // The bytes between cuts are read once; each piece's traits and digits are
  // those of the runs it is made of. Until its pieces are finished, a cut's
  // right shape holds the run that ends at it, its left shape the runs before.
  ByteTally before;
  std::size_t from = 0;
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    const ByteTally run = tally_bytes(cell.substr(from, cuts[i] - from), delimiter);
    from = cuts[i];
    before.traits |= run.traits;
    before.digits += run.digits;
    out[i].right.traits = static_cast<std::uint16_t>(run.traits);
    out[i].right.length = run.digits;
    out[i].left.traits = static_cast<std::uint16_t>(before.traits);
    out[i].left.length = before.digits;
  }
  ByteTally after = tally_bytes(cell.substr(cuts.back()), delimiter);
  for (std::size_t i = cuts.size(); i-- > 0;) {
    const ByteTally run{out[i].right.traits, out[i].right.length};
    out[i].left =
        finish_shape(cell.substr(0, cuts[i]), out[i].left.traits, out[i].left.length, delimiter);
    out[i].right = finish_shape(cell.substr(cuts[i]), after.traits, after.digits, delimiter);
    after.traits |= run.traits;
    after.digits += run.digits;
  }
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
    profile.unseen_score = log_share(0, profile.filled, 2);
    for (std::size_t kind = 0; kind < CELL_KINDS; ++kind) {
      profile.kind_scores[kind] = log_share(profile.kinds[kind], total, CELL_KINDS);
    }
    // Traits count as independent: a set scores the sum of its members'.
    auto score_of = [&](std::size_t traits, std::size_t first, std::size_t count) {
      double score = 0;
      for (std::size_t trait = first; trait < first + count; ++trait) {
        const std::uint32_t with = profile.traits[trait];
        score += log_share(((traits >> (trait - first)) & 1u) != 0 ? with : profile.filled - with,
                           profile.filled, 2);
      }
      return score;
    };
    for (std::size_t traits = 0; traits < profile.low_traits.size(); ++traits) {
      profile.low_traits[traits] = score_of(traits, 0, CELL_TRAITS / 2);
    }
    for (std::size_t traits = 0; traits < profile.high_traits.size(); ++traits) {
      profile.high_traits[traits] =
          score_of(traits, CELL_TRAITS / 2, CELL_TRAITS - CELL_TRAITS / 2);
    }
  }
}

namespace {

// log(n) for the lengths most cells have.
double log_of(std::size_t n) {
  static const std::array<double, 256> LOGS = [] {
    std::array<double, 256> logs{};
    for (std::size_t i = 1; i < logs.size(); ++i) {
      logs[i] = std::log(static_cast<double>(i));
    }
    return logs;
  }();
  return n < LOGS.size() ? LOGS[n] : std::log(static_cast<double>(n));
}

} // namespace

double ColumnProfiles::fit(std::size_t column, const CellShape &shape) const {
  const Column &profile = columns_[column];
  double score = profile.kind_scores[static_cast<std::size_t>(shape.kind)];
  if (shape.kind == CellKind::empty) {
    return score;
  }
  constexpr unsigned LOW_MASK = (1u << (CELL_TRAITS / 2)) - 1;
  score += profile.low_traits[shape.traits & LOW_MASK] +
           profile.high_traits[static_cast<unsigned>(shape.traits) >> (CELL_TRAITS / 2)];
  // Lengths past the range seen cost by how far past they are; for a
  // number or a date, whose length says much, as an outcome never seen too.
  if (profile.filled > 0 && (shape.length > profile.longest || shape.length < profile.shortest)) {
    score -= std::abs(log_of(shape.length + 1) - log_of(shape.length > profile.longest
                                                            ? profile.longest + 1
                                                            : profile.shortest + 1));
    if (shape.kind != CellKind::text) {
      score += profile.unseen_score;
    }
  }
  return score;
}

} // namespace tidewrack
