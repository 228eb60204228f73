#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "error/result.h"
#include "error/stop_poll.h"
#include "parser/resilient_parser.h"
#include "salvage/csv_format.h"
#include "salvage/file_io.h"
#include "salvage/options.h"
#include "salvage/reconcile.h"

namespace tidewrack {

// The quarantine file of a file salvage. Its lines are held until the output
// is complete, as long as they stay few: the file is then opened only once the
// output is written out, so that a failed output leaves it untouched. Past
// QUARANTINE_HOLD bytes they go to the file as they come.
class QuarantineFile {
public:
  static constexpr std::size_t QUARANTINE_HOLD = std::size_t{16} << 20;

  QuarantineFile(std::string path, std::uint8_t delimiter, StopPoll stop)
      : path_(std::move(path)), delimiter_text_(byte_as_utf8(delimiter)), stop_(stop) {}

  // After a failure the records that follow are dropped: the failure is what
  // finish() returns, once the output is complete.
  void add(const Record &record, const std::string &reason) {
    if (!written_.ok()) {
      return;
    }
    render_quarantine_line(held_, QuarantineRecord{record.end_line, reason, record_fields(record)},
                           delimiter_text_);
    if (held_.size() > QUARANTINE_HOLD) {
      write_held();
    }
  }

  // Lines rendered already, as add() renders them.
  void add_lines(std::string_view lines) {
    if (!written_.ok()) {
      return;
    }
    held_.append(lines);
    if (held_.size() > QUARANTINE_HOLD) {
      write_held();
    }
  }

  // Creates the file at once, its header written, for a reader with no output
  // to wait for that must learn now whether the file can be made.
  Result<std::monostate> open() {
    write_held();
    return written_;
  }

  Result<std::monostate> finish() {
    write_held();
    if (written_.ok()) {
      written_ = file_->flush();
    }
    return std::move(written_);
  }

private:
  void write_held() {
    if (!written_.ok()) {
      return;
    }
    if (!file_) {
      Result<OutputFile> opened = OutputFile::create(path_, stop_);
      if (!opened.ok()) {
        written_ = std::move(opened.error());
        return;
      }
      file_.emplace(std::move(opened.value()));
      written_ = file_->write(QUARANTINE_HEADER);
    }
    if (written_.ok()) {
      written_ = file_->write(held_);
    }
    held_.clear();
  }

  std::string path_;
  std::string delimiter_text_;
  StopPoll stop_;
  std::optional<OutputFile> file_;
  std::string held_;
  Result<std::monostate> written_ = std::monostate{};
};

// Rendered output held in memory until the output before it is written: the
// interface of OutputFile, growing instead of writing out.
class MemoryOutput {
public:
  std::size_t room() const { return capacity_ - used_; }
  char *free_space() { return buffer_.get() + used_; }
  void commit(std::size_t size) {
    used_ += size;
    if (room() < OutputFile::BUFFER_SIZE) {
      reserve(OutputFile::BUFFER_SIZE);
    }
  }
  Result<std::monostate> write(std::string_view piece) {
    reserve(piece.size());
    std::memcpy(free_space(), piece.data(), piece.size());
    commit(piece.size());
    return std::monostate{};
  }
  std::string_view view() const { return {buffer_.get(), used_}; }
  // Drops what was written, keeping the memory.
  void clear() {
    used_ = 0;
    reserve(OutputFile::BUFFER_SIZE);
  }

