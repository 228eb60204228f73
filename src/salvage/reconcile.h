#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "encoding/change_log.h"
#include "encoding/decoded_input.h"
#include "error/result.h"
#include "error/stop_poll.h"
#include "heuristics/infer.h"
#include "heuristics/sniff.h"
#include "parser/resilient_parser.h"
#include "parser/utf8.h"
#include "salvage/csv_format.h"
#include "salvage/options.h"
#include "salvage/outcome.h"
#include "salvage/repair_event.h"
#include "salvage/row_store.h"

namespace tidewrack {

std::string too_few_columns_reason(std::uint64_t columns);
std::string extra_columns_reason(std::uint64_t columns);
std::vector<std::string> record_fields(const Record &record);

// What a salvage parses: the input as it was read (the classic reading: the
// parser skips a leading UTF-8 byte-order mark and replaces what is not UTF-8,
// field by field), or the UTF-8 text a decoder made of it, whose changes are
// put with the records they fall in.
struct SalvageText {
  SalvageText(std::string_view bytes) : text(bytes), empty_input(bytes.empty()) {}
  SalvageText(std::string_view bytes, DecodedInput &decoded)
      : text(decoded.text()), kind(ParserInput::DecodedText), changes(&decoded.changes()),
        encoding(decoded.encoding_name()), empty_input(bytes.empty()) {}

