#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/result.h"
#include "io/file_io.h"
#include "output/csv_format.h"
#include "output/salvage_outputs.h"
#include "parser/long_record.h"
#include "parser/resilient_parser.h"
#include "salvage/options.h"
#include "salvage/reconcile.h"

namespace tidewrack {

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
