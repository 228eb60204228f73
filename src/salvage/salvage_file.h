#pragma once

#include <optional>
#include <string>

#include "error/progress_sink.h"
#include "error/result.h"
#include "error/stop_poll.h"
#include "salvage/options.h"
#include "salvage/outcome.h"

namespace tidewrack {

// Salvages the file at `input_path` into a clean CSV at `output_path` and, when
// a quarantine path is given, the rejected records into a quarantine CSV. The
// input is read whole, and decoded when the options name an encoding, before
// the output is opened; the output is complete
// before the quarantine file is opened. When a repair-log path is given, every
// change made is written there as the salvage goes; that file is opened before
// the output, so that a log that cannot be created leaves the output untouched.
// A failed file operation names its file (SalvageError::path). Fails with
// Interrupted when `stop` says so, leaving what was written as it is.
// `progress` is told how many input bytes are done every few MiB.
Result<SalvageCounts> salvage_file(const std::string &input_path, const std::string &output_path,
                                   const std::optional<std::string> &quarantine_path,
                                   const SalvageOptions &options,
                                   const std::optional<std::string> &repair_log_path = {},
                                   StopPoll stop = {}, ProgressSink progress = {});

} // namespace tidewrack
