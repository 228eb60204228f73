#include "salvage/stretch_parts.h"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "base/byte_scan.h"
#include "output/csv_format.h"

namespace tidewrack {

std::uint64_t line_breaks(std::string_view text, std::size_t from, std::size_t to) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  return run_on(
      best_classifier_target(),
      []<class Block>(const unsigned char *data, std::size_t begin, std::size_t end,
                      std::size_t size) {
        return count_line_breaks_as<Block>(data, begin, end, size);
      },
      bytes, from, to, text.size());
}

namespace {

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

// The quarantine lines and repair-log events of one part, numbered from the
// line its start was guessed on. The part before it proves where the part
// starts but not always on which line (to the classic reading a lone CR inside
// a quoted field is no line break), so the numbers are shifted, and the lines
// rendered, once the part is taken.
class PartLines {
public:
  void clear() {
    quarantined_.clear();
    events_.clear();
    text_.clear();
    log_lines_.clear();
  }
  void add_quarantined(const Record &record, const std::string &reason,
                       std::string_view delimiter_text) {
    const std::size_t from = text_.size();
    render_quarantine_columns(
        text_, QuarantineRecord{record.end_line, reason, record_fields(record)}, delimiter_text);
    quarantined_.push_back({record.end_line, from, text_.size() - from});
  }
  void add_event(const RepairEvent &event) {
    const std::size_t from = text_.size();
    text_.append(event.detail);
    events_.push_back({event.line_start, event.line_end, event.quote_line, from,
                       event.detail.size(), event.action});
    render_repair_line(log_lines_, event);
  }

  // How many lines were added so far, to write those after them only.
  struct Marks {
    std::size_t quarantined = 0;
    std::size_t events = 0;
    std::size_t log_lines = 0;
  };
  Marks marks() const { return {quarantined_.size(), events_.size(), log_lines_.size()}; }

