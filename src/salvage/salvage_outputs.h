#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "error/result.h"
#include "error/stop_poll.h"
#include "parser/long_record.h"
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

  // Lines as render_quarantine_line renders them, put together here a slice
  // of a field at a time: a long record is never held once more whole. After
  // a failure the records that follow are dropped: the failure is what
  // finish() returns, once the output is complete.
  void add(const Record &record, const std::string &reason) {
    add_line(record.end_line, reason, [&](const auto &take) { return take(record); });
  }
  void add(const LongRecord &record, const std::string &reason) {
    add_line(record.record().end_line, reason,
             [&](const auto &take) { return record.for_each_batch(take); });
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
  // The line of a record whose fields `batches(take)` hands to `take` a batch
  // at a time.
  template <class Batches>
  void add_line(std::uint64_t line, const std::string &reason, const Batches &batches) {
    constexpr std::size_t SLICE = std::size_t{1} << 16;
    if (!written_.ok()) {
      return;
    }
    held_.append(std::to_string(line));
    held_.append(",\"");
    append_doubled_quotes(held_, reason);
    held_.append("\",\"");
    bool first = true;
    batches([&](const Record &batch) {
      for (std::size_t i = 0; i < batch.size() && written_.ok(); ++i) {
        if (!first) {
          append_doubled_quotes(held_, delimiter_text_);
        }
        first = false;
        const std::string_view field = batch.field(i);
        for (std::size_t at = 0; at < field.size() && written_.ok(); at += SLICE) {
          append_doubled_quotes(held_, field.substr(at, SLICE));
          if (held_.size() > QUARANTINE_HOLD) {
            write_held();
          }
        }
      }
      return written_.ok();
    });
    held_.append("\"\n");
    if (held_.size() > QUARANTINE_HOLD) {
      write_held();
    }
  }

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
    skimmed_ = nullptr;
    if (!plain_lane_) {
      return {};
    }
    PlainRow row = render_plain_row(parser, output_.free_space(), output_.room(), columns_,
                                    fill_ragged_rows_, renderer_.quotes_lone_empty_field());
    if (!row.lacked_room) {
      return row;
    }
    if constexpr (std::is_same_v<Output, MemoryOutput>) {
      // A row longer than the room left is rendered in room made for it: its
      // clean line is no longer than the rest of the text, plus padding (of up
      // to as much again) and an LF.
      output_.reserve(2 * (parser.size() - parser.pos()) + 2); // room not written costs nothing
      return render_plain_row(parser, output_.free_space(), output_.room(), columns_,
                              fill_ragged_rows_, renderer_.quotes_lone_empty_field());
    } else {
      // Elsewhere it is passed over now and, once kept, read again and
      // written in pieces: a long row is never held once more whole.
      const ResilientParser::Mark start = parser.mark();
      row =
          skim_plain_row(parser, columns_, fill_ragged_rows_, renderer_.quotes_lone_empty_field());
      if (row.rendered()) {
        skimmed_ = &parser;
        skimmed_from_ = start;
      }
      return row;
    }
  }
  void commit(const PlainRow &row) {
    if constexpr (std::is_same_v<Output, OutputFile>) {
      if (skimmed_ != nullptr) {
        if (!pieces_) {
          pieces_.reset(new char[PIECES]);
        }
        skimmed_->back_to(skimmed_from_);
        write_plain_row(*skimmed_, columns_, fill_ragged_rows_, renderer_.quotes_lone_empty_field(),
                        std::span<char>(pieces_.get(), PIECES), [this](std::string_view piece) {
                          written_ = output_.write(piece);
                          return written_.ok();
                        });
        return;
      }
    }
    output_.commit(row.size);
  }

  // A long record's row, written in pieces as its fields are read again.
  bool operator()(const LongRecord &record, const RowShape &shape,
                  const std::string &merge_separator)
    requires std::is_same_v<Output, OutputFile>
  {
    // A line no memory could hold fails at once, as it does rendered whole,
    // not once the disk is full of delimiters.
    if (renderer_.size_bound(record.record(), shape, merge_separator) == SIZE_MAX) {
      throw std::bad_alloc();
    }
    const std::function<bool(std::string_view)> write = [this](std::string_view piece) {
      written_ = output_.write(piece);
      return written_.ok();
    };
    CleanRowRenderer::PieceRow row(renderer_, record.width(), shape, merge_separator, write);
    return record.for_each_batch([&](const Record &batch) { return row.add(batch); }) &&
           row.finish();
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
      if (shape.padding <= record.field_bytes_bound()) {
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
  // The row taken last, when skimmed: the parser that read it, and where it starts.
  ResilientParser *skimmed_ = nullptr;
  ResilientParser::Mark skimmed_from_{};
  static constexpr std::size_t PIECES = std::size_t{1} << 16;
  std::unique_ptr<char[]> pieces_; // scratch of the rows written in pieces
  Result<std::monostate> written_ = std::monostate{};
};

} // namespace tidewrack
