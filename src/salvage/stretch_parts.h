#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "encoding/change_log.h"
#include "error/result.h"
#include "error/stop_poll.h"
#include "parser/parser_input.h"
#include "salvage/options.h"
#include "salvage/reconcile.h"
#include "salvage/repair_log.h"
#include "salvage/salvage_outputs.h"

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

struct StretchPart;

// A stretch of text reconciled on several threads at once: cut into parts at
// guessed record starts, each part reconciled on a thread of its own (the
// calling one takes the first), then taken in order, each proven by the one
// before it. The files come out as one thread would write them.
class StretchParts {
public:
  explicit StretchParts(unsigned count);
  ~StretchParts();

  // Guesses where the parts of `text` start (at line starts) and on which
  // lines, the first on `first_line`. False when the text holds one line, which
  // is not cut.
  bool cut(std::string_view text, std::uint64_t first_line);

  // Reconciles the parts cut last and hands them in order to `output`,
  // `quarantine` and `log` (each may be null but the output) and their counts
  // to `reconciler`; a failed output write is left in `written`. The calling
  // thread asks `stop`; the others stop when it says so. Returns where the
  // stretch ends, as RecordReconciler::reconcile does.
  Result<StretchEnd> reconcile(const StretchContext &context, StopPoll stop,
                               RecordReconciler &reconciler, OutputFile &output,
                               Result<std::monostate> &written, QuarantineFile *quarantine,
                               RepairLogFile *log);

private:
  std::vector<StretchPart> parts_;
};

} // namespace tidewrack
