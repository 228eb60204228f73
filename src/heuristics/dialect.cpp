#include "heuristics/dialect.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "heuristics/blank_record.h"
#include "heuristics/cell_type.h"
#include "heuristics/field_count_tally.h"
#include "heuristics/infer.h"
#include "heuristics/sniff.h"
#include "parser/resilient_parser.h"

namespace tidewrack {

namespace {

constexpr std::string_view COMMENT_PREFIX = "#";
// Another reading replaces the classic one only when it scores this much higher.
constexpr double CLASSIC_MARGIN = 1.1;
// The classic delimiters are read alone while they split this consistently.
constexpr double CONSISTENT = 0.9;
constexpr std::size_t PREAMBLE_LIMIT = 20;
constexpr double TYPED_KEPT = 0.9;
// Another delimiter than the classic one's must split the rows this
// consistently into two fields or more.
constexpr double OTHER_DELIMITER_CONSISTENT = 0.8;
constexpr std::uint64_t MAX_HEADER_ROWS = 3;
// Lines inside quoted fields do not count against DIALECT_LINE_LIMIT, up to
// this many times as many lines in all.
constexpr std::size_t QUOTED_LINES_FACTOR = 8;

struct Candidate {
  std::uint8_t delimiter;
  std::uint8_t quote;
  ParseRules rules;
};

// One data record as a candidate reads it.
struct Row {
  std::uint64_t start_line;
  std::vector<CellType> types;
  std::vector<std::string> cells;
  bool blank;
  std::uint64_t lines; // sample lines the record spans
  bool recovered;      // an unclosed quote in it was read as text
  // Quotes kept as text, opening quotes read as text, and one for text after
  // a closing quote: what a strict reader refuses.
  std::uint64_t stray;
};

// The head's lines that are not blank, with their line numbers.
struct Sample {
  std::string text;
  std::vector<std::uint64_t> lines;
};

struct Reading {
  std::vector<Row> rows;
  double score = 0.0;
  double consistency = 0.0; // share of the non-blank rows at the commonest width
  double typed = 0.0;       // share of the cells that look like values
  std::size_t width = 0;    // the commonest width
  bool open_at_end = false; // a quoted field ran on past the end of the sample
};

// The commonest of the widths, `count` times among `total`; ties go to the
// first width, else to the widest.
std::size_t common_width(const std::vector<std::size_t> &all, std::size_t &count,
                         std::size_t &total) {
  std::map<std::size_t, std::size_t> widths;
  for (std::size_t width : all) {
    ++widths[width];
  }
  const std::size_t first = all.empty() ? 0 : all.front();
  total = all.size();
  std::size_t best = 0;
  count = 0;
  for (const auto &[width, seen] : widths) {
    if (seen > count || (seen == count && best != first)) {
      best = width;
      count = seen;
    }
  }
  return best;
}

// The same over the non-blank rows from `from` on.
std::size_t common_width(const std::vector<Row> &rows, std::size_t from, std::size_t &count,
                         std::size_t &total) {
  std::vector<std::size_t> widths;
  for (std::size_t i = from; i < rows.size(); ++i) {
    if (!rows[i].blank) {
      widths.push_back(rows[i].types.size());
    }
  }
  return common_width(widths, count, total);
}

enum class Recovery : std::uint8_t { AsSalvage, None };

// The records of the sample as the salvage reads them: with unclosed-quote
// recovery for records of `columns` fields (none when 0), unless `recovery`
// is None: the strict reading, which recovers nothing. Lines that start with a
// comment prefix are rows where they have `comment_row_width` fields.
Reading read(const Sample &lines, bool cut, const Candidate &candidate, ParserInput kind,
             Recovery recovery = Recovery::AsSalvage, std::uint64_t columns = 0,
             std::uint64_t comment_row_width = 0) {
  const std::string_view sample = lines.text;
  ResilientParser parser(sample, candidate.delimiter, candidate.quote, true, kind, candidate.rules);
  parser.recover_unclosed_quotes(columns, QuoteRecoveryLimits{});
  parser.keep_comment_lines_of_width(comment_row_width);
  Reading reading;
  bool spans_lines = false;
  bool comments = false;
  Record record;
  std::size_t data_rows = 0;
  while (data_rows < DIALECT_LINE_LIMIT && parser.next_row(record)) {
    if (cut && record.end == sample.size() && record.end > 0 && sample[record.end - 1] != '\n' &&
        sample[record.end - 1] != '\r') {
      reading.open_at_end = true;
      break; // cut short by the end of the sample
    }
    comments |= record.kind == Record::Kind::Comment;
    // A quoted field left open runs to the end of the sample: its record
    // spans lines and holds an odd number of quotes.
    if (record.end == sample.size() && record.end_line != record.start_line &&
        candidate.rules.quoting && !candidate.rules.escape &&
        std::count(sample.begin() + static_cast<std::ptrdiff_t>(record.begin), sample.end(),
                   static_cast<char>(candidate.quote)) %
                2 !=
            0) {
      reading.open_at_end = true;
    }
    if (record.kind != Record::Kind::Data) {
      continue;
    }
    ++data_rows;
    spans_lines |= record.end_line != record.start_line;
    Row row{lines.lines[record.start_line - 1],
            {},
            {},
            is_blank_record(record),
            record.end_line - record.start_line + 1,
            !record.unclosed_quote_lines.empty(),
            record.stray_quotes + record.unclosed_quote_lines.size() +
                (record.text_after_quote ? 1u : 0u)};
    for (std::size_t i = 0; i < record.size(); ++i) {
      row.cells.emplace_back(record.field(i));
      row.types.push_back(cell_type(row.cells.back()));
    }
    reading.rows.push_back(std::move(row));
  }
  // Pattern consistency: each distinct width costs, wider ones weigh more.
  std::map<std::size_t, std::size_t> widths;
  std::size_t rows = 0;
  double values = 0.0;
  std::size_t cells = 0;
  for (const Row &row : reading.rows) {
    if (row.blank) {
      continue;
    }
    ++rows;
    ++widths[row.types.size()];
    for (CellType type : row.types) {
      values += is_typed(type) ? 1.0 : type == CellType::Word ? 0.5 : 0.0;
    }
    cells += row.types.size();
  }
  if (rows == 0) {
    return reading;
  }
  double pattern = 0.0;
  for (const auto &[width, seen] : widths) {
    const double weight =
        width == 1 ? 0.001 : static_cast<double>(width - 1) / static_cast<double>(width);
    pattern += static_cast<double>(seen) / static_cast<double>(rows) * weight;
  }
  pattern /= static_cast<double>(widths.size());
  std::size_t at_width = 0;
  std::size_t total = 0;
  reading.width = common_width(reading.rows, 0, at_width, total);
  reading.consistency = static_cast<double>(at_width) / static_cast<double>(total);
  reading.typed = values / static_cast<double>(cells);
  reading.score = pattern * std::max(reading.typed, 0.01);
  // A quote left open swallows the lines after it unless the salvage's
  // recovery reads it as text: read again as the salvage will. So are rows
  // that start with the comment prefix, once the table's width is known.
  const bool recover = recovery == Recovery::AsSalvage && spans_lines && columns == 0;
  if ((recover || (comments && comment_row_width == 0)) && reading.width > 1) {
    return read(lines, cut, candidate, kind, recovery, recover ? reading.width : columns,
                reading.width);
  }
  return reading;
}

std::uint64_t preamble_lines(const std::vector<Row> &rows);

// A row a strict reader reads as a row of a table `width` fields wide.
bool sound_row(const Row &row, std::size_t width) {
  return !row.blank && row.types.size() == width && row.stray == 0;
}

// The reading's rows that are sound at its width.
Reading sound_rows(const Reading &reading) {
  Reading sound;
  sound.width = reading.width;
  std::copy_if(reading.rows.begin(), reading.rows.end(), std::back_inserter(sound.rows),
               [&](const Row &row) { return sound_row(row, reading.width); });
  return sound;
}

// Rows that a strict reader would not read as rows of the table: of another
// width, or with a quote it would refuse; plus one for a quoted field still
// open at the end of the sample. `past_preamble`: the lines a preamble would
// leave out are not counted.
std::size_t damaged_rows(const Reading &reading, bool past_preamble = false) {
  const std::uint64_t preamble = past_preamble ? preamble_lines(reading.rows) : 0;
  std::size_t damaged = reading.open_at_end ? 1 : 0;
  for (const Row &row : reading.rows) {
    damaged += !row.blank && row.start_line > preamble && !sound_row(row, reading.width) ? 1 : 0;
  }
  return damaged;
}

bool blank_byte(char c) {
  return c == ' ' || c == '\t';
}

// Whether every cell after the first of every row that is not blank starts
// with a blank (empty cells aside), at least one does, and the rows are two
// fields wide or more: blanks after the delimiters are then the writer's.
bool every_cell_blank_led(const Reading &reading) {
  bool any = false;
  for (const Row &row : reading.rows) {
    if (row.blank) {
      continue;
    }
    if (row.cells.size() < 2) {
      return false;
    }
    for (std::size_t i = 1; i < row.cells.size(); ++i) {
      if (!row.cells[i].empty() && !blank_byte(row.cells[i].front())) {
        return false;
      }
      any |= !row.cells[i].empty();
    }
  }
  return any;
}

std::string_view without_leading_blanks(std::string_view cell) {
  while (!cell.empty() && blank_byte(cell.front())) {
    cell.remove_prefix(1);
  }
  return cell;
}

// Whether `other` reads every row that the strict classic reading reads as a
// row of the table exactly as it does: same lines, same cells (leading blanks
// aside where `other` skips them and every such cell has them). Only the rows
// that the classic reading shows as damaged may read otherwise.
bool keeps_sound_rows(const Reading &classic, const Reading &other, bool skips_blanks) {
  // Blanks skipped in a row that has none after some delimiter change it.
  if (skips_blanks && !every_cell_blank_led(classic) &&
      !every_cell_blank_led(sound_rows(classic))) {
    return false;
  }
  std::map<std::uint64_t, const Row *> by_line;
  for (const Row &row : other.rows) {
    by_line.emplace(row.start_line, &row);
  }
  for (const Row &row : classic.rows) {
    if (!sound_row(row, classic.width)) {
      continue;
    }
    const auto found = by_line.find(row.start_line);
    if (found == by_line.end() || found->second->lines != row.lines ||
        found->second->cells.size() != row.cells.size()) {
      return false;
    }
    for (std::size_t i = 0; i < row.cells.size(); ++i) {
      const std::string_view cell =
          skips_blanks && i > 0 ? without_leading_blanks(row.cells[i]) : row.cells[i];
      if (found->second->cells[i] != cell) {
        return false;
      }
    }
  }
  return true;
}

// Where the line from `at` ends: its first CR or LF, or the end of the text.
// Two memchr scans, the second bounded by the first: a long line costs little.
std::size_t line_end(std::string_view text, std::size_t at) {
  const void *lf = std::memchr(text.data() + at, '\n', text.size() - at);
  const std::size_t limit =
      lf == nullptr ? text.size()
                    : static_cast<std::size_t>(static_cast<const char *>(lf) - text.data());
  const void *cr = std::memchr(text.data() + at, '\r', limit - at);
  return cr == nullptr ? limit
                       : static_cast<std::size_t>(static_cast<const char *>(cr) - text.data());
}

bool holds(std::string_view text, char a, char b) {
  const char pair[2] = {a, b};
  return text.find(std::string_view(pair, 2)) != std::string_view::npos;
}

// A delimiter followed by blanks and then the quote.
bool quoted_after_blanks(std::string_view text, char delimiter, char quote) {
  for (std::size_t at = text.find(delimiter); at != std::string_view::npos;
       at = text.find(delimiter, at + 1)) {
    std::size_t next = at + 1;
    while (next < text.size() && (text[next] == ' ' || text[next] == '\t')) {
      ++next;
    }
    if (next > at + 1 && next < text.size() && text[next] == quote) {
      return true;
    }
  }
  return false;
}

// The readings worth trying for one delimiter: each quote the text holds, a
// backslash escape where one stands before the delimiter or the quote, and
// blanks skipped where a quoted field follows them. Reading no quote at all is
// not a candidate here: it would win wherever a quoted field spans lines,
// well-formed files included; detect_dialect weighs it last, and only where
// no field is properly quoted.
void add_candidates(std::vector<Candidate> &out, std::string_view sample, std::uint8_t delimiter,
                    const std::string &comment) {
  const char d = static_cast<char>(delimiter);
  std::vector<std::uint8_t> quotes = {'"'};
  if (delimiter != '\'' && sample.find('\'') != std::string_view::npos) {
    quotes.push_back('\'');
  }
  for (const std::uint8_t quote : quotes) {
    const char q = static_cast<char>(quote);
    const bool escapes = delimiter != '\\' && (holds(sample, '\\', d) || holds(sample, '\\', q));
    const bool blanks = delimiter != ' ' && delimiter != '\t' && quoted_after_blanks(sample, d, q);
    for (int escape = 0; escape <= (escapes ? 1 : 0); ++escape) {
      for (int skip = 0; skip <= (blanks ? 1 : 0); ++skip) {
        ParseRules rules;
        if (escape != 0) {
          rules.escape = '\\';
        }
        rules.skip_blanks = skip != 0;
        rules.comment_prefix = comment;
        out.push_back({delimiter, quote, std::move(rules)});
      }
    }
  }
}

// How row `at` differs in type from the rows below it: a vote for each column
// where its cell is text over values, one against each where it is a value of
// the column's own kind. `all_text` tells whether its cells are all text and
// none recurs below.
int header_votes(const std::vector<Row> &rows, std::size_t at, std::size_t width, bool &all_text) {
  const Row &head = rows[at];
  int votes = 0;
  all_text = true;
  for (std::size_t column = 0; column < width; ++column) {
    std::map<CellType, std::size_t> kinds;
    std::size_t below = 0;
    bool recurs = false;
    for (std::size_t i = at + 1; i < rows.size(); ++i) {
      if (rows[i].types.size() == width && rows[i].types[column] != CellType::Empty) {
        ++kinds[rows[i].types[column]];
        ++below;
        recurs |= rows[i].cells[column] == head.cells[column];
      }
    }
    const CellType type = head.types[column];
    all_text &= (type == CellType::Word || type == CellType::Other) && !recurs;
    if (below == 0) {
      continue;
    }
    const auto commonest =
        std::max_element(kinds.begin(), kinds.end(),
                         [](const auto &a, const auto &b) { return a.second < b.second; });
    const bool typed_column = is_typed(commonest->first) && commonest->second * 3 >= below * 2;
    if (typed_column && !is_typed(type)) {
      ++votes;
    } else if (typed_column && type == commonest->first) {
      --votes;
    }
  }
  return votes;
}

// Whether the first row is a header: in some column its cell is text over
// values, and in none is it a value of the column's own kind; or, over text
// columns, its cells are all text, distinct, and none recurs below.
bool has_header(const std::vector<Row> &rows, std::size_t first, std::size_t width) {
  const Row &head = rows[first];
  if (head.types.size() != width || rows.size() - first < 2) {
    return false;
  }
  bool all_text = false;
  const int votes = header_votes(rows, first, width, all_text);
  if (votes != 0) {
    return votes > 0;
  }
  std::vector<std::string> cells = head.cells;
  std::sort(cells.begin(), cells.end());
  return all_text && std::adjacent_find(cells.begin(), cells.end()) == cells.end();
}

// The header rows from `first` on: the first as has_header finds it, then
// the rows after it whose cells are all text or empty and that are text over
// values in some column (a title row over a unit row: `,cm,kg`).
std::uint64_t header_rows(const std::vector<Row> &rows, std::size_t first, std::size_t width) {
  if (first >= rows.size() || !has_header(rows, first, width)) {
    return 0;
  }
  std::uint64_t count = 1;
  for (; count < MAX_HEADER_ROWS && first + count + 1 < rows.size(); ++count) {
    const Row &row = rows[first + count];
    const bool text = std::all_of(row.types.begin(), row.types.end(), [](CellType type) {
      return type == CellType::Empty || !is_typed(type);
    });
    bool all_text = false;
    if (row.blank || !text || row.types.size() != width ||
        header_votes(rows, first + count, width, all_text) <= 0) {
      break;
    }
  }
  return count;
}

// Whether some field of `text` is properly quoted with `quote`: opened at a
// line start or right after a delimiter (and blanks, where they are skipped),
// closed right before a delimiter or a line end (blanks between allowed). On
// its own line, quotes before the closing one are taken as stray; a field
// whose line holds no other quote but doubled ones runs on to the next quote,
// over line breaks. Every delimiter counts as a field start, which can only
// make the answer yes; so does a scan that runs long.
bool properly_quoted(std::string_view text, char delimiter, char quote, bool skip_blanks) {
  std::size_t budget = 4 * text.size();
  auto closes = [&](std::size_t at) {
    std::size_t after = at + 1;
    while (after < text.size() && (text[after] == ' ' || text[after] == '\t')) {
      ++after;
    }
    return after == text.size() || text[after] == delimiter || text[after] == '\n' ||
           text[after] == '\r';
  };
  // The next quote from `at` that is not one of a doubled pair.
  auto single_quote = [&](std::size_t at) {
    at = text.find(quote, at);
    while (at != std::string_view::npos && at + 1 < text.size() && text[at + 1] == quote) {
      at = text.find(quote, at + 2);
    }
    return at;
  };
  bool field_start = true;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c == delimiter || c == '\n' || c == '\r') {
      field_start = true;
      continue;
    }
    if (field_start && skip_blanks && (c == ' ' || c == '\t')) {
      continue;
    }
    if (field_start && c == quote) {
      const std::size_t end = line_end(text, at + 1);
      bool stray = false;
      std::size_t close = single_quote(at + 1);
      for (; close < end; close = single_quote(close + 1)) {
        if (closes(close)) {
          return true;
        }
        stray = true;
      }
      if (!stray && close != std::string_view::npos && closes(close)) {
        return true;
      }
      const std::size_t scanned = std::min(close, text.size()) - at;
      if (scanned > budget) {
        return true;
      }
      budget -= scanned;
    }
    field_start = false;
  }
  return false;
}

