#include "repair/row_alignment.h"

#include <algorithm>
#include <limits>

#include "base/utf8.h"
#include "repair/repair_event.h"

namespace tidewrack {

namespace {

// How much better (in log-likelihood) a choice must fit than the classic
// repair, and than the runner-up, to be taken.
constexpr double OVER_CLASSIC = 3.0;
constexpr double OVER_RUNNER_UP = 2.0;
// Bounds on the work one row may cost: its fields' bytes, columns times
// steps squared (the search's cells), cut points tried in one field, and
// opening quotes tried as text.
constexpr std::size_t MAX_ROW_BYTES = std::size_t{1} << 16;
constexpr std::size_t MAX_SEARCH_CELLS = 1 << 14;
constexpr std::size_t MAX_CUTS = 16;
constexpr std::size_t MAX_QUOTES_TRIED = 4;

constexpr double NONE = -std::numeric_limits<double>::infinity();

enum class Move : std::uint8_t { start, place, drop, insert, split };

// How a state of the search was reached: from which state and which of its two
// entries, by which move (`size`: the fields a place took, or where a split cut).
struct Entry {
  double score = NONE;
  std::size_t from = 0;
  std::uint8_t from_rank = 0;
  Move move = Move::start;
  std::size_t size = 0;
};

} // namespace

// The two best ways into one state, best first.
struct RowAligner::BestTwo {
  Entry entries[2];
  std::size_t count = 0;

