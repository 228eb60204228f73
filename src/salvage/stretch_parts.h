#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/stop_poll.h"
#include "encoding/change_log.h"
#include "output/repair_log.h"
#include "output/salvage_outputs.h"
#include "parser/parser_input.h"
#include "salvage/clean_rows.h"
#include "salvage/options.h"
#include "salvage/reconcile.h"

namespace tidewrack {

// What every part of one stretch shares.
struct StretchContext {
  std::string_view text;
  std::uint64_t offset;            // of text in the whole text
  std::span<const Change> changes; // pending when the stretch began
  bool skips_mark;         // the stretch starts the input: a byte-order mark there is skipped
  std::size_t certain_end; // as for RecordReconciler::reconcile
  const SalvageOptions &options;
  const Settlement &settlement;
  std::string_view delimiter_text;
  bool logging;
  bool quarantining;
  ParserInput kind;
};

// The line breaks in [from, to) of `text` as the parser counts lines where no
// quoted field spans them: LFs, and CRs that no LF follows.
std::uint64_t line_breaks(std::string_view text, std::size_t from, std::size_t to);

// The clean rows of one part, held until the parts before it are taken: the
// fast lane and the sink of RecordReconciler::reconcile.
class PartRows {
public:
  virtual ~PartRows() = default;
  // Drops the rows held, keeping the memory, before taking the rows of
  // `text_bytes` bytes of text.
  virtual void start(std::size_t text_bytes) = 0;
  // How much is held: a part taken from a later record start on hands over
  // what was added after the mark noted there.
  virtual std::size_t mark() const = 0;
  virtual PlainRow take(ResilientParser &parser) = 0;
  virtual void commit(const PlainRow &row) = 0;
  virtual bool operator()(const Record &record, const RowShape &shape,
                          const std::string &merge_separator) = 0;
};

// The clean rows of a part rendered as CSV lines in memory.
class CsvPartRows final : public PartRows {
public:
  CsvPartRows(const SalvageOptions &options, const Settlement &settlement)
      : rows_(output_, options, settlement) {}
  void start(std::size_t) override { output_.clear(); }
  std::size_t mark() const override { return output_.view().size(); }
  PlainRow take(ResilientParser &parser) override { return rows_.take(parser); }
  void commit(const PlainRow &row) override { rows_.commit(row); }
  bool operator()(const Record &record, const RowShape &shape,
                  const std::string &merge_separator) override {
    return rows_(record, shape, merge_separator);
  }
  std::string_view lines() const { return output_.view(); }

private:
  MemoryOutput output_;
  CleanRows<MemoryOutput> rows_;
};

struct StretchPart;

// A stretch of text reconciled on several threads at once: cut into parts at
// guessed record starts, a few for each thread, which the threads reconcile
// as they come free, then taken in order, each proven by the one before it.
// The files come out as one thread would write them.
class StretchParts {
public:
  // Each part keeps its clean rows in a PartRows that `make_rows` makes.
  StretchParts(unsigned threads, const std::function<std::unique_ptr<PartRows>()> &make_rows);
  ~StretchParts();

  // How much of `text` one stretch takes: all of it, or twice `block` bytes
  // (64 KiB at least),
  // or where it has held STRETCH_LINES lines. The parts hold their clean rows
  // until taken, and a line of the repair log and a record of each row they
  // repair, far more than its text when the rows are blank lines: both bound
  // that memory, whatever the text. (A record longer than that is left to a
  // stretch on one thread, which writes it as it goes.)
  static std::size_t stretch_size(std::string_view text, std::size_t block);

  // Guesses where the parts of `text` start (at line starts), the first on
  // `first_line`. False when the text holds one line, which is not cut.
  bool cut(std::string_view text, std::uint64_t first_line);

  // Reconciles the parts cut last and hands them in order: their clean rows
  // after a mark to `hand_over` (which stops the taking when it returns
  // false), their quarantined records and repairs to `quarantine` and `log`
  // (each may be null), their counts to `reconciler`. The calling thread asks
  // `stop`; the others stop when it says so, and the stretch then fails with
  // Interrupted, wherever it stopped. The calling thread runs
  // `meanwhile` (when given) before it takes parts of its own, while the
  // others take theirs; it may log more changes. Returns where the stretch
  // ends, as RecordReconciler::reconcile does.
  Result<StretchEnd> reconcile(const StretchContext &context, StopPoll stop,
                               RecordReconciler &reconciler,
                               const std::function<bool(PartRows &, std::size_t)> &hand_over,
                               QuarantineFile *quarantine, RepairLogFile *log,
                               const std::function<void()> &meanwhile);

private:
  static constexpr std::uint64_t STRETCH_LINES = std::uint64_t{1} << 19;
  // Parts small enough that the threads end close together.
  static constexpr unsigned PARTS_PER_THREAD = 4;

  unsigned threads_;
  std::vector<StretchPart> parts_;
  std::vector<std::uint64_t> breaks_; // the line breaks in each part, the last one's aside
  std::vector<Change> changes_;       // the stretch's pending changes, as the parts read them
};

} // namespace tidewrack
