#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>

#include "base/progress_sink.h"
#include "base/result.h"
#include "base/stop_poll.h"
#include "heuristics/dialect.h"
#include "io/file_io.h"
#include "salvage/options.h"
#include "salvage/outcome.h"

namespace tidewrack {

// The cores this process may run on.
unsigned available_cores();

// How much text a file salvage reads and reconciles at a time, at least.
inline constexpr std::size_t SALVAGE_BLOCK_SIZE = std::size_t{8} << 20;

// The most threads one salvage runs on.
inline constexpr unsigned MAX_THREADS = 256;

// The block size of a salvage on `threads` threads: each thread's part of a
// block stays large enough to be worth a thread.
inline std::size_t block_size_for(unsigned threads) {
  constexpr std::size_t MIN_PART_SIZE = std::size_t{2} << 20;
  return std::max(SALVAGE_BLOCK_SIZE, std::size_t{threads} * MIN_PART_SIZE);
}

// Salvages the input (a file, or bytes supplied) into a clean CSV at `output_path` and, when
// a quarantine path is given, the rejected records into a quarantine CSV.
//
// The input is read and reconciled `block_size` bytes of text at a time (and
// decoded first when the options name an encoding), the clean rows written as
// they come: memory follows the block size and the longest record, not the
// file size, and the files written are the same whatever the block size. An
// input that is also one of the files written is read whole first. The
// delimiter and the column count are settled before any file is opened.
//
// With `threads` above 1, each stretch of text is cut into as many parts at
// guessed record starts, reconciled at once on as many threads (the calling
// one among them), and put together in order; a part whose guess the part
// before it does not prove is reconciled again from where that one ended, so
// the files are the same as with one thread.
//
// When a repair-log path is given, every change made is written there as the
// salvage goes; that file is opened before the output, so that a log that
// cannot be created leaves the output untouched. The quarantine file is opened
// once the output is complete, unless its lines grow past 16 MiB first; a
// quarantine that fails leaves the output complete. A failed file operation
// names its file (SalvageError::path). Fails with Interrupted when `stop` says
// so, leaving what was written as it is. `progress` is told the input bytes
// read as the salvage goes, about every ProgressSink::INTERVAL, and once at
// the end.
Result<SalvageCounts> salvage_file(const InputSource &input, const std::string &output_path,
                                   const std::optional<std::string> &quarantine_path,
                                   const SalvageOptions &options,
                                   const std::optional<std::string> &repair_log_path = {},
                                   StopPoll stop = {}, ProgressSink progress = {},
                                   std::size_t block_size = SALVAGE_BLOCK_SIZE,
                                   unsigned threads = 1);

// The dialect a salvage of the input with the package's rules
// (SalvageOptions::detect_dialect, decoding by `encoding`) would settle on,
// from the same head of the file.
Result<Dialect> detect_file_dialect(const InputSource &input, InputEncoding encoding,
                                    StopPoll stop = {});

// The dialect of `text` as a whole.
Result<Dialect> detect_text_dialect(std::string_view text, StopPoll stop = {});

} // namespace tidewrack
