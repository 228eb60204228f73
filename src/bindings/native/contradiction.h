#pragma once

#include "base/salvage_error.h"

namespace tidewrack::bindings {

// Raises the package's OptionError (tidewrack._options, a ValueError) with
// the message of options that contradict the dialect detected.
void raise_contradiction(const SalvageError &error);

} // namespace tidewrack::bindings
