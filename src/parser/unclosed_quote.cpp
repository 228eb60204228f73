#include "parser/unclosed_quote.h"

#include <cstring>

#include "base/byte_scan.h"
#include "parser/resilient_parser.h"

namespace tidewrack {

namespace {

// First byte after the line break at `at` (LF, CR, or CR LF as one).
std::size_t past_line_break(const unsigned char *data, std::size_t size, std::size_t at) {
  return data[at] == '\r' && at + 1 < size && data[at + 1] == '\n' ? at + 2 : at + 1;
}

std::size_t find_byte(const unsigned char *data, std::size_t from, std::size_t to,
                      std::uint8_t byte) {
  const void *hit = std::memchr(data + from, byte, to - from);
  return hit == nullptr ? to
                        : static_cast<std::size_t>(static_cast<const unsigned char *>(hit) - data);
}

} // namespace

bool UnclosedQuoteCheck::reads_as_text(ResilientParser &parser, std::size_t line_break) {
  const unsigned char *const data = parser.data_;
  const std::size_t size = parser.size_;
  const std::size_t first = past_line_break(data, size, line_break);
  last_asked_ = line_break;

  // A search that ended at a stray quote holds for a line break before it.
  const std::size_t reusable_to = ended_at_stray_ ? window_.back().begin - 1 : searched_to_;
  if (searched_ && searched_from_ <= line_break && line_break <= reusable_to) {
    // The search from an earlier quote passed this line break without the
    // field closing: from here on both searches read alike.
    while (!window_.empty() && window_.front().begin < first) {
      count(window_.front().verdict, false);
      window_.pop_front();
    }
    if (searched_to_ < first) {
      searched_to_ = first; // only line-break bytes lie between
    }
  } else {
    window_.clear();
    fitting_ = non_blank_ = 0;
    searched_ = true;
    ended_at_stray_ = false;
    searched_from_ = line_break;
    searched_to_ = first;
  }

  while (!ended_at_stray_ && !window_full() && searched_to_ < size) {
    Line line{searched_to_, find_line_break(data, searched_to_, size), 0, Verdict::unknown};
    line.next = line.end < size ? past_line_break(data, size, line.end) : size;
    const Close close = closes_within(parser, line);
    if (close == Close::closes) {
      searched_ = false;
      return false;
    }
    window_.push_back(line);
    searched_to_ = line.next;
    ended_at_stray_ = close == Close::stray;
  }

  // The field runs on past the window: judge the lines not judged yet, the
  // ones at the back that this search added.
  for (auto line = window_.rbegin(); line != window_.rend() && line->verdict == Verdict::unknown;
       ++line) {
    line->verdict = judge(parser, *line);
    count(line->verdict, true);
  }
  return non_blank_ == 0 || fitting_ * 10 >= non_blank_ * 9;
}

bool UnclosedQuoteCheck::window_full() const {
  if (window_.empty()) {
    return false;
  }
  return window_.size() >= limits_.lines ||
         window_.back().next - window_.front().begin >= limits_.bytes;
}

// Whether a quoted field that is open at the start of `line` closes on it, by
// the parser's rules for a quote inside a quoted field, or meets a stray quote
// first.
UnclosedQuoteCheck::Close UnclosedQuoteCheck::closes_within(ResilientParser &parser,
                                                            const Line &line) const {
  const unsigned char *const data = parser.data_;
  const std::uint8_t quote = parser.quote_;
  std::size_t at = line.begin;
  for (;;) {
    at = find_byte(data, at, line.end, quote);
    if (at == line.end) {
      return Close::no;
    }
    if (at + 1 == parser.size_) {
      return Close::closes;
    }
    if (data[at + 1] == quote) { // a doubled quote stands for one
      at += 2;
      continue;
    }
    // With text after it, a closing quote is no more a well-formed field's
    // end than a quote that stays text is.
    return !parser.repair_quotes_ || parser.closing_.ends_field(at) ? Close::closes : Close::stray;
  }
}

// Cuts the line into fields as the parser would if the line were the whole
// input, counting them.
UnclosedQuoteCheck::Verdict UnclosedQuoteCheck::judge(ResilientParser &parser,
                                                      const Line &line) const {
  const unsigned char *const data = parser.data_;
  const std::uint8_t delimiter = parser.delimiter_;
  const std::uint8_t quote = parser.quote_;
  const std::size_t end = line.end;
  std::size_t at = line.begin;
  while (at < end && (data[at] == ' ' || data[at] == '\t')) {
    ++at;
  }
  if (at == end) {
    return Verdict::blank;
  }
  at = line.begin;
  std::uint64_t fields = 1;
  bool open_read_as_text = false;

field_start:
  if (fields > columns_) {
    return Verdict::misfits;
  }
  if (at == end) {
    goto done;
  }
  if (data[at] == quote) {
    ++at;
    goto quoted;
  }
  if (data[at] == delimiter) {
    ++fields;
    ++at;
    goto field_start;
  }

unquoted:
  at = find_byte(data, at, end, delimiter);
  if (at == end) {
    goto done;
  }
  ++fields;
  ++at;
  goto field_start;

quoted: {
  const std::size_t opening = at - 1;
  for (;;) {
    at = find_byte(data, at, end, quote);
    if (at == end) {
      // Left open, the quote is itself in doubt: the line fits when it has
      // the width either as the first such quote leaves it or with every
      // such quote read as text.
      if (!open_read_as_text) {
        if (fields == columns_) {
          return Verdict::fits;
        }
        open_read_as_text = true;
      }
      at = opening + 1;
      goto unquoted;
    }
    if (at + 1 == end) {
      goto done; // closed by the line's last byte
    }
    if (data[at + 1] == quote) {
      at += 2;
      continue;
    }
    if (!parser.repair_quotes_ || parser.closing_.closes_field(at)) {
      ++at;
      break;
    }
    ++at;
  }
}
  // After the closing quote: blanks, then the delimiter, the end, or text
  // that joins the field.
  at = parser.closing_.after_blanks(at);
  if (at >= end) {
    goto done;
  }
  if (data[at] == delimiter) {
    ++fields;
    ++at;
    goto field_start;
  }
  goto unquoted;

done:
  return fields == columns_ ? Verdict::fits : Verdict::misfits;
}

void UnclosedQuoteCheck::count(Verdict verdict, bool entering) {
  if (verdict == Verdict::blank || verdict == Verdict::unknown) {
    return;
  }
  const std::uint64_t fits = verdict == Verdict::fits ? 1 : 0;
  if (entering) {
    fitting_ += fits;
    ++non_blank_;
  } else {
    fitting_ -= fits;
    --non_blank_;
  }
}

} // namespace tidewrack
