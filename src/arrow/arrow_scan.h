#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "arrow/arrow_abi.h"
#include "arrow/string_columns.h"
#include "base/progress_sink.h"
#include "base/result.h"
#include "base/stop_poll.h"
#include "io/text_window.h"
#include "output/repair_log.h"
#include "output/salvage_outputs.h"
#include "salvage/options.h"
#include "salvage/outcome.h"
#include "salvage/reconcile.h"
#include "salvage/salvage_driver.h"
#include "salvage/stretch_parts.h"

namespace tidewrack {

// Rows of clean columns waiting to go out: [from, to) of `columns`.
struct PendingRows {
  std::shared_ptr<const StringColumns> columns;
  std::size_t from;
  std::size_t to;
};

// The clean rows of a stretch, or of one part of it, gathered into string
// columns. A width of 0 is taken from the first row; a later row of another
// width is a failure, as is a field longer than a column may hold.
class ColumnRows final : public PartRows {
public:
  // Most columns rows may have: each takes memory of its own in every batch,
  // which a file of one long row of delimiters would otherwise multiply past
  // any machine's memory.
  static constexpr std::uint64_t COLUMNS_LIMIT = 1'000'000;
  // The failure of rows `wider` (what made them so) than COLUMNS_LIMIT.
  static SalvageError too_wide(const std::string &wider);

  // With a width, plain records take the fast lane (cut_plain_record).
  ColumnRows(std::size_t width, bool fill_ragged_rows, StringLayout layout)
      : width_(width), fill_ragged_rows_(fill_ragged_rows), layout_(layout), plain_fields_(width) {}

  void start(std::size_t text_bytes) override;
  std::size_t mark() const override { return rows_; }
  PlainRow take(ResilientParser &parser) override;
  void commit(const PlainRow &row) override;
  bool operator()(const Record &record, const RowShape &shape,
                  const std::string &merge_separator) override;

  // Takes the fields that `text` takes as they are, sharing its memory, until
  // given another (one without an owner takes none).
  void share(SharedText text) { shared_ = std::move(text); }

  // The next row added names the columns: a field of more than `bytes` bytes
  // fails it (names_too_long) before it is copied, or undoubled. None: no limit.
  void limit_names(std::optional<std::size_t> bytes) { names_limit_ = bytes; }
  static SalvageError names_too_long(std::size_t field_bytes, std::size_t limit);

  const std::optional<SalvageError> &failure() const { return failure_; }
  // Hands the rows added after `mark` on to `pending`.
  void hand_over(std::size_t mark, std::deque<PendingRows> &pending) const;

private:
  // A new chunk, with room for the rows of the text left as the last text's rows took.
  void add_chunk();
  // Adds a row through `add(chunk)`, a new chunk when the last is full.
  template <class Add> bool add_row(std::uint64_t line, Add &&add);

  std::size_t width_;
  bool fill_ragged_rows_;
  StringLayout layout_;
  std::vector<PlainField> plain_fields_; // of the record taken last
  const char *plain_text_ = nullptr;
  char plain_quote_ = '"';
  std::uint64_t plain_line_ = 0;
  SharedText shared_;
  std::vector<std::shared_ptr<StringColumns>> chunks_;
  // What the rows of the last text took, per byte of it: rows, and each column's text.
  double rows_per_byte_ = 0;
  std::vector<double> column_bytes_per_byte_;
  std::size_t text_bytes_ = 0;
  std::size_t rows_ = 0;
  std::optional<std::size_t> names_limit_;
  std::optional<SalvageError> failure_;
};

// Puts the quarantine file and the repair log in place once they are complete
// (the caller writes them under private names and renames them over their
// destinations). Refers to a callable `Result<std::monostate>()`, which must
// outlive the scan; a default one does nothing.
class OutputCommit {
public:
  OutputCommit() = default;
  template <class Callable>
    requires(!std::is_same_v<std::remove_cv_t<Callable>, OutputCommit>) // copies stay plain copies
  explicit OutputCommit(Callable &callable)
      : context_(&callable),
        call_([](void *context) { return (*static_cast<Callable *>(context))(); }) {}

