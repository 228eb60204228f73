#pragma once

#include <Python.h>

#include <span>

#include "salvage/options.h"

namespace tidewrack::bindings {

// Number of keyword parameters giving the package's reading rules, shared by
// salvage and ArrowScan: recover_unclosed_quotes, encoding, detect_dialect,
// quoting, escape_char, skip_blanks, comment_prefix, preamble_lines,
// output_quote_char, align_columns, in this order.
inline constexpr std::size_t RULE_PARAMETERS = 10;

// Converts the bound rule values into `options` (after convert_salvage_options,
// whose options they complete). Returns false with the first conversion's
// exception set, or with ValueError for an unknown encoding or options that
// can never give a readable file.
bool convert_rule_arguments(std::span<PyObject *const, RULE_PARAMETERS> values,
                            SalvageOptions &options);

} // namespace tidewrack::bindings
