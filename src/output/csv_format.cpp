#include "output/csv_format.h"

#include <charconv>
#include <cstring>

#include "base/byte_scan.h"
#include "base/utf8.h"

namespace tidewrack {

namespace {

void append_doubling(std::string &line, std::string_view text, std::string_view quote) {
  std::size_t from = 0;
  for (std::size_t at = text.find(quote); at != std::string_view::npos;
       at = text.find(quote, from)) {
    line.append(text.substr(from, at + quote.size() - from));
    line.append(quote);
    from = at + quote.size();
  }
  line.append(text.substr(from));
}

char *put(char *out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

} // namespace

CleanRowRenderer::CleanRowRenderer(std::uint8_t delimiter, std::uint8_t quote_char,
                                   std::uint8_t parser_quote, bool quote_lone_empty_field)
    : delimiter_(byte_as_utf8(delimiter)), quote_(byte_as_utf8(quote_char)),
      single_bytes_(delimiter < 0x80 && quote_char < 0x80),
      marks_apply_(single_bytes_ && quote_char == parser_quote),
      quote_lone_empty_field_(quote_lone_empty_field) {
  special_[delimiter] = special_[quote_char] = special_['\n'] = special_['\r'] = true;
}

bool CleanRowRenderer::needs_quotes(std::string_view field) const {
  if (single_bytes_) {
    for (char byte : field) {
      if (special_[static_cast<unsigned char>(byte)]) {
        return true;
      }
    }
    return false;
  }
  return field.find(quote_) != std::string_view::npos ||
         field.find(delimiter_) != std::string_view::npos ||
         field.find_first_of("\n\r") != std::string_view::npos;
}

// The field enclosed in quotes, each quote inside written twice.
char *CleanRowRenderer::put_enclosed(char *out, std::string_view field) const {
  return put(put_doubled(put(out, quote_), field), quote_);
}

char *CleanRowRenderer::put_doubled(char *out, std::string_view field) const {
  if (single_bytes_) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(field.data());
    const auto quote = static_cast<std::uint8_t>(quote_[0]);
    return run_on(
        best_classifier_target(),
        []<class Block>(char *to, const unsigned char *from, std::size_t size, std::uint8_t byte) {
          return copy_doubling_as<Block>(to, from, size, byte);
        },
        out, bytes, field.size(), quote);
  }
  std::size_t from = 0;
  for (std::size_t at = field.find(quote_); at != std::string_view::npos;
       at = field.find(quote_, from)) {
    out = put(out, field.substr(from, at + quote_.size() - from));
    out = put(out, quote_);
    from = at + quote_.size();
  }
  return put(out, field.substr(from));
}

void CleanRowRenderer::merge_rest(const Record &record, const RowShape &shape,
                                  std::string_view merge_separator) {
  merged_.clear();
  for (std::size_t i = shape.kept; i < record.size(); ++i) {
    if (i > shape.kept) {
      merged_.append(merge_separator);
    }
    merged_.append(record.field(i));
  }
}

char *CleanRowRenderer::put_field(char *out, std::string_view field) const {
  return needs_quotes(field) ? put_enclosed(out, field) : put(out, field);
}

char *CleanRowRenderer::put_delimiter(char *out) const {
  if (single_bytes_) {
    *out = delimiter_[0];
    return out + 1;
  }
  return put(out, delimiter_);
}

std::size_t CleanRowRenderer::size_bound(const Record &record, const RowShape &shape,
                                         std::string_view merge_separator) const {
  // Every byte may be a doubled quote; each field may be enclosed and followed
  // by a delimiter; a merge adds its separators. A bound past the address space
  // saturates, so that no buffer can be thought large enough.
  constexpr std::size_t SATURATED = ~std::size_t{0};
  const std::size_t quotes = quote_.size();
  const std::size_t fields = record.size() + 1;
  std::size_t bound = 0;
  std::size_t term = 0;
  auto add = [&](std::size_t value) { return !__builtin_add_overflow(bound, value, &bound); };
  auto product = [&](std::size_t a, std::size_t b) { return !__builtin_mul_overflow(a, b, &term); };
  if (!product(2 * record.field_bytes_bound(), quotes) || !add(term) ||
      !product(fields, 2 * quotes + delimiter_.size() + 2 * merge_separator.size() * quotes) ||
      !add(term) || shape.padding > SATURATED ||
      !product(static_cast<std::size_t>(shape.padding), delimiter_.size()) || !add(term) ||
      !add(1)) {
    return SATURATED;
  }
  return bound;
}

char *CleanRowRenderer::render_to(char *out, const Record &record, const RowShape &shape,
                                  std::string_view merge_separator) {
  char *const start = out;
  // With the parser's marks, a field is enclosed exactly when it is marked.
  const bool marked = record.specials_marked && marks_apply_;
  for (std::size_t i = 0; i < shape.kept; ++i) {
    if (i > 0) {
      out = put_delimiter(out);
    }
    std::string_view field = record.field(i);
    if (marked) {
      out = record.may_hold_special(i) ? put_enclosed(out, field) : put(out, field);
    } else {
      out = put_field(out, field);
    }
  }
  if (shape.merge_rest) {
    merge_rest(record, shape, merge_separator);
    if (shape.kept > 0) {
      out = put_delimiter(out);
    }
    out = put_field(out, merged_);
  }
  // Empty fields are written as nothing, so padding is delimiters alone (a
  // padded row always keeps at least one field of its own).
  for (std::uint64_t i = 0; i < shape.padding; ++i) {
    out = put_delimiter(out);
  }
  if (quote_lone_empty_field_ && out == start) { // only a row of one empty field writes nothing
    out = put(out, quote_);
    out = put(out, quote_);
  }
  *out++ = '\n';
  return out;
}

namespace {

// A slice of a long field, doubled, fits the scratch of PieceRow with room to
// spare for what put_doubled may write past what it keeps (a byte).
constexpr std::size_t SLICE = std::size_t{1} << 15;
constexpr std::size_t SPARE = 32;
constexpr std::size_t SCRATCH = 2 * SLICE + 2 * SPARE;

} // namespace

CleanRowRenderer::PieceRow::PieceRow(CleanRowRenderer &renderer, std::uint64_t width,
                                     const RowShape &shape, std::string_view merge_separator,
                                     const std::function<bool(std::string_view)> &write)
    : renderer_(renderer), width_(width), shape_(shape), merge_separator_(merge_separator),
      write_(write) {
  if (!renderer_.pieces_) {
    renderer_.pieces_.reset(new char[SCRATCH]);
  }
  base_ = out_ = renderer_.pieces_.get();
}

bool CleanRowRenderer::PieceRow::flush() {
  const auto size = static_cast<std::size_t>(out_ - base_);
  out_ = base_;
  handed_ += size;
  return size == 0 || write_(std::string_view(base_, size));
}

// Room for `count` bytes at out_, flushing what is there when it lacks it.
bool CleanRowRenderer::PieceRow::room(std::size_t count) {
  return static_cast<std::size_t>(base_ + SCRATCH - out_) >= count || flush();
}

bool CleanRowRenderer::PieceRow::put_quote() {
  if (!room(renderer_.quote_.size())) {
    return false;
  }
  out_ = put(out_, renderer_.quote_);
  return true;
}

bool CleanRowRenderer::PieceRow::put_delimiter() {
  if (!room(renderer_.delimiter_.size())) {
    return false;
  }
  out_ = renderer_.put_delimiter(out_);
  return true;
}

// A slice at a time through the scratch, a long text too: one write of a
// long stretch of memory proves slower than many of a scratch kept in cache.
bool CleanRowRenderer::PieceRow::put_text(std::string_view text, bool doubled) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t size = std::min(SLICE, text.size() - at);
    // Cut between characters, so that no quote of several bytes is split.
    while (doubled && renderer_.quote_.size() > 1 && size > 1 && at + size < text.size() &&
           (static_cast<unsigned char>(text[at + size]) & 0xC0) == 0x80) {
      --size;
    }
    if (!room(doubled ? 2 * size + SPARE : size)) {
      return false;
    }
    const std::string_view slice = text.substr(at, size);
    out_ = doubled ? renderer_.put_doubled(out_, slice) : put(out_, slice);
    at += size;
  }
  return true;
}

