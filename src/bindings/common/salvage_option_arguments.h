#pragma once

#include <Python.h>

#include <span>

#include "salvage/options.h"

namespace tidewrack::bindings {

// Number of trailing parameters shared by salvage_file, open and SalvageReader:
// delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns,
// repair_quotes, in this order.
inline constexpr std::size_t SALVAGE_OPTION_PARAMETERS = 6;

// Converts the six bound option values in declaration order and reduces the
// delimiter and quote texts to option bytes. Returns false with the first
// conversion's exception set, or with ValueError when the option bytes can
// never give a readable file.
bool convert_salvage_options(std::span<PyObject *const, SALVAGE_OPTION_PARAMETERS> values,
                             SalvageOptions &options);

} // namespace tidewrack::bindings
