#include "salvage/salvage_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <sched.h>
#include <span>
#include <thread>
#include <vector>

#include "heuristics/infer.h"
#include "heuristics/sniff.h"
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
  // Each record detection reads holds a line at least: a head with fewer line
  // breaks cannot settle, and is read on at once (a long single line then
  // costs one detection, not one per doubling).
  constexpr std::uint64_t RECORDS_READ = std::max(SNIFF_RECORD_LIMIT, INFER_RECORD_LIMIT);
  std::uint64_t breaks = 0;
  for (std::size_t counted = 0; !window.ended();) {
    const std::string_view text = window.text();
    breaks += static_cast<std::uint64_t>(
        std::count_if(text.begin() + static_cast<std::ptrdiff_t>(counted), text.end(),
                      [](char byte) { return byte == '\n' || byte == '\r'; }));
    if (breaks > RECORDS_READ) {
      break;
    }
    counted = text.size();
    Result<std::monostate> read = window.read_until(std::max<std::size_t>(text.size() * 2, 1));
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
  for (;;) {
    bool read_to_end = false;
    Result<Settlement> settled = settle(window_text(window), options, stop, &read_to_end);
    if (!settled.ok() || !read_to_end || window.ended()) {
      return settled;
    }
    Result<std::monostate> read =
        window.read_until(std::max<std::size_t>(window.text().size() * 2, 1));
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
}

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
    const std::size_t capacity = std::max(capacity_ * 2, used_ + count);
    std::unique_ptr<char[]> grown(new char[capacity]); // left unfilled
    if (used_ > 0) {
      std::memcpy(grown.get(), buffer_.get(), used_);
    }
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }

private:
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
};

