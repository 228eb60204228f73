#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/progress_sink.h"
#include "base/result.h"
#include "base/stop_poll.h"
#include "io/text_window.h"
#include "output/salvage_outputs.h"
#include "salvage/options.h"
#include "salvage/outcome.h"
#include "salvage/reconcile.h"
#include "salvage/stretch_parts.h"

namespace tidewrack {

// The text a window holds, as the salvage reads it.
SalvageText window_text(TextWindow &window);

// Takes the delimiter and the column count from the options or from a head of
// the window's input long enough that a longer one would settle alike, and
// the columns' profiles (for options.align_columns) from a head that every
// block size reads alike. A head too short is read on by `block_size` bytes
// at least.
Result<Settlement> settle_from_head(TextWindow &window, const SalvageOptions &options,
                                    std::size_t block_size, StopPoll stop);

// A sink that takes the rows of a stretch cut into parts (below).
template <class Sink>
concept TakesParts = requires(Sink &sink, PartRows &part) {
  { sink.take(part, std::size_t{0}) } -> std::same_as<bool>;
  { sink.quarantine_file() } -> std::same_as<QuarantineFile *>;
  { sink.repair_log_file() } -> std::same_as<RepairLogFile *>;
};

// One salvage, whatever becomes of its rows: reads the input a stretch at a
// time, settles the dialect and the width from its head, cuts each stretch
// into parts on threads when asked to, reconciles its records, hands the
// clean rows, quarantined records and repairs to a sink, asks for stops and
// reports progress. Memory follows the block size and the longest record, not
// the input size, and the rows are the same whatever the block size or the
// threads.
//
// A sink offers:
// - rows(): the plain lane and the clean sink of a stretch on one thread
//   (RecordReconciler::reconcile);
// - set_aside(record, reason), logging() and log(event): the quarantined
//   records and the repairs of such a stretch;
// - begin_stretch(text, window) and end_stretch(), around such a stretch;
// - take(part_rows, mark), quarantine_file() and repair_log_file(): the same
//   for a stretch cut into parts (StretchParts::reconcile), when the driver
//   uses threads (a sink without them has its stretches on one thread);
// - stopped(): it takes no more rows (it failed).
class SalvageDriver {
public:
  // Reads the head of `window`'s input (`block_size` bytes of text, and a
  // whole byte-order mark) and settles the dialect and the width from it. A
  // block size of SIZE_MAX reads the input whole first. A failure names
  // `input_name`. `stop` and `progress` are asked and told as the salvage
  // goes; what they refer to must outlive the driver.
  static Result<std::unique_ptr<SalvageDriver>> start(TextWindow window, std::string input_name,
                                                      const SalvageOptions &options,
                                                      std::size_t block_size, StopPoll stop = {},
                                                      ProgressSink progress = {});

  SalvageDriver(const SalvageDriver &) = delete;
  SalvageDriver &operator=(const SalvageDriver &) = delete;

  const Settlement &settlement() const { return settlement_; }
  const SalvageOptions &options() const { return options_; }

  // Cuts every stretch into parts reconciled on `threads` threads at once,
  // each part's clean rows kept in a PartRows from `make_rows`.
  void use_threads(unsigned threads, const std::function<std::unique_ptr<PartRows>()> &make_rows);

  // Reads and reconciles the next stretch into `sink`. False once the input
  // is reconciled to its end, or the sink stopped taking rows.
  template <class Sink> Result<bool> step(Sink &sink);

  // The counters, once step() said there is no more.
  SalvageCounts counts() const;
  // Tells the progress sink of the whole input.
  void report_end() const { progress_(window_.bytes_read()); }

private:
  SalvageDriver(TextWindow window, std::string input_name, const SalvageOptions &options,
                std::size_t block_size, StopPoll stop, ProgressSink progress,
                Settlement settlement);

  Result<StretchEnd> reconcile_in_parts(std::string_view text, std::size_t certain_end,
                                        const std::function<bool(PartRows &, std::size_t)> &take,
                                        QuarantineFile *quarantine, RepairLogFile *log);
  // Past a reconciled stretch: drops its text and reads the next.
  Result<bool> go_on(const StretchEnd &end, bool whole);
  // Reads on for a record that runs past the window's text, `limit` bytes of
  // text at most.
  Result<std::monostate> read_on_long_record(std::size_t limit);