// Whether some cell holds the quote after its first byte: an inch mark,
// which a writer that quotes would have quoted.
bool quote_inside_cells(const Reading &reading, char quote) {
  return std::any_of(reading.rows.begin(), reading.rows.end(), [&](const Row &row) {
    return std::any_of(row.cells.begin(), row.cells.end(), [&](const std::string &cell) {
      return cell.find(quote, 1) != std::string::npos;
    });
  });
}

// The share of the sample's lines read as records of the reading's width,
// each on a line of its own and with no unclosed quote read as text.
double lines_fitting(const Reading &reading) {
  std::uint64_t lines = 0;
  std::uint64_t fitting = 0;
  for (const Row &row : reading.rows) {
    if (!row.blank) {
      lines += row.lines;
      fitting += row.types.size() == reading.width && row.lines == 1 && !row.recovered ? 1u : 0u;
    }
  }
  return lines == 0 ? 0.0 : static_cast<double>(fitting) / static_cast<double>(lines);
}

// Leading lines that do not split like the table below them: at most
// PREAMBLE_LIMIT records, each at most half as wide as the table (titles,
// notes; blank lines are not in the sample), followed by a row at the table's
// width from which the rows keep to it. A header, even one short of a field
// or two, is never taken for one of them.
std::uint64_t preamble_lines(const std::vector<Row> &rows) {
  for (std::size_t run = 1; run < rows.size() && run <= PREAMBLE_LIMIT; ++run) {
    const std::size_t width = rows[run].types.size();
    if (width < 2 || rows[run - 1].types.size() * 2 > width) {
      continue;
    }
    std::size_t at_width = 0;
    std::size_t total = 0;
    if (common_width(rows, run, at_width, total) != width ||
        static_cast<double>(at_width) < CONSISTENT * static_cast<double>(total) || total < 2) {
      continue;
    }
    const bool narrow = std::all_of(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(run),
                                    [&](const Row &row) { return row.types.size() * 2 <= width; });
    return narrow ? rows[run].start_line - 1 : 0;
  }
  return 0;
}

