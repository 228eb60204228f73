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

#include "base/result.h"
#include "base/stop_poll.h"
#include "io/file_io.h"
#include "output/csv_format.h"
#include "parser/long_record.h"
#include "parser/resilient_parser.h"

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

} // namespace tidewrack
