#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/result.h"
#include "base/stop_poll.h"
#include "base/utf8.h"
#include "encoding/change_log.h"
#include "heuristics/dialect.h"
#include "heuristics/infer.h"
#include "heuristics/sniff.h"
#include "output/csv_format.h"
#include "output/row_store.h"
#include "parser/long_record.h"
#include "parser/resilient_parser.h"
#include "repair/repair_event.h"
#include "repair/row_alignment.h"
#include "salvage/options.h"
#include "salvage/outcome.h"

namespace tidewrack {

std::string too_few_columns_reason(std::uint64_t columns);
std::string extra_columns_reason(std::uint64_t columns);
std::vector<std::string> record_fields(const Record &record);
// Appends the text of a line the rules leave out (a comment or preamble line),
// without its line break, so that the repair log keeps it.
void append_line_text(std::string &out, const ResilientParser &parser, const Record &line);

// What a salvage parses: the input as it was read (the classic reading: the
// parser skips a leading UTF-8 byte-order mark and replaces what is not UTF-8,
// field by field), or the UTF-8 text a decoder made of it, whose changes are
// put with the records they fall in.
struct SalvageText {
  SalvageText(std::string_view bytes) : text(bytes), empty_input(bytes.empty()) {}

  std::string_view text;
  ParserInput kind = ParserInput::Bytes;
  ChangeLog *changes = nullptr;
  // The input held no byte: there is nothing to settle. (A decoded text is
  // empty for an input of a byte-order mark alone too, which is settled.)
  bool empty_input;
};

// The dialect and the column count of one salvage, given or detected, and
// the columns' profiles when rows are to be aligned to them.
struct Settlement {
  std::uint8_t delimiter = ',';
  std::uint64_t columns = 0;
  std::uint8_t quote_char = '"';
  ParseRules rules;
  std::uint64_t header_rows = 0;
  double confidence = 0.0;         // of a detected dialect
  std::vector<std::string> notes;  // of a detected dialect: what it may have misread
  std::uint8_t output_quote = '"'; // the clean file's
  std::shared_ptr<const ColumnProfiles> profiles;
};

// Takes the delimiter and the column count from the options, or detects them
// from the head of the input. An empty input settles on ',' and no width.
// Fails only with Interrupted, when `stop` says so. `*read_to_end` (when
// given) is set when detection read to the end of the text, which a longer
// text might settle otherwise.
Result<Settlement> settle(const SalvageText &input, const SalvageOptions &options,
                          StopPoll stop = {}, bool *read_to_end = nullptr);

// The records profiled for aligning rows: the first ones of the input, those
// that start in its first PROFILE_BYTE_LIMIT bytes (where records run long, a
// thousand of them would cost more than the rows they guide).
inline constexpr std::size_t PROFILE_RECORD_LIMIT = 1000;
inline constexpr std::size_t PROFILE_BYTE_LIMIT = std::size_t{1} << 20;

// Column profiles (for options.align_columns) from the rows of the settled
// width among the first records (above), the header rows left
// out (the first at least: a header, most often); null when not asked for, or when fewer than a
// handful of rows, or fewer than half of the records profiled, have that width (rows that mostly do
// not fit tell nothing reliable of the columns). A record that reaches `certain_end` (as for
// RecordReconciler::reconcile), or whose reading looked that far, might read otherwise once more
// text follows: then `read_to_end` is set, and nothing returned.
std::shared_ptr<const ColumnProfiles> profile_columns(const SalvageText &input,
                                                      const SalvageOptions &options,
                                                      const Settlement &settlement,
                                                      std::size_t certain_end, bool &read_to_end);

// A repair log that keeps nothing: the classic salvage lists no repairs.
struct NoRepairLog {
  void operator()(const RepairEvent &) const {}
};

// A fast lane that takes no record: every record goes through `clean` or
// `quarantine`. A lane renders the next record whole when it can
// (render_plain_row) without keeping it yet; `commit` keeps
// the row it rendered last.
struct NoPlainLane {
  PlainRow take(ResilientParser &) const { return {}; }
  void commit(const PlainRow &) const {}
};

// Where reconciling a stretch of text ended: at the end of the text, or where
// the next stretch is to start (at the first record left, or at the end of a
// stretch that left none).
struct StretchEnd {
  bool continues = false;
  std::size_t next_begin = 0; // offset in the stretch
  std::uint64_t next_line = 0;
  bool at_stop = false; // the next record starts at `stop_at` or past it
};

// Reconciles the records of one salvage, which may come in stretches of text
// (a file read a block at a time), and keeps the counters. Shared by the
// in-memory and the file salvage, so that both reconcile exactly alike.
class RecordReconciler {
public:
  RecordReconciler(const SalvageOptions &options, const Settlement &settlement,
                   std::string_view encoding)
      : columns_(settlement.columns), fill_ragged_rows_(options.fill_ragged_rows),
        merge_overflow_(options.merge_overflow), too_few_(too_few_columns_reason(columns_)),
        extra_(extra_columns_reason(columns_)),
        merge_separator_(byte_as_utf8(settlement.delimiter)),
        rules_classic_(settlement.rules.classic()) {
    if (options.align_columns && settlement.profiles) {
      profiles_ = settlement.profiles;
      aligner_.emplace(*profiles_, merge_separator_, settlement.quote_char);
    }
    counts_.detected_delimiter = settlement.delimiter;
    counts_.inferred_columns = settlement.columns;
    counts_.quote_char = settlement.rules.quoting ? settlement.quote_char : 0;
    counts_.escape_char = settlement.rules.escape.value_or(0);
    counts_.skip_blanks = settlement.rules.skip_blanks;
    counts_.comment_prefix = settlement.rules.comment_prefix;
    counts_.header_rows = settlement.header_rows;
    counts_.confidence = settlement.confidence;
    counts_.notes = settlement.notes;
    counts_.output_quote_char = settlement.output_quote;
    counts_.encoding = encoding;
  }

