#include "salvage/salvage_file.h"

#include <algorithm>
#include <memory>
#include <sched.h>
#include <thread>
#include <vector>

#include "heuristics/infer.h"
#include "heuristics/sniff.h"
#include "salvage/csv_format.h"
#include "salvage/file_io.h"
#include "salvage/reconcile.h"
#include "salvage/repair_log.h"
#include "salvage/salvage_outputs.h"
#include "salvage/stretch_parts.h"
#include "salvage/text_window.h"

namespace tidewrack {

SalvageText window_text(TextWindow &window) {
  SalvageText text(window.text());
  text.kind = window.kind();
  text.changes = window.changes();
  text.empty_input = window.input_empty();
  return text;
}

Result<Settlement> settle_from_head(TextWindow &window, const SalvageOptions &options,
                                    StopPoll stop) {
  // Each record detection reads holds a line at least: a head with fewer line
  // breaks cannot settle, and is read on at once (a long single line then
  // costs one detection, not one per read).
  constexpr std::uint64_t RECORDS_READ = std::max(SNIFF_RECORD_LIMIT, INFER_RECORD_LIMIT);
  // A head that does not suffice is read on (read_on_size).
  auto read_more = [&window] {
    const std::size_t held = window.text().size();
    return window.read_until(held + std::max<std::size_t>(read_on_size(held), 1));
  };
  std::uint64_t breaks = 0;
  for (std::size_t counted = 0; !window.ended();) {
    const std::string_view text = window.text();
    breaks += line_breaks(text, counted, text.size());
    if (breaks > RECORDS_READ) {
      break;
    }
    counted = text.size();
    Result<std::monostate> read = read_more();
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
  std::optional<Settlement> settlement;
  for (;;) {
    bool read_to_end = false;
    Result<Settlement> settled = settle(window_text(window), options, stop, &read_to_end);
    if (!settled.ok()) {
      return settled;
    }
    if (!read_to_end || window.ended()) {
      settlement = settled.value();
      break;
    }
    Result<std::monostate> read = read_more();
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
  // The profiles come from a head the same for every block size: read on
  // until the records profiled end short of the text read.
  for (;;) {
    bool read_to_end = false;
    const std::size_t certain_end = window.ended() ? SIZE_MAX : window.text().size();
    settlement->profiles =
        profile_columns(window_text(window), options, *settlement, certain_end, read_to_end);
    if (!read_to_end) {
      return *settlement;
    }
    Result<std::monostate> read = read_more();
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
}

namespace {

Dialect settled_dialect(const Settlement &settlement) {
  return {settlement.delimiter, settlement.quote_char, settlement.rules, settlement.header_rows,
          settlement.columns,   settlement.confidence, settlement.notes};
}

SalvageOptions detecting_options(std::optional<InputEncoding> encoding) {
  SalvageOptions options;
  options.detect_dialect = true;
  options.encoding = encoding;
  return options;
}

} // namespace

Result<Dialect> detect_file_dialect(const InputSource &input, InputEncoding encoding,
                                    StopPoll stop) {
  const std::string &path = input.path;
  Result<TextWindow> opened = TextWindow::open(input, encoding, stop);
  if (!opened.ok()) {
    return std::move(opened.error()).on_file(path);
  }
  TextWindow &window = opened.value();
  Result<std::monostate> head = window.read_until(SALVAGE_BLOCK_SIZE);
  if (!head.ok()) {
    return std::move(head.error()).on_file(path);
  }
  Result<Settlement> settled = settle_from_head(window, detecting_options(encoding), stop);
  if (!settled.ok()) {
    return std::move(settled.error()).on_file(path);
  }
  return settled_dialect(settled.value());
}

Result<Dialect> detect_text_dialect(std::string_view text, StopPoll stop) {
  Result<Settlement> settled = settle(SalvageText(text), detecting_options(std::nullopt), stop);
  if (!settled.ok()) {
    return std::move(settled.error());
  }
  return settled_dialect(settled.value());
}

unsigned available_cores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (::sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&cores));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

Result<SalvageCounts> salvage_file(const InputSource &input, const std::string &output_path,
                                   const std::optional<std::string> &quarantine_path,
                                   const SalvageOptions &options,
                                   const std::optional<std::string> &repair_log_path, StopPoll stop,
                                   ProgressSink progress, std::size_t block_size,
                                   unsigned threads) {
  const std::string &input_path = input.path;
  Result<TextWindow> opened_input = TextWindow::open(input, options.encoding, stop);
  if (!opened_input.ok()) {
    return std::move(opened_input.error()).on_file(input_path);
  }
  TextWindow &window = opened_input.value();
  // An output that is the input itself is opened only once the input is read whole.
  const bool writes_input =
      !input.supply && (same_file(input_path, output_path) ||
                        (quarantine_path && same_file(input_path, *quarantine_path)) ||
                        (repair_log_path && same_file(input_path, *repair_log_path)));
  const std::size_t block = writes_input ? SIZE_MAX : std::max<std::size_t>(block_size, 1);
  // The first stretch holds a whole byte-order mark, which only it skips.
  Result<std::monostate> head = window.read_until(std::max<std::size_t>(block, 3));
  if (!head.ok()) {
    return std::move(head.error()).on_file(input_path);
  }
  Result<Settlement> settled = settle_from_head(window, options, stop);
  if (!settled.ok()) {
    return std::move(settled.error()).on_file(input_path);
  }
  const Settlement &settlement = settled.value();

  std::optional<RepairLogFile> repair_log;
  if (repair_log_path) {
    Result<RepairLogFile> opened = RepairLogFile::create(*repair_log_path, stop);
    if (!opened.ok()) {
      return std::move(opened.error()).on_file(*repair_log_path);
    }
    repair_log.emplace(std::move(opened.value()));
  }
  Result<OutputFile> opened_output = OutputFile::create(output_path, stop);
  if (!opened_output.ok()) {
    return std::move(opened_output.error()).on_file(output_path);
  }
  OutputFile &output = opened_output.value();
  std::optional<QuarantineFile> quarantine;
  if (quarantine_path) {
    quarantine.emplace(*quarantine_path, settlement.delimiter, stop);
  }

  CleanRows<OutputFile> rows(output, options, settlement);
  auto set_aside = [&](const auto &record, const std::string &reason) {
    if (quarantine) {
      quarantine->add(record, reason);
    }
  };

  // The text is reconciled a stretch at a time. A stretch ends where the
  // window does; the record that reaches its end (or whose reading looked that
  // far) is left for the next stretch, which starts with it once another block
  // is read, or more for a long record (read_on_size).
  RecordReconciler reconciler(options, settlement, {});
  StopCheckpoints checkpoints(stop);
  std::optional<std::uint64_t> continued_at_line;
  std::uint64_t next_report = ProgressSink::INTERVAL;
  // With threads, a stretch is cut into parts, one per thread.
  std::optional<StretchParts> parts;
  if (threads > 1) {
    parts.emplace(threads, [&] { return std::make_unique<CsvPartRows>(options, settlement); });
  }
  const std::string delimiter_text = byte_as_utf8(settlement.delimiter);
  bool long_record = false; // the last stretch ended before its first record did
  Result<std::monostate> &written = rows.written();
  for (;;) {
    const std::string_view held_text = window.text();
    // A stretch whose first record began in the last one is reconciled on one
    // thread: its parts would mostly cut that long record's text into rows.
    // A stretch that is not cut into parts (one line) is the whole window.
    const std::uint64_t first_line = continued_at_line.value_or(1);
    std::string_view text = held_text;
    bool in_parts = false;
    if (parts && !long_record) {
      text = held_text.substr(0, StretchParts::stretch_size(held_text, block));
      in_parts = parts->cut(text, first_line);
      text = in_parts ? text : held_text;
    }
    // A stretch cut short ends as the window would there.
    const bool whole = text.size() == held_text.size();
    const std::size_t certain_end = window.ended() && whole ? SIZE_MAX : text.size();
    Result<StretchEnd> reconciled = StretchEnd{};
    if (in_parts) {
      ChangeLog *changes = window.changes();
      const StretchContext context{text,
                                   window.offset(),
                                   changes ? changes->pending() : std::span<const Change>{},
                                   !continued_at_line,
                                   certain_end,
                                   options,
                                   settlement,
                                   delimiter_text,
                                   repair_log.has_value(),
                                   quarantine.has_value(),
                                   window.kind()};
      auto write = [&](PartRows &part, std::size_t mark) {
        written = output.write(static_cast<CsvPartRows &>(part).lines().substr(mark));
        return written.ok();
      };
      auto read_ahead = [&] { window.read_ahead(block); };
      reconciled =
          parts->reconcile(context, stop, reconciler, write, quarantine ? &*quarantine : nullptr,
                           repair_log ? &*repair_log : nullptr, read_ahead);
      if (changes != nullptr && reconciled.ok()) {
        // Drop what the parts read.
        (void)changes->take(window.offset(), window.offset() + reconciled.value().next_begin);
      }
    } else {
      SalvageText stretch = window_text(window);
      stretch.text = text;
      ResilientParser parser = salvage_parser(stretch, options, settlement);
      if (continued_at_line) {
        parser.continue_input_at_line(*continued_at_line);
      }
      reconciled =
          repair_log
              ? reconciler.reconcile(parser, window.offset(), window.changes(), certain_end,
                                     SIZE_MAX, checkpoints, rows, rows, set_aside,
                                     [&](const RepairEvent &event) { repair_log->write(event); })
              : reconciler.reconcile(parser, window.offset(), window.changes(), certain_end,
                                     SIZE_MAX, checkpoints, rows, rows, set_aside, NoRepairLog{});
    }
    if (!reconciled.ok()) {
      return std::move(reconciled.error()); // what was written so far stays, unflushed rows aside
    }
    if (!reconciled.value().continues || !written.ok()) {
      break;
    }
    window.consume(reconciled.value().next_begin);
    continued_at_line = reconciled.value().next_line;
    if (window.bytes_read() >= next_report) {
      progress(window.bytes_read());
      next_report = window.bytes_read() + ProgressSink::INTERVAL;
    }
    long_record = reconciled.value().next_begin == 0;
    if (!whole) {
      continue; // the window holds the next stretch
    }
    const std::size_t held = window.text().size();
    const std::size_t more = std::max(block, read_on_size(held));
    Result<std::monostate> read =
        window.read_until(held > SIZE_MAX - more ? SIZE_MAX : held + more);
    if (!read.ok()) {
      return std::move(read.error()).on_file(input_path);
    }
  }
  if (written.ok()) {
    written = output.flush();
  }
  if (!written.ok()) {
    return std::move(written.error()).on_file(output_path);
  }
  if (repair_log) {
    Result<std::monostate> logged = repair_log->finish();
    if (!logged.ok()) {
      return std::move(logged.error()).on_file(*repair_log_path);
    }
  }
  if (quarantine) {
    Result<std::monostate> set_aside_written = quarantine->finish();
    if (!set_aside_written.ok()) {
      return std::move(set_aside_written.error()).on_file(*quarantine_path);
    }
  }
  progress(window.bytes_read());
  SalvageCounts counts = reconciler.counts();
  counts.encoding = window.encoding_name();
  return counts;
}

} // namespace tidewrack
