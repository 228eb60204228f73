#pragma once

#include <Python.h>

namespace tidewrack::bindings {

// tidewrack._native.salvage and its docstring; the module's method table
// refers to both.
PyObject *salvage_function(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames);
extern const char *const SALVAGE_DOC;

// tidewrack._native.detect: the dialect a salvage would read.
PyObject *detect_function(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames);
extern const char DETECT_DOC[];

// tidewrack._native.detect_encoding: the encoding the auto policy reads a head in.
PyObject *detect_encoding_function(PyObject *module, PyObject *head);
extern const char DETECT_ENCODING_DOC[];

// tidewrack._native.simd: the instructions the parser's block classifier uses.
PyObject *simd_function(PyObject *module, PyObject *unused);
extern const char SIMD_DOC[];

} // namespace tidewrack::bindings