// Renders the clean rows into an OutputFile or a MemoryOutput: the fast lane
// of plain records (rendered in place, in one pass with their parsing) and
// the sink of the others.
template <class Output> class CleanRows {
public:
  CleanRows(Output &output, const SalvageOptions &options, const Settlement &settlement)
      : output_(output), renderer_(settlement.delimiter, options.quote_char),
        columns_(settlement.columns), fill_ragged_rows_(options.fill_ragged_rows),
        plain_lane_(settlement.delimiter < 0x80 && options.quote_char < 0x80) {}

  PlainRow take(ResilientParser &parser) {
    long_row_ = false;
    if (!plain_lane_) {
      return {};
    }
    PlainRow row =
        render_plain_row(parser, output_.free_space(), output_.room(), columns_, fill_ragged_rows_);
    if (!row.lacked_room) {
      return row;
    }
    // A row longer than the room left is rendered in memory of its own: its
    // clean line is no longer than the rest of the text, plus padding (of up
    // to as much again) and an LF. Without it, its fields would be built.
    const std::size_t rest = parser.size() - parser.pos();
    const std::size_t bound = 2 * rest + 2;
    if (bound > line_capacity_) {
      line_.reset();
      line_.reset(new char[bound]);
      line_capacity_ = bound;
    }
    row = render_plain_row(parser, line_.get(), bound, columns_, fill_ragged_rows_);
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

// The line breaks of a stretch of text as the parser counts lines where no
// quoted field spans them: LFs, and CRs that no LF follows.
std::uint64_t line_breaks(std::string_view text, std::size_t from, std::size_t to) {
  std::uint64_t breaks = 0;
  for (std::size_t at = from; at < to; ++at) {
    const char byte = text[at];
    breaks += byte == '\n' || (byte == '\r' && (at + 1 == text.size() || text[at + 1] != '\n'));
  }
  return breaks;
}

// The first line start at `at` or past it, when the bytes before `at` are
// read outside quotes; the size of the text when there is none.
std::size_t next_line_start(std::string_view text, std::size_t at) {
  if (at == 0) {
    return 0;
  }
  for (std::size_t byte = at - 1; byte < text.size(); ++byte) {
    if (text[byte] == '\n') {
      return byte + 1;
    }
    if (text[byte] == '\r') {
      return byte + 1 < text.size() && text[byte + 1] == '\n' ? byte + 2 : byte + 1;
    }
  }
  return text.size();
}

// One part of a stretch that a thread reconciles: from a record start found
// by guessing (a line start, its line counted as if no quoted field spanned
// a line break) up to the next part's start. The part before it proves the
// guess: it must end exactly there, on that line; else the part is
// reconciled again from where that one did end.
// The quarantine lines and repair-log events of one part, numbered from the
// line its start was guessed on. The part before it proves where the part
// starts but not always on which line (a lone CR inside a quoted field is no
// line break), so the numbers are shifted, and the lines rendered, once the
// part is taken.
class PartLines {
public:
  void clear() {
    quarantined_.clear();
    events_.clear();
    text_.clear();
    quarantine_lines_.clear();
    log_lines_.clear();
  }
  void add_quarantined(const Record &record, const std::string &reason,
                       std::string_view delimiter_text) {
    const std::size_t from = text_.size();
    render_quarantine_columns(
        text_, QuarantineRecord{record.end_line, reason, record_fields(record)}, delimiter_text);
    quarantined_.push_back({record.end_line, from, text_.size() - from});
    append_decimal(quarantine_lines_, record.end_line);
    quarantine_lines_.push_back(',');
    quarantine_lines_.append(text_, from);
  }
  void add_event(const RepairEvent &event) {
    const std::size_t from = text_.size();
    text_.append(event.detail);
    events_.push_back({event.line_start, event.line_end, event.quote_line, from,
                       event.detail.size(), event.action});
    render_repair_line(log_lines_, event);
  }

  // Writes the lines with every line number moved by `shift` (modulo 2^64, so
  // that it may move them back); unmoved, as they were rendered.
  void write(std::uint64_t shift, QuarantineFile *quarantine, RepairLogFile *log) {
    if (shift == 0) {
      if (quarantine != nullptr) {
        quarantine->add_lines(quarantine_lines_);
      }
      if (log != nullptr) {
        log->write_lines(log_lines_);
      }
      return;
    }
    if (quarantine != nullptr && !quarantined_.empty()) {
      rendered_.clear();
      for (const Quarantined &entry : quarantined_) {
        append_decimal(rendered_, entry.line + shift);
        rendered_.push_back(',');
        rendered_.append(text_, entry.columns, entry.size);
      }
      quarantine->add_lines(rendered_);
    }
    if (log != nullptr) {
      for (const Event &entry : events_) {
        event_.line_start = entry.line_start + shift;
        event_.line_end = entry.line_end + shift;
        event_.action = entry.action;
        event_.detail.clear();
        if (entry.action == RepairAction::unclosed_quote) {
          append_unclosed_quote_detail(event_.detail, entry.quote_line + shift);
        } else {
          event_.detail.append(text_, entry.detail, entry.detail_size);
        }
        log->write(event_);
      }
    }
  }

private:
  struct Quarantined {
    std::uint64_t line;
    std::size_t columns; // rendered in text_
    std::size_t size;
  };
  struct Event {
    std::uint64_t line_start;
    std::uint64_t line_end;
    std::uint64_t quote_line;
    std::size_t detail; // in text_
    std::size_t detail_size;
    RepairAction action;
  };
  std::vector<Quarantined> quarantined_;
  std::vector<Event> events_;
  std::string text_;
  // The lines as rendered with the guessed numbers.
  std::string quarantine_lines_;
  std::string log_lines_;
  std::string rendered_;
  RepairEvent event_;
};

struct StretchPart {
  std::size_t begin = 0;
  std::size_t stop = SIZE_MAX; // the next part's begin
  std::uint64_t line = 1;      // guessed; see PartLines
  MemoryOutput clean;
  PartLines lines;
  SalvageCounts counts;
  std::optional<Result<StretchEnd>> end;
  std::exception_ptr failure;
};

// What every part of one stretch shares.
struct StretchContext {
  std::string_view text;
  std::uint64_t offset;            // of text in the whole text
  std::span<const Change> changes; // pending when the stretch began
  bool has_changes;
  bool skips_mark;         // the stretch starts the input: a byte-order mark there is skipped
  std::size_t certain_end; // as for RecordReconciler::reconcile
  const SalvageOptions &options;
  const Settlement &settlement;
  std::string_view delimiter_text;
  bool logging;
  bool quarantining;
  ParserInput kind;
};

void reconcile_part(const StretchContext &context, StretchPart &part, StopPoll stop) {
  part.clean.clear();
  part.lines.clear();
  SalvageText text(context.text.substr(part.begin));
  text.kind = context.kind;
  ResilientParser parser = salvage_parser(text, context.options, context.settlement);
  if (!(context.skips_mark && part.begin == 0)) {
    parser.continue_input_at_line(part.line);
  }
  RecordReconciler reconciler(context.options, context.settlement, {});
  StopCheckpoints checkpoints(stop);
  CleanRows<MemoryOutput> rows(part.clean, context.options, context.settlement);
  ChangeCursor cursor(context.changes);
  ChangeCursor *changes = context.has_changes ? &cursor : nullptr;
  const std::size_t certain_end =
      context.certain_end == SIZE_MAX ? SIZE_MAX : context.certain_end - part.begin;
  const std::size_t stop_at = part.stop == SIZE_MAX ? SIZE_MAX : part.stop - part.begin;
  auto set_aside = [&](const Record &record, const std::string &reason) {
    if (context.quarantining) {
      part.lines.add_quarantined(record, reason, context.delimiter_text);
    }
  };
  const std::uint64_t offset = context.offset + part.begin;
  part.end = context.logging
                 ? reconciler.reconcile(
                       parser, offset, changes, certain_end, stop_at, checkpoints, rows, rows,
                       set_aside, [&](const RepairEvent &event) { part.lines.add_event(event); })
                 : reconciler.reconcile(parser, offset, changes, certain_end, stop_at, checkpoints,
                                        rows, rows, set_aside, NoRepairLog{});
  part.counts = reconciler.counts();
}

} // namespace

unsigned available_cores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (::sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&cores));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

