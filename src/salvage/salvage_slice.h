#pragma once

#include <string_view>

#include "error/result.h"
#include "error/stop_poll.h"
#include "salvage/options.h"
#include "salvage/outcome.h"

namespace tidewrack {

// Salvages a whole input in memory: decodes it when the options name an
// encoding, settles the delimiter and the column count, then accepts, pads,
// merges or quarantines every record. With `list_repairs`,
// the outcome lists every change made, as a repair log would. Fails only with
// Interrupted, when `stop` says so.
Result<SalvageOutcome> salvage_slice(std::string_view input, const SalvageOptions &options,
                                     bool list_repairs = false, StopPoll stop = {});

} // namespace tidewrack