  void offer(const Entry &entry) {
    if (count == 2 && entry.score <= entries[1].score) {
      return;
    }
    if (count == 0 || entry.score > entries[0].score) {
      entries[1] = entries[0];
      entries[0] = entry;
    } else {
      entries[1] = entry;
    }
    count = std::min<std::size_t>(count + 1, 2);
  }
};

namespace {

using BestTwo = RowAligner::BestTwo;

void add_field(Record &row, std::string_view text) {
  row.spans.push_back(Record::Span{row.text.size(), text.size() | Record::IN_TEXT});
  row.text.append(text);
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_lower(char c) {
  return c >= 'a' && c <= 'z';
}
bool is_upper(char c) {
  return c >= 'A' && c <= 'Z';
}

// Where a field may have been two: where digits begin or end (a count fused
// with a code), where a capital follows a small letter (falseBF-8393), and in
// a short field of digits and signs between any two digits (8417651: a count
// and an id; 2024-01-0684), never next to the delimiter or the quote (the
// parser cut there) nor inside a UTF-8 sequence.
void cut_points(std::string_view field, char delimiter, char quote,
                std::vector<std::size_t> &cuts) {
  constexpr std::size_t SHORT_FIELD = 24;
  cuts.clear();
  const bool numeric =
      field.size() <= SHORT_FIELD && std::none_of(field.begin(), field.end(), [&](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ' || c == '\t' ||
               c == delimiter || c == quote || static_cast<unsigned char>(c) >= 0x80;
      });
  for (std::size_t at = 1; at < field.size() && cuts.size() < MAX_CUTS; ++at) {
    const char before = field[at - 1];
    const char after = field[at];
    if (before == delimiter || before == quote || after == delimiter || after == quote) {
      continue;
    }
    if (is_digit(before) != is_digit(after)
            ? (static_cast<unsigned char>(after) & 0xC0) != 0x80
            : (is_lower(before) && is_upper(after)) || (is_digit(before) && numeric)) {
      cuts.push_back(at);
    }
  }
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The two best entries over the given final states.
BestTwo best_of(const std::vector<BestTwo> &states, std::size_t first, std::size_t second) {
  BestTwo best;
  for (std::size_t state : {first, second}) {
    for (std::size_t rank = 0; rank < states[state].count; ++rank) {
      Entry entry = states[state].entries[rank];
      entry.from = state;
      entry.from_rank = static_cast<std::uint8_t>(rank);
      best.offer(entry);
    }
  }
  return best;
}

// The moves of the path into `state` by its entry `rank`, first move first.
std::vector<std::pair<std::size_t, Entry>> path_to(const std::vector<BestTwo> &states,
                                                   std::size_t state, std::size_t rank) {
  std::vector<std::pair<std::size_t, Entry>> path; // (the state moved from, the move)
  for (Entry entry = states[state].entries[rank]; entry.move != Move::start;
       entry = states[entry.from].entries[entry.from_rank]) {
    path.emplace_back(entry.from, entry);
  }
  std::reverse(path.begin(), path.end());
  return path;
}

// Takes the best choice when it beats the classic repair and the runner-up by
// their margins.
bool clear_winner(double best, double runner_up, double classic) {
  return best >= classic + OVER_CLASSIC && best >= runner_up + OVER_RUNNER_UP;
}

} // namespace

RowAligner::RowAligner(const ColumnProfiles &profiles, std::string_view delimiter_text,
                       std::uint8_t quote_char)
    : profiles_(profiles), delimiter_text_(delimiter_text), delimiter_(profiles.delimiter()),
      quote_(quote_char),
      // The delimiter's own traits, as inside a joined cell.
      delimiter_traits_(static_cast<std::uint16_t>(
          describe_cell(delimiter_text_, delimiter_).traits &
          ~(HAS_EDGE_BLANK | HAS_EDGE_DELIMITER | DIGIT_FIRST | DIGIT_LAST))) {}

RowAligner::~RowAligner() = default;

CellShape RowAligner::joined_shape(const Record &record, std::size_t first, std::size_t count) {
  CellShape shape{CellKind::text, delimiter_traits_, (count - 1) * delimiter_text_.size()};
  for (std::size_t field = first; field < first + count; ++field) {
    shape.traits |= shapes_[field].traits;
    shape.length += record.field(field).size();
  }
  // Joined with a delimiter, only digits and signs may read as other than
  // text (1,95 with a comma, 12:30 with a colon): those are read whole.
  if ((shape.traits & (HAS_LETTER | HAS_NON_ASCII)) == 0) {
    joined_text_.clear();
    for (std::size_t field = first; field < first + count; ++field) {
      if (field > first) {
        joined_text_.append(delimiter_text_);
      }
      joined_text_.append(record.field(field));
    }
    return describe_cell(joined_text_, delimiter_);
  }
  const std::string_view head = record.field(first);
  const std::string_view tail = record.field(first + count - 1);
  const char first_char = head.empty() ? delimiter_text_.front() : head.front();
  const char last_char = tail.empty() ? delimiter_text_.back() : tail.back();
  const std::size_t lead = head.find_first_not_of(" \t");
  const std::size_t trail = tail.find_last_not_of(" \t");
  shape.traits = static_cast<std::uint16_t>(
      (shape.traits & ~(HAS_EDGE_BLANK | HAS_EDGE_DELIMITER | DIGIT_FIRST | DIGIT_LAST)) |
      (is_blank(first_char) || is_blank(last_char) ? HAS_EDGE_BLANK : 0) |
      (head.empty() || tail.empty() ? HAS_EDGE_DELIMITER : 0) |
      (lead != std::string_view::npos && is_digit(head[lead]) ? DIGIT_FIRST : 0) |
      (trail != std::string_view::npos && is_digit(tail[trail]) ? DIGIT_LAST : 0));
  return shape;
}

void RowAligner::describe_fields(const Record &record) {
  shapes_.resize(record.size());
  for (std::size_t field = 0; field < record.size(); ++field) {
    shapes_[field] = describe_cell(record.field(field), delimiter_);
  }
}

double RowAligner::fit_row(const Record &row) const {
  double score = 0;
  for (std::size_t column = 0; column < row.size(); ++column) {
    score += profiles_.fit(column, row.field(column));
  }
  return score;
}

bool RowAligner::align_surplus(const Record &record, AlignedRow &out) {
  const std::size_t columns = profiles_.columns();
  const std::size_t fields = record.size();
  if (fields <= columns || fields - columns > MAX_STEPS ||
      record.field_bytes_bound() > MAX_ROW_BYTES) {
    return false;
  }
  const std::size_t steps = fields - columns;
  if (columns * (steps + 1) * (steps + 1) > MAX_SEARCH_CELLS) {
    return false;
  }
  describe_fields(record);
  // The shape of each run of fields joined, by its first field and size.
  joined_.resize(fields * (steps + 2));
  for (std::size_t field = 0; field < fields; ++field) {
    joined_[field * (steps + 2) + 1] = shapes_[field];
    for (std::size_t size = 2; size <= steps + 1 && field + size <= fields; ++size) {
      joined_[field * (steps + 2) + size] = joined_shape(record, field, size);
    }
  }
  // State (column j, steps d taken so far, the last move a drop): fields j + d
  // are used. A run of empty fields drops from its start, so that two paths
  // never give the same row.
  auto state = [&](std::size_t column, std::size_t taken, bool dropped) {
    return (column * (steps + 1) + taken) * 2 + (dropped ? 1 : 0);
  };
  std::vector<BestTwo> &states = states_;
  states.assign((columns + 1) * (steps + 1) * 2, BestTwo{});
  states[state(0, 0, false)].offer(Entry{0});
  std::vector<double> &fits = fits_;
  fits.resize(steps + 2);
  for (std::size_t field = 0; field <= fields; ++field) {
    for (std::size_t column = field > steps ? field - steps : 0; column <= std::min(field, columns);
         ++column) {
      const std::size_t taken = field - column;
      const std::size_t kept = state(column, taken, false);
      if (states[kept].count == 0 && states[kept + 1].count == 0) {
        continue;
      }
      const std::size_t widest = column < columns ? std::min(steps - taken + 1, fields - field) : 0;
      for (std::size_t size = 1; size <= widest; ++size) {
        fits[size] = profiles_.fit(column, joined_[field * (steps + 2) + size]);
      }
      const bool may_drop = field < fields && taken < steps && record.field(field).empty();
      for (std::size_t from = kept; from <= kept + 1; ++from) {
        const bool after_drop = from == kept + 1;
        for (std::size_t rank = 0; rank < states[from].count; ++rank) {
          const double score = states[from].entries[rank].score;
          const auto from_rank = static_cast<std::uint8_t>(rank);
          for (std::size_t size = 1; size <= widest; ++size) {
            states[state(column + 1, taken + size - 1, false)].offer(
                Entry{score + fits[size], from, from_rank, Move::place, size});
          }
          if (may_drop && (field == 0 || !record.field(field - 1).empty() || after_drop)) {
            states[state(column, taken + 1, true)].offer(
                Entry{score, from, from_rank, Move::drop, 1});
          }
        }
      }
    }
  }
  const BestTwo best = best_of(states, state(columns, steps, false), state(columns, steps, true));
  double classic = profiles_.fit(columns - 1, joined_shape(record, columns - 1, steps + 1));
  for (std::size_t column = 0; column + 1 < columns; ++column) {
    classic += profiles_.fit(column, shapes_[column]);
  }
  if (best.count == 0 || !clear_winner(best.entries[0].score,
                                       best.count > 1 ? best.entries[1].score : NONE, classic)) {
    return false;
  }

  out.row.clear();
  out.steps.clear();
  for (const auto &[from, entry] :
       path_to(states, best.entries[0].from, best.entries[0].from_rank)) {
    const std::size_t column = from / 2 / (steps + 1);
    const std::size_t field = column + from / 2 % (steps + 1);
    if (entry.move == Move::drop) {
      out.steps.push_back(AlignStep{AlignStep::drop, field, field, column});
      continue;
    }
    const std::size_t begin = out.row.text.size();
    for (std::size_t part = 0; part < entry.size; ++part) {
      if (part > 0) {
        out.row.text.append(delimiter_text_);
      }
      out.row.text.append(record.field(field + part));
    }
    out.row.spans.push_back(Record::Span{begin, (out.row.text.size() - begin) | Record::IN_TEXT});
    if (entry.size > 1) {
      out.steps.push_back(AlignStep{AlignStep::join, field, field + entry.size - 1, column});
    }
  }
  return true;
}

bool RowAligner::align_missing(const Record &record, std::string_view line, AlignedRow &out) {
  const std::size_t columns = profiles_.columns();
  const std::size_t fields = record.size();
  if (fields >= columns || record.field_bytes_bound() > MAX_ROW_BYTES) {
    return false;
  }
  const std::size_t steps = columns - fields;
  // Further off, only a re-read line may make the row.
  const bool searched =
      steps <= MAX_STEPS && columns * (steps + 1) * (steps + 1) <= MAX_SEARCH_CELLS;
  if (!searched && line.find(static_cast<char>(quote_)) == std::string_view::npos) {
    return false;
  }
  std::size_t filled = 0;
  while (filled < fields && record.field(filled).empty()) {
    ++filled;
  }
  if (filled == fields) {
    return false; // a blank line: every row it could make is the classic one
  }
  describe_fields(record);
  // State (field i, steps d taken so far, the last move placed an empty
  // field): column i + d is next. An empty cell is never inserted right after
  // an empty field, which would give the row of inserting it before.
  auto state = [&](std::size_t field, std::size_t taken, bool placed_empty) {
    return (field * (steps + 1) + taken) * 2 + (placed_empty ? 1 : 0);
  };
  std::vector<BestTwo> &states = states_;
  BestTwo best;
  if (searched) {
    // Where each field may be cut, with the pieces' shapes. A cut is a
    // candidate only when a piece reads as a typed value: between two texts,
    // nothing says where a delimiter was lost.
    pieces_.clear();
    piece_starts_.assign(1, 0);
    for (std::size_t field = 0; field < fields; ++field) {
      const std::string_view text = record.field(field);
      cut_points(text, static_cast<char>(delimiter_), static_cast<char>(quote_), cuts_);
      describe_cuts(text, delimiter_, cuts_, cut_shapes_);
      for (std::size_t i = 0; i < cuts_.size(); ++i) {
        const CutShapes &shapes = cut_shapes_[i];
        if (shapes.left.kind != CellKind::text || shapes.right.kind != CellKind::text) {
          pieces_.push_back(Piece{cuts_[i], shapes.left, shapes.right});
        }
      }
      piece_starts_.push_back(pieces_.size());
    }
    states.assign((fields + 1) * (steps + 1) * 2, BestTwo{});
    states[state(0, 0, false)].offer(Entry{0});
    std::vector<std::size_t> &cuts = cuts_;
    std::vector<double> &cut_fits = fits_;
    for (std::size_t column = 0; column < columns; ++column) {
      const double empty_fit = profiles_.fit(column, CellShape{});
      for (std::size_t taken = 0; taken <= std::min(steps, column); ++taken) {
        const std::size_t field = column - taken;
        if (field > fields) {
          continue;
        }
        const std::size_t base = state(field, taken, false);
        if (states[base].count == 0 && states[base + 1].count == 0) {
          continue;
        }
        double place_fit = NONE;
        cuts.clear();
        cut_fits.clear();
        if (field < fields) {
          place_fit = profiles_.fit(column, shapes_[field]);
          if (taken < steps && column + 1 < columns) {
            for (std::size_t piece = piece_starts_[field]; piece < piece_starts_[field + 1];
                 ++piece) {
              const Piece &cut = pieces_[piece];
              cuts.push_back(cut.at);
              cut_fits.push_back(profiles_.fit(column, cut.left) +
                                 profiles_.fit(column + 1, cut.right));
            }
          }
        }
        for (std::size_t from = base; from <= base + 1; ++from) {
          const bool after_empty = from == base + 1;
          for (std::size_t rank = 0; rank < states[from].count; ++rank) {
            const double score = states[from].entries[rank].score;
            const auto from_rank = static_cast<std::uint8_t>(rank);
            if (!after_empty && taken < steps) {
              states[state(field, taken + 1, false)].offer(
                  Entry{score + empty_fit, from, from_rank, Move::insert, 0});
            }
            if (field < fields) {
              states[state(field + 1, taken, record.field(field).empty())].offer(
                  Entry{score + place_fit, from, from_rank, Move::place, 1});
              for (std::size_t i = 0; i < cuts.size(); ++i) {
                states[state(field + 1, taken + 1, false)].offer(
                    Entry{score + cut_fits[i], from, from_rank, Move::split, cuts[i]});
              }
            }
          }
        }
      }
    }
    best = best_of(states, state(fields, steps, false), state(fields, steps, true));
  }
  double classic = 0;
  for (std::size_t column = 0; column < columns; ++column) {
    classic += profiles_.fit(column, column < fields ? shapes_[column] : CellShape{});
  }
  // Re-reading the line with an opening quote as text: a candidate when it
  // gives the width. Its entry's `from` is the quote's offset.
  std::vector<std::size_t> &quotes = quotes_;
  quotes.clear();
  // Re-read only where one byte is one character to the parser's rules.
  if (!line.empty() && quote_ != delimiter_ && quote_ < 0x80 && delimiter_ < 0x80) {
    std::size_t literal_field = 0;
    re_read(line, SIZE_MAX, candidate_, &quotes, literal_field);
    for (std::size_t i = 0; i < quotes.size() && i < MAX_QUOTES_TRIED; ++i) {
      if (re_read(line, quotes[i], candidate_, nullptr, literal_field) == columns) {
        best.offer(Entry{fit_row(candidate_), quotes[i], 0, Move::start, 0});
      }
    }
  }
  if (best.count == 0 || !clear_winner(best.entries[0].score,
                                       best.count > 1 ? best.entries[1].score : NONE, classic)) {
    return false;
  }

  out.steps.clear();
  if (best.entries[0].move == Move::start) { // a re-read line
    std::size_t literal_field = 0;
    re_read(line, best.entries[0].from, out.row, nullptr, literal_field);
    out.steps.push_back(
        AlignStep{AlignStep::literal_quote, literal_field, literal_field, literal_field});
    return true;
  }
  out.row.clear();
  for (const auto &[from, entry] :
       path_to(states, best.entries[0].from, best.entries[0].from_rank)) {
    const std::size_t field = from / 2 / (steps + 1);
    const std::size_t column = field + from / 2 % (steps + 1);
    switch (entry.move) {
    case Move::insert:
      add_field(out.row, {});
      out.steps.push_back(AlignStep{AlignStep::insert, field, field, column});
      break;
    case Move::place:
      add_field(out.row, record.field(field));
      break;
    case Move::split:
      add_field(out.row, record.field(field).substr(0, entry.size));
      add_field(out.row, record.field(field).substr(entry.size));
      out.steps.push_back(AlignStep{AlignStep::split, field, field, column});
      break;
    default:
      break;
    }
  }
  return true;
}

// Cuts `line` into fields as the parser reads one line: a quote opening a
// field closes before a delimiter or the end, doubled it is one quote, other
// quotes inside are text, and a field left open runs to the end. The quote at
// offset `literal` is text (its field's index goes to `literal_field`); the
// offsets of opening quotes whose fields hold the delimiter go to
// `opening_quotes`. Returns the width.
std::size_t RowAligner::re_read(std::string_view line, std::size_t literal, Record &row,
                                std::vector<std::size_t> *opening_quotes,
                                std::size_t &literal_field) const {
  row.clear();
  const char delimiter = static_cast<char>(delimiter_);
  const char quote = static_cast<char>(quote_);
  for (std::size_t at = 0;;) {
    const std::size_t begin = row.text.size();
    if (at < line.size() && line[at] == quote && at != literal) {
      const std::size_t opening = at++;
      for (;;) {
        const std::size_t close = line.find(quote, at);
        if (close == std::string_view::npos) {
          row.text.append(line.substr(at));
          at = line.size();
          break;
        }
        row.text.append(line.substr(at, close - at + 1));
        at = close + 1;
        if (at < line.size() && line[at] == quote) {
          ++at;
        } else if (at == line.size() || line[at] == delimiter) {
          row.text.pop_back();
          break;
        }
      }
      if (opening_quotes != nullptr && row.text.find(delimiter, begin) != std::string::npos) {
        opening_quotes->push_back(opening);
      }
    } else {
      if (at == literal) {
        literal_field = row.size();
      }
      const std::size_t end = std::min(line.find(delimiter, at), line.size());
      row.text.append(line.substr(at, end - at));
      at = end;
    }
    row.spans.push_back(Record::Span{begin, (row.text.size() - begin) | Record::IN_TEXT});
    if (at >= line.size()) {
      return row.size();
    }
    ++at; // past the delimiter
  }
}

void append_step_detail(std::string &detail, const AlignStep &step) {
  switch (step.kind) {
  case AlignStep::join:
    append_joined_detail(detail, step.field + 1, step.last_field + 1, step.column + 1);
    break;
  case AlignStep::drop:
    append_dropped_detail(detail, step.field + 1);
    break;
  case AlignStep::insert:
    append_inserted_detail(detail, step.column + 1);
    break;
  case AlignStep::split:
    append_split_detail(detail, step.field + 1, step.column + 1);
    break;
  case AlignStep::literal_quote:
    append_literal_quote_detail(detail, step.column + 1);
    break;
  }
}

std::string_view single_line(const Record &record) {
  if (record.start_line != record.end_line || record.input == nullptr) {
    return {};
  }
  std::string_view line(record.input + record.begin, record.end - record.begin);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  if (line.find_first_of("\r\n") != std::string_view::npos ||
      !is_valid_utf8(line.data(), line.size())) {
    return {};
  }
  return line;
}

} // namespace tidewrack
