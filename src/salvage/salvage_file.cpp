#include "salvage/salvage_file.h"

#include <algorithm>
#include <memory>

#include "salvage/csv_format.h"
#include "salvage/file_io.h"
#include "salvage/reconcile.h"
#include "salvage/repair_log.h"
#include "salvage/text_window.h"

namespace tidewrack {

namespace {

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

// The text a window holds, as the salvage reads it.
SalvageText window_text(TextWindow &window) {
  SalvageText text(window.text());
  text.kind = window.kind();
  text.changes = window.changes();
  text.empty_input = window.input_empty();
  return text;
}

// Takes the delimiter and the column count from the options or from a head of
// the input long enough that a longer one would settle alike.
Result<Settlement> settle_from_head(TextWindow &window, const SalvageOptions &options,
                                    StopPoll stop) {
  for (;;) {
    bool read_to_end = false;
    Result<Settlement> settled = settle(window_text(window), options, stop, &read_to_end);
    if (!settled.ok() || !read_to_end || window.ended()) {
      return settled;
    }
    Result<std::monostate> read = window.read_until(window.text().size() * 2);
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
}

} // namespace

Result<SalvageCounts> salvage_file(const std::string &input_path, const std::string &output_path,
                                   const std::optional<std::string> &quarantine_path,
                                   const SalvageOptions &options,
                                   const std::optional<std::string> &repair_log_path, StopPoll stop,
                                   std::size_t block_size) {
  Result<TextWindow> opened_input = TextWindow::open(input_path, options.encoding, stop);
  if (!opened_input.ok()) {
    return std::move(opened_input.error()).on_file(input_path);
  }
  TextWindow &window = opened_input.value();
  // An output that is the input itself is opened only once the input is read whole.
  const bool writes_input = same_file(input_path, output_path) ||
                            (quarantine_path && same_file(input_path, *quarantine_path)) ||
                            (repair_log_path && same_file(input_path, *repair_log_path));
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
  const Settlement settlement = settled.value();

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

  CleanRowRenderer renderer(settlement.delimiter, options.quote_char);
  Result<std::monostate> written = std::monostate{};
  std::unique_ptr<char[]> line;
  std::size_t line_capacity = 0;
  // Plain records are cut and rendered in one go, in place in the buffer.
  struct PlainLane {
    OutputFile &output;
    std::uint64_t columns;
    bool fill_ragged_rows;
    bool open;
    ResilientParser::PlainRow take(ResilientParser &parser) {
      if (!open || !parser.renders_plain_rows()) {
        return {};
      }
      return parser.render_plain_row(output.free_space(), output.room(), columns, fill_ragged_rows);
    }
    void commit(const ResilientParser::PlainRow &row) { output.commit(row.size); }
  } plain{output, settlement.columns, options.fill_ragged_rows,
          settlement.delimiter < 0x80 && options.quote_char < 0x80};
  auto clean = [&](const Record &record, const RowShape &shape,
                   const std::string &merge_separator) {
    // A line that surely fits the buffer's free room is rendered there in
    // place: the same as copying it in whole.
    const std::size_t bound = renderer.size_bound(record, shape, merge_separator);
    if (bound <= output.room()) {
      char *start = output.free_space();
      char *end = renderer.render_to(start, record, shape, merge_separator);
      output.commit(static_cast<std::size_t>(end - start));
      return true;
    }
    // Elsewhere, in memory that is reused and never zero-filled.
    if (bound > line_capacity) {
      line.reset();
      line.reset(new char[bound]);
      line_capacity = bound;
    }
    char *end = renderer.render_to(line.get(), record, shape, merge_separator);
    written =
        output.write(std::string_view(line.get(), static_cast<std::size_t>(end - line.get())));
    return written.ok();
  };
  auto set_aside = [&](const Record &record, const std::string &reason) {
    if (quarantine) {
      quarantine->add(record, reason);
    }
  };

  // The text is reconciled a stretch at a time. A stretch ends where the
  // window does; the record that reaches its end (or whose reading looked that
  // far) is left for the next stretch, which starts with it once another block
  // is read, and as much again as it holds, so that a long record costs
  // linear time.
  RecordReconciler reconciler(options, settlement, {});
  StopCheckpoints checkpoints(stop);
  std::optional<std::uint64_t> continued_at_line;
  for (;;) {
    ResilientParser parser = salvage_parser(window_text(window), options, settlement);
    if (continued_at_line) {
      parser.continue_input_at_line(*continued_at_line);
    }
    const std::size_t certain_end = window.ended() ? SIZE_MAX : window.text().size();
    Result<StretchEnd> reconciled =
        repair_log
            ? reconciler.reconcile(parser, window.offset(), window.changes(), certain_end,
                                   checkpoints, plain, clean, set_aside,
                                   [&](const RepairEvent &event) { repair_log->write(event); })
            : reconciler.reconcile(parser, window.offset(), window.changes(), certain_end,
                                   checkpoints, plain, clean, set_aside, NoRepairLog{});
    if (!reconciled.ok()) {
      return std::move(reconciled.error()); // what was written so far stays, unflushed rows aside
    }
    if (!reconciled.value().continues || !written.ok()) {
      break;
    }
    window.consume(reconciled.value().next_begin);
    continued_at_line = reconciled.value().next_line;
    const std::size_t held = window.text().size();
    Result<std::monostate> read = window.read_until(held + std::max(block, held));
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
  SalvageCounts counts = reconciler.counts();
  counts.encoding = window.encoding_name();
  return counts;
}

} // namespace tidewrack