  std::string_view text;
  ParserInput kind = ParserInput::Bytes;
  ChangeLog *changes = nullptr;
  std::string_view encoding; // the name SalvageCounts reports
  // The input held no byte: there is nothing to settle. (A decoded text is
  // empty for an input of a byte-order mark alone too, which is settled.)
  bool empty_input;
};

// The delimiter and the column count of one salvage, given or detected.
struct Settlement {
  std::uint8_t delimiter = ',';
  std::uint64_t columns = 0;
};

// Takes the delimiter and the column count from the options, or detects them
// from the head of the input. An empty input settles on ',' and no width.
// Fails only with Interrupted, when `stop` says so.
Result<Settlement> settle(const SalvageText &input, const SalvageOptions &options,
                          StopPoll stop = {});

// A repair log that keeps nothing: the classic salvage lists no repairs.
struct NoRepairLog {
  void operator()(const RepairEvent &) const {}
};

// Hands every record to `clean(record, shape, merge_separator)` or to
// `quarantine(record, reason)`, in input order, and returns the counters.
// Stops early when `clean` returns false, and fails with Interrupted when
// `stop` says so. Before each record, `plain(parser)` may take it whole
// instead (render_plain_row); it returns the PlainRow it got.
// Each change made to a record goes to `log` as a RepairEvent, in input order,
// before the record itself goes on; the changes the decoding made to it come
// first, as they came first. Shared by the in-memory and the file
// salvage, so that both reconcile exactly alike.
template <class PlainLane, class CleanSink, class QuarantineSink, class RepairLog>
Result<SalvageCounts> reconcile_records(const SalvageText &input, const SalvageOptions &options,
                                        const Settlement &settlement, StopPoll stop,
                                        PlainLane &&plain, CleanSink &&clean,
                                        QuarantineSink &&quarantine, RepairLog &&log) {
  constexpr bool LOGGING = !std::is_same_v<std::decay_t<RepairLog>, NoRepairLog>;
  SalvageCounts counts;
  counts.detected_delimiter = settlement.delimiter;
  counts.inferred_columns = settlement.columns;
  counts.encoding = input.encoding;
  const std::uint64_t columns = settlement.columns;
  const std::string too_few = too_few_columns_reason(columns);
  const std::string extra = extra_columns_reason(columns);
  const std::string merge_separator = byte_as_utf8(settlement.delimiter);

  ResilientParser parser(input.text, settlement.delimiter, options.quote_char,
                         options.repair_quotes, input.kind);
  if (options.unclosed_quote_recovery) {
    parser.recover_unclosed_quotes(columns, *options.unclosed_quote_recovery);
  }
  Record record;
  // One event, filled in for each change: its detail keeps its storage.
  RepairEvent event;
  auto report_at = [&](std::uint64_t first_line, std::uint64_t last_line, std::size_t begin,
                       std::size_t end, RepairAction action, auto &&append_detail) {
    event.line_start = first_line;
    event.line_end = last_line;
    event.begin = begin;
    event.end = end;
    event.action = action;
    event.detail.clear();
    append_detail(event.detail);
    log(std::as_const(event));
  };
  auto report = [&](RepairAction action, auto &&append_detail) {
    report_at(record.start_line, record.end_line, record.begin, record.end, action, append_detail);
  };
  // The decoding's changes to the record in [begin, end), counted and logged.
  auto take_changes = [&](std::uint64_t first_line, std::uint64_t last_line, std::size_t begin,
                          std::size_t end) {
    if (input.changes == nullptr || input.changes->pending().empty()) {
      return;
    }
    const ChangeCounts taken = input.changes->take(begin, end);
    counts.decoded_bytes += taken.decoded;
    counts.replaced_bytes += taken.replaced;
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
  StopCheckpoints checkpoints(stop);
  for (;;) {
    if (checkpoints.stop_at(parser.pos())) {
      return SalvageError::interrupted();
    }
    const std::uint64_t line = parser.line();
    const std::size_t begin = parser.pos();
    const PlainRow taken = plain(parser);
    if (taken.rendered()) {
      ++counts.total_rows;
      ++counts.salvaged_rows;
      take_changes(line, line, begin, parser.pos()); // a plain row lies on one line
      if (taken.padding != 0) {
        ++counts.repaired_rows;
        ++counts.padded_rows;
        if constexpr (LOGGING) {
          report_at(line, line, begin, parser.pos(), RepairAction::padded,
                    [&](std::string &detail) { append_padded_detail(detail, taken.padding); });
        }
      }
      continue;
    }
    if (!parser.next_row(record)) {
      break;
    }
    ++counts.total_rows;
    take_changes(record.start_line, record.end_line, record.begin, record.end);
    counts.quote_repairs += record.stray_quotes;
    counts.unclosed_quotes += record.unclosed_quote_lines.size();
    if constexpr (LOGGING) {
      for (std::uint64_t quote_line : record.unclosed_quote_lines) {
        report(RepairAction::unclosed_quote,
               [&](std::string &detail) { append_unclosed_quote_detail(detail, quote_line); });
      }
      if (record.stray_quotes != 0) {
        report(RepairAction::quote_repaired, [&](std::string &detail) {
          append_quote_repaired_detail(detail, record.stray_quotes);
        });
      }
    }
    std::uint64_t width = record.size();
    RowShape shape{record.size(), false, 0};
    if (columns == 0 || width == columns) {
    } else if (width < columns && options.fill_ragged_rows) {
      shape.padding = columns - width;
      ++counts.repaired_rows;
      ++counts.padded_rows;
      if constexpr (LOGGING) {
        report(RepairAction::padded,
               [&](std::string &detail) { append_padded_detail(detail, shape.padding); });
      }
    } else if (width > columns && options.merge_overflow) {
      shape.kept = static_cast<std::size_t>(columns - 1);
      shape.merge_rest = true;
      ++counts.repaired_rows;
      ++counts.merged_rows;
      if constexpr (LOGGING) {
        report(RepairAction::merged,
               [&](std::string &detail) { append_merged_detail(detail, width, columns); });
      }
    } else {
      const std::string &reason = width < columns ? too_few : extra;
      if constexpr (LOGGING) {
        report(RepairAction::quarantined, [&](std::string &detail) { detail.append(reason); });
      }
      quarantine(record, reason);
      ++counts.quarantined_rows;
      continue;
    }
    ++counts.salvaged_rows;
    if (!clean(record, shape, merge_separator)) {
      break;
    }
  }
  return counts;
}

// The same without a repair log.
template <class PlainLane, class CleanSink, class QuarantineSink>
Result<SalvageCounts> reconcile_records(const SalvageText &input, const SalvageOptions &options,
                                        const Settlement &settlement, StopPoll stop,
                                        PlainLane &&plain, CleanSink &&clean,
                                        QuarantineSink &&quarantine) {
  return reconcile_records(input, options, settlement, stop, plain, clean, quarantine,
                           NoRepairLog{});
}

// A fast lane that takes no record: every record goes through `clean` or
// `quarantine`.
struct NoPlainLane {
  PlainRow operator()(ResilientParser &) const { return {}; }
};

// The same without a fast lane or a repair log.
template <class CleanSink, class QuarantineSink>
Result<SalvageCounts> reconcile_records(const SalvageText &input, const SalvageOptions &options,
                                        const Settlement &settlement, StopPoll stop,
                                        CleanSink &&clean, QuarantineSink &&quarantine) {
  return reconcile_records(input, options, settlement, stop, NoPlainLane{}, clean, quarantine,
                           NoRepairLog{});
}

} // namespace tidewrack
