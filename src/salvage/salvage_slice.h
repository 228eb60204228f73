#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/stop_poll.h"
#include "salvage/options.h"
#include "salvage/outcome.h"
#include "salvage/reconcile.h"
#include "salvage/salvage_driver.h"

namespace tidewrack {

// The rows of an in-memory salvage, kept in its outcome: every record goes
// to the reconciler's sinks, none down a fast lane, and no repair is listed.
class SliceSink : public NoPlainLane {
public:
  explicit SliceSink(SalvageOutcome &outcome) : outcome_(outcome) {}

  SliceSink &rows() { return *this; }
  bool operator()(const Record &record, const RowShape &shape, const std::string &merge_separator) {
    outcome_.clean_rows.append(record, shape, merge_separator);
    return true;
  }
  void set_aside(const Record &record, const std::string &reason) {
    outcome_.quarantine.push_back(QuarantineRecord{record.end_line, reason, record_fields(record)});
  }
  bool logging() const { return false; }
  void log(const RepairEvent &) {}
  // The whole text is one stretch.
  void begin_stretch(std::string_view text, TextWindow &) {
    outcome_.clean_rows.reserve_for_input(text.size());
  }
  void end_stretch() {}
  bool stopped() const { return false; }

protected:
  SalvageOutcome &outcome_;
};

// Bytes in memory supplied as a file's, to a window that decodes them.
class MemoryBytes {
public:
  explicit MemoryBytes(std::string_view bytes) : rest_(bytes) {}
  Result<std::size_t> operator()(char *out, std::size_t size) {
    const std::size_t count = std::min(size, rest_.size());
    std::memcpy(out, rest_.data(), count);
    rest_.remove_prefix(count);
    return count;
  }

private:
  std::string_view rest_;
};

// Salvages a whole input in memory into `sink` (a SliceSink, or one like it):
// decodes it when the options name an encoding (else it is only borrowed),
// settles the delimiter and the column count, then accepts, pads, merges or
// quarantines every record. Fails only with Interrupted, when `stop` says so.
template <class Sink>
Result<SalvageCounts> salvage_into(std::string_view input, const SalvageOptions &options,
                                   StopPoll stop, Sink &sink) {
  MemoryBytes bytes(input);
  Result<TextWindow> window =
      options.encoding
          ? TextWindow::open(InputSource(std::string(), ByteSupply(bytes)), options.encoding, stop)
          : TextWindow::over(input);
  if (!window.ok()) {
    return std::move(window.error());
  }
  Result<std::unique_ptr<SalvageDriver>> started =
      SalvageDriver::start(std::move(window.value()), std::string(), options, SIZE_MAX, stop);
  if (!started.ok()) {
    return std::move(started.error());
  }
  for (;;) {
    Result<bool> stepped = started.value()->step(sink);
    if (!stepped.ok()) {
      return std::move(stepped.error());
    }
    if (!stepped.value()) {
      return started.value()->counts();
    }
  }
}

// The same into an outcome of its own.
Result<SalvageOutcome> salvage_slice(std::string_view input, const SalvageOptions &options,
                                     StopPoll stop = {});

} // namespace tidewrack
