#pragma once

#include <Python.h>

#include "base/salvage_error.h"

namespace tidewrack::bindings {

// Raises a file error of salvage_file: exactly OSError, whatever the error
// number, with the display text as its one argument (errno stays None). An
// Interrupted error comes from a SignalPoll, whose exception is already set.
void raise_salvage_file_error(const SalvageError &error);

// Raises a file error of the reader: the OSError subclass of the error
// number's kind (MemoryError for ENOMEM), with the display text as its one
// argument (errno stays None). Interrupted as above.
void raise_reader_error(const SalvageError &error);

// Raises a file error as Python's own file functions do: the OSError subclass
// of the error number (FileNotFoundError, PermissionError, ...) with errno,
// strerror and filename set, the file being the one the error names. An error
// of the I/O layer has no number: a plain OSError, errno None, its message as
// strerror. Interrupted as above.
void raise_file_error(const SalvageError &error);

} // namespace tidewrack::bindings