bool CleanRowRenderer::PieceRow::add(const Record &batch) {
  // As in render_to.
  const bool marked = batch.specials_marked && renderer_.marks_apply_;
  for (std::size_t i = 0; i < batch.size(); ++i, ++index_) {
    const std::string_view field = batch.field(i);
    if (index_ < shape_.kept) {
      const bool enclosed = marked ? batch.may_hold_special(i) : renderer_.needs_quotes(field);
      if ((index_ > 0 && !put_delimiter()) || (enclosed && !put_quote()) ||
          !put_text(field, enclosed) || (enclosed && !put_quote())) {
        return false;
      }
      continue;
    }
    if (!shape_.merge_rest) {
      return true;
    }
    if (index_ == shape_.kept) {
      merge_enclosed_ = width_ - shape_.kept > 1 && renderer_.needs_quotes(merge_separator_);
      for (std::size_t rest = i; rest < batch.size() && !merge_enclosed_; ++rest) {
        merge_enclosed_ = renderer_.needs_quotes(batch.field(rest));
      }
      if ((shape_.kept > 0 && !put_delimiter()) || (merge_enclosed_ && !put_quote())) {
        return false;
      }
    } else if (!put_text(merge_separator_, merge_enclosed_)) {
      return false;
    }
    if (!put_text(field, merge_enclosed_)) {
      return false;
    }
  }
  return true;
}