  // Writes the lines added after `from` with every line number moved by
  // `shift` (modulo 2^64, so that it may move them back).
  void write(std::uint64_t shift, const Marks &from, QuarantineFile *quarantine,
             RepairLogFile *log) {
    if (quarantine != nullptr && quarantined_.size() > from.quarantined) {
      rendered_.clear();
      for (std::size_t index = from.quarantined; index < quarantined_.size(); ++index) {
        const Quarantined &entry = quarantined_[index];
        append_decimal(rendered_, entry.line + shift);
        rendered_.push_back(',');
        rendered_.append(text_, entry.columns, entry.size);
      }
      quarantine->add_lines(rendered_);
    }
    if (log == nullptr) {
      return;
    }
    if (shift == 0) {
      // The repair-log lines, many, are written as they were rendered.
      log->write_lines(std::string_view(log_lines_).substr(from.log_lines));
      return;
    }
    for (std::size_t index = from.events; index < events_.size(); ++index) {
      const Event &entry = events_[index];
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
  // The repair-log lines as rendered with the guessed numbers.
  std::string log_lines_;
  std::string rendered_;
  RepairEvent event_;
};

} // namespace

// One part of a stretch that a thread reconciles: from a record start found
// by guessing (a line start) up to the next part's start. The part before it
// proves the guess: it must end exactly there; else the part is reconciled
// again from where that one did end.
struct StretchPart {
  std::size_t begin = 0;
  std::size_t stop = SIZE_MAX; // the next part's begin
  std::uint64_t line = 1;      // guessed; see PartLines
  std::unique_ptr<PartRows> clean;
  PartLines lines;
  SalvageCounts counts;
  // Where its first records started and what was written before each: a part
  // that started at a wrong guess often meets the true record starts again
  // after a record or two, and is taken from there on.
  struct RecordStart {
    std::size_t at; // in the stretch
    std::uint64_t line;
    std::size_t clean_mark;
    PartLines::Marks lines;
    SalvageCounts counts;
  };
  std::vector<RecordStart> record_starts;
  std::optional<Result<StretchEnd>> end;
  std::exception_ptr failure;
};

namespace {

void reconcile_part(const StretchContext &context, StretchPart &part, StopPoll stop) {
  // A part taken again from where the one before ended may start past its stop.
  const std::size_t end = std::min(part.stop, context.text.size());
  part.clean->start(end > part.begin ? end - part.begin : 0);
  part.lines.clear();
  SalvageText text(context.text.substr(part.begin));
  text.kind = context.kind;
  ResilientParser parser = salvage_parser(text, context.options, context.settlement);
  if (!(context.skips_mark && part.begin == 0)) {
    parser.continue_input_at_line(part.line);
  }
  RecordReconciler reconciler(context.options, context.settlement, {});
  StopCheckpoints checkpoints(stop);
  PartRows &rows = *part.clean;
  // The fast lane is asked at every record start: it notes the first ones.
  constexpr std::size_t NOTED_STARTS = 64;
  part.record_starts.clear();
  struct NotingLane {
    PartRows &rows;
    StretchPart &part;
    RecordReconciler &reconciler;
    PlainRow take(ResilientParser &parser) {
      if (part.record_starts.size() < NOTED_STARTS) {
        part.record_starts.push_back({part.begin + parser.pos(), parser.line(), part.clean->mark(),
                                      part.lines.marks(), reconciler.counts()});
      }
      return rows.take(parser);
    }
    void commit(const PlainRow &row) { rows.commit(row); }
  } lane{rows, part, reconciler};
  ChangeCursor changes(context.changes); // over no changes without an encoding
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
                       parser, offset, &changes, certain_end, stop_at, checkpoints, lane, rows,
                       set_aside, [&](const RepairEvent &event) { part.lines.add_event(event); })
                 : reconciler.reconcile(parser, offset, &changes, certain_end, stop_at, checkpoints,
                                        lane, rows, set_aside, NoRepairLog{});
  part.counts = reconciler.counts();
}

} // namespace

StretchParts::StretchParts(unsigned threads,
                           const std::function<std::unique_ptr<PartRows>()> &make_rows)
    : threads_(threads), parts_(std::size_t{threads} * PARTS_PER_THREAD), breaks_(parts_.size()) {
  for (StretchPart &part : parts_) {
    part.clean = make_rows();
  }
}

StretchParts::~StretchParts() = default;

std::size_t StretchParts::stretch_size(std::string_view text, std::size_t block) {
  // Counted a slice at a time: the stretch may end a slice's lines past the limit.
  constexpr std::size_t SLICE = std::size_t{1} << 16;
  // Not under 64 KiB: the first stretch holds a whole byte-order mark, and
  // tiny blocks still make stretches of many records.
  constexpr std::size_t FLOOR = std::size_t{1} << 16;
  text = text.substr(0, block > SIZE_MAX / 2 ? SIZE_MAX : std::max(2 * block, FLOOR));
  if (text.size() <= STRETCH_LINES) {
    return text.size(); // a line takes a byte at least
  }
  std::uint64_t lines = 0;
  for (std::size_t at = 0; at < text.size(); at += SLICE) {
    const std::size_t to = std::min(text.size(), at + SLICE);
    lines += line_breaks(text, at, to);
    if (lines >= STRETCH_LINES) {
      return to;
    }
  }
  return text.size();
}

bool StretchParts::cut(std::string_view text, std::uint64_t first_line) {
  std::size_t begin = 0;
  for (std::size_t part = 0; part < parts_.size(); ++part) {
    const std::size_t next =
        part + 1 == parts_.size()
            ? SIZE_MAX
            : std::max(begin, next_line_start(text, text.size() / parts_.size() * (part + 1)));
    parts_[part].begin = begin;
    parts_[part].stop = next;
    begin = next;
  }
  parts_[0].line = first_line; // the others' once their lines are counted
  return parts_[1].begin < text.size();
}

Result<StretchEnd>
StretchParts::reconcile(const StretchContext &stretch, StopPoll stop, RecordReconciler &reconciler,
                        const std::function<bool(PartRows &, std::size_t)> &hand_over,
                        QuarantineFile *quarantine, RepairLogFile *log,
                        const std::function<void()> &meanwhile) {
  // The parts read a copy of the pending changes: `meanwhile` may log more.
  changes_.assign(stretch.changes.begin(), stretch.changes.end());
  StretchContext context = stretch;
  context.changes = changes_;
  std::atomic<bool> stopping = false;
  auto main_poll = [&](bool signalled) {
    const bool stops = stop(signalled);
    if (stops) {
      stopping.store(true, std::memory_order_relaxed);
    }
    return stops;
  };
  auto helper_poll = [&](bool) { return stopping.load(std::memory_order_relaxed); };
  auto run = [&](StretchPart &part, StopPoll poll) {
    // An exception cannot leave a thread: it is carried to the calling one.
    try {
      reconcile_part(context, part, poll);
    } catch (...) {
      part.failure = std::current_exception();
    }
  };
  // Every thread counts the line breaks of parts until all are counted, then
  // reconciles parts until none is left: the threads end together, however
  // long each part takes.
  std::atomic<std::size_t> next_counted = 0;
  std::atomic<std::size_t> next_reconciled = 0;
  std::barrier counted(static_cast<std::ptrdiff_t>(threads_), [this]() noexcept {
    for (std::size_t part = 1; part < parts_.size(); ++part) {
      parts_[part].line = parts_[part - 1].line + breaks_[part - 1];
    }
  });
  auto work = [&](StopPoll poll, bool calling) {
    for (std::size_t part; (part = next_counted.fetch_add(1)) + 1 < parts_.size();) {
      breaks_[part] = line_breaks(context.text, parts_[part].begin, parts_[part].stop);
    }
    counted.arrive_and_wait();
    if (calling && meanwhile) {
      meanwhile();
    }
    for (std::size_t part; (part = next_reconciled.fetch_add(1)) < parts_.size();) {
      run(parts_[part], poll);
    }
  };
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(threads_ - 1);
    try {
      for (unsigned thread = 1; thread < threads_; ++thread) {
        helpers.emplace_back(work, StopPoll(helper_poll), false);
      }
    } catch (const std::exception &) {
      // A thread the system would not start: the others do its share.
      for (std::size_t missing = helpers.size() + 1; missing < threads_; ++missing) {
        counted.arrive_and_drop();
      }
    }
    work(StopPoll(main_poll), true);
  }
  // Take the parts in order, each proven by the one before.
  Result<StretchEnd> reconciled = StretchEnd{};
  std::size_t at = 0;
  std::uint64_t at_line = parts_[0].line;
  for (std::size_t index = 0; index < parts_.size(); ++index) {
    StretchPart &part = parts_[index];
    if (part.failure) {
      std::rethrow_exception(std::exchange(part.failure, nullptr));
    }
    // The part is taken whole, or from the first record start it shares with
    // the part before it, or else reconciled again from where that one ended.
    StretchPart::RecordStart from{part.begin, part.line, 0, {}, {}};
    if (index > 0 && part.begin != at) {
      const auto met =
          std::find_if(part.record_starts.begin(), part.record_starts.end(),
                       [&](const StretchPart::RecordStart &start) { return start.at == at; });
      if (met != part.record_starts.end()) {
        from = *met;
      } else {
        part.begin = at;
        part.line = at_line;
        run(part, StopPoll(main_poll));
        if (part.failure) {
          std::rethrow_exception(std::exchange(part.failure, nullptr));
        }
        from = {part.begin, part.line, 0, {}, {}};
      }
    }
    reconciled = std::move(*part.end);
    if (!reconciled.ok()) {
      break;
    }
    reconciler.add_counts(part.counts, from.counts);
    const bool taking = hand_over(*part.clean, from.clean_mark);
    const std::uint64_t shift = at_line - from.line;
    part.lines.write(shift, from.lines, quarantine, log);
    StretchEnd &end = reconciled.value();
    end.next_begin += part.begin;
    end.next_line += shift;
    if (!end.at_stop || !taking) {
      break;
    }
    at = end.next_begin;
    at_line = end.next_line;
  }
  if (stopping.load(std::memory_order_relaxed)) {
    // The part that stopped may be one left untaken: a stop is never lost.
    return SalvageError::interrupted();
  }
  return reconciled;
}

} // namespace tidewrack
