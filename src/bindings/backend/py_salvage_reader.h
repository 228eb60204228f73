#pragma once

#include <Python.h>

#include <string>

#include "bindings/common/reading_options.h"
#include "salvage/options.h"

namespace tidewrack::bindings {

// Parameters of the reader's constructor and of the module function open:
// the file's path, then the classic options.
inline constexpr const char *READER_PATH[] = {"file_path"};
inline constexpr auto READER_PARAMETERS = option_parameters(READER_PATH, CLASSIC_OPTIONS);

// A new SalvageReader type belonging to `module`; nullptr with an exception set.
PyObject *make_salvage_reader_type(PyObject *module);

// Reads and salvages the file at `file_path` and returns a new reader of
// `type` holding its clean rows; nullptr with the file error raised, or with
// the exception of a signal handler (Ctrl-C) that stopped the work.
PyObject *new_salvage_reader(PyTypeObject *type, const std::string &file_path,
                             const SalvageOptions &options);

} // namespace tidewrack::bindings