  // Room for at least `count` more bytes.
  void reserve(std::size_t count) {
    if (room() >= count) {
      return;
    }
    // Grown by a quarter at least, in place where the allocator can (large
    // blocks are remapped, not copied): a long row costs its size once.
    const std::size_t capacity = std::max(capacity_ + capacity_ / 4, used_ + count);
    void *grown = std::realloc(buffer_.get(), capacity); // left unfilled
    if (grown == nullptr) {
      throw std::bad_alloc();
    }
    (void)buffer_.release();
    buffer_.reset(static_cast<char *>(grown));
    capacity_ = capacity;
  }

private:
  struct Free {
    void operator()(char *bytes) const { std::free(bytes); }
  };
  std::unique_ptr<char, Free> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
};

// Whether the fast lane of plain records pads short ones itself: not when
// the reconciler may align them to the columns instead.
inline bool plain_rows_padded(const SalvageOptions &options, const Settlement &settlement) {
  return options.fill_ragged_rows && !settlement.profiles;
}

// Renders the clean rows into an OutputFile or a MemoryOutput: the fast lane
// of plain records (rendered in place, in one pass with their parsing) and
// the sink of the others.
template <class Output> class CleanRows {
public:
  CleanRows(Output &output, const SalvageOptions &options, const Settlement &settlement)
      : output_(output), renderer_(settlement.delimiter, settlement.output_quote,
                                   settlement.quote_char, options.quote_lone_empty_field),
        columns_(settlement.columns), fill_ragged_rows_(plain_rows_padded(options, settlement)),
        // Plain records are copied as they were read: only where that is how
        // they are written.
        plain_lane_(settlement.delimiter < 0x80 && settlement.output_quote < 0x80 &&
                    settlement.quote_char == settlement.output_quote &&
                    settlement.rules.classic()) {}

  PlainRow take(ResilientParser &parser) {
    long_row_ = false;
    if (!plain_lane_) {
      return {};
    }
    PlainRow row = render_plain_row(parser, output_.free_space(), output_.room(), columns_,
                                    fill_ragged_rows_, renderer_.quotes_lone_empty_field());
    if (!row.lacked_room) {
      return row;
    }
    // A row longer than the room left is rendered in memory of its own, or
    // in room made for it in memory output: its clean line is no longer than
    // the rest of the text, plus padding (of up to as much again) and an LF.
    // Without it, its fields would be built.
    const std::size_t rest = parser.size() - parser.pos();
    const std::size_t bound = 2 * rest + 2;
    if constexpr (std::is_same_v<Output, OutputFile>) {
      // A row of long fields goes the general way, which writes it to the file
      // in pieces; one of many short fields is rendered whole here, where its
      // fields cost less than as a record's.
      if (renderer_.renders_in_pieces()) {
        const PlainCount counted = count_plain_row(parser, columns_, fill_ragged_rows_);
        if (!counted.plain || counted.fields * sizeof(Record::Span) <= counted.bytes / 8) {
          return {};
        }
      }
    }
    if constexpr (std::is_same_v<Output, MemoryOutput>) {
      output_.reserve(bound); // room that is not written costs no memory
      return render_plain_row(parser, output_.free_space(), output_.room(), columns_,
                              fill_ragged_rows_, renderer_.quotes_lone_empty_field());
    }
    if (bound > line_capacity_) {
      line_.reset();
      line_.reset(new char[bound]);
      line_capacity_ = bound;
    }
    row = render_plain_row(parser, line_.get(), bound, columns_, fill_ragged_rows_,
                           renderer_.quotes_lone_empty_field());
    long_row_ = row.rendered();
    return row;
  }
  void commit(const PlainRow &row) {
    if (long_row_) {
      written_ = output_.write(std::string_view(line_.get(), row.size));
    } else {
      output_.commit(row.size);
    }
  }

  bool operator()(const Record &record, const RowShape &shape, const std::string &merge_separator) {
    // A line that surely fits the buffer's free room is rendered there in
    // place: the same as copying it in whole.
    const std::size_t bound = renderer_.size_bound(record, shape, merge_separator);
    if (bound <= output_.room()) {
      char *start = output_.free_space();
      char *end = renderer_.render_to(start, record, shape, merge_separator);
      output_.commit(static_cast<std::size_t>(end - start));
      return true;
    }
    if constexpr (std::is_same_v<Output, OutputFile>) {
      // Padding longer than the record's text is rendered whole: a width that
      // no memory holds fails at once, not once the disk is full of delimiters.
      if (renderer_.renders_in_pieces() && shape.padding <= record.field_bytes_bound()) {
        return renderer_.render_in_pieces(record, shape, merge_separator,
                                          [this](std::string_view piece) {
                                            written_ = output_.write(piece);
                                            return written_.ok();
                                          });
      }
    } else {
      output_.reserve(bound);
      char *start = output_.free_space();
      char *end = renderer_.render_to(start, record, shape, merge_separator);
      output_.commit(static_cast<std::size_t>(end - start));
      return true;
    }
    // Elsewhere, in memory that is reused and never zero-filled.
    if (bound > line_capacity_) {
      line_.reset();
      line_.reset(new char[bound]);
      line_capacity_ = bound;
    }
    char *end = renderer_.render_to(line_.get(), record, shape, merge_separator);
    written_ =
        output_.write(std::string_view(line_.get(), static_cast<std::size_t>(end - line_.get())));
    return written_.ok();
  }

  Result<std::monostate> &written() { return written_; }

private:
  Output &output_;
  CleanRowRenderer renderer_;
  std::uint64_t columns_;
  bool fill_ragged_rows_;
  bool plain_lane_;
  std::unique_ptr<char[]> line_;
  std::size_t line_capacity_ = 0;
  bool long_row_ = false; // the row taken last lies in line_
  Result<std::monostate> written_ = std::monostate{};
};

} // namespace tidewrack
