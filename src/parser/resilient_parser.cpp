#include "parser/resilient_parser.h"

#include <cstring>
#include <utility>

#include "base/utf8.h"

namespace tidewrack {

namespace {

constexpr std::uint8_t CR = '\r';
constexpr std::uint8_t LF = '\n';

bool is_blank(std::uint8_t byte) {
  return byte == ' ' || byte == '\t';
}

} // namespace

std::size_t start_offset(std::string_view data, ParserInput kind) {
  return kind == ParserInput::Bytes && data.starts_with("\xEF\xBB\xBF") ? 3 : 0;
}

ResilientParser::ResilientParser(std::string_view data, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes, ParserInput kind,
                                 ParseRules rules)
    : data_(reinterpret_cast<const unsigned char *>(data.data())), size_(data.size()),
      pos_(start_offset(data, kind)), delimiter_(delimiter), quote_(quote_char),
      repair_quotes_(repair_quotes), rules_(std::move(rules)),
      // Decoded text cut at ASCII bytes gives well-formed fields: no byte needs
      // a UTF-8 check.
      high_mask_(kind == ParserInput::DecodedText && delimiter < 0x80 && quote_char < 0x80
                     ? 0
                     : ~std::uint64_t{0}),
      // Blanks skipped after delimiters are the one rule beyond the classic
      // ones that the classified cutting reads.
      classified_(rules_.classic_but_blanks() && delimiter != quote_char && delimiter != CR &&
                  delimiter != LF && quote_char != CR && quote_char != LF && !is_blank(quote_char)),
      closing_(data_, size_, delimiter, quote_char) {}

void ResilientParser::recover_unclosed_quotes(std::uint64_t columns, QuoteRecoveryLimits limits) {
  if (columns != 0 && classified_ && rules_.classic()) {
    unclosed_quotes_ = std::make_unique<UnclosedQuoteCheck>(columns, limits);
  }
}

bool ResilientParser::next_row(Record &record) {
  record.clear();
  if (pos_ >= size_) {
    return false;
  }
  record.input = reinterpret_cast<const char *>(data_);
  record.begin = pos_;
  record.start_line = line_;
  if (!classified_) {
    return next_row_bytewise(record);
  }
  return (unclosed_quotes_ ? cut_classified<true, false>(record)
                           : cut_classified<false, false>(record)) != 0;
}

std::size_t ResilientParser::count_row(Record &first_field) {
  first_field.clear();
  if (pos_ >= size_) {
    return 0;
  }
  first_field.input = reinterpret_cast<const char *>(data_);
  first_field.begin = pos_;
  first_field.start_line = line_;
  if (!classified_) {
    // Settings parsed byte by byte build every field anyway; they are rare.
    do {
      first_field.clear();
      first_field.begin = pos_;
      first_field.start_line = line_;
      if (!next_row_bytewise(first_field)) {
        return 0;
      }
    } while (first_field.kind != Record::Kind::Data);
    return first_field.spans.size();
  }
  return unclosed_quotes_ ? cut_classified<true, true>(first_field)
                          : cut_classified<false, true>(first_field);
}

namespace {

// Checks the UTF-8 of the record's fields that are stretches of the input
// [from, to), marked UNCHECKED: they were cut at ASCII bytes, so when the whole
// stretch is valid, so is each of them. Otherwise each is checked on its own and
// an invalid one is copied into the record's text with U+FFFD put in.
[[gnu::noinline]] void check_stretches(Record &record, const unsigned char *data, std::size_t from,
                                       std::size_t to) {
  if (is_valid_utf8(reinterpret_cast<const char *>(data + from), to - from)) {
    return;
  }
  for (std::size_t i = 0; i < record.spans.size(); ++i) {
    Record::Span &span = record.spans[i];
    if ((span.size & Record::UNCHECKED) == 0) {
      continue;
    }
    const char *begin = reinterpret_cast<const char *>(data + span.begin);
    const std::size_t length = span.size & Record::SIZE_BITS;
    if (is_valid_utf8(begin, length)) {
      continue;
    }
    const std::size_t text_from = record.text.size();
    record.text.append(begin, length);
    sanitize_utf8_tail(record.text, text_from);
    span = {text_from,
            (record.text.size() - text_from) | (span.size & Record::SPECIAL) | Record::IN_TEXT};
  }
}

// Completes a field put together in the record's text from `text_from`, or, when
// its UTF-8 cannot wait for the whole record, a stretch of the input.
[[gnu::noinline]] void complete_assembled(Record &record, const unsigned char *data,
                                          std::size_t piece, std::size_t end, bool in_text,
                                          std::size_t text_from, std::size_t marks, bool high) {
  std::string &text = record.text;
  if (!in_text) {
    if (is_valid_utf8(reinterpret_cast<const char *>(data + piece), end - piece)) {
      record.spans.push_back({piece, (end - piece) | marks});
      return;
    }
    text_from = text.size();
  }
  text.append(reinterpret_cast<const char *>(data + piece), end - piece);
  if (high) {
    sanitize_utf8_tail(text, text_from);
  }
  record.spans.push_back({text_from, (text.size() - text_from) | marks | Record::IN_TEXT});
}

} // namespace

// Out of line: inlined into every pass of the record loops, the classifier's
// targets would crowd them.
[[gnu::noinline]] ByteClasses ResilientParser::classify_block(std::size_t base) const {
  ByteClasses classes = base + 64 > size_
                            ? classify_tail(target_, data_ + base, size_ - base, quote_, delimiter_)
                            : classify_64(target_, data_ + base, quote_, delimiter_);
  classes.high &= high_mask_;
  return classes;
}

void ResilientParser::end_batch(Record &record, std::size_t &checked_to, std::size_t end,
                                bool &unchecked) {
  if (take_batch_) {
    if (unchecked) {
      check_stretches(record, data_, checked_to, end);
    }
    take_batch_(record);
  }
  unchecked = false;
  checked_to = end;
  record.fields_before += record.spans.size();
  record.spans.clear();
  record.text.clear();
}

// Cuts one record using the classified blocks: between two bytes that steer the
// parser, ordinary bytes are passed over 64 at a time. A field that is a plain
// stretch of the input is recorded where it lies; only fields put together from
// several stretches, or with invalid UTF-8 replaced, are copied into the record.
// When COUNTING, only the first field is built: the fields after it are counted.
// Returns the number of fields.
template <bool RECOVERING, bool COUNTING>
std::size_t ResilientParser::cut_classified(Record &record) {
  const unsigned char *const data = data_;
  const std::size_t size = size_;
  const std::uint8_t delimiter = delimiter_;
  const std::uint8_t quote = quote_;
  const std::uint64_t quote_is_high = quote >= 0x80 ? 1 : 0;
  const bool skip_blanks = rules_.skip_blanks;
  const bool keep_blanks_after_quote = rules_.keep_blanks_after_quote;
  const bool count_lone_cr = rules_.count_lone_cr;
  // Inside quotes a CR stops the scan where it may count a line, or where
  // recovery may end the field at it.
  const std::uint64_t cr_stops = RECOVERING || count_lone_cr ? ~std::uint64_t{0} : 0;
  // With an ASCII delimiter and quote, stretches of the input are cut at ASCII
  // bytes and their UTF-8 is checked once for the whole record.
  const bool check_at_end = delimiter < 0x80 && quote < 0x80;
  GrowableArray<Record::Span> &spans = record.spans;
  std::string &text = record.text;
  record.specials_marked = check_at_end;

  const std::size_t record_start = pos_;
  std::size_t at = pos_;
  // A long record's fields go in batches; the UTF-8 of the stretches of the
  // batch held is checked from `checked_to` on.
  const std::size_t batch_fields = batch_fields_;
  const std::size_t batch_text = batch_text_;
  std::size_t checked_to = record_start;
  // The field under construction: the input from `piece` on, after what `text`
  // holds from `text_from` when `in_text`.
  std::size_t piece = 0;
  bool in_text = false;
  std::size_t text_from = 0;
  std::uint64_t special = 0; // nonzero once it holds the delimiter, the quote, CR or LF
  std::uint64_t high = 0;    // nonzero once it holds a byte that UTF-8 decoding may reject
  bool unchecked = false;    // some stretch waits for the record's UTF-8 check
  std::size_t closing = 0;   // the closing quote, in AfterQuote
  // With recovery, the quoted field under construction: its opening quote, the
  // stray quotes before it, and the opening quote last put in doubt.
  std::size_t opening = 0;
  std::uint64_t strays_before = 0;
  std::size_t doubted = ~std::size_t{0};
  // Fields completed so far, kept only while COUNTING (the spans count them otherwise).
  std::size_t completed = 0;
  // While COUNTING, the first field put together from pieces is settled once
  // it holds a byte that no blank field holds: it is built no further.
  bool settled = false;
  // Whether the field under construction is built; past the first, or once
  // settled, not while COUNTING.
  auto building = [&] { return !COUNTING || (completed == 0 && !settled); };
  // The classified block that holds `at`, kept in locals between calls.
  ClassifiedBlock block = block_;
  auto classify = [this](std::size_t base) { return classify_block(base); };

  auto start_field = [&](std::size_t from) {
    piece = from;
    in_text = false;
    settled = false;
    special = 0;
    high = 0;
  };
  auto cut_piece = [&](std::size_t end) {
    if (!building()) {
      return;
    }
    if (!in_text) {
      in_text = true;
      text_from = text.size();
    }
    if constexpr (COUNTING) {
      // White space takes only HT to CR and the space among ASCII bytes.
      for (std::size_t byte = piece; byte < end; ++byte) {
        if (data[byte] < 0x80 && data[byte] != ' ' && (data[byte] < '\t' || data[byte] > '\r')) {
          end = byte + 1;
          settled = true;
          break;
        }
      }
    }
    text.append(reinterpret_cast<const char *>(data + piece), end - piece);
  };
  auto complete_field = [&](std::size_t end) TIDEWRACK_ALWAYS_INLINE {
    if constexpr (COUNTING) {
      if (completed++ != 0) {
        return;
      }
      if (settled) {
        end = piece; // the rest is not built
      }
    }
    const std::size_t marks = special != 0 ? Record::SPECIAL : 0;
    if (!in_text && (high == 0 || check_at_end)) {
      const std::size_t wait = high != 0 ? Record::UNCHECKED : 0;
      unchecked |= high != 0;
      spans.push_back({piece, (end - piece) | marks | wait});
    } else {
      complete_assembled(record, data, piece, end, in_text, text_from, marks, high != 0);
    }
    if constexpr (!COUNTING) {
      if (spans.size() >= batch_fields || text.size() >= batch_text) [[unlikely]] {
        end_batch(record, checked_to, end, unchecked);
      }
    }
  };
  // The UTF-8 check of the stretches up to `end`; while COUNTING, of the one
  // built field alone.
  auto check_record = [&](std::size_t end) {
    if constexpr (COUNTING) {
      const Record::Span &first = spans[0];
      check_stretches(record, data, first.begin, first.begin + (first.size & Record::SIZE_BITS));
    } else {
      check_stretches(record, data, checked_to, end);
    }
  };
  auto empty_field = [&] {
    if (!COUNTING || completed++ == 0) {
      spans.push_back({0, 0});
    }
    if constexpr (!COUNTING) {
      if (spans.size() >= batch_fields) [[unlikely]] {
        end_batch(record, checked_to, at, unchecked);
      }
    }
  };
  // Passes over ordinary bytes from `at` to the first byte in `stops_of`, or to
  // the end of the input; the bytes passed add their marks to the field.
  auto scan = [&](auto stops_of, auto specials_of) TIDEWRACK_ALWAYS_INLINE {
    at = pass_classified(at, size, block, classify, stops_of, specials_of, special, high);
  };

  goto field_start;

after_delimiter:
  if (skip_blanks) {
    while (at < size && is_blank(data[at])) {
      ++at;
    }
  }

field_start:
  if (at == size) {
    empty_field(); // a delimiter just opened this empty field
    goto end_of_input;
  }
  if (data[at] == quote) {
    if constexpr (RECOVERING) {
      opening = at;
      strays_before = record.stray_quotes;
    }
    ++at;
    start_field(at);
    goto quoted;
  }
  if (data[at] == delimiter) {
    empty_field();
    ++at;
    goto after_delimiter;
  }
  if (data[at] == CR || data[at] == LF) {
    empty_field();
    goto line_break;
  }
  start_field(at);

unquoted:
  // To the next delimiter or line break; quotes here are text.
  scan([](const ByteClasses &b) { return b.delimiter | b.cr | b.lf; },
       [](const ByteClasses &b) { return b.quote; });
  complete_field(at);
  if (at == size) {
    goto end_of_input;
  }
  if (data[at] == delimiter) {
    ++at;
    goto after_delimiter;
  }
  goto line_break;

quoted:
  for (;;) {
    // To the next quote or LF (or CR, see cr_stops); delimiters and CRs here
    // are text.
    scan([=](const ByteClasses &b) { return b.quote | b.lf | (b.cr & cr_stops); },
         [](const ByteClasses &b) { return b.delimiter | b.cr; });
    if (at == size) {
      complete_field(at); // still open at the end of the input
      goto end_of_input;
    }
    if (data[at] != quote) { // a line break inside quotes belongs to the field...
      if (RECOVERING && doubted != opening) {
        doubted = opening;
        if (unclosed_quotes_->reads_as_text(*this, at)) {
          // ...unless the opening quote is read as text: the field is cut
          // again from it, unquoted, and ends at this line break at the latest.
          record.unclosed_quote_lines.push_back(line_);
          if (in_text) {
            text.resize(text_from);
          }
          record.stray_quotes = strays_before;
          start_field(opening);
          special = 1;
          high = quote_is_high;
          at = opening + 1;
          goto unquoted;
        }
      }
      if (data[at] == LF || (count_lone_cr && (at + 1 == size || data[at + 1] != LF))) {
        ++line_;
      }
      special = 1;
      ++at;
      continue;
    }
    if (at + 1 == size) {
      complete_field(at);
      ++at;
      goto end_of_input;
    }
    if (data[at + 1] == quote) { // a doubled quote stands for one
      special = 1;
      high |= quote_is_high;
      cut_piece(at + 1);
      at += 2;
      std::size_t more = 0; // further doubled quotes right behind, taken in one go
      while (at + 1 < size && data[at] == quote && data[at + 1] == quote) {
        ++more;
        at += 2;
      }
      if (building()) {
        text.append(more, static_cast<char>(quote));
      }
      piece = at;
      continue;
    }
    if (!repair_quotes_ || closing_.closes_field(at)) {
      closing = at;
      ++at;
      goto after_quote;
    }
    special = 1; // a stray quote stays as text
    high |= quote_is_high;
    ++record.stray_quotes;
    ++at;
  }

after_quote: {
  const std::size_t after = closing_.after_blanks(at);
  record.text_after_quote |= after != at || (after != size && data[after] != delimiter &&
                                             data[after] != CR && data[after] != LF);
  if (after == at || !keep_blanks_after_quote) {
    if (after == size) {
      complete_field(closing);
      goto end_of_input;
    }
    if (data[after] == delimiter) {
      complete_field(closing);
      at = after + 1;
      goto after_delimiter;
    }
    if (data[after] == CR || data[after] == LF) {
      complete_field(closing);
      at = after;
      goto line_break;
    }
  }
  // Text after the closing quote joins the field, with the blanks before it
  // (kept blanks alone too).
  cut_piece(closing);
  piece = at;
  at = after;
  goto unquoted;
}

line_break:
  if (unchecked) {
    check_record(at);
  }
  // LF, CR and CR LF each end one record and count one line.
  record.end_line = line_;
  ++line_;
  if (data[at] == CR && at + 1 < size && data[at + 1] == LF) {
    at += 2;
  } else {
    ++at;
  }
  record.end = at;
  pos_ = at;
  block_ = block;
  return COUNTING ? completed : static_cast<std::size_t>(record.width());

end_of_input:
  if (unchecked) {
    check_record(size);
  }
  record.end_line = line_;
  record.end = size;
  pos_ = size;
  block_ = block;
  return COUNTING ? completed : static_cast<std::size_t>(record.width());
}

// A comment or preamble line: left out whole, up to its line break, quotes and
// all. LF, CR and CR LF end it, as they end a record.
bool ResilientParser::skip_line(Record &record, Record::Kind kind) {
  std::size_t at = pos_;
  while (at < size_ && data_[at] != CR && data_[at] != LF) {
    ++at;
  }
  record.kind = kind;
  record.end_line = line_;
  if (at < size_) {
    ++line_;
    at += data_[at] == CR && at + 1 < size_ && data_[at + 1] == LF ? 2 : 1;
  }
  record.end = at;
  pos_ = at;
  return true;
}

// The rules taken one byte at a time, for settings under which a byte can play
// two parts (a quote that is also a line break or a blank, a delimiter that is
// also the quote or a line break), or beyond the classic ones: their order then
// decides.
bool ResilientParser::next_row_bytewise(Record &record) {
  const unsigned char *const data = data_;
  const std::size_t size = size_;
  if (pos_ >= size) {
    return false;
  }
  if (line_ <= rules_.preamble_lines) {
    return skip_line(record, Record::Kind::Preamble);
  }
  const std::string &comment = rules_.comment_prefix;
  if (!comment.empty() && size - pos_ >= comment.size() &&
      std::memcmp(data + pos_, comment.data(), comment.size()) == 0) {
    if (comment_row_width_ != 0) {
      const std::size_t start = pos_;
      const std::uint64_t start_line = line_;
      cut_bytewise(record);
      if (record.size() == comment_row_width_ && record.end_line == start_line &&
          record.stray_quotes == 0) {
        return true;
      }
      record.clear();
      pos_ = start;
      line_ = start_line;
    }
    return skip_line(record, Record::Kind::Comment);
  }
  return cut_bytewise(record);
}

// One record by the rules taken one byte at a time, from pos().
bool ResilientParser::cut_bytewise(Record &record) {
  const unsigned char *const data = data_;
  const std::size_t size = size_;
  std::string &text = record.text;
  std::size_t at = pos_;
  std::size_t field_begin = 0;
  // Out of range of a byte when the rule is off.
  const int quote = rules_.quoting ? quote_ : -1;
  const int escape = rules_.escape ? *rules_.escape : -1;

  auto take = [&](std::uint8_t byte) { text.push_back(static_cast<char>(byte)); };
  // Whether the line break at `at`, inside a field, counts a line.
  auto counts_line = [&](std::size_t line_break) {
    return data[line_break] == LF || (rules_.count_lone_cr && data[line_break] == CR &&
                                      (line_break + 1 == size || data[line_break + 1] != LF));
  };
  // An escape takes the byte after it literally (a line break so taken still
  // counts a line); one at the end of the input stays.
  auto take_escaped = [&] {
    if (at + 1 == size) {
      take(data[at]);
      ++at;
      return;
    }
    if (counts_line(at + 1)) {
      ++line_;
    }
    take(data[at + 1]);
    at += 2;
  };
  auto complete_field = [&] {
    sanitize_utf8_tail(text, field_begin);
    record.spans.push_back({field_begin, (text.size() - field_begin) | Record::IN_TEXT});
    field_begin = text.size();
  };
  auto end_at_input_end = [&] {
    record.end_line = line_;
    record.end = size;
    pos_ = size;
    return true;
  };
  // LF, CR and CR LF each end one record and count one line.
  auto end_at_line_break = [&] {
    record.end_line = line_;
    ++line_;
    ++at;
    if (data[at - 1] == CR && at < size && data[at] == LF) {
      ++at;
    }
    record.end = at;
    pos_ = at;
    return true;
  };
  goto field_start;

after_delimiter:
  if (rules_.skip_blanks) {
    while (at < size && is_blank(data[at])) {
      ++at;
    }
  }

field_start:
  if (at == size) {
    complete_field(); // a delimiter just opened this empty field
    return end_at_input_end();
  }
  if (data[at] == quote) {
    ++at;
    goto quoted;
  }
  if (data[at] == delimiter_) {
    complete_field();
    ++at;
    goto after_delimiter;
  }
  if (data[at] == CR || data[at] == LF) {
    complete_field();
    return end_at_line_break();
  }

unquoted:
  for (;;) {
    if (at == size) {
      complete_field();
      return end_at_input_end();
    }
    std::uint8_t byte = data[at];
    if (byte == escape) {
      take_escaped();
      continue;
    }
    if (byte == delimiter_) {
      complete_field();
      ++at;
      goto after_delimiter;
    }
    if (byte == CR || byte == LF) {
      complete_field();
      return end_at_line_break();
    }
    take(byte);
    ++at;
  }

quoted:
  for (;;) {
    if (at == size) {
      complete_field(); // still open at the end of the input
      return end_at_input_end();
    }
    std::uint8_t byte = data[at];
    if (byte == escape) {
      take_escaped();
      continue;
    }
    if (byte == quote) {
      if (at + 1 == size) {
        ++at;
        goto after_quote;
      }
      if (data[at + 1] == quote) { // a doubled quote stands for one
        take(quote_);
        at += 2;
        continue;
      }
      if (!repair_quotes_ || closing_.closes_field(at)) {
        ++at;
        goto after_quote;
      }
      take(quote_); // a stray quote stays as text
      ++record.stray_quotes;
      ++at;
      continue;
    }
    if (counts_line(at)) { // a line break inside quotes belongs to the field
      ++line_;
    }
    take(byte);
    ++at;
  }

after_quote: {
  const std::size_t after = closing_.after_blanks(at);
  record.text_after_quote |= after != at || (after != size && data[after] != delimiter_ &&
                                             data[after] != CR && data[after] != LF);
  if (after == at || !rules_.keep_blanks_after_quote) {
    if (after == size) {
      complete_field();
      return end_at_input_end();
    }
    if (data[after] == delimiter_) {
      complete_field();
      at = after + 1;
      goto after_delimiter;
    }
    if (data[after] == CR || data[after] == LF) {
      complete_field();
      at = after;
      return end_at_line_break();
    }
  }
  // Text after the closing quote joins the field, with the blanks before it
  // (kept blanks alone too).
  text.append(reinterpret_cast<const char *>(data + at), after - at);
  at = after;
  goto unquoted;
}
}

} // namespace tidewrack