// The search for a reading that explains the damage of the strict classic
// reading: another delimiter, the quote ', an escape, blanks skipped, comment
// lines, no quoting. Each must leave fewer rows damaged, and either read none
// as damaged or read otherwise only the rows the classic reading shows as
// damaged (where the classic rows are one field wide, nothing of the table is
// known and none is kept). `best` holds the classic candidate on entry and the
// one chosen on return.
Reading settle_damaged(const Sample &sample, bool cut, ParserInput kind, const Reading &strict,
                       Candidate &best) {
  const std::size_t damage = damaged_rows(strict);
  auto explains = [&](const Candidate &candidate, const Reading &reading) {
    const std::size_t left = damaged_rows(reading, true);
    return left < damage && (left == 0 || strict.width < 2 ||
                             keeps_sound_rows(strict, reading, candidate.rules.skip_blanks));
  };
  // Comment lines are candidates when some line starts with the prefix.
  bool commented = std::string_view(sample.text).starts_with(COMMENT_PREFIX);
  for (std::size_t from = sample.text.find('\n'); !commented && from != std::string_view::npos;
       from = sample.text.find('\n', from + 1)) {
    commented = std::string_view(sample.text).substr(from + 1).starts_with(COMMENT_PREFIX);
  }
  const std::string comment = commented ? std::string(COMMENT_PREFIX) : std::string();
  Candidate classic = best;
  classic.rules.comment_prefix = comment;
  Reading classic_reading = read(sample, cut, classic, kind);

  auto best_of = [&](auto &&delimiters, Candidate &chosen, Reading &chosen_reading) {
    std::vector<Candidate> candidates;
    for (std::uint8_t delimiter : delimiters) {
      if (sample.text.find(static_cast<char>(delimiter)) != std::string_view::npos &&
          !(commented && delimiter == COMMENT_PREFIX.front())) {
        add_candidates(candidates, sample.text, delimiter, comment);
      }
    }
    for (const Candidate &candidate : candidates) {
      Reading reading = read(sample, cut, candidate, kind);
      // Cells that look much less like values than the classic reading's
      // are text cut at the wrong places.
      const bool splits = candidate.delimiter == classic.delimiter ||
                          (reading.width >= 2 && reading.consistency >= OTHER_DELIMITER_CONSISTENT);
      if (reading.score > chosen_reading.score && splits &&
          reading.typed >= TYPED_KEPT * classic_reading.typed && explains(candidate, reading)) {
        chosen = candidate;
        chosen_reading = std::move(reading);
      }
    }
  };
  Reading best_reading;
  best_of(CANDIDATE_DELIMITERS, best, best_reading);
  if (best_reading.consistency < CONSISTENT || best_reading.width < 2) {
    std::vector<std::uint8_t> others;
    for (std::uint8_t byte = '!'; byte <= '~'; ++byte) {
      const bool punctuation = !(byte >= '0' && byte <= '9') && !(byte >= 'a' && byte <= 'z') &&
                               !(byte >= 'A' && byte <= 'Z');
      if (punctuation && byte != '"' &&
          std::find(CANDIDATE_DELIMITERS.begin(), CANDIDATE_DELIMITERS.end(), byte) ==
              CANDIDATE_DELIMITERS.end()) {
        others.push_back(byte);
      }
    }
    others.push_back(' ');
    best_of(others, best, best_reading);
  }
  if (!(best_reading.score > classic_reading.score * CLASSIC_MARGIN)) {
    best = classic;
    best_reading = std::move(classic_reading);
  }
  // A comment prefix stays only where some line it marks does not split like
  // the rows (those that do are rows anyway), and leaving them out explains
  // damage.
  if (commented) {
    Candidate plain = best;
    plain.rules.comment_prefix.clear();
    Reading plain_reading = read(sample, cut, plain, kind);
    if (best_reading.width < 2 && plain_reading.width >= 2) {
      // Every line is marked: the rows are the lines of the table's width.
      best_reading = read(sample, cut, best, kind, Recovery::AsSalvage, 0, plain_reading.width);
    }
    const std::size_t width = best_reading.width;
    std::size_t marked = 0;
    std::size_t like_rows = 0;
    for (const Row &row : plain_reading.rows) {
      if (!row.cells.empty() && row.cells[0].starts_with(COMMENT_PREFIX)) {
        ++marked;
        like_rows += row.types.size() == width && width > 1 ? 1u : 0u;
      }
    }
    if (like_rows == marked ||
        (damaged_rows(best_reading) >= damaged_rows(plain_reading) &&
         best.delimiter == plain.delimiter) ||
        !explains(best, best_reading)) {
      best = std::move(plain);
      best_reading = std::move(plain_reading);
    }
  }
  // Blanks after every delimiter of the rows at the table's width are the
  // writer's, not the cells'.
  if (!best.rules.skip_blanks && best.delimiter != ' ' && best.delimiter != '\t') {
    const Reading fitting = sound_rows(best_reading);
    if (fitting.rows.size() >= 2 && every_cell_blank_led(fitting)) {
      Candidate skipping = best;
      skipping.rules.skip_blanks = true;
      Reading skipped = read(sample, cut, skipping, kind);
      if (damaged_rows(skipped) <= damaged_rows(best_reading) &&
          (strict.width < 2 || keeps_sound_rows(strict, skipped, true))) {
        best = std::move(skipping);
        best_reading = std::move(skipped);
      }
    }
  }
  // The quote is text where no field is quoted properly, some cell holds it
  // inside, and reading it as a quote fits fewer lines to the table: inch
  // marks, a lone quote opening a cell. One properly quoted field keeps it a
  // quote; so does a lone opening quote alone, which the recovery reads.
  const char delimiter = static_cast<char>(best.delimiter);
  if (best.rules.quoting && sample.text.find(static_cast<char>(best.quote)) != std::string::npos &&
      !properly_quoted(sample.text, delimiter, '"', best.rules.skip_blanks) &&
      !properly_quoted(sample.text, delimiter, '\'', best.rules.skip_blanks)) {
    Candidate plain = best;
    plain.rules.quoting = false;
    Reading plain_reading = read(sample, cut, plain, kind);
    if (plain_reading.width >= 2 &&
        quote_inside_cells(plain_reading, static_cast<char>(best.quote)) &&
        lines_fitting(plain_reading) > lines_fitting(best_reading) &&
        (strict.width < 2 || keeps_sound_rows(strict, plain_reading, plain.rules.skip_blanks))) {
      best = std::move(plain);
      best_reading = std::move(plain_reading);
    }
  }
  return best_reading;
}