  SalvageCounts &counts() { return counts_; }
  const SalvageCounts &counts() const { return counts_; }

  // Adds the row and repair counters of another part of the same salvage,
  // less those it had counted at `before` (a part taken from a later record on).
  void add_counts(const SalvageCounts &part, const SalvageCounts &before = {}) {
    counts_.total_rows += part.total_rows - before.total_rows;
    counts_.salvaged_rows += part.salvaged_rows - before.salvaged_rows;
    counts_.repaired_rows += part.repaired_rows - before.repaired_rows;
    counts_.quarantined_rows += part.quarantined_rows - before.quarantined_rows;
    counts_.padded_rows += part.padded_rows - before.padded_rows;
    counts_.merged_rows += part.merged_rows - before.merged_rows;
    counts_.quote_repairs += part.quote_repairs - before.quote_repairs;
    counts_.unclosed_quotes += part.unclosed_quotes - before.unclosed_quotes;
    counts_.decoded_bytes += part.decoded_bytes - before.decoded_bytes;
    counts_.replaced_bytes += part.replaced_bytes - before.replaced_bytes;
    counts_.comment_lines += part.comment_lines - before.comment_lines;
    counts_.preamble_lines += part.preamble_lines - before.preamble_lines;
  }

  // Hands every record that `parser` cuts from a stretch of text to
  // `clean(record, shape, merge_separator)` or to `quarantine(record, reason)`,
  // in input order, after `plain` may have taken it whole. The stretch starts
  // at `offset` of the whole text; `changes` (may be null) holds the decoding's
  // changes by offset in the whole text. Each change made to a record goes to
  // `log` as a RepairEvent, in input order, before the record itself goes on;
  // the decoding's changes come first, as they came first.
  //
  // A stretch that ends the text has a `certain_end` past its size. Another
  // has its size there: a record that reaches it, or whose reading looked that
  // far ahead, might read otherwise once more text follows, so it is left,
  // with all after it, and the result says where the next stretch starts.
  //
  // Records that start at `stop_at` or past it are left too (a part of the
  // stretch that another thread reconciles).
  //
  // When both sinks take a LongRecord too (`clean(long_record, shape,
  // merge_separator)`, `quarantine(long_record, reason)`), long records go to
  // them as that, never held whole; otherwise as any other.
  //
  // Stops early when `clean` returns false, and fails with Interrupted when
  // `checkpoints` say so. `Changes` offers pending() and take() as ChangeLog.
  template <class Changes, class PlainLane, class CleanSink, class QuarantineSink, class RepairLog>
  Result<StretchEnd> reconcile(ResilientParser &parser, std::uint64_t offset, Changes *changes,
                               std::size_t certain_end, std::size_t stop_at,
                               StopCheckpoints &checkpoints, PlainLane &plain, CleanSink &&clean,
                               QuarantineSink &&quarantine, RepairLog &&log) {
    constexpr bool LOGGING = !std::is_same_v<std::decay_t<RepairLog>, NoRepairLog>;
    constexpr bool LONG_RECORDS = requires(const LongRecord &record, const std::string &reason) {
      clean(record, RowShape{}, merge_separator_);
      quarantine(record, reason);
    };
    if constexpr (LONG_RECORDS) {
      parser.batch_long_records(LONG_RECORD_FIELDS, LONG_RECORD_TEXT);
    }
    auto report_at = [&](std::uint64_t first_line, std::uint64_t last_line, std::size_t begin,
                         std::size_t end, RepairAction action, auto &&append_detail) {
      event_.line_start = first_line;
      event_.line_end = last_line;
      event_.begin = offset + begin;
      event_.end = offset + end;
      event_.action = action;
      event_.detail.clear();
      append_detail(event_.detail);
      log(std::as_const(event_));
    };
    auto report = [&](RepairAction action, auto &&append_detail) {
      report_at(record_.start_line, record_.end_line, record_.begin, record_.end, action,
                append_detail);
    };
    // The decoding's changes to the record in [begin, end), counted and logged.
    auto take_changes = [&](std::uint64_t first_line, std::uint64_t last_line, std::size_t begin,
                            std::size_t end) {
      if (changes == nullptr || changes->pending().empty()) {
        return;
      }
      const ChangeCounts taken = changes->take(offset + begin, offset + end);
      counts_.decoded_bytes += taken.decoded;
      counts_.replaced_bytes += taken.replaced;
      if constexpr (LOGGING) {
        if (taken.decoded != 0) {
          report_at(first_line, last_line, begin, end, RepairAction::decoded,
                    [&](std::string &detail) { append_decoded_detail(detail, taken.decoded); });
        }
        if (taken.replaced != 0) {
          report_at(first_line, last_line, begin, end, RepairAction::replaced,
                    [&](std::string &detail) { append_replaced_detail(detail, taken.replaced); });
        }
      }
    };
    // A record is certain when its end and the parser's look-ahead stay short of
    // `certain_end`.
    auto uncertain = [&] {
      return parser.pos() >= certain_end || parser.look_ahead_end() >= certain_end;
    };
    for (;;) {
      if (checkpoints.stop_at(offset + parser.pos())) {
        return SalvageError::interrupted();
      }
      const std::uint64_t line = parser.line();
      const std::size_t begin = parser.pos();
      if (begin >= stop_at) {
        return StretchEnd{true, begin, line, true};
      }
      const PlainRow taken = plain.take(parser);
      if (taken.rendered()) {
        if (uncertain()) {
          return StretchEnd{true, begin, line};
        }
        plain.commit(taken);
        ++counts_.total_rows;
        ++counts_.salvaged_rows;
        take_changes(line, line, begin, parser.pos()); // a plain row lies on one line
        if (taken.padding != 0) {
          ++counts_.repaired_rows;
          ++counts_.padded_rows;
          if constexpr (LOGGING) {
            report_at(line, line, begin, parser.pos(), RepairAction::padded,
                      [&](std::string &detail) { append_padded_detail(detail, taken.padding); });
          }
        }
        continue;
      }
      const ResilientParser::Mark start = parser.mark();
      if (!parser.next_row(record_)) {
        if (parser.pos() >= certain_end) {
          return StretchEnd{true, parser.pos(), parser.line()};
        }
        break;
      }
      if (uncertain()) {
        return StretchEnd{true, begin, line};
      }
      if (record_.kind != Record::Kind::Data) {
        // Left out of the table, and logged so that nothing is lost.
        const bool comment = record_.kind == Record::Kind::Comment;
        ++(comment ? counts_.comment_lines : counts_.preamble_lines);
        take_changes(record_.start_line, record_.end_line, record_.begin, record_.end);
        if constexpr (LOGGING) {
          report(comment ? RepairAction::comment : RepairAction::preamble,
                 [&](std::string &detail) {
                   detail.append(comment ? "comment line left out: " : "preamble line left out: ");
                   append_line_text(detail, parser, record_);
                 });
        }
        continue;
      }
      ++counts_.total_rows;
      take_changes(record_.start_line, record_.end_line, record_.begin, record_.end);
      const std::uint64_t width = record_.width();
      const bool long_record = record_.fields_before != 0;
      // Chosen before the quotes are counted: a line re-read with its stray
      // opening quote as text has none of the parser's stray quotes. A long
      // record is never aligned: the aligner takes no row of so many fields
      // more or fewer than the columns profiled.
      bool aligned = false;
      if (aligner_ && !long_record && width < columns_ && fill_ragged_rows_) {
        // A line is read again by the classic rules only.
        aligned = aligner_->align_missing(
            record_, rules_classic_ ? single_line(record_) : std::string_view{}, aligned_);
      } else if (aligner_ && !long_record && width > columns_ && merge_overflow_) {
        aligned = aligner_->align_surplus(record_, aligned_);
      }
      const bool re_read = aligned && aligned_.steps.front().kind == AlignStep::literal_quote;
      if (!re_read) {
        counts_.quote_repairs += record_.stray_quotes;
      }
      counts_.unclosed_quotes += record_.unclosed_quote_lines.size();
      if constexpr (LOGGING) {
        for (std::uint64_t quote_line : record_.unclosed_quote_lines) {
          event_.quote_line = quote_line;
          report(RepairAction::unclosed_quote,
                 [&](std::string &detail) { append_unclosed_quote_detail(detail, quote_line); });
        }
        if (record_.stray_quotes != 0 && !re_read) {
          report(RepairAction::quote_repaired, [&](std::string &detail) {
            append_quote_repaired_detail(detail, record_.stray_quotes);
          });
        }
      }
      RowShape shape{static_cast<std::size_t>(width), false, 0};
      const Record *row = &record_;
      if (columns_ == 0 || width == columns_) {
      } else if (aligned) {
        row = &aligned_.row;
        shape = RowShape{aligned_.row.size(), false, 0};
        count_aligned<LOGGING>(report);
      } else if (width < columns_ && fill_ragged_rows_) {
        shape.padding = columns_ - width;
        ++counts_.repaired_rows;
        ++counts_.padded_rows;
        if constexpr (LOGGING) {
          report(RepairAction::padded,
                 [&](std::string &detail) { append_padded_detail(detail, shape.padding); });
        }
      } else if (width > columns_ && merge_overflow_) {
        shape.kept = static_cast<std::size_t>(columns_ - 1);
        shape.merge_rest = true;
        ++counts_.repaired_rows;
        ++counts_.merged_rows;
        if constexpr (LOGGING) {
          report(RepairAction::merged,
                 [&](std::string &detail) { append_merged_detail(detail, width, columns_); });
        }
      } else {
        const std::string &reason = width < columns_ ? too_few_ : extra_;
        if constexpr (LOGGING) {
          report(RepairAction::quarantined, [&](std::string &detail) { detail.append(reason); });
        }
        if constexpr (LONG_RECORDS) {
          if (long_record) {
            quarantine(LongRecord(parser, start, record_, batch_), reason);
            ++counts_.quarantined_rows;
            continue;
          }
        }
        quarantine(std::as_const(record_), reason);
        ++counts_.quarantined_rows;
        continue;
      }
      ++counts_.salvaged_rows;
      if constexpr (LONG_RECORDS) {
        if (long_record) {
          if (!clean(LongRecord(parser, start, record_, batch_), shape, merge_separator_)) {
            break;
          }
          continue;
        }
      }
      if (!clean(*row, shape, merge_separator_)) {
        break;
      }
    }
    return StretchEnd{};
  }

private:
  // Counts the row aligned last and logs its steps, a line per kind of step:
  // a re-read quote, joins, drops, splits, inserted cells.
  template <bool LOGGING, class Report> void count_aligned(Report &report) {
    const std::vector<AlignStep> &steps = aligned_.steps;
    if (steps.front().kind == AlignStep::literal_quote) {
      ++counts_.quote_repairs;
    } else {
      ++counts_.repaired_rows;
      // Joins and drops shorten a row, splits and inserts widen it.
      ++(steps.front().kind <= AlignStep::drop ? counts_.merged_rows : counts_.padded_rows);
    }
    if constexpr (!LOGGING) {
      return;
    }
    constexpr std::pair<AlignStep::Kind, RepairAction> LINES[] = {
        {AlignStep::literal_quote, RepairAction::quote_repaired},
        {AlignStep::join, RepairAction::merged},
        {AlignStep::drop, RepairAction::dropped},
        {AlignStep::split, RepairAction::split},
        {AlignStep::insert, RepairAction::padded}};
    for (const auto &[kind, action] : LINES) {
      if (std::none_of(steps.begin(), steps.end(),
                       [&](const AlignStep &step) { return step.kind == kind; })) {
        continue;
      }
      report(action, [&](std::string &detail) {
        for (const AlignStep &step : steps) {
          if (step.kind != kind) {
            continue;
          }
          if (!detail.empty()) {
            detail.append("; ");
          }
          append_step_detail(detail, step);
        }
      });
    }
  }

  SalvageCounts counts_;
  std::uint64_t columns_;
  bool fill_ragged_rows_;
  bool merge_overflow_;
  std::string too_few_;
  std::string extra_;
  std::string merge_separator_;
  bool rules_classic_;
  Record record_;
  Record batch_; // of a long record read again
  // One event, filled in for each change: its detail keeps its storage.
  RepairEvent event_;
  std::shared_ptr<const ColumnProfiles> profiles_;
  std::optional<RowAligner> aligner_;
  AlignedRow aligned_;
};

// A parser for the records of `input` with the salvage's settings.
ResilientParser salvage_parser(const SalvageText &input, const SalvageOptions &options,
                               const Settlement &settlement);

} // namespace tidewrack
