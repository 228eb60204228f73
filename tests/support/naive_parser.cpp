#include "naive_parser.h"

namespace naive {

namespace {

bool is_blank(std::uint8_t b) {
  return b == ' ' || b == '\t';
}

// Code point range reachable from a prefix of an n-byte sequence.
bool prefix_can_complete(std::string_view bytes, std::size_t length) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  std::uint8_t lead = byte(0);
  std::size_t n = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (n == 0 || length > n) {
    return false;
  }
  std::uint32_t low = lead & (0x7Fu >> n), high = low;
  for (std::size_t i = 1; i < n; ++i) {
    if (i < length) {
      if ((byte(i) & 0xC0) != 0x80) {
        return false;
      }
      low = (low << 6) | (byte(i) & 0x3Fu);
      high = (high << 6) | (byte(i) & 0x3Fu);
    } else {
      low = low << 6;
      high = (high << 6) | 0x3Fu;
    }
  }
  std::uint32_t min = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
  std::uint32_t max = n == 2 ? 0x7FF : n == 3 ? 0xFFFF : 0x10FFFF;
  low = std::max(low, min);
  high = std::min(high, max);
  if (low > high) {
    return false;
  }
  bool all_surrogates = low >= 0xD800 && high <= 0xDFFF;
  return !all_surrogates;
}

std::size_t full_length(std::uint8_t lead) {
  return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
}

} // namespace

std::string sanitize(std::string_view bytes) {
  std::string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
      out += bytes[i++];
      continue;
    }
    std::size_t longest = 0;
    for (std::size_t length = 1; length <= 4 && i + length <= bytes.size(); ++length) {
      if (prefix_can_complete(bytes.substr(i), length)) {
        longest = length;
      }
    }
    if (longest > 0 && longest == full_length(static_cast<std::uint8_t>(bytes[i]))) {
      out += bytes.substr(i, longest);
      i += longest;
    } else {
      out += "\xEF\xBF\xBD";
      i += longest == 0 ? 1 : longest;
    }
  }
  return out;
}