std::string quoted_byte(std::uint8_t byte) {
  return byte == ' ' ? std::string("space") : "'" + std::string(1, static_cast<char>(byte)) + "'";
}

// What the reading leaves as it is but may be otherwise, one sentence each,
// with the option that reads it so: a second table (the header repeated), rows
// written with another classic delimiter, a title row kept above the header,
// a one-column file that another delimiter splits into a table, cells that
// are all wrapped in single quotes.
std::vector<std::string> notes(const Sample &sample, bool cut, ParserInput kind,
                               const Candidate &chosen, const Reading &reading, std::size_t first,
                               std::uint64_t header_rows, bool sound) {
  std::vector<std::string> found;
  const std::vector<Row> &rows = reading.rows;
  const std::size_t width = reading.width;
  if (header_rows > 0 && first < rows.size()) {
    for (std::size_t i = first + header_rows; i < rows.size(); ++i) {
      if (rows[i].cells == rows[first].cells) {
        found.push_back("line " + std::to_string(rows[i].start_line) +
                        " repeats the header of line " + std::to_string(rows[first].start_line) +
                        ": a second table may start there");
        break;
      }
    }
  }
  if (width >= 2) {
    for (const std::uint8_t other : CANDIDATE_DELIMITERS) {
      if (other == chosen.delimiter) {
        continue;
      }
      std::vector<std::uint64_t> lines;
      for (const Row &row : rows) {
        if (row.cells.size() == 1 && !row.blank &&
            static_cast<std::size_t>(
                std::count(row.cells[0].begin(), row.cells[0].end(), static_cast<char>(other))) +
                    1 ==
                width) {
          lines.push_back(row.start_line);
        }
      }
      if (!lines.empty()) {
        found.push_back("line " + std::to_string(lines.front()) +
                        (lines.size() > 1 ? " and " + std::to_string(lines.size() - 1) + " more"
                                          : std::string()) +
                        " split into " + std::to_string(width) + " fields at " +
                        quoted_byte(other) + ", not at " + quoted_byte(chosen.delimiter) +
                        ": written with another delimiter");
      }
    }
    if (rows.size() >= 3 && rows[0].cells.size() == width && !rows[0].cells[0].empty() &&
        std::all_of(rows[0].cells.begin() + 1, rows[0].cells.end(),
                    [](const std::string &cell) { return cell.empty(); }) &&
        has_header(rows, 1, width)) {
      const std::string line = std::to_string(rows[0].start_line);
      found.push_back("line " + line +
                      " holds one cell above the header, like a title; it was kept as a row: "
                      "--preamble-lines " +
                      line + " leaves it out");
    }
  }
  if (sound && width == 1) {
    Candidate splitting;
    Reading split;
    for (std::uint8_t byte = ' '; byte <= '~'; ++byte) {
      const bool punctuation = !(byte >= '0' && byte <= '9') && !(byte >= 'a' && byte <= 'z') &&
                               !(byte >= 'A' && byte <= 'Z');
      if (!punctuation || byte == '"' || byte == COMMENT_PREFIX.front() ||
          sample.text.find(static_cast<char>(byte)) == std::string::npos) {
        continue;
      }
      Candidate candidate{byte, '"', {}};
      Reading reading_at = read(sample, cut, candidate, kind, Recovery::None);
      if (reading_at.width >= 2 && damaged_rows(reading_at) == 0 &&
          reading_at.score > split.score) {
        splitting = candidate;
        split = std::move(reading_at);
      }
    }
    if (split.width >= 2) {
      found.push_back(
          "every line splits into " + std::to_string(split.width) + " fields at " +
          quoted_byte(splitting.delimiter) + "; the file was read as one column: --delimiter " +
          (splitting.delimiter == ' ' ? std::string("' '") : quoted_byte(splitting.delimiter)) +
          " reads it as a table");
    }
  }
  if (chosen.rules.quoting && chosen.quote == '"' && rows.size() >= 2) {
    bool wrapped = true;
    for (const Row &row : rows) {
      for (const std::string &cell : row.cells) {
        wrapped &= row.blank || cell.empty() ||
                   (cell.size() >= 2 && cell.front() == '\'' && cell.back() == '\'');
      }
    }
    if (wrapped) {
      found.push_back("every cell is enclosed in single quotes, kept as text: "
                      "--quote-char \"'\" reads them as quotes");
    }
  }
  return found;
}

} // namespace

