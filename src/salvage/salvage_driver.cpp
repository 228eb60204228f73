#include "salvage/salvage_driver.h"

#include <algorithm>
#include <cstring>

#include "heuristics/infer.h"
#include "heuristics/sniff.h"

namespace tidewrack {

namespace {

// How much a head or a long record is read on by at least: reads of a block
// at a time, and of no less than this when blocks are tiny.
std::size_t read_step(std::size_t block_size) {
  constexpr std::size_t MIN_READ_STEP = std::size_t{64} << 10;
  return std::max(block_size, MIN_READ_STEP);
}

} // namespace

SalvageText window_text(TextWindow &window) {
  SalvageText text(window.text());
  text.kind = window.kind();
  text.changes = window.changes();
  text.empty_input = window.input_empty();
  return text;
}

Result<Settlement> settle_from_head(TextWindow &window, const SalvageOptions &options,
                                    std::size_t block_size, StopPoll stop) {
  // Each record detection reads holds a line at least: a head with fewer line
  // breaks cannot settle, and is read on at once, a block at a time (a long
  // single line then costs one detection, not one per read, and the text
  // after it is read no further than a block past the line breaks needed).
  constexpr std::uint64_t RECORDS_READ = std::max(SNIFF_RECORD_LIMIT, INFER_RECORD_LIMIT);
  std::uint64_t breaks = 0;
  for (std::size_t counted = 0; !window.ended();) {
    const std::string_view text = window.text();
    breaks += line_breaks(text, counted, text.size());
    if (breaks > RECORDS_READ) {
      break;
    }
    counted = text.size();
    Result<std::monostate> read =
        window.read_until(counted + std::min(read_step(block_size), SIZE_MAX - counted));
    if (!read.ok()) {
      return std::move(read.error());
    }
  }
  // A head that does not suffice is read on (read_on_size).
  auto read_more = [&window] {
    const std::size_t held = window.text().size();
    return window.read_until(held + std::max<std::size_t>(read_on_size(held), 1));
  };
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
  Result<Settlement> settled = settle_from_head(window, options, block_size, stop);
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
      block_size_(block_size), stop_(stop), progress_(progress), settlement_(std::move(settlement)),
      delimiter_text_(byte_as_utf8(settlement_.delimiter)), reconciler_(options_, settlement_, {}),
      checkpoints_(stop) {}

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
  if (!long_record_) {
    record_end_ = {};
  }
  if (window_.bytes_read() >= next_report_) {
    progress_(window_.bytes_read());
    next_report_ = window_.bytes_read() + ProgressSink::INTERVAL;
  }
  if (!whole) {
    return true; // the window holds the next stretch
  }
  const std::size_t held = window_.text().size();
  const std::size_t more = std::max(block_size_, read_on_size(held));
  const std::size_t limit = held > SIZE_MAX - more ? SIZE_MAX : held + more;
  Result<std::monostate> read =
      long_record_ ? read_on_long_record(limit) : window_.read_until(limit);
  if (!read.ok()) {
    return std::move(read.error()).on_file(input_name_);
  }
  return true;
}

namespace {

// Looks through `text` from `look.looked` for the first line break outside
// quotes (doubled quotes toggle twice); its offset past the break, or npos.
std::size_t look_for_record_end(std::string_view text, std::uint8_t quote, bool quoting,
                                std::size_t &looked, bool &quoted) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  std::size_t at = looked;
  while (at < text.size()) {
    if (quoted) {
      const void *next = std::memchr(bytes + at, quote, text.size() - at);
      if (next == nullptr) {
        at = text.size();
        break;
      }
      at = static_cast<std::size_t>(static_cast<const unsigned char *>(next) - bytes) + 1;
      quoted = false;
      continue;
    }
    const unsigned char byte = bytes[at++];
    if (byte == '\n' || byte == '\r') {
      looked = at;
      return at;
    }
    quoted = quoting && byte == quote;
  }
  looked = at;
  return std::string_view::npos;
}

} // namespace

Result<std::monostate> SalvageDriver::read_on_long_record(std::size_t limit) {
  // The look reads quotes as the classic rules do; with an escape character,
  // or once it proved wrong, the record is read on by read_on_size alone.
  RecordEndLook &look = record_end_;
  look.misled = look.misled || look.found || settlement_.rules.escape.has_value();
  if (look.misled) {
    return window_.read_until(limit);
  }
  for (;;) {
    const std::string_view text = window_.text();
    const std::size_t end = look_for_record_end(
        text, settlement_.quote_char, settlement_.rules.quoting, look.looked, look.quoted);
    if (end != std::string_view::npos) {
      // A block past it: the reconciler may look ahead past a record's end.
      look.found = true;
      return window_.read_until(
          std::min(limit, end + std::min(read_step(block_size_), SIZE_MAX - end)));
    }
    if (window_.ended() || text.size() >= limit) {
      return std::monostate{};
    }
    Result<std::monostate> read =
        window_.read_until(text.size() + std::min(block_size_, limit - text.size()));
    if (!read.ok()) {
      return read;
    }
  }
}

SalvageCounts SalvageDriver::counts() const {
  SalvageCounts counts = reconciler_.counts();
  counts.encoding = window_.encoding_name();
  return counts;
}

} // namespace tidewrack