Result<SalvageCounts> salvage_file(const std::string &input_path, const std::string &output_path,
                                   const std::optional<std::string> &quarantine_path,
                                   const SalvageOptions &options,
                                   const std::optional<std::string> &repair_log_path, StopPoll stop,
                                   ProgressSink progress, std::size_t block_size,
                                   unsigned threads) {
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

  CleanRows<OutputFile> rows(output, options, settlement);
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
  std::uint64_t next_report = ProgressSink::INTERVAL;
  // With threads, a stretch is cut into parts, one per thread.
  std::vector<StretchPart> parts(threads > 1 ? threads : 0);
  std::atomic<bool> stopping = false;
  auto main_poll = [&](bool signalled) {
    const bool stops = stop(signalled);
    if (stops) {
      stopping.store(true, std::memory_order_relaxed);
    }
    return stops;
  };
  auto helper_poll = [&](bool) { return stopping.load(std::memory_order_relaxed); };
  const std::string delimiter_text = byte_as_utf8(settlement.delimiter);
  Result<std::monostate> &written = rows.written();
  for (;;) {
    const std::string_view text = window.text();
    const std::size_t certain_end = window.ended() ? SIZE_MAX : text.size();
    Result<StretchEnd> reconciled = StretchEnd{};
    // Guess the parts' starts and lines; a stretch of one line is not cut.
    if (!parts.empty()) {
      std::uint64_t line = continued_at_line.value_or(1);
      std::size_t begin = 0;
      for (std::size_t part = 0; part < parts.size(); ++part) {
        const std::size_t next =
            part + 1 == parts.size()
                ? SIZE_MAX
                : std::max(begin, next_line_start(text, text.size() / parts.size() * (part + 1)));
        parts[part].begin = begin;
        parts[part].stop = next;
        parts[part].line = line;
        if (next != SIZE_MAX) {
          line += line_breaks(text, begin, next);
          begin = next;
        }
      }
    }
    if (parts.empty() || parts[1].begin >= text.size()) {
      ResilientParser parser = salvage_parser(window_text(window), options, settlement);
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
    } else {
      const ChangeLog *changes = window.changes();
      const StretchContext context{text,
                                   window.offset(),
                                   changes ? changes->pending() : std::span<const Change>{},
                                   changes != nullptr,
                                   !continued_at_line,
                                   certain_end,
                                   options,
                                   settlement,
                                   delimiter_text,
                                   repair_log.has_value(),
                                   quarantine.has_value(),
                                   window.kind()};
      auto run = [&](StretchPart &part, StopPoll poll) {
        try {
          reconcile_part(context, part, poll);
        } catch (...) {
          part.failure = std::current_exception();
        }
      };
      {
        std::vector<std::jthread> helpers;
        helpers.reserve(parts.size() - 1);
        for (std::size_t part = 1; part < parts.size(); ++part) {
          helpers.emplace_back(run, std::ref(parts[part]), StopPoll(helper_poll));
        }
        run(parts[0], StopPoll(main_poll));
      }
      // Take the parts in order, each proven by the one before.
      std::size_t at = 0;
      std::uint64_t at_line = continued_at_line.value_or(1);
      for (std::size_t index = 0; index < parts.size(); ++index) {
        StretchPart &part = parts[index];
        if (part.failure) {
          std::rethrow_exception(part.failure);
        }
        if (index > 0 && part.begin != at) {
          part.begin = at;
          part.line = at_line;
          run(part, StopPoll(main_poll));
          if (part.failure) {
            std::rethrow_exception(part.failure);
          }
        }
        reconciled = std::move(*part.end);
        if (!reconciled.ok()) {
          break;
        }
        reconciler.add_counts(part.counts);
        written = output.write(part.clean.view());
        const std::uint64_t shift = at_line - part.line;
        part.lines.write(shift, quarantine ? &*quarantine : nullptr,
                         repair_log ? &*repair_log : nullptr);
        StretchEnd &end = reconciled.value();
        end.next_begin += part.begin;
        end.next_line += shift;
        if (!end.at_stop || !written.ok()) {
          break;
        }
        at = end.next_begin;
        at_line = end.next_line;
      }
      if (changes != nullptr && reconciled.ok()) {
        // Drop what the parts read.
        (void)window.changes()->take(window.offset(),
                                     window.offset() + reconciled.value().next_begin);
      }
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
  progress(window.bytes_read());
  SalvageCounts counts = reconciler.counts();
  counts.encoding = window.encoding_name();
  return counts;
}

} // namespace tidewrack