  Result<std::monostate> operator()() const {
    return call_ != nullptr ? call_(context_) : Result<std::monostate>(std::monostate{});
  }

private:
  void *context_ = nullptr;
  Result<std::monostate> (*call_)(void *) = nullptr;
};

// The rows a batch holds at most unless told otherwise.
inline constexpr std::size_t DEFAULT_BATCH_ROWS = 65536;

struct ScanSettings {
  SalvageOptions options;
  std::size_t batch_rows = 1;
  unsigned threads = 1;
  std::size_t block_size = 1;
  StringLayout layout = StringLayout::Offsets;
  // Written as the file salvage writes them for the same input and options.
  std::optional<std::string> quarantine_path;
  std::optional<std::string> repair_log_path;
  // Asked and told as the file salvage asks and tells them, on the thread that
  // calls open() or next() (the other threads only learn a stop from it); what
  // they refer to must outlive the scan. The last report, the bytes of the
  // whole input, comes once next() said there is no more.
  StopPoll stop;
  ProgressSink progress;
  // Called on that thread once the files are written out, before next() says
  // there is no more; its failure fails next().
  OutputCommit commit;
};

// The clean rows of a file salvage as Arrow batches of string columns, made
// as they are asked for: a stretch of text is read and reconciled (on
// `threads` threads) only once the rows of the one before are handed out, so
// memory follows the block size, not the file size. The rows are those the
// file salvage writes, with the same options, in order: the first is the
// header, which names the columns (unique_column_names), the others are the
// batches' rows, at most `batch_rows` to a batch.
class ArrowScan {
public:
  // Most bytes a field of the header may hold: a name goes into every
  // schema made of the scan's, a copy each, and every schema written. A field
  // longer than that is text gone wrong, a quote left open, and its copies
  // would take memory many times its size.
  static constexpr std::size_t NAME_BYTES_LIMIT = std::size_t{16} << 20;

  // Opens the file, settles the dialect, creates the quarantine file and the
  // repair log when asked for and reads on to the header. A failed file
  // operation names its file. The quarantine file and the log are written as
  // the text is reconciled and complete once next() said there is no more; an
  // input that is also one of them is read whole first. A stop fails open()
  // or next() with Interrupted.
  static Result<std::unique_ptr<ArrowScan>> open(const InputSource &source,
                                                 const ScanSettings &settings);

  const std::vector<std::string> &names() const { return names_; }
  StringLayout layout() const { return settings_.layout; }

  // Exports the next batch to `out`; false, exporting nothing, once every row
  // went out and the quarantine file and the log are written out.
  Result<bool> next(ArrowArray *out);

  // The counters, once next() said there is no more.
  const std::optional<SalvageCounts> &counts() const { return counts_; }

private:
  // The rows of a stretch on one thread, or of its parts, handed on to the
  // rows pending.
  class ColumnSink : public FileSinkBase {
  public:
    ColumnSink(const SalvageDriver &driver, StringLayout layout, std::deque<PendingRows> &pending,
               QuarantineFile *quarantine, RepairLogFile *repair_log);

    ColumnRows &rows() { return rows_; }
    void begin_stretch(std::string_view text, TextWindow &window);
    void end_stretch();
    bool take(PartRows &part, std::size_t mark);
    bool stopped() const { return failure_.has_value(); }
    std::optional<SalvageError> &failure() { return failure_; }

  private:
    ColumnRows rows_;
    std::deque<PendingRows> &pending_;
    std::optional<SalvageError> failure_;
  };

  ArrowScan(std::string path, std::unique_ptr<SalvageDriver> driver, const ScanSettings &settings,
            std::optional<QuarantineFile> quarantine, std::optional<RepairLogFile> repair_log);
  Result<std::monostate> read_stretch();
  // Writes out and closes the quarantine file and the log.
  Result<std::monostate> finish_files();

  std::string path_;
  ScanSettings settings_;
  std::unique_ptr<SalvageDriver> driver_;
  std::optional<QuarantineFile> quarantine_;
  std::optional<RepairLogFile> repair_log_;
  std::deque<PendingRows> pending_;
  ColumnSink sink_;
  std::vector<std::string> names_;
  bool ended_ = false;
  std::optional<SalvageCounts> counts_;
};

// What a scan's stream leaves behind for its owner: the counters once the
// stream is read to its end (the encoding copied out with them), and the
// seconds from the outcome's making to then.
class ScanOutcome {
public:
  struct Finished {
    SalvageCounts counts;
    double elapsed_seconds;
  };
  void finish(const SalvageCounts &counts);
  std::optional<Finished> finished() const;

private:
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  mutable std::mutex mutex_;
  std::optional<Finished> finished_;
  std::string encoding_;
};

// Hands the scan over to an Arrow C stream, whose consumer then owns it, with
// `callees`: what the scan's stop poll and progress sink refer to, released
// after the scan. The stream's callbacks touch nothing but the scan (and
// through it the callees) and `outcome`, so any thread may call them. A
// failure shows in get_last_error, naming its file; a stop fails with EINTR.
void export_stream(std::unique_ptr<ArrowScan> scan, std::shared_ptr<ScanOutcome> outcome,
                   std::shared_ptr<void> callees, ArrowArrayStream *out);

} // namespace tidewrack
