#include "parser/resilient_parser.h"

#include "parser/byte_scan.h"
#include "parser/utf8.h"

namespace tidewrack {

namespace {

constexpr std::uint8_t CR = '\r';
constexpr std::uint8_t LF = '\n';

bool is_blank(std::uint8_t byte) {
  return byte == ' ' || byte == '\t';
}

} // namespace

std::size_t start_offset(std::string_view data) {
  return data.size() >= 3 && data.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

ResilientParser::ResilientParser(std::string_view data, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes)
    : data_(reinterpret_cast<const unsigned char *>(data.data())), size_(data.size()),
      pos_(start_offset(data)), delimiter_(delimiter), quote_(quote_char),
      repair_quotes_(repair_quotes) {}

bool ResilientParser::next_row(Record &record) {
  record.clear();
  if (pos_ >= size_) {
    return false;
  }
  const unsigned char *const data = data_;
  const std::size_t size = size_;
  std::size_t at = pos_;
  std::size_t field_begin = 0;

  auto complete_field = [&] {
    sanitize_utf8_tail(record.text, field_begin);
    record.ends.push_back(record.text.size());
    field_begin = record.text.size();
  };
  auto end_at_input_end = [&] {
    record.end_line = line_;
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
    pos_ = at;
    return true;
  };

field_start:
  if (at == size) {
    complete_field(); // a delimiter just opened this empty field
    return end_at_input_end();
  }
  if (data[at] == quote_) {
    ++at;
    goto quoted;
  }
  if (data[at] == delimiter_) {
    complete_field();
    ++at;
    goto field_start;
  }
  if (data[at] == CR || data[at] == LF) {
    complete_field();
    return end_at_line_break();
  }

unquoted : {
  std::size_t stop = find_first_of3(data, at, size, delimiter_, CR, LF);
  record.text.append(reinterpret_cast<const char *>(data + at), stop - at);
  at = stop;
  complete_field();
  if (at == size) {
    return end_at_input_end();
  }
  if (data[at] == delimiter_) {
    ++at;
    goto field_start;
  }
  return end_at_line_break();
}

quoted:
  for (;;) {
    std::size_t stop = find_first_of3(data, at, size, quote_, LF, LF);
    record.text.append(reinterpret_cast<const char *>(data + at), stop - at);
    at = stop;
    if (at == size) {
      complete_field(); // still open at the end of the input
      return end_at_input_end();
    }
    if (data[at] != quote_) { // a line break inside quotes belongs to the field
      ++line_;
      record.text.push_back(static_cast<char>(LF));
      ++at;
      continue;
    }
    if (at + 1 == size) {
      ++at;
      goto after_quote;
    }
    if (data[at + 1] == quote_) { // a doubled quote stands for one
      record.text.push_back(static_cast<char>(quote_));
      at += 2;
      continue;
    }
    if (!repair_quotes_ || closes_field(at)) {
      ++at;
      goto after_quote;
    }
    record.text.push_back(static_cast<char>(quote_)); // a stray quote stays as text
    ++at;
  }

after_quote:
  for (;;) {
    if (at == size) {
      complete_field();
      return end_at_input_end();
    }
    std::uint8_t byte = data[at];
    if (byte == delimiter_) {
      complete_field();
      ++at;
      goto field_start;
    }
    if (is_blank(byte)) {
      ++at;
      continue;
    }
    if (byte == CR || byte == LF) {
      complete_field();
      return end_at_line_break();
    }
    goto unquoted; // text after the closing quote joins the field
  }
}

// Blanks are skipped up to, never over, the delimiter: a tab delimiter right
// after a quote still ends the field.
std::size_t ResilientParser::skip_blanks(std::size_t from) {
  if (from >= blank_run_from_ && from < blank_run_end_) {
    return blank_run_end_;
  }
  std::size_t at = from;
  while (at < size_ && is_blank(data_[at]) && data_[at] != delimiter_) {
    ++at;
  }
  if (at > from) {
    blank_run_from_ = from;
    blank_run_end_ = at;
  }
  return at;
}

bool ResilientParser::ends_candidate(std::size_t at) const {
  return at == size_ || data_[at] == delimiter_ || data_[at] == CR || data_[at] == LF;
}

// A quote closes its field when it is followed, after optional blanks, by the
// delimiter, a line break or the end of the input; otherwise only when no later
// quote on the same physical line is followed that way.
bool ResilientParser::closes_field(std::size_t quote_at) {
  std::size_t next = skip_blanks(quote_at + 1);
  if (ends_candidate(next)) {
    return true;
  }
  std::size_t candidate = last_closing_candidate(next);
  return !(segment_has_candidate_ && candidate >= next);
}

// The last quote in [from, end of physical line) that is followed, after
// optional blanks, by the delimiter, a line break or the end of the input.
// Computed once per physical line and reused for every later quote on it.
std::size_t ResilientParser::last_closing_candidate(std::size_t from) {
  if (from >= segment_from_ && from < segment_end_) {
    return segment_candidate_;
  }
  segment_from_ = from;
  segment_has_candidate_ = false;
  bool pending = false; // a quote whose verdict waits for the next non-blank byte
  std::size_t pending_at = 0;
  std::size_t at = from;
  for (; at < size_; ++at) {
    std::uint8_t byte = data_[at];
    if (byte == CR || byte == LF) {
      break;
    }
    if (pending) {
      if (byte == delimiter_) {
        segment_has_candidate_ = true;
        segment_candidate_ = pending_at;
        pending = false;
      } else if (!is_blank(byte)) {
        pending = false;
      }
    }
    if (byte == quote_) {
      pending = true;
      pending_at = at;
    }
  }
  if (pending) {
    segment_has_candidate_ = true;
    segment_candidate_ = pending_at;
  }
  segment_end_ = at;
  return segment_candidate_;
}

} // namespace tidewrack
