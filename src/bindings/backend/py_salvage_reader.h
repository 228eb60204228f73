#pragma once

#include <Python.h>

#include <string>

#include "salvage/options.h"

namespace tidewrack::bindings {

// Parameters of the reader's constructor and of the module function open.
inline constexpr const char *const READER_PARAMETER_NAMES[] = {
    "file_path",      "delimiter",        "quote_char",   "fill_ragged_rows",
    "merge_overflow", "expected_columns", "repair_quotes"};

// A new SalvageReader type belonging to `module`; nullptr with an exception set.
PyObject *make_salvage_reader_type(PyObject *module);

// Reads and salvages the file at `file_path` and returns a new reader of
// `type` holding its clean rows; nullptr with the file error raised, or with
// the exception of a signal handler (Ctrl-C) that stopped the work.
PyObject *new_salvage_reader(PyTypeObject *type, const std::string &file_path,
                             const SalvageOptions &options);

} // namespace tidewrack::bindings