bool CleanRowRenderer::PieceRow::finish() {
  if (shape_.merge_rest) {
    // A merge of no field is empty: the delimiter before it alone.
    const bool merged = index_ > shape_.kept;
    if ((!merged && shape_.kept > 0 && !put_delimiter()) ||
        (merged && merge_enclosed_ && !put_quote())) {
      return false;
    }
  }
  for (std::uint64_t i = 0; i < shape_.padding; ++i) {
    if (!put_delimiter()) {
      return false;
    }
  }
  if (!room(2 * renderer_.quote_.size() + 1)) {
    return false;
  }
  if (renderer_.quote_lone_empty_field_ && handed_ == 0 && out_ == base_) {
    out_ = put(put(out_, renderer_.quote_), renderer_.quote_);
  }
  *out_++ = '\n';
  return flush();
}

bool CleanRowRenderer::render_in_pieces(const Record &record, const RowShape &shape,
                                        std::string_view merge_separator,
                                        const std::function<bool(std::string_view)> &write) {
  PieceRow row(*this, record.size(), shape, merge_separator, write);
  return row.add(record) && row.finish();
}

namespace {

// Copies a short field in 16-byte strides when both sides have room to spare
// past its end, else through memcpy.
inline char *copy_field(char *out, const char *out_limit, const unsigned char *from,
                        std::size_t length, const unsigned char *input_end) {
  if (length <= 32 && out + 32 <= out_limit && from + 32 <= input_end) {
    std::memcpy(out, from, 16);
    std::memcpy(out + 16, from + 16, 16);
  } else {
    std::memcpy(out, from, length);
  }
  return out + length;
}

// Where render_plain_row writes a record's clean line.
class LineOut {
public:
  LineOut(char *out, std::size_t room, const ResilientParser &parser, bool quote_lone_empty_field)
      : start_(out), out_(out), limit_(out + room), input_end_(parser.data() + parser.size()),
        delimiter_(static_cast<char>(parser.delimiter())),
        quote_(static_cast<char>(parser.quote())), quote_lone_empty_field_(quote_lone_empty_field) {
  }
  bool any_room() const { return out_ < limit_; }
  // The empty field that ends a record: nothing to write.
  bool last_empty_field(const unsigned char *) { return true; }
  // One field, `enclosed` when it holds the delimiter or CR, or doubled
  // quotes (in the parser's quote, which is the clean file's: they stand as
  // written); false for want of room (one byte is kept for the LF, and one
  // for a delimiter after it).
  bool field(const unsigned char *text, std::size_t length, bool holds_marks,
             bool doubled_quotes = false) {
    const bool enclosed = holds_marks || doubled_quotes;
    if (static_cast<std::size_t>(limit_ - out_) < length + (enclosed ? 4 : 2)) {
      return false;
    }
    if (enclosed) {
      *out_++ = quote_;
      out_ = copy_field(out_, limit_, text, length, input_end_);
      *out_++ = quote_;
    } else {
      out_ = copy_field(out_, limit_, text, length, input_end_);
    }
    return true;
  }
  void separator() { *out_++ = delimiter_; }
  bool pad(std::uint64_t count) {
    if (static_cast<std::uint64_t>(limit_ - out_) < count + 1) {
      return false;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      *out_++ = delimiter_;
    }
    return true;
  }
  // Only a row of one empty field has written nothing; false for want of room.
  bool end_row() {
    if (!quote_lone_empty_field_ || out_ != start_) {
      return true;
    }
    if (limit_ - out_ < 3) {
      return false;
    }
    *out_++ = quote_;
    *out_++ = quote_;
    return true;
  }
  std::size_t finish() {
    *out_++ = '\n';
    return static_cast<std::size_t>(out_ - start_);
  }

private:
  char *start_;
  char *out_;
  char *limit_;
  const unsigned char *input_end_;
  char delimiter_;
  char quote_;
  bool quote_lone_empty_field_;
};

// Where skim_plain_row sizes a record's clean line.
class SizeOut {
public:
  explicit SizeOut(bool quote_lone_empty_field) : quote_lone_empty_field_(quote_lone_empty_field) {}
  bool any_room() const { return true; }
  bool last_empty_field(const unsigned char *) { return true; }
  bool field(const unsigned char *, std::size_t length, bool holds_marks,
             bool doubled_quotes = false) {
    size_ += length + (holds_marks || doubled_quotes ? 2 : 0);
    return true;
  }
  void separator() { ++size_; }
  // Refuses padding longer than the line so far, as for want of room.
  bool pad(std::uint64_t count) {
    if (count > size_) {
      return false;
    }
    size_ += static_cast<std::size_t>(count);
    return true;
  }
  bool end_row() {
    if (quote_lone_empty_field_ && size_ == 0) {
      size_ += 2;
    }
    return true;
  }
  std::size_t finish() { return ++size_; }

private:
  bool quote_lone_empty_field_;
  std::size_t size_ = 0;
};

// Where write_plain_row writes a record's clean line: through the scratch
// memory, a long field too (see PieceRow::put_text).
class PieceOut {
public:
  PieceOut(std::span<char> scratch, const ResilientParser &parser, bool quote_lone_empty_field,
           const std::function<bool(std::string_view)> &write)
      : start_(scratch.data()), out_(start_), limit_(start_ + scratch.size()),
        delimiter_(static_cast<char>(parser.delimiter())),
        quote_(static_cast<char>(parser.quote())), quote_lone_empty_field_(quote_lone_empty_field),
        write_(write) {}
  bool any_room() const { return true; }
  bool last_empty_field(const unsigned char *) { return true; }
  bool field(const unsigned char *text, std::size_t length, bool holds_marks,
             bool doubled_quotes = false) {
    const bool enclosed = holds_marks || doubled_quotes;
    if (enclosed) {
      put(quote_);
    }
    put(std::string_view(reinterpret_cast<const char *>(text), length));
    if (enclosed) {
      put(quote_);
    }
    return true;
  }
  void separator() { put(delimiter_); }
  bool pad(std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) {
      put(delimiter_);
    }
    return true;
  }
  bool end_row() {
    if (quote_lone_empty_field_ && handed_ == 0 && out_ == start_) {
      put(quote_);
      put(quote_);
    }
    return true;
  }
  std::size_t finish() {
    put('\n');
    flush();
    return handed_;
  }

private:
  void put(char byte) {
    if (out_ == limit_) {
      flush();
    }
    *out_++ = byte;
  }
  void put(std::string_view text) {
    while (text.size() > static_cast<std::size_t>(limit_ - out_)) {
      const auto room = static_cast<std::size_t>(limit_ - out_);
      std::memcpy(out_, text.data(), room);
      out_ = limit_;
      flush();
      text.remove_prefix(room);
    }
    std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }
  void flush() {
    hand(std::string_view(start_, static_cast<std::size_t>(out_ - start_)));
    out_ = start_;
  }
  void hand(std::string_view piece) {
    handed_ += piece.size();
    if (writing_ && !piece.empty()) {
      writing_ = write_(piece);
    }
  }

