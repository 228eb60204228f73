#pragma once

#include <Python.h>

namespace tidewrack::bindings {

// Method definitions of the module functions; the module's execution step
// turns each into a built-in function.
extern PyMethodDef SNIFF_FUNCTION;
extern PyMethodDef SALVAGE_FILE_FUNCTION;
extern PyMethodDef OPEN_FUNCTION;

} // namespace tidewrack::bindings