  // Where a record that runs past the window seems to end, by its quotes and
  // line breaks alone: the reconciler's reading of it is the one that counts,
  // but reading on no further than that look says spares reading the text
  // after the record into the window (up to read_on_size of it).
  struct RecordEndLook {
    std::size_t looked = 0; // of the window's text, which starts with the record
    bool quoted = false;
    bool found = false;  // an end was found, and the text read past it
    bool misled = false; // the record ran on past the end found: the look is not used again
  };

  TextWindow window_;
  std::string input_name_;
  SalvageOptions options_;
  std::size_t block_size_;
  StopPoll stop_;
  ProgressSink progress_;
  Settlement settlement_;
  std::string delimiter_text_;
  RecordReconciler reconciler_;
  // Of the whole salvage: their counts run through the input, not a stretch.
  StopCheckpoints checkpoints_;
  std::optional<StretchParts> parts_;
  std::optional<std::uint64_t> continued_at_line_;
  bool long_record_ = false; // the last stretch ended before its first record did
  RecordEndLook record_end_;
  std::uint64_t next_report_ = ProgressSink::INTERVAL;
};

template <class Sink> Result<bool> SalvageDriver::step(Sink &sink) {
  const std::string_view held_text = window_.text();
  // A stretch whose first record began in the last one is reconciled on one
  // thread: its parts would mostly cut that long record's text into rows.
  // A stretch that is not cut into parts (one line) is the whole window.
  std::string_view text = held_text;
  bool in_parts = false;
  Result<StretchEnd> reconciled = StretchEnd{};
  if constexpr (TakesParts<Sink>) {
    if (parts_ && !long_record_) {
      text = held_text.substr(0, StretchParts::stretch_size(held_text, block_size_));
      in_parts = parts_->cut(text, continued_at_line_.value_or(1));
      text = in_parts ? text : held_text;
    }
  }
  // A stretch cut short ends as the window would there.
  const bool whole = text.size() == held_text.size();
  const std::size_t certain_end = window_.ended() && whole ? SIZE_MAX : text.size();
  if constexpr (TakesParts<Sink>) {
    if (in_parts) {
      reconciled = reconcile_in_parts(
          text, certain_end,
          [&sink](PartRows &part, std::size_t mark) { return sink.take(part, mark); },
          sink.quarantine_file(), sink.repair_log_file());
    }
  }
  if (!in_parts) {
    SalvageText stretch = window_text(window_);
    stretch.text = text;
    ResilientParser parser = salvage_parser(stretch, options_, settlement_);
    if (continued_at_line_) {
      parser.continue_input_at_line(*continued_at_line_);
    }
    sink.begin_stretch(text, window_);
    auto &rows = sink.rows();
    // Takes what the sink takes: a long record only where it is set aside as that.
    auto set_aside = [&sink](const auto &record, const std::string &reason)
        -> decltype(sink.set_aside(record, reason)) { return sink.set_aside(record, reason); };
    reconciled =
        sink.logging()
            ? reconciler_.reconcile(parser, window_.offset(), window_.changes(), certain_end,
                                    SIZE_MAX, checkpoints_, rows, rows, set_aside,
                                    [&sink](const RepairEvent &event) { sink.log(event); })
            : reconciler_.reconcile(parser, window_.offset(), window_.changes(), certain_end,
                                    SIZE_MAX, checkpoints_, rows, rows, set_aside, NoRepairLog{});
    sink.end_stretch();
  }
  if (!reconciled.ok()) {
    return std::move(reconciled.error());
  }
  if (!reconciled.value().continues || sink.stopped()) {
    return false;
  }
  return go_on(reconciled.value(), whole);
}

// What the file sinks share: the quarantine file and the repair log, each
// when asked for.
class FileSinkBase {
public:
  FileSinkBase(QuarantineFile *quarantine, RepairLogFile *repair_log)
      : quarantine_(quarantine), repair_log_(repair_log) {}

  template <class AnyRecord> void set_aside(const AnyRecord &record, const std::string &reason) {
    if (quarantine_ != nullptr) {
      quarantine_->add(record, reason);
    }
  }
  bool logging() const { return repair_log_ != nullptr; }
  void log(const RepairEvent &event) { repair_log_->write(event); }
  QuarantineFile *quarantine_file() const { return quarantine_; }
  RepairLogFile *repair_log_file() const { return repair_log_; }

private:
  QuarantineFile *quarantine_;
  RepairLogFile *repair_log_;
};

} // namespace tidewrack
