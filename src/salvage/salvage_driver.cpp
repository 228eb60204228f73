#include "salvage/salvage_driver.h"

#include <algorithm>

#include "heuristics/infer.h"
#include "heuristics/sniff.h"

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

Result<std::unique_ptr<SalvageDriver>>
SalvageDriver::start(TextWindow window, std::string input_name, const SalvageOptions &options,
                     std::size_t block_size, StopPoll stop, ProgressSink progress) {
  // The first stretch holds a whole byte-order mark, which only it skips.
  Result<std::monostate> head = window.read_until(std::max<std::size_t>(block_size, 3));
  if (!head.ok()) {
    return std::move(head.error()).on_file(input_name);
  }
  Result<Settlement> settled = settle_from_head(window, options, stop);
  if (!settled.ok()) {
    return std::move(settled.error()).on_file(input_name);
  }
  return std::unique_ptr<SalvageDriver>(new SalvageDriver(std::move(window), std::move(input_name),
                                                          options, block_size, stop, progress,
                                                          std::move(settled.value())));
}

SalvageDriver::SalvageDriver(TextWindow window, std::string input_name,
                             const SalvageOptions &options, std::size_t block_size, StopPoll stop,
                             ProgressSink progress, Settlement settlement)
    : window_(std::move(window)), input_name_(std::move(input_name)), options_(options),
      block_size_(block_size), stop_(stop), progress_(progress),
      settlement_(std::move(settlement)), delimiter_text_(byte_as_utf8(settlement_.delimiter)),
      reconciler_(options_, settlement_, {}), checkpoints_(stop) {}

void SalvageDriver::use_threads(unsigned threads,
                                const std::function<std::unique_ptr<PartRows>()> &make_rows) {
  parts_.emplace(threads, make_rows);
}

Result<StretchEnd>
SalvageDriver::reconcile_in_parts(std::string_view text, std::size_t certain_end,
                                  const std::function<bool(PartRows &, std::size_t)> &take,
                                  QuarantineFile *quarantine, RepairLogFile *log) {
  ChangeLog *changes = window_.changes();
  const StretchContext context{text,
                               window_.offset(),
                               changes ? changes->pending() : std::span<const Change>{},
                               !continued_at_line_,
                               certain_end,
                               options_,
                               settlement_,
                               delimiter_text_,
                               log != nullptr,
                               quarantine != nullptr,
                               window_.kind()};
  auto read_ahead = [this] { window_.read_ahead(block_size_); };
  Result<StretchEnd> reconciled =
      parts_->reconcile(context, stop_, reconciler_, take, quarantine, log, read_ahead);
  if (changes != nullptr && reconciled.ok()) {
    // Drop what the parts read.
    (void)changes->take(window_.offset(), window_.offset() + reconciled.value().next_begin);
  }
  return reconciled;
}

// The text is reconciled a stretch at a time. A stretch ends where the window
// does; the record that reaches its end (or whose reading looked that far) is
// left for the next stretch, which starts with it once another block is read,
// or more for a long record (read_on_size).
Result<bool> SalvageDriver::go_on(const StretchEnd &end, bool whole) {
  window_.consume(end.next_begin);
  continued_at_line_ = end.next_line;
  long_record_ = end.next_begin == 0;
  if (window_.bytes_read() >= next_report_) {
    progress_(window_.bytes_read());
    next_report_ = window_.bytes_read() + ProgressSink::INTERVAL;
  }
  if (!whole) {
    return true; // the window holds the next stretch
  }
  const std::size_t held = window_.text().size();
  const std::size_t more = std::max(block_size_, read_on_size(held));
  Result<std::monostate> read = window_.read_until(held > SIZE_MAX - more ? SIZE_MAX : held + more);
  if (!read.ok()) {
    return std::move(read.error()).on_file(input_name_);
  }
  return true;
}

SalvageCounts SalvageDriver::counts() const {
  SalvageCounts counts = reconciler_.counts();
  counts.encoding = window_.encoding_name();
  return counts;
}

} // namespace tidewrack
