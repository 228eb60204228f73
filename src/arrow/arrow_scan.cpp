#include "arrow/arrow_scan.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <new>
#include <stdexcept>

#include "arrow/column_names.h"
#include "io/file_io.h"
#include "salvage/clean_rows.h"
#include "salvage/salvage_file.h"

namespace tidewrack {

SalvageError ColumnRows::too_wide(const std::string &wider) {
  return SalvageError::invalid(wider + ": a table may have at most " +
                               std::to_string(COLUMNS_LIMIT) + " columns");
}

void ColumnRows::start(std::size_t text_bytes) {
  if (rows_ > 0 && text_bytes_ > 0) {
    const auto taken = static_cast<double>(text_bytes_);
    rows_per_byte_ = static_cast<double>(rows_) / taken;
    column_bytes_per_byte_.assign(width_, 0);
    for (const std::shared_ptr<StringColumns> &chunk : chunks_) {
      for (std::size_t column = 0; column < width_; ++column) {
        column_bytes_per_byte_[column] += static_cast<double>(chunk->text_bytes(column)) / taken;
      }
    }
  }
  chunks_.clear();
  rows_ = 0;
  failure_.reset();
  text_bytes_ = text_bytes;
}

void ColumnRows::add_chunk() {
  auto chunk = std::make_shared<StringColumns>(width_, layout_);
  if (chunks_.empty() && column_bytes_per_byte_.size() == width_) {
    // Growing by doubling would copy the columns and leave them up to half
    // empty; a little more than the last text's share is room enough mostly.
    const double text = static_cast<double>(text_bytes_) * 1.05 + 64;
    std::vector<std::size_t> bytes(width_);
    for (std::size_t column = 0; column < width_; ++column) {
      bytes[column] = static_cast<std::size_t>(column_bytes_per_byte_[column] * text);
    }
    chunk->reserve(static_cast<std::size_t>(rows_per_byte_ * text), bytes);
  }
  chunks_.push_back(std::move(chunk));
}

template <class Add> bool ColumnRows::add_row(std::uint64_t line, Add &&add) {
  if (failure_) {
    return false; // the rows after a failure are dropped with it
  }
  if (chunks_.empty()) {
    add_chunk();
  }
  if (!add(*chunks_.back())) {
    // A column is full, or a row shares a field: the row starts another
    // chunk, unless it is alone.
    if (chunks_.back()->rows() == 0) {
      failure_ = SalvageError::invalid("line " + std::to_string(line) +
                                       " holds a field longer than 2 GiB");
      return false;
    }
    add_chunk();
    return add_row(line, add);
  }
  ++rows_;
  return true;
}

bool ColumnRows::operator()(const Record &record, const RowShape &shape,
                            const std::string &merge_separator) {
  const std::size_t width = shape.kept + (shape.merge_rest ? 1 : 0) + shape.padding;
  if (width_ == 0) {
    if (width > COLUMNS_LIMIT && !failure_) {
      failure_ = too_wide("line " + std::to_string(record.end_line) + " holds " +
                          std::to_string(width) + " fields");
      return false;
    }
    width_ = width;
  }
  if (width != width_ && !failure_) {
    failure_ =
        SalvageError::invalid("line " + std::to_string(record.end_line) + " holds " +
                              std::to_string(width) + " fields where the header holds " +
                              std::to_string(width_) + ": columns need a width (expected_columns)");
    return false;
  }
  if (names_limit_) {
    for (std::size_t field = 0; field < record.size(); ++field) {
      if (record.field(field).size() > *names_limit_ && !failure_) {
        failure_ = names_too_long(record.field(field).size(), *names_limit_);
        return false;
      }
    }
    names_limit_.reset();
  }
  const SharedText *shared = shared_.owner ? &shared_ : nullptr;
  return add_row(record.end_line, [&](StringColumns &chunk) {
    return chunk.add(record, shape, merge_separator, shared);
  });
}

PlainRow ColumnRows::take(ResilientParser &parser) {
  if (plain_fields_.empty()) {
    return {}; // no width yet: every row is checked against the first
  }
  plain_text_ = reinterpret_cast<const char *>(parser.data());
  plain_quote_ = static_cast<char>(parser.quote());
  plain_line_ = parser.line();
  return cut_plain_record(parser, plain_fields_.data(), plain_fields_.size(), width_,
                          fill_ragged_rows_);
}

SalvageError ColumnRows::names_too_long(std::size_t field_bytes, std::size_t limit) {
  return SalvageError::invalid("the header holds a field of " + std::to_string(field_bytes) +
                               " bytes: a column name may be at most " + std::to_string(limit) +
                               " bytes");
}

void ColumnRows::commit(const PlainRow &row) {
  // A failure stops the reconciling at the next record the sink is given.
  if (names_limit_) {
    // A name too long fails before its text is copied, or undoubled.
    for (const PlainField &field : std::span<const PlainField>(plain_fields_.data(), row.size)) {
      std::size_t bytes = field.size;
      if (field.doubled_quotes && bytes > *names_limit_) {
        bytes -=
            static_cast<std::size_t>(std::count(
                plain_text_ + field.begin, plain_text_ + field.begin + field.size, plain_quote_)) /
            2;
      }
      if (bytes > *names_limit_ && !failure_) {
        failure_ = names_too_long(bytes, *names_limit_);
        return;
      }
    }
    names_limit_.reset();
  }
  const SharedText *shared = shared_.owner ? &shared_ : nullptr;
  static_cast<void>(add_row(plain_line_, [&](StringColumns &chunk) {
    return chunk.add(plain_text_, std::span<const PlainField>(plain_fields_.data(), row.size),
                     plain_quote_, shared);
  }));
}

void ColumnRows::hand_over(std::size_t mark, std::deque<PendingRows> &pending) const {
  for (const std::shared_ptr<StringColumns> &chunk : chunks_) {
    if (mark >= chunk->rows()) {
      mark -= chunk->rows();
      continue;
    }
    pending.push_back({chunk, mark, chunk->rows()});
    mark = 0;
  }
}

ArrowScan::ColumnSink::ColumnSink(const SalvageDriver &driver, StringLayout layout,
                                  std::deque<PendingRows> &pending, QuarantineFile *quarantine,
                                  RepairLogFile *repair_log)
    : FileSinkBase(quarantine, repair_log),
      rows_(driver.settlement().columns, plain_rows_padded(driver.options(), driver.settlement()),
            layout),
      pending_(pending) {}

void ArrowScan::ColumnSink::begin_stretch(std::string_view text, TextWindow &window) {
  rows_.start(text.size());
  // A long field goes out as it lies in the window, which keeps it for the
  // batch, instead of being held twice. (Parts copy theirs: a stretch cut
  // into parts is a couple of blocks at most.)
  rows_.share({text, window.share()});
}

void ArrowScan::ColumnSink::end_stretch() {
  rows_.share({}); // the window keeps its memory for itself unless a batch needs it
  failure_ = rows_.failure();
  rows_.hand_over(0, pending_);
}

bool ArrowScan::ColumnSink::take(PartRows &part, std::size_t mark) {
  const auto &rows = static_cast<const ColumnRows &>(part);
  failure_ = rows.failure();
  rows.hand_over(mark, pending_);
  return !failure_;
}

ArrowScan::ArrowScan(std::string path, std::unique_ptr<SalvageDriver> driver,
                     const ScanSettings &settings, std::optional<QuarantineFile> quarantine,
                     std::optional<RepairLogFile> repair_log)
    : path_(std::move(path)), settings_(settings), driver_(std::move(driver)),
      quarantine_(std::move(quarantine)), repair_log_(std::move(repair_log)),
      sink_(*driver_, settings.layout, pending_, quarantine_ ? &*quarantine_ : nullptr,
            repair_log_ ? &*repair_log_ : nullptr) {
  // Without a width, rows are checked against the first one in order: one thread.
  const Settlement &settlement = driver_->settlement();
  if (settings.threads > 1 && settlement.columns != 0) {
    driver_->use_threads(settings.threads, [this, &settlement] {
      return std::make_unique<ColumnRows>(
          settlement.columns, plain_rows_padded(driver_->options(), settlement), settings_.layout);
    });
  }
}

Result<std::unique_ptr<ArrowScan>> ArrowScan::open(const InputSource &source,
                                                   const ScanSettings &settings) {
  const std::string &path = source.path;
  const std::optional<std::string> &quarantine_path = settings.quarantine_path;
  const std::optional<std::string> &log_path = settings.repair_log_path;
  if (quarantine_path && log_path && same_file(*quarantine_path, *log_path)) {
    return SalvageError::invalid("the quarantine file and the repair log are the same file")
        .on_file(*log_path);
  }
  Result<TextWindow> opened = TextWindow::open(source, settings.options.encoding, settings.stop);
  if (!opened.ok()) {
    return std::move(opened.error()).on_file(path);
  }
  // A file written that is the input itself is created only once the input is read whole.
  ScanSettings scan_settings = settings;
  if (!source.supply && ((quarantine_path && same_file(path, *quarantine_path)) ||
                         (log_path && same_file(path, *log_path)))) {
    scan_settings.block_size = SIZE_MAX;
  }
  Result<std::unique_ptr<SalvageDriver>> started =
      SalvageDriver::start(std::move(opened.value()), path, settings.options,
                           scan_settings.block_size, settings.stop, settings.progress);
  if (!started.ok()) {
    return std::move(started.error());
  }
  if (const std::uint64_t columns = started.value()->settlement().columns;
      columns > ColumnRows::COLUMNS_LIMIT) {
    const std::string width = settings.options.expected_columns
                                  ? "expected_columns is " + std::to_string(columns)
                                  : "the rows hold " + std::to_string(columns) + " fields";
    return ColumnRows::too_wide(width).on_file(path);
  }
  std::optional<RepairLogFile> repair_log;
  if (log_path) {
    Result<RepairLogFile> created = RepairLogFile::create(*log_path, settings.stop);
    if (!created.ok()) {
      return std::move(created.error()).on_file(*log_path);
    }
    repair_log.emplace(std::move(created.value()));
  }
  std::optional<QuarantineFile> quarantine;
  if (quarantine_path) {
    quarantine.emplace(*quarantine_path, started.value()->settlement().delimiter, settings.stop);
    Result<std::monostate> created = quarantine->open();
    if (!created.ok()) {
      return std::move(created.error()).on_file(*quarantine_path);
    }
  }
  std::unique_ptr<ArrowScan> scan(new ArrowScan(path, std::move(started.value()), scan_settings,
                                                std::move(quarantine), std::move(repair_log)));
  // A header longer than a stretch comes on one thread, through the sink's own rows.
  scan->sink_.rows().limit_names(NAME_BYTES_LIMIT);
  while (scan->pending_.empty() && !scan->ended_) {
    Result<std::monostate> read = scan->read_stretch();
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
  scan->sink_.rows().limit_names({}); // the header came through the parts, if not through it
  if (!scan->pending_.empty()) {
    PendingRows &first = scan->pending_.front();
    std::vector<std::string_view> header;
    for (std::size_t column = 0; column < first.columns->width(); ++column) {
      const std::string_view name = first.columns->field(first.from, column);
      if (name.size() > NAME_BYTES_LIMIT) {
        return ColumnRows::names_too_long(name.size(), NAME_BYTES_LIMIT).on_file(path);
      }
      header.push_back(name);
    }
    scan->names_ = unique_column_names(header);
    if (++first.from == first.to) {
      scan->pending_.pop_front();
    }
  }
  return scan;
}

Result<std::monostate> ArrowScan::read_stretch() {
  Result<bool> stepped = driver_->step(sink_);
  if (std::optional<SalvageError> &failure = sink_.failure()) {
    return std::move(*failure).on_file(path_);
  }
  if (!stepped.ok()) {
    return std::move(stepped.error());
  }
  if (!stepped.value()) {
    ended_ = true;
    counts_ = driver_->counts();
  }
  return std::monostate{};
}

Result<bool> ArrowScan::next(ArrowArray *out) {
  while (pending_.empty() && !ended_) {
    Result<std::monostate> read = read_stretch();
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
  if (pending_.empty()) {
    Result<std::monostate> finished = finish_files();
    if (!finished.ok()) {
      return std::move(finished.error());
    }
    driver_->report_end();
    // The last report may stop the scan too: nothing is put in place then.
    if (settings_.stop(false)) {
      return SalvageError::interrupted();
    }
    Result<std::monostate> committed = settings_.commit();
    if (!committed.ok()) {
      return std::move(committed.error());
    }
    return false;
  }
  PendingRows &rows = pending_.front();
  const std::size_t count = std::min(settings_.batch_rows, rows.to - rows.from);
  export_rows(rows.columns, rows.from, count, out);
  rows.from += count;
  if (rows.from == rows.to) {
    pending_.pop_front();
  }
  return true;
}

Result<std::monostate> ArrowScan::finish_files() {
  // Both are finished, the log's failure reported first.
  Result<std::monostate> logged = std::monostate{};
  if (repair_log_) {
    logged = repair_log_->finish();
    repair_log_.reset();
    if (!logged.ok()) {
      logged = std::move(logged.error()).on_file(*settings_.repair_log_path);
    }
  }
  Result<std::monostate> set_aside = std::monostate{};
  if (quarantine_) {
    set_aside = quarantine_->finish();
    quarantine_.reset();
    if (!set_aside.ok()) {
      set_aside = std::move(set_aside.error()).on_file(*settings_.quarantine_path);
    }
  }
  return logged.ok() ? set_aside : logged;
}

void ScanOutcome::finish(const SalvageCounts &counts) {
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
  const std::lock_guard lock(mutex_);
  encoding_ = counts.encoding;
  finished_ = Finished{counts, elapsed.count()};
  finished_->counts.encoding = encoding_;
}

std::optional<ScanOutcome::Finished> ScanOutcome::finished() const {
  const std::lock_guard lock(mutex_);
  return finished_;
}

namespace {

struct StreamState {
  std::shared_ptr<void> callees; // released after the scan, which refers to them
  std::unique_ptr<ArrowScan> scan;
  std::shared_ptr<ScanOutcome> outcome;
  std::string last_error;
  int error_number = 0; // once a call failed, every later one fails alike
};

StreamState &state_of(ArrowArrayStream *stream) {
  return *static_cast<StreamState *>(stream->private_data);
}

int fail(StreamState &state, int error_number, std::string message) {
  state.error_number = error_number;
  state.last_error = std::move(message);
  return error_number;
}

// No standard exception may leave a stream callback: the one in flight
// becomes the stream's error.
int fail_on_exception(StreamState &state) {
  try {
    throw;
  } catch (const std::bad_alloc &) {
    return fail(state, ENOMEM, "out of memory");
  } catch (const std::length_error &) {
    return fail(state, ENOMEM, "out of memory");
  } catch (const std::exception &error) {
    return fail(state, EIO, std::string("internal error: ") + error.what());
  } // anything else, as the forced unwinding that ends a thread, passes
}

int get_schema(ArrowArrayStream *stream, ArrowSchema *out) {
  StreamState &state = state_of(stream);
  try {
    export_schema(state.scan->names(), state.scan->layout(), out);
    return 0;
  } catch (...) {
    return fail_on_exception(state);
  }
}

int get_next(ArrowArrayStream *stream, ArrowArray *out) {
  StreamState &state = state_of(stream);
  if (state.error_number != 0) {
    return state.error_number;
  }
  try {
    Result<bool> next = state.scan->next(out);
    if (!next.ok()) {
      const SalvageError &error = next.error();
      std::string message = error.display();
      if (!error.path().empty()) {
        message += ": " + error.path();
      }
      const int number = error.kind() == SalvageError::Kind::Interrupted ? EINTR
                         : error.os_error() != 0                         ? error.os_error()
                                                                         : EINVAL;
      return fail(state, number, std::move(message));
    }
    if (!next.value()) {
      out->release = nullptr; // the end of the stream
      state.outcome->finish(*state.scan->counts());
    }
    return 0;
  } catch (...) {
    return fail_on_exception(state);
  }
}

const char *get_last_error(ArrowArrayStream *stream) {
  const StreamState &state = state_of(stream);
  return state.error_number != 0 ? state.last_error.c_str() : nullptr;
}

void release_stream(ArrowArrayStream *stream) {
  delete static_cast<StreamState *>(stream->private_data);
  stream->release = nullptr;
}

} // namespace

void export_stream(std::unique_ptr<ArrowScan> scan, std::shared_ptr<ScanOutcome> outcome,
                   std::shared_ptr<void> callees, ArrowArrayStream *out) {
  auto state = std::make_unique<StreamState>(
      StreamState{std::move(callees), std::move(scan), std::move(outcome), std::string(), 0});
  *out = ArrowArrayStream{get_schema, get_next, get_last_error, release_stream, state.get()};
  state.release();
}

} // namespace tidewrack