  char *start_;
  char *out_;
  char *limit_;
  char delimiter_;
  char quote_;
  bool quote_lone_empty_field_;
  const std::function<bool(std::string_view)> &write_;
  std::size_t handed_ = 0;
  bool writing_ = true;
};

} // namespace

PlainRow render_plain_row(ResilientParser &parser, char *out, std::size_t room,
                          std::uint64_t columns, bool fill_ragged_rows,
                          bool quote_lone_empty_field) {
  return parser.take_plain_record(LineOut(out, room, parser, quote_lone_empty_field), columns,
                                  fill_ragged_rows);
}

PlainRow skim_plain_row(ResilientParser &parser, std::uint64_t columns, bool fill_ragged_rows,
                        bool quote_lone_empty_field) {
  return parser.take_plain_record(SizeOut(quote_lone_empty_field), columns, fill_ragged_rows);
}

PlainRow write_plain_row(ResilientParser &parser, std::uint64_t columns, bool fill_ragged_rows,
                         bool quote_lone_empty_field, std::span<char> scratch,
                         const std::function<bool(std::string_view)> &write) {
  return parser.take_plain_record(PieceOut(scratch, parser, quote_lone_empty_field, write), columns,
                                  fill_ragged_rows);
}

void append_doubled_quotes(std::string &line, std::string_view text) {
  append_doubling(line, text, "\"");
}

