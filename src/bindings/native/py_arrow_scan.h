#pragma once

#include <Python.h>

namespace tidewrack::bindings {

// Makes tidewrack._native.ArrowScan, the clean rows of a file salvage as an
// Arrow C stream (a new reference, or nullptr with an exception set).
PyObject *make_arrow_scan_type(PyObject *module);

} // namespace tidewrack::bindings