namespace {

std::vector<Row> parse_from(std::string_view text, std::size_t pos, std::uint8_t delim,
                            std::uint8_t quote_byte, bool repair_quotes, Recovery recovery,
                            const tidewrack::ParseRules &rules) {
  const int quote = rules.quoting ? quote_byte : -1;
  const int escape = rules.escape ? *rules.escape : -1;
  const auto *d = reinterpret_cast<const std::uint8_t *>(text.data());
  const std::size_t n = text.size();
  std::uint64_t line = 1;
  std::vector<Row> rows;
  // Recovery applies where the parser cuts records from classified blocks.
  if (!rules.classic() || delim == quote || delim == '\r' || delim == '\n' || quote == '\r' ||
      quote == '\n' || is_blank(static_cast<std::uint8_t>(quote))) {
    recovery.columns = 0;
  }

  auto skip = [&](std::size_t from) {
    while (from < n && is_blank(d[from]) && d[from] != delim) {
      ++from;
    }
    return from;
  };
  auto terminal = [&](std::size_t at) {
    return at == n || d[at] == delim || d[at] == '\r' || d[at] == '\n';
  };
  auto closes = [&](std::size_t i) {
    std::size_t j = skip(i + 1);
    if (terminal(j)) {
      return true;
    }
    for (std::size_t k = j;; ++k) {
      if (k == n || d[k] == '\r' || d[k] == '\n') {
        return true;
      }
      if (d[k] == quote && terminal(skip(k + 1))) {
        return false;
      }
    }
  };

  // Whether a line break inside a field counts a line.
  auto counts_line = [&](std::size_t at) {
    return d[at] == '\n' ||
           (rules.count_lone_cr && d[at] == '\r' && (at + 1 == n || d[at + 1] != '\n'));
  };
  auto past_break = [&](std::size_t at) {
    return d[at] == '\r' && at + 1 < n && d[at + 1] == '\n' ? at + 2 : at + 1;
  };
  // Whether the opening quote of a field whose first line break inside quotes
  // is at `at` is read as text, worked out afresh every time.
  auto recovers = [&](std::size_t at) {
    const std::size_t first = past_break(at);
    std::vector<std::pair<std::size_t, std::size_t>> window;
    std::size_t next = first;
    while (next < n &&
           (window.empty() || (window.size() < recovery.lines && next - first < recovery.bytes))) {
      std::size_t end = next;
      while (end < n && d[end] != '\r' && d[end] != '\n') {
        ++end;
      }
      window.emplace_back(next, end);
      next = end < n ? past_break(end) : n;
    }
    for (std::size_t p = first; p < next;) {
      if (d[p] == quote) {
        if (p + 1 == n) {
          return false;
        }
        if (d[p + 1] == quote) {
          p += 2;
          continue;
        }
        if (!repair_quotes || terminal(skip(p + 1))) {
          return false;
        }
        // A stray quote, or one that leaves text after it: the window ends at its line.
        while (window.back().first > p) {
          window.pop_back();
        }
        break;
      }
      ++p;
    }
    std::uint64_t fitting = 0, non_blank = 0;
    for (const auto &[begin, end] : window) {
      std::size_t p = begin;
      while (p < end && is_blank(d[p])) {
        ++p;
      }
      if (p == end) {
        continue;
      }
      ++non_blank;
      // Cut alone; a quote left open on it is read both ways: running on to
      // the line's end, and as text (the line ended by a line break, which
      // puts it in doubt with nothing after it).
      const std::string_view alone = text.substr(begin, end - begin);
      const std::string ended = std::string(alone) + "\n";
      auto width = [&](std::string_view alone_text, Recovery inner) {
        return parse_from(alone_text, 0, delim, quote_byte, repair_quotes, inner, rules)
            .front()
            .fields.size();
      };
      fitting += width(alone, {}) == recovery.columns || width(ended, recovery) == recovery.columns
                     ? 1U
                     : 0U;
    }
    return non_blank == 0 || fitting * 10 >= non_blank * 9;
  };

  enum class State { FieldStart, Unquoted, Quoted, AfterQuote };
  while (pos < n) {
    Row row;
    row.start_line = line;
    row.begin = pos;
    const std::string_view prefix = rules.comment_prefix;
    if (line <= rules.preamble_lines ||
        (!prefix.empty() && text.substr(pos, prefix.size()) == prefix)) {
      row.kind = line <= rules.preamble_lines ? 2 : 1;
      while (pos < n && d[pos] != '\r' && d[pos] != '\n') {
        ++pos;
      }
      row.end_line = line;
      if (pos < n) {
        pos = past_break(pos);
        ++line;
      }
      row.end = pos;
      rows.push_back(std::move(row));
      continue;
    }
    std::string field;
    State state = State::FieldStart;
    std::size_t opening = 0;
    std::uint64_t strays_before = 0;
    bool doubted = false;
    auto complete = [&] {
      row.fields.push_back(sanitize(field));
      field.clear();
    };
    bool done = false;
    while (!done) {
      if (pos == n) {
        if (state == State::FieldStart) {
          row.fields.emplace_back();
        } else {
          complete();
        }
        row.end_line = line;
        row.end = pos;
        break;
      }
      std::uint8_t x = d[pos];
      // The escape takes the next byte as it is; one that ends the input stays.
      auto escaped = [&] {
        if (pos + 1 == n) {
          field += static_cast<char>(x);
          ++pos;
          return;
        }
        if (counts_line(pos + 1)) {
          ++line;
        }
        field += static_cast<char>(d[pos + 1]);
        pos += 2;
      };
      auto after_delimiter = [&] {
        ++pos;
        while (rules.skip_blanks && pos < n && is_blank(d[pos])) {
          ++pos;
        }
        state = State::FieldStart;
      };
      auto line_break = [&] {
        ++pos;
        if (x == '\r' && pos < n && d[pos] == '\n') {
          ++pos;
        }
        row.end_line = line;
        row.end = pos;
        ++line;
        done = true;
      };
      switch (state) {
      case State::FieldStart:
        if (x == quote) {
          opening = pos;
          strays_before = row.stray_quotes;
          doubted = false;
          ++pos;
          state = State::Quoted;
        } else if (x == delim) {
          row.fields.emplace_back();
          after_delimiter();
        } else if (x == '\r' || x == '\n') {
          row.fields.emplace_back();
          line_break();
        } else {
          state = State::Unquoted;
        }
        break;
      case State::Unquoted:
        if (x == escape) {
          escaped();
        } else if (x == delim) {
          complete();
          after_delimiter();
        } else if (x == '\r' || x == '\n') {
          complete();
          line_break();
        } else {
          field += static_cast<char>(x);
          ++pos;
        }
        break;
      case State::Quoted:
        if (x == escape) {
          escaped();
        } else if (x == quote) {
          if (pos + 1 == n) {
            ++pos;
            state = State::AfterQuote;
          } else if (d[pos + 1] == quote) {
            field += static_cast<char>(quote_byte);
            pos += 2;
          } else if (!repair_quotes || closes(pos)) {
            ++pos;
            state = State::AfterQuote;
          } else {
            field += static_cast<char>(x);
            ++row.stray_quotes;
            ++pos;
          }
        } else {
          if ((x == '\r' || x == '\n') && recovery.columns != 0 && !doubted) {
            doubted = true;
            if (recovers(pos)) {
              row.unclosed_quote_lines.push_back(line);
              row.stray_quotes = strays_before;
              field = std::string(1, static_cast<char>(quote_byte));
              pos = opening + 1;
              state = State::Unquoted;
              break;
            }
          }
          if (counts_line(pos)) {
            ++line;
          }
          field += static_cast<char>(x);
          ++pos;
        }
        break;
      case State::AfterQuote:
        if (x == delim) {
          complete();
          after_delimiter();
        } else if (is_blank(x) && terminal(skip(pos)) && !rules.keep_blanks_after_quote) {
          ++pos;
        } else if (x == '\r' || x == '\n') {
          complete();
          line_break();
        } else {
          state = State::Unquoted; // which takes this byte
        }
        break;
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

} // namespace

std::vector<Row> parse(std::string_view text, std::uint8_t delim, std::uint8_t quote,
                       bool repair_quotes, Recovery recovery, const tidewrack::ParseRules &rules) {
  const std::size_t start = text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  return parse_from(text, start, delim, quote, repair_quotes, recovery, rules);
}

} // namespace naive