std::optional<Dialect> detect_dialect(std::string_view head, StopPoll stop, ParserInput kind,
                                      bool *reached_end) {
  // The lines read: DIALECT_LINE_LIMIT of them that are not blank, copied
  // without the blank ones (which no reading splits) within
  // DIALECT_SAMPLE_BYTES; each copied line keeps its line number. Lines inside
  // a quoted field (by the count of '"' before them) do not count, so that a
  // long quoted field near the top is read whole, up to QUOTED_LINES_FACTOR
  // times as many lines.
  Sample sample;
  std::size_t at = start_offset(head, kind);
  std::uint64_t line = 1;
  StopCheckpoints checkpoints(stop);
  bool long_line = false;
  std::size_t counted = 0;
  bool in_quotes = false;
  while (at < head.size() && counted < DIALECT_LINE_LIMIT &&
         sample.lines.size() < QUOTED_LINES_FACTOR * DIALECT_LINE_LIMIT) {
    if (checkpoints.stop_at(at)) {
      return std::nullopt;
    }
    const std::size_t end = line_end(head, at);
    std::size_t next = end;
    if (end < head.size()) {
      next += head[end] == '\r' && end + 1 < head.size() && head[end + 1] == '\n' ? 2u : 1u;
    }
    const std::string_view text = head.substr(at, end - at);
    if (text.find_first_not_of(" \t") != std::string_view::npos) {
      if (sample.text.size() + (next - at) > DIALECT_SAMPLE_BYTES) {
        long_line = sample.lines.size() < 2;
        break;
      }
      sample.text.append(head.substr(at, next - at));
      sample.lines.push_back(line);
      counted += in_quotes ? 0u : 1u;
      in_quotes ^= std::count(text.begin(), text.end(), '"') % 2 != 0;
    }
    at = next;
    ++line;
  }
  const bool cut = at < head.size();
  if (!cut && reached_end != nullptr) {
    *reached_end = true;
  }
  // Lines too long to sample are read the classic way, which does not read
  // them once per candidate.
  if (long_line) {
    const std::optional<std::uint8_t> sniffed = sniff_delimiter(head, '"', stop, kind, reached_end);
    if (!sniffed) {
      return std::nullopt;
    }
    const std::optional<std::uint64_t> columns =
        infer_column_count(head, *sniffed, '"', stop, kind, reached_end);
    if (!columns) {
      return std::nullopt;
    }
    Dialect dialect;
    dialect.delimiter = *sniffed;
    dialect.columns = *columns;
    return dialect;
  }
  if (stop(false)) {
    return std::nullopt;
  }
  const std::optional<std::uint8_t> sniffed = sniff_delimiter(sample.text, '"', stop, kind);
  if (!sniffed) {
    return std::nullopt;
  }
  Candidate best{*sniffed, '"', {}};
  // The classic reading as a strict reader takes it: the rows every other
  // reading must leave as they are.
  Reading strict = read(sample, cut, best, kind, Recovery::None);
  bool sound = damaged_rows(strict) == 0 && !strict.rows.empty();
  // Where the sniffed delimiter leaves one column or damage, another classic
  // delimiter that reads a sound table of two columns or more is the classic
  // reading (a single line, cells holding the sniffed delimiter).
  if (!sound || strict.width < 2) {
    for (const std::uint8_t other : CANDIDATE_DELIMITERS) {
      if (other == best.delimiter ||
          sample.text.find(static_cast<char>(other)) == std::string::npos) {
        continue;
      }
      Reading reading = read(sample, cut, {other, '"', {}}, kind, Recovery::None);
      if (reading.width >= 2 && damaged_rows(reading) == 0 && !reading.rows.empty() &&
          (!sound || reading.width > strict.width)) {
        best.delimiter = other;
        strict = std::move(reading);
        sound = true;
      }
    }
  }
  Reading best_reading;
  if (sound) {
    best_reading = strict;
    // Blanks after every delimiter are the writer's, not the cells'.
    if (best.delimiter != ' ' && best.delimiter != '\t' && every_cell_blank_led(strict)) {
      Candidate skipping = best;
      skipping.rules.skip_blanks = true;
      Reading skipped = read(sample, cut, skipping, kind, Recovery::None);
      if (damaged_rows(skipped) == 0 && skipped.width == strict.width) {
        best = std::move(skipping);
        best_reading = std::move(skipped);
      }
    }
  } else {
    best_reading = settle_damaged(sample, cut, kind, strict, best);
  }
  if (stop(false)) {
    return std::nullopt;
  }

  Dialect dialect;
  dialect.delimiter = best.delimiter;
  dialect.quote_char = best.quote;
  dialect.rules = best.rules;
  const std::vector<Row> &rows = best_reading.rows;
  if (!sound) {
    dialect.rules.preamble_lines = preamble_lines(rows);
  }
  std::size_t first = 0;
  while (first < rows.size() && rows[first].start_line <= dialect.rules.preamble_lines) {
    ++first;
  }
  // The width from the first records of the whole head, as the classic
  // inference takes it, but for ties, which go to the header's width.
  const std::optional<std::vector<std::size_t>> widths =
      head_field_counts(head, dialect.delimiter, dialect.quote_char, INFER_RECORD_LIMIT, stop, kind,
                        reached_end, dialect.rules, best_reading.width);
  if (!widths) {
    return std::nullopt;
  }
  std::size_t at_width = 0;
  std::size_t total = 0;
  dialect.columns = common_width(*widths, at_width, total);
  while (first < rows.size() && rows[first].blank) {
    ++first;
  }
  dialect.header_rows = header_rows(rows, first, dialect.columns);
  // A sound reading is the strict reader's: only the share of rows at its
  // width is in doubt. Another reading is a guess, as sure as its cells look
  // like values.
  const double consistency =
      total == 0 ? 0.0 : static_cast<double>(at_width) / static_cast<double>(total);
  dialect.confidence = sound ? consistency : consistency * best_reading.typed;
  dialect.notes = notes(sample, cut, kind, best, best_reading, first, dialect.header_rows, sound);
  return dialect;
}

} // namespace tidewrack