void render_quarantine_line(std::string &line, const QuarantineRecord &record,
                            std::string_view delimiter_text) {
  line.append(std::to_string(record.line));
  line.push_back(',');
  render_quarantine_columns(line, record, delimiter_text);
}

void render_quarantine_columns(std::string &line, const QuarantineRecord &record,
                               std::string_view delimiter_text) {
  line.push_back('"');
  append_doubling(line, record.reason, "\"");
  line.append("\",\"");
  for (std::size_t i = 0; i < record.fields.size(); ++i) {
    if (i > 0) {
      append_doubling(line, delimiter_text, "\"");
    }
    append_doubling(line, record.fields[i], "\"");
  }
  line.append("\"\n");
}

std::size_t repair_line_bound(const RepairEvent &event) {
  constexpr std::size_t NUMBERS = 2 * 20, PUNCTUATION = 3 + 2 + 1, LONGEST_ACTION = 14;
  return NUMBERS + PUNCTUATION + LONGEST_ACTION + 2 * event.detail.size();
}

char *render_repair_line(char *out, const RepairEvent &event) {
  char *const limit = out + repair_line_bound(event);
  out = std::to_chars(out, limit, event.line_start).ptr;
  *out++ = ',';
  out = std::to_chars(out, limit, event.line_end).ptr;
  *out++ = ',';
  out = put(out, repair_action_name(event.action));
  *out++ = ',';
  const std::string_view detail = event.detail;
  auto holds = [&](char byte) {
    return std::memchr(detail.data(), byte, detail.size()) != nullptr;
  };
  const bool enclose = holds(',') || holds('"') || holds('\r') || holds('\n');
  if (enclose) {
    *out++ = '"';
    for (char byte : detail) {
      *out++ = byte;
      if (byte == '"') {
        *out++ = byte;
      }
    }
    *out++ = '"';
  } else {
    out = put(out, detail);
  }
  *out++ = '\n';
  return out;
}

void render_repair_line(std::string &line, const RepairEvent &event) {
  const std::size_t start = line.size();
  line.resize(start + repair_line_bound(event));
  char *end = render_repair_line(line.data() + start, event);
  line.resize(static_cast<std::size_t>(end - line.data()));
}

} // namespace tidewrack
